#include "phones/phoneReport.h"

#include "net/http.h"
#include "platform/json.h"
#include "track/civilTime.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

constexpr double kKnotsPerMetrePerSecond = 3600.0 / 1852.0;
constexpr double kKnotsPerKmPerHour = 1000.0 / 1852.0;

bool readNumber(std::string_view text, double& out) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return false;
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

const std::string* param(const Params& params, std::string_view name) {
    for (const auto& [n, v] : params)
        if (n == name)
            return &v;
    return nullptr;
}

// Reads an optional number parameter: absent is fine, present must be a number.
bool optionalNumber(const Params& params, std::string_view name, double& out, bool& present,
                    std::string& why) {
    present = false;
    const std::string* text = param(params, name);
    if (!text || text->empty())
        return true;
    if (!readNumber(*text, out)) {
        why = std::string(name) + " is not a number";
        return false;
    }
    present = true;
    return true;
}

// A full date and time with seconds; a zone or offset when given.
bool readIsoTime(std::string_view s, int64_t& utc) {
    const auto read = readIsoDateTime(s);
    if (!read || !read->hasSeconds)
        return false;
    utc = read->utc;
    return true;
}

bool checkPosition(PhoneReport& r, int64_t nowUtc, std::string& why) {
    if (!(r.lat >= -90 && r.lat <= 90) || !(r.lon >= -180 && r.lon <= 180)) {
        why = "position out of range (latitude -90..90, longitude -180..180)";
        return false;
    }
    if (r.utcSeconds > nowUtc + kPhoneFutureSeconds) {
        why = "timestamp more than a day in the future";
        return false;
    }
    // Before 2000 is a phone without a clock; the track keeps 32-bit times.
    if (r.utcSeconds < 946684800 || r.utcSeconds > INT32_MAX) {
        why = "timestamp out of range";
        return false;
    }
    if (r.hasSpeed && !(r.speed >= 0 && r.speed < 1e6)) {
        why = "speed out of range";
        return false;
    }
    if (!(std::fabs(r.altitude) < 1e6)) {
        why = "altitude out of range";
        return false;
    }
    r.hasPosition = true;
    return true;
}

bool readIdentifier(std::string_view id, PhoneReport& out, std::string& why) {
    if (!validPhoneId(id)) {
        why = id.empty() ? "no device identifier (id)"
                         : "device identifier must be 1 to " + std::to_string(kPhoneIdMax) +
                               " characters of A-Z a-z 0-9 . _ -";
        return false;
    }
    out.identifier = std::string(id);
    return true;
}

