#include "publish/flightPath.h"

#include "earth/kml.h"
#include "earth/kmlText.h"
#include "earth/n2k.h"
#include "earth/trackDraw.h"
#include "platform/paths.h"
#include "remote/client.h"
#include "trace/trace.h"
#include "track/track.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>

namespace {

constexpr double kDegToRad = 0.017453292519943278;
constexpr const char* kDiscColor = "9000ff00";
constexpr const char* kOnCourseColor = "ff00ff00";
constexpr const char* kOffCourseColor = "ff0000ff";
constexpr const char* kRouteLineStyle =
    "<Style id=\"redLine\"><LineStyle>\n<color>7f0000ff</color>\n"
    "<width>400</width>\n</LineStyle>\n</Style>\n";

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// One number as "%lf" reads it: blanks first, then the longest number text.
bool readNumber(std::string_view text, size_t& pos, double& value) {
    while (pos < text.size() && isBlank(text[pos]))
        ++pos;
    const char* first = text.data() + pos;
    const auto res = std::from_chars(first, text.data() + text.size(), value);
    if (res.ec != std::errc())
        return false;
    pos += static_cast<size_t>(res.ptr - first);
    return true;
}

bool readComma(std::string_view text, size_t& pos) {
    if (pos >= text.size() || text[pos] != ',')
        return false;
    ++pos;
    return true;
}

bool onTheGlobe(double lon, double lat, double alt) {
    return std::isfinite(lon) && std::isfinite(lat) && std::isfinite(alt) && lat >= -90 &&
           lat <= 90 && lon >= -180 && lon <= 180 && std::fabs(alt) < kTrackMaxAlt;
}

// "&name;" or "&#123;" at `pos`.
bool entityAt(std::string_view text, size_t pos) {
    size_t i = pos + 1;
    const size_t end = std::min(text.size(), pos + 32);
    if (i < end && text[i] == '#')
        ++i;
    const size_t nameStart = i;
    while (i < end && (std::isalnum(static_cast<unsigned char>(text[i]))))
        ++i;
    return i > nameStart && i < end && text[i] == ';';
}

// The end of a tag starting at `pos` (the index of its '>'), quotes honoured;
// npos when the tag never ends or holds a '<'.
size_t tagEnd(std::string_view text, size_t pos) {
    char quote = 0;
    for (size_t i = pos + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote)
                quote = 0;
            else if (c == '<' || (c == '&' && !entityAt(text, i)))
                return std::string_view::npos;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i;
        } else if (c == '<') {
            return std::string_view::npos;
        }
    }
    return std::string_view::npos;
}

void appendCoordinate(std::string& out, double lon, double lat, double alt) {
    appendFixed(out, lon, 5);
    out += ',';
    appendFixed(out, lat, 5);
    out += ',';
    appendFixed(out, alt, 1);
    out += '\n';
}

// The run head of the track drawing, under the name of the difference line.
void differenceVectorHead(std::string& out, const char* color) {
    std::string head;
    // A ground copy's head: outline 1, width 5, no extrusion, "absolute".
    lineStringHead(head, color, -1, -1, 0, 0);
    const size_t open = head.find("<name>");
    const size_t close = open == std::string::npos ? open : head.find("</name>", open);
    if (close != std::string::npos)
        head.replace(open + 6, close - open - 6, "DifferenceVector");
    out += head;
}

} // namespace

RouteParse parseRoute(std::string_view text, size_t maxPoints) {
    RouteParse r;
    const size_t list = text.find("<coordinates>");
    if (list == std::string_view::npos)
        return r;
    size_t pos = list + std::string_view("<coordinates>").size();
    for (;;) {
        while (pos < text.size() && text[pos] != '<' && !isDigit(text[pos]) && text[pos] != '-')
            ++pos;
        if (pos >= text.size() || text[pos] == '<')
            break;
        double lon, lat, alt;
        if (!readNumber(text, pos, lon) || !readComma(text, pos) || !readNumber(text, pos, lat) ||
            !readComma(text, pos) || !readNumber(text, pos, alt))
            break;
        if (!onTheGlobe(lon, lat, alt)) {
            ++r.refused;
            continue;
        }
        if (r.points.size() >= maxPoints) {
            r.cut = true;
            break;
        }
        r.points.push_back({lat, lon, alt});
    }
    return r;
}

double routeDistance(double lat1, double lon1, double lat2, double lon2) {
    const double p1 = lat1 * kDegToRad, p2 = lat2 * kDegToRad;
    const double c = std::sin(p1) * std::sin(p2) +
                     std::cos(p1) * std::cos(p2) * std::cos((lon1 - lon2) * kDegToRad);
    // Rounding can carry the cosine of two equal positions just past 1, where
    // acos has no value; a vehicle on the point is at distance 0.
    return std::acos(std::clamp(c, -1.0, 1.0)) * kRouteEarthRadiusKm * 1000;
}

