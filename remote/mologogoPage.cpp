#include "remote/mologogoPage.h"

#include "remote/client.h"
#include "remote/serviceText.h"
#include "trace/trace.h"

#include <algorithm>
#include <vector>

namespace {

constexpr std::string_view kMarkerCall = "createMarker(";
// A refused entry is logged on its own this many times per page; the rest
// only count towards the page's summary line.
constexpr int kLoggedRefusals = 10;
// The time-and-date argument is short ("12:15 PM 3/4/2009"); scans inside it
// stop after this many characters whatever the text holds.
constexpr size_t kTimeFieldScan = 64;

// The end of a scan inside the quoted time argument starting at `from`: its
// closing quote, a line end, or kTimeFieldScan characters on.
size_t timeFieldEnd(std::string_view text, size_t from) {
    size_t limit = std::min(text.size(), from + kTimeFieldScan);
    for (size_t i = from; i < limit; ++i)
        if (text[i] == '"' || text[i] == '\r' || text[i] == '\n')
            return i;
    return limit;
}

// Moves `pos` on by one quoted field; false when the text ends first.
bool skipQuotedField(std::string_view text, size_t& pos) {
    size_t step = nextQuotedField(text.substr(pos));
    if (step == 0)
        return false;
    pos += step;
    return true;
}

struct MarkerRow {
    int64_t time;
    double lat;
    double lon;
};

} // namespace

size_t nextQuotedField(std::string_view text) {
    size_t comma = text.find(',');
    if (comma == std::string_view::npos)
        return 0;
    size_t quote = text.find('"', comma + 1);
    if (quote == std::string_view::npos)
        return 0;
    return quote + 1;
}

size_t parseMarker(std::string_view text, int64_t& time, double& lat, double& lon,
                   const char** why) {
    auto refuse = [why](const char* reason) -> size_t {
        if (why)
            *why = reason;
        return 0;
    };
    text = text.substr(0, kMoloMarkerMaxLength);
    size_t pos = nextQuotedField(text);
    if (pos == 0)
        return refuse("no quoted time argument");

    ServiceTextReader clock(text, pos);
    int hour = 0;
    int minute = 0;
    if (!clock.readInt(hour) || !clock.expect(':') || !clock.readInt(minute))
        return refuse("unreadable time");
    pos = clock.pos();

    // "1:15 PM": afternoon hours below 12 move on by 12, and 12 AM is midnight.
    size_t end = timeFieldEnd(text, pos);
    size_t letter = pos;
    while (letter < end && text[letter] != 'P' && text[letter] != 'A')
        ++letter;
    if (letter < end && text[letter] == 'P') {
        if (hour < 12)
            hour += 12;
    } else if (hour == 12) {
        hour = 0;
    }

    size_t digit = pos;
    while (digit < end && !(text[digit] >= '0' && text[digit] <= '9'))
        ++digit;
    if (digit >= end)
        return refuse("no date");
    ServiceTextReader date(text, digit);
    int month = 0;
    int day = 0;
    int year = 0;
    if (!date.readInt(month) || !date.expect('/') || !date.readInt(day) || !date.expect('/') ||
        !date.readInt(year))
        return refuse("unreadable date");
    pos = date.pos();
    const char* badField = nullptr;
    int64_t t = localFieldsToFixTime(year, month, day, hour, minute, 0, &badField);
    if (t == 0) {
        std::string_view field = badField ? badField : "";
        bool clockField = field == "hour" || field == "minute" || field == "second";
        return refuse(clockField ? "time out of range" : "date out of range");
    }

    // The fourth argument is the latitude, the fifth the longitude.
    double la = 0;
    double lo = 0;
    if (!skipQuotedField(text, pos) || !skipQuotedField(text, pos))
        return refuse("no latitude");
    ServiceTextReader latText(text, pos);
    if (!latText.readDouble(la) || la == 0)
        return refuse("unreadable latitude");
    pos = latText.pos();
    if (!skipQuotedField(text, pos))
        return refuse("no longitude");
    ServiceTextReader lonText(text, pos);
    if (!lonText.readDouble(lo) || lo == 0)
        return refuse("unreadable longitude");
    pos = lonText.pos();
    if (!plausiblePosition(la, lo))
        return refuse("position out of range");
    // A sixth argument must follow, or the call was cut off.
    if (!skipQuotedField(text, pos))
        return refuse("cut off after the longitude");
    time = t;
    lat = la;
    lon = lo;
    return pos;
}