// The key in the path ("/KEY") or in the "key" parameter.
void takeKey(const HttpRequest& request, const Params& params, PhoneReport& out) {
    if (const std::string* key = param(params, "key"); key && !key->empty()) {
        out.secret = *key;
        return;
    }
    std::string_view path = request.path;
    while (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    while (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    std::string decoded;
    if (!path.empty() && path.find('/') == std::string_view::npos && percentDecode(path, decoded))
        out.secret = decoded;
}

bool readOsmandParams(const HttpRequest& request, const Params& params, int64_t nowUtc,
                      PhoneReport& out, std::string& why) {
    out.protocol = PhoneProtocol::osmand;
    const std::string* id = param(params, "id");
    if (!id || id->empty())
        id = param(params, "deviceid");
    if (!readIdentifier(id ? *id : std::string(), out, why))
        return false;
    takeKey(request, params, out);

    bool hasLat = false, hasLon = false, present = false;
    if (const std::string* location = param(params, "location"); location && !location->empty()) {
        const size_t comma = location->find(',');
        if (comma == std::string::npos ||
            !readNumber(std::string_view(*location).substr(0, comma), out.lat) ||
            !readNumber(std::string_view(*location).substr(comma + 1), out.lon)) {
            why = "location is not lat,lon";
            return false;
        }
        hasLat = hasLon = true;
    } else if (!optionalNumber(params, "lat", out.lat, hasLat, why) ||
               !optionalNumber(params, "lon", out.lon, hasLon, why)) {
        return false;
    }
    if (hasLat != hasLon) {
        why = hasLat ? "lat without lon" : "lon without lat";
        return false;
    }
    out.utcSeconds = nowUtc;
    if (const std::string* t = param(params, "timestamp"); t && !t->empty()) {
        if (!readPhoneTime(*t, out.utcSeconds)) {
            why = "timestamp is neither seconds, milliseconds nor ISO 8601";
            return false;
        }
    }
    if (!optionalNumber(params, "speed", out.speed, out.hasSpeed, why))
        return false;
    out.speedInDeviceUnit = true;
    if (!optionalNumber(params, "bearing", out.course, present, why))
        return false;
    if (!present && !optionalNumber(params, "heading", out.course, present, why))
        return false;
    if (!optionalNumber(params, "altitude", out.altitude, present, why) ||
        !optionalNumber(params, "accuracy", out.accuracy, present, why) ||
        !optionalNumber(params, "hdop", out.hdop, present, why) ||
        !optionalNumber(params, "batt", out.battery, present, why))
        return false;
    if (const std::string* valid = param(params, "valid"))
        out.valid = !(*valid == "false" || *valid == "0");
    if (!hasLat) {
        why = "no position (lat and lon, or location)";
        return false;
    }
    return checkPosition(out, nowUtc, why);
}

double numberOr(const JsonValue& object, std::string_view name, double fallback,
                bool* found = nullptr) {
    double v = fallback;
    const bool ok = object.numberMember(name, v);
    if (found)
        *found = ok;
    return ok ? v : fallback;
}

// Traccar Client's JSON: {"location":{"timestamp","coords":{...},"battery":{...}},"device_id"}.
bool readTraccarJson(const HttpRequest& request, const Params& params, const JsonValue& doc,
                     int64_t nowUtc, PhoneReport& out, std::string& why) {
    out.protocol = PhoneProtocol::osmand;
    std::string id;
    if (!doc.textMember("device_id", id)) {
        if (const std::string* p = param(params, "id"))
            id = *p;
    }
    if (!readIdentifier(id, out, why))
        return false;
    takeKey(request, params, out);
    const JsonValue* location = doc.member("location");
    const JsonValue* coords =
        location && location->isObject() ? location->member("coords") : nullptr;
    if (!coords || !coords->isObject()) {
        why = "no location.coords in the JSON body";
        return false;
    }
    bool hasLat = false, hasLon = false;
    out.lat = numberOr(*coords, "latitude", 0, &hasLat);
    out.lon = numberOr(*coords, "longitude", 0, &hasLon);
    if (!hasLat || !hasLon) {
        why = "no latitude and longitude in location.coords";
        return false;
    }
    out.utcSeconds = nowUtc;
    if (const JsonValue* t = location->member("timestamp")) {
        bool ok = false;
        if (t->kind() == JsonValue::Kind::string)
            ok = readPhoneTime(t->text(), out.utcSeconds);
        else if (t->kind() == JsonValue::Kind::number && std::isfinite(t->number()))
            ok = readPhoneTime(std::to_string(static_cast<long long>(t->number())), out.utcSeconds);
        if (!ok) {
            why = "timestamp is neither seconds, milliseconds nor ISO 8601";
            return false;
        }
    }
    // Negative speed and heading mean unknown there.
    const double speed = numberOr(*coords, "speed", -1);
    if (speed >= 0) {
        out.hasSpeed = true;
        out.speed = speed;
        out.speedUnit = speedMetresPerSecond;
    }
    out.course = std::max(0.0, numberOr(*coords, "heading", 0));
    out.altitude = numberOr(*coords, "altitude", 0);
    out.accuracy = numberOr(*coords, "accuracy", 0);
    if (const JsonValue* battery = location->member("battery"); battery && battery->isObject())
        if (double level = numberOr(*battery, "level", -1); level >= 0)
            out.battery = level * 100;
    return checkPosition(out, nowUtc, why);
}

bool readOwnTracks(const HttpRequest& request, const Params& params, const JsonValue& doc,
                   int64_t nowUtc, PhoneReport& out, std::string& why) {
    out.protocol = PhoneProtocol::owntracks;
    std::string user, password;
    if (const std::string_view* auth = request.header("authorization")) {
        if (!parseBasicAuth(*auth, user, password)) {
            why = "Authorization is not HTTP Basic";
            return false;
        }
    }
    if (user.empty())
        if (const std::string_view* u = request.header("x-limit-u"))
            user = std::string(*u);
    if (!readIdentifier(user, out, why)) {
        if (user.empty())
            why = "no user (HTTP Basic or X-Limit-U)";
        return false;
    }
    if (!password.empty())
        out.secret = password;
    else
        takeKey(request, params, out);
    std::string type;
    doc.textMember("_type", type);
    if (type != "location")
        return true; // accepted, nothing to draw
    bool hasLat = false, hasLon = false;
    out.lat = numberOr(doc, "lat", 0, &hasLat);
    out.lon = numberOr(doc, "lon", 0, &hasLon);
    if (!hasLat || !hasLon) {
        why = "a location without lat and lon";
        return false;
    }
    bool hasTime = false;
    const double tst = numberOr(doc, "tst", 0, &hasTime);
    out.utcSeconds = nowUtc;
    if (hasTime && !readPhoneTime(std::to_string(static_cast<long long>(tst)), out.utcSeconds)) {
        why = "tst is not a time";
        return false;
    }
    bool hasVel = false;
    const double vel = numberOr(doc, "vel", 0, &hasVel);
    if (hasVel && vel >= 0) {
        out.hasSpeed = true;
        out.speed = vel;
        out.speedUnit = speedKmPerHour;
    }
    out.course = std::max(0.0, numberOr(doc, "cog", 0));
    out.altitude = numberOr(doc, "alt", 0);
    out.accuracy = numberOr(doc, "acc", 0);
    out.battery = numberOr(doc, "batt", -1);
    doc.textMember("tid", out.tid);
    if (out.tid.size() > 8)
        out.tid.resize(8);
    return checkPosition(out, nowUtc, why);
}

bool looksLikeJson(const HttpRequest& request) {
    if (const std::string_view* type = request.header("content-type"))
        if (type->find("json") != std::string_view::npos)
            return true;
    for (char c : request.body) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        return c == '{' || c == '[';
    }
    return false;
}

} // namespace