bool wholeXmlElements(std::string_view text) {
    std::vector<std::string_view> open;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '&') {
            if (!entityAt(text, i))
                return false;
            ++i;
            continue;
        }
        if (c != '<') {
            ++i;
            continue;
        }
        const std::string_view rest = text.substr(i);
        if (rest.starts_with("<!--") || rest.starts_with("<![CDATA[")) {
            const bool comment = rest[2] == '-';
            const size_t end = text.find(comment ? "-->" : "]]>", i + 4);
            if (end == std::string_view::npos)
                return false;
            i = end + 3;
            continue;
        }
        if (rest.size() < 2 || rest[1] == '!' || rest[1] == '?')
            return false;
        const size_t end = tagEnd(text, i);
        if (end == std::string_view::npos)
            return false;
        const bool closing = rest[1] == '/';
        const size_t nameStart = i + (closing ? 2 : 1);
        size_t nameEnd = nameStart;
        while (nameEnd < end && !isBlank(text[nameEnd]) && text[nameEnd] != '/')
            ++nameEnd;
        const std::string_view name = text.substr(nameStart, nameEnd - nameStart);
        if (name.empty())
            return false;
        if (closing) {
            if (open.empty() || open.back() != name)
                return false;
            open.pop_back();
        } else if (text[end - 1] != '/') {
            open.push_back(name);
        }
        i = end + 1;
    }
    return open.empty();
}

int CFlightPath::loadRoute(double discDiameter) {
    const std::string path = FullPath(kFlightPathFile);
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        NTRACE("no route: %s not found", path.c_str());
        return 0;
    }
    std::string text(kRouteFileMax, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(file.gcount()));
    if (file.gcount() == static_cast<std::streamsize>(kRouteFileMax) && file.peek() != EOF)
        NTRACE("%s is larger than %zu bytes, only its start is read", kFlightPathFile,
               kRouteFileMax);

    RouteParse r = parseRoute(text);
    if (r.refused > 0)
        NTRACE("%s: %d route points outside the globe left out", kFlightPathFile, r.refused);
    if (r.cut)
        NTRACE("%s: route cut at %zu points", kFlightPathFile, kRouteMaxPoints);

    // A width from the registry may be anything; a disc is never drawn with
    // a diameter that would write "nan" into the document.
    if (!std::isfinite(discDiameter) || discDiameter < 0)
        discDiameter = 0;
    std::string kml;
    for (const RoutePoint& p : r.points)
        circlePlacemark(kml, p.lat, p.lon, kCircleSteps, discDiameter, kDiscColor);
    if (!r.points.empty()) {
        // The route as the file draws it joins the discs, when its placemarks
        // can be pasted without breaking the document they go into.
        const std::string_view body = std::string_view(text).substr(0, text.find("</Document>"));
        const size_t first = body.find("<Placemark>");
        if (first != std::string_view::npos) {
            const std::string_view placemarks = body.substr(first);
            if (wholeXmlElements(placemarks)) {
                kml += kRouteLineStyle;
                kml += placemarks;
            } else {
                NTRACE("%s: its placemarks are not whole XML elements, route line left out",
                       kFlightPathFile);
            }
        }
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    m_route = std::move(r.points);
    m_routeKml = std::move(kml);
    return static_cast<int>(m_route.size());
}

int CFlightPath::update(CClient& vehicle) {
    const double radius = vehicle.trackWidth;
    bool load;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        load = vehicle.track.pointCount() == 1 || !m_loadTried;
        if (load) {
            // A new flight starts at the route's beginning.
            m_loadTried = true;
            m_index = 0;
            m_route.clear();
            m_routeKml.clear();
        }
    }
    if (load && loadRoute(2 * radius) == 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_onCourse = -1;
        return -1;
    }

    const GpsFix pos = vehicle.displayPosition();
    std::lock_guard<std::mutex> lock(m_mutex);
    const int size = static_cast<int>(m_route.size());
    if (size == 0) {
        m_onCourse = -1;
        return -1;
    }
    auto inside = [&](int i) {
        return routeDistance(pos.lat, pos.lon, m_route[i].lat, m_route[i].lon) < radius;
    };
    if (inside(m_index)) {
        m_onCourse = 1;
    } else if (m_index < size - 1 && inside(m_index + 1)) {
        m_index += 1;
        m_onCourse = 1;
    } else if (m_index < size - 2 && inside(m_index + 2)) {
        m_index += 2;
        m_onCourse = 1;
    } else {
        m_onCourse = 0;
        NTRACE_AS("doFlightPath", "off course");
    }
    return m_onCourse;
}

std::string CFlightPath::fragment(CClient& vehicle) {
    const GpsFix pos = vehicle.displayPosition();
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string out;
    if (m_route.empty())
        return out;
    out.reserve(m_routeKml.size() + 1024);
    out += "<Folder>\n<name>FlightTracker</name>";
    out += m_routeKml;
    const int last = static_cast<int>(m_route.size()) - 1;
    const RoutePoint& target = m_route[std::min(m_index + 1, last)];
    differenceVectorHead(out, m_onCourse == 1 ? kOnCourseColor : kOffCourseColor);
    appendCoordinate(out, pos.lon, pos.lat, pos.alt);
    out += ' ';
    appendCoordinate(out, target.lon, target.lat, target.alt);
    lineStringTail(out);
    out += "</Folder>\n";
    return out;
}

int CFlightPath::routeSize() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_route.size());
}

int CFlightPath::currentIndex() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_index;
}

int CFlightPath::onCourse() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_onCourse;
}

std::vector<RoutePoint> CFlightPath::route() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_route;
}