int parseMarkerPage(std::string_view page, CClient& vehicle) {
    std::vector<MarkerRow> rows;
    TrackLockGuard guard;
    if (!guard.ok()) {
        NTRACE_AS("parseMarkerPage", "page of %s not read: no track lock", vehicle.name.c_str());
        return 0;
    }
    const TrackPoint* newest = vehicle.track.point(0);
    int64_t held = newest ? newest->time : 0;

    int refused = 0;
    size_t at = page.find(kMarkerCall);
    while (at != std::string_view::npos) {
        vehicle.online = 1;
        int64_t t = 0;
        double lat = 0;
        double lon = 0;
        const char* why = "";
        if (parseMarker(page.substr(at), t, lat, lon, &why) == 0) {
            if (refused++ < kLoggedRefusals)
                NTRACE_AS("parseMarkerPage", "%s: createMarker entry at %zu refused: %s",
                          vehicle.name.c_str(), at, why);
        } else if (t <= held) {
            break; // the page is newest first: the rest is already held
        } else {
            rows.push_back({t, lat, lon});
            if (rows.size() >= static_cast<size_t>(kMoloMaxEntries)) {
                NTRACE_AS("parseMarkerPage",
                          "%s: page holds more than %d new entries; older ones "
                          "left out",
                          vehicle.name.c_str(), kMoloMaxEntries);
                break;
            }
        }
        at = page.find(kMarkerCall, at + 1);
    }
    if (refused > 0)
        NTRACE_AS("parseMarkerPage", "%s: %d createMarker entries refused", vehicle.name.c_str(),
                  refused);

    // Oldest first, so the track stays in time order.
    for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
        GpsFix fix;
        fix.lat = row->lat;
        fix.lon = row->lon;
        fix.time = row->time;
        vehicle.curPos = fix;
        vehicle.track.add(fix, 2);
    }
    return static_cast<int>(rows.size());
}

bool MoloCookieStore::takeFromReply(std::string_view reply) {
    size_t start = reply.find("Cookie:");
    if (start == std::string_view::npos) {
        NTRACE_AS("moloLogin", "login reply carries no cookie");
        return false;
    }
    // The value ends at the first attribute, or at the line end when the
    // cookie has no attributes: nothing of the next header or the body.
    size_t end = reply.find_first_of(";\r\n", start);
    std::string_view cookie =
        reply.substr(start, end == std::string_view::npos ? reply.size() - start : end - start);
    if (cookie.size() > kMoloCookieMax) {
        NTRACE_AS("moloLogin", "login cookie of %zu characters refused (at most %zu kept)",
                  cookie.size(), kMoloCookieMax);
        return false;
    }
    m_line.assign(cookie);
    return true;
}

std::string moloPageRequest(std::string_view uName, bool publicPage, std::string_view hostHeader,
                            std::string_view cookieLine) {
    std::string r = publicPage ? "GET /waypoints/public/" : "GET /friends/private/";
    r += percentEncode(uName);
    r += " HTTP/1.0\r\n";
    r += "Accept: */*\r\n";
    r += "User-Agent: nivramolo/1.0\r\n";
    r += "Host: ";
    r += hostHeader;
    r += "\r\n";
    if (!publicPage) {
        r += cookieLine;
        r += "\r\n";
    }
    r += "\r\n\r\n";
    return r;
}

std::string moloLoginRequest(std::string_view hostHeader, std::string_view name,
                             std::string_view password) {
    std::string body = "user_login=" + percentEncode(name) +
                       "&user_password=" + percentEncode(password) + "&login=Login+%C2%BB\r\n";
    std::string r = "POST /account/login HTTP/1.1\r\nAccept: */*\r\nUser-Agent: nivramolo/1.0\r\n"
                    "Host: ";
    r += hostHeader;
    r += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    r += body;
    return r;
}