bool validPhoneId(std::string_view id) {
    if (id.empty() || id.size() > kPhoneIdMax)
        return false;
    for (char c : id)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-'))
            return false;
    return true;
}

double speedInKnots(double speed, PhoneSpeedUnit unit) {
    switch (unit) {
    case speedMetresPerSecond:
        return speed * kKnotsPerMetrePerSecond;
    case speedKmPerHour:
        return speed * kKnotsPerKmPerHour;
    case speedKnots:
        break;
    }
    return speed;
}

bool readPhoneTime(std::string_view text, int64_t& utcSeconds) {
    if (text.empty())
        return false;
    if (text.find_first_not_of("0123456789") == std::string_view::npos) {
        if (text.size() > 16)
            return false;
        int64_t v = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
        if (ec != std::errc() || end != text.data() + text.size())
            return false;
        // Milliseconds from 1e11 on (seconds reach that in the year 5138).
        utcSeconds = v >= 100000000000LL ? v / 1000 : v;
        return true;
    }
    double fractional = 0;
    if (readNumber(text, fractional) && fractional >= 0 && fractional < 1e16) {
        const int64_t v = static_cast<int64_t>(fractional);
        utcSeconds = v >= 100000000000LL ? v / 1000 : v;
        return true;
    }
    return readIsoTime(text, utcSeconds);
}

bool readPhoneReport(const HttpRequest& request, int64_t nowUtc, PhoneReport& out,
                     std::string& why) {
    out = PhoneReport();
    Params params;
    if (!parseFormParams(request.query, params, why))
        return false;
    if (looksLikeJson(request)) {
        JsonValue doc;
        JsonError error;
        JsonLimits limits;
        limits.maxDepth = 8;
        limits.maxValues = 512;
        if (!parseJson(request.body, doc, error, limits)) {
            why = "JSON body at byte " + std::to_string(error.offset) + ": " + error.reason;
            return false;
        }
        if (!doc.isObject()) {
            why = "the JSON body is not an object";
            return false;
        }
        if (doc.member("_type"))
            return readOwnTracks(request, params, doc, nowUtc, out, why);
        return readTraccarJson(request, params, doc, nowUtc, out, why);
    }
    if (!request.body.empty()) {
        Params form;
        if (!parseFormParams(request.body, form, why))
            return false;
        if (params.size() + form.size() > kMaxRequestParams) {
            why = "more than " + std::to_string(kMaxRequestParams) + " parameters";
            return false;
        }
        params.insert(params.end(), form.begin(), form.end());
    }
    return readOsmandParams(request, params, nowUtc, out, why);
}
