#include "remote/mapfactorHistory.h"

#include "platform/runtime.h"
#include "remote/client.h"
#include "remote/serviceText.h"
#include "trace/trace.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

// A refused record is logged on its own this many times per reply; the rest
// only count towards the reply's summary line.
constexpr int kLoggedRefusals = 10;
// The service counts angles in 1/3600000 degree.
constexpr double kAngleUnitsPerDegree = 10000.0 * 360.0;
// The reason given for text that does not have the record's shape at all
// (markup between the records): skipped without a log line.
constexpr const char* kNotARecord = "not a history record";

struct HistoryRow {
    int64_t time;
    double lat;
    double lon;
    double alt;
    double spd;
};

} // namespace

int parseHistoryRecord(std::string_view text, int64_t& time, double& lat, double& lon, double& alt,
                       double& spd, const char** why) {
    auto refuse = [why](const char* reason) {
        if (why)
            *why = reason;
        return 0;
    };
    ServiceTextReader r(text);
    int year, month, day, hour, minute, second;
    double lonUnits, latUnits;
    int altitude, speed, ignored;
    bool read =
        r.readInt(year) && r.expect('-') && r.readInt(month) && r.expect('-') && r.readInt(day);
    if (read) {
        r.skipSpace();
        read = r.readInt(hour) && r.expect(':') && r.readInt(minute) && r.expect(':') &&
               r.readInt(second) && r.expect(';') && r.readDouble(lonUnits) && r.expect(';') &&
               r.readDouble(latUnits) && r.expect(';') && r.readInt(altitude) && r.expect(';') &&
               r.readInt(speed);
        for (int i = 0; read && i < 3; ++i)
            read = r.expect(';') && r.readInt(ignored);
    }
    if (!read)
        return refuse(kNotARecord);
    const char* badField = nullptr;
    int64_t t = localFieldsToFixTime(year, month, day, hour, minute, second, &badField);
    if (t == 0)
        return refuse("date or time out of range");
    double la = latUnits / kAngleUnitsPerDegree;
    double lo = lonUnits / kAngleUnitsPerDegree;
    if (!plausiblePosition(la, lo))
        return refuse("position out of range");
    time = t;
    lat = la;
    lon = lo;
    alt = altitude;
    spd = speed;
    return 1;
}

std::optional<size_t> findRecordStart(std::string_view text, std::ptrdiff_t pos) {
    if (pos < 0 || text.empty())
        return std::nullopt;
    size_t from = std::min(static_cast<size_t>(pos), text.size() - 1);
    size_t mark = text.rfind('>', from);
    return mark == std::string_view::npos ? 0 : mark + 1;
}

int mergeHistory(std::string_view reply, CClient& vehicle) {
    // The reply is the service's (up to many megabytes of it): it is read
    // without the track lock, which every poll of Google Earth needs, and
    // only the records found are added under it.
    int64_t held = 0;
    std::string name;
    {
        TrackLockGuard guard;
        if (!guard.ok()) {
            NTRACE_AS("mergeHistory", "history of %s not read: no track lock",
                      vehicle.name.c_str());
            return 0;
        }
        const TrackPoint* newest = vehicle.track.point(0);
        held = newest ? newest->time : 0;
        name = vehicle.name;
    }

    std::vector<HistoryRow> rows;
    bool anyRecordStart = false;
    int refused = 0;
    std::ptrdiff_t pos = static_cast<std::ptrdiff_t>(reply.size()) - 3;
    while (auto start = findRecordStart(reply, pos)) {
        anyRecordStart = true;
        HistoryRow row{};
        const char* why = "";
        if (parseHistoryRecord(reply.substr(*start), row.time, row.lat, row.lon, row.alt, row.spd,
                               &why)) {
            if (row.time <= held)
                break; // read from the newest back: the rest is already held
            rows.push_back(row);
            if (rows.size() >= static_cast<size_t>(kMapFactorMaxRows)) {
                NTRACE_AS("mergeHistory",
                          "%s: reply holds more than %d new records; older ones "
                          "left out",
                          name.c_str(), kMapFactorMaxRows);
                break;
            }
        } else if (why != kNotARecord && refused++ < kLoggedRefusals) {
            NTRACE_AS("mergeHistory", "%s: record at %zu refused: %s", name.c_str(), *start, why);
        }
        pos = static_cast<std::ptrdiff_t>(*start) - 3;
    }
    if (refused > kLoggedRefusals)
        NTRACE_AS("mergeHistory", "%s: %d records refused in all", name.c_str(), refused);
    if (anyRecordStart)
        vehicle.online = 1;

    TrackLockGuard guard;
    if (!guard.ok()) {
        NTRACE_AS("mergeHistory", "history of %s not merged: no track lock", name.c_str());
        return 0;
    }
    for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
        GpsFix fix;
        fix.lat = row->lat;
        fix.lon = row->lon;
        fix.alt = row->alt;
        fix.spd = row->spd;
        fix.hdg = 0;
        fix.time = row->time;
        vehicle.curPos = fix;
        vehicle.track.add(fix, 2);
    }
    return static_cast<int>(rows.size());
}

std::string mapFactorStartHour(const CTrack& track) {
    const TrackPoint* newest = track.point(0);
    if (!newest)
        return kMapFactorFirstHour;
    time_t utc = static_cast<time_t>(static_cast<int64_t>(newest->time) - tzOffset());
    struct tm local = {};
    if (!localtime_r(&utc, &local))
        return kMapFactorFirstHour;
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d+%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour);
    return text;
}

std::string mapFactorObjectPath(std::string_view uName, std::string_view startHour) {
    std::string path = "/gprs/cmd_downHistory.php?vtu=" + percentEncode(uName) + "&datetime=";
    path += startHour;
    path += "%3A42";
    return path;
}
