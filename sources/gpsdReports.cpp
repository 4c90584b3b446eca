#include "sources/gpsdReports.h"

#include "track/civilTime.h"
#include "track/track.h"

#include <cmath>

namespace {

constexpr double kKnotsPerMetrePerSecond = 3600.0 / 1852.0;
// The ranges the NMEA parsers and the track take; beyond them a value is left out.
constexpr double kSpeedMaxKnots = 10000;
constexpr double kAltitudeMin = -10000;
// Satellite counts beyond this are not counts.
constexpr double kSatellitesMax = 1000;

bool wholeNumber(double v, double lo, double hi) {
    return std::isfinite(v) && v >= lo && v <= hi && std::trunc(v) == v;
}

} // namespace

JsonLimits gpsdJsonLimits() {
    JsonLimits limits;
    limits.maxBytes = 65536;
    limits.maxDepth = 8;
    limits.maxValues = 8192;
    return limits;
}

int64_t gpsdTimeToFixTime(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS, an optional fraction, then Z.
    const auto read = readIsoDateTime(text);
    if (!read || text[10] != 'T' || text.back() != 'Z' || !read->hasSeconds || read->leapSecond ||
        read->year < 2000 || read->year > 2099)
        return 0;
    return utcToFixTime(read->utc);
}

TpvOutcome readTpv(const JsonValue& report, GpsdFix& state, int& mode, std::string& why) {
    mode = -1;
    double value;
    if (!report.numberMember("mode", value) || !wholeNumber(value, 0, 3)) {
        why = "a TPV report without a mode from 0 to 3";
        return TpvOutcome::refused;
    }
    mode = static_cast<int>(value);
    if (mode < 2)
        return TpvOutcome::noFix;

    GpsdFix next = state;
    std::string time;
    if (!report.textMember("time", time) || (next.fix.time = gpsdTimeToFixTime(time)) == 0) {
        // gpsd reports the first fixes of a receiver before it knows their time.
        why = "a fix without a usable time";
        return TpvOutcome::refused;
    }
    double lat, lon;
    if (!report.numberMember("lat", lat) || !report.numberMember("lon", lon) ||
        !(std::fabs(lat) <= 90) || !(std::fabs(lon) <= 180) || (lat == 0 && lon == 0)) {
        why = "a fix without a usable latitude and longitude";
        return TpvOutcome::refused;
    }
    next.fix.lat = lat;
    next.fix.lon = lon;
    next.withAltitude = false;
    double alt;
    if (mode == 3 && (report.numberMember("altMSL", alt) || report.numberMember("alt", alt)) &&
        alt > kAltitudeMin && alt < kTrackMaxAlt) {
        next.fix.alt = alt;
        next.withAltitude = true;
    }
    double speed;
    if (report.numberMember("speed", speed) && speed >= 0 &&
        speed * kKnotsPerMetrePerSecond < kSpeedMaxKnots)
        next.fix.spd = speed * kKnotsPerMetrePerSecond;
    double course;
    if (report.numberMember("track", course) && course >= 0 && course <= 360)
        next.fix.hdg = course;
    next.fix.status = 1;
    state = next;
    return TpvOutcome::fix;
}

bool readSky(const JsonValue& report, GpsdStatus& status) {
    int used = -1, seen = -1;
    double value;
    if (report.numberMember("uSat", value) && wholeNumber(value, 0, kSatellitesMax))
        used = static_cast<int>(value);
    if (report.numberMember("nSat", value) && wholeNumber(value, 0, kSatellitesMax))
        seen = static_cast<int>(value);
    // gpsd releases before 3.20 send only the list.
    const JsonValue* list = report.member("satellites");
    if (list && list->isArray() && (used < 0 || seen < 0)) {
        int inUse = 0;
        for (const JsonValue& sat : list->items()) {
            bool flag = false;
            inUse += sat.booleanMember("used", flag) && flag;
        }
        if (used < 0)
            used = inUse;
        if (seen < 0)
            seen = static_cast<int>(list->items().size());
    }
    if (used < 0 && seen < 0)
        return false;
    status.used = used;
    status.seen = seen;
    return true;
}

std::vector<std::string> fixSentences(const GpsdFix& state) {
    std::vector<std::string> out{makeGgaSentence(state.fix, state.withAltitude),
                                 makeRmcSentence(state.fix)};
    for (std::string& s : out)
        if (!s.empty() && s.back() == '\n')
            s.pop_back();
    return out;
}
