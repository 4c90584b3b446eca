#include "earth/autoView.h"

#include "earth/autoViewState.h"
#include "earth/kmlText.h"
#include "platform/numeric.h"
#include "platform/paths.h"
#include "remote/client.h"
#include "trace/trace.h"
#include "track/outsideText.h"
#include "track/track.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

namespace {

constexpr double kFeetToMetres = 0.3048;

const ViewBand kDefaultBands[] = {
    {0, -1000, 70, 0.0, {}},
    {5, 800, 70, 0.0, {}},
    {20, 3000, 50, 0.0, {}},
    {50, 3000, 45, 0.0, {}},
};

bool isLetter(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}
bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// sscanf-like readers: skip leading white space, then one number. They
// advance `s` past what they read and leave `value` alone on failure.
void skipSpace(std::string_view& s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
}

bool scanInt(std::string_view& s, int& value) {
    skipSpace(s);
    std::string_view t = s;
    if (!t.empty() && t.front() == '+')
        t.remove_prefix(1);
    int v = 0;
    auto res = std::from_chars(t.data(), t.data() + t.size(), v);
    if (res.ec != std::errc())
        return false;
    value = v;
    s.remove_prefix(static_cast<size_t>(res.ptr - s.data()));
    return true;
}

bool scanDouble(std::string_view& s, double& value) {
    skipSpace(s);
    std::string_view t = s;
    if (!t.empty() && t.front() == '+')
        t.remove_prefix(1);
    double v = 0;
    auto res = std::from_chars(t.data(), t.data() + t.size(), v);
    if (res.ec != std::errc() || std::isnan(v))
        return false;
    value = v;
    s.remove_prefix(static_cast<size_t>(res.ptr - s.data()));
    return true;
}

bool scanChar(std::string_view& s, char c) {
    if (s.empty() || s.front() != c)
        return false;
    s.remove_prefix(1);
    return true;
}

// Blanks and tabs go, except those after a letter and before the next comma,
// so that a model name may contain blanks.
std::string cleanLine(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    bool afterLetter = false;
    for (char c : line) {
        if (c == ',')
            afterLetter = false;
        else if (isLetter(c))
            afterLetter = true;
        if (isBlank(c) && !afterLetter)
            continue;
        out += c;
    }
    return out;
}

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// "speed,range,tilt[,model[,scale]]". False when the three numbers are not there.
bool parseRow(std::string_view line, ViewBand& row) {
    std::string_view s = line;
    int speed = 0, range = 0, tilt = 0;
    if (!scanInt(s, speed) || !scanChar(s, ',') || !scanInt(s, range) || !scanChar(s, ',') ||
        !scanInt(s, tilt))
        return false;
    row = ViewBand{speed, range, tilt, 1.0, {}};

    size_t first = 0;
    while (first < line.size() && !isLetter(line[first]))
        ++first;
    if (first < line.size()) {
        size_t end = line.find(',', first);
        std::string_view model =
            line.substr(first, end == std::string_view::npos ? line.npos : end - first);
        if (end != std::string_view::npos) {
            std::string_view rest = line.substr(end + 1);
            scanDouble(rest, row.scale);
            if (row.scale > 1000)
                row.scale = 1;
            else if (row.scale < -1000)
                row.scale = -1;
        }
        // The model ends before the first blank that follows its last letter.
        size_t lastLetter = model.size();
        while (lastLetter > 0 && !isLetter(model[lastLetter - 1]))
            --lastLetter;
        for (size_t i = lastLetter; i < model.size(); ++i) {
            if (isBlank(model[i])) {
                model = model.substr(0, i);
                break;
            }
        }
        // The file is the user's, but a control byte in it must not reach
        // the KML every poll carries.
        row.model = cleanText(model.substr(0, kViewModelMax));
    }
    return true;
}

std::mutex& tableMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<const ViewTable>& tableSlot() {
    static std::shared_ptr<const ViewTable> table =
        std::make_shared<const ViewTable>(defaultViewTable());
    return table;
}

bool readCapped(const std::string& path, std::string& text) {
    // Only a regular file is a table: a folder of that name would read as an
    // empty one, and opening a pipe would hold every KML writer until someone
    // writes to it.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    text.resize(kAutoViewReadMax);
    in.read(text.data(), static_cast<std::streamsize>(kAutoViewReadMax));
    text.resize(static_cast<size_t>(in.gcount()));
    return true;
}

// Google Earth reports the heading it flew to rounded; a difference within
// this from the heading set last (the LookAt carries hundredths) is that
// rounding, not the user's hand.
constexpr double kHeadingEchoDegrees = 0.01;

// Whether the camera's heading is another one than the heading set last,
// compared as directions (359.999 and -0.001 are the same).
bool userTurnedView(double camera, double last) {
    double d = std::fmod(std::fabs(camera - last), 360.0);
    d = std::min(d, 360.0 - d);
    return !(d <= kHeadingEchoDegrees);
}

double displaySpeed(CClient& vehicle) {
    return vehicle.displayPosition().spd;
}

} // namespace

ViewTable defaultViewTable() {
    ViewTable t;
    for (const ViewBand& b : kDefaultBands)
        t.rows[t.count++] = b;
    return t;
}

ViewTable parseAutoView(std::string_view text) {
    ViewTable t = defaultViewTable();
    // The text is a C string in the file's eyes: a NUL ends it.
    text = text.substr(0, text.find('\0'));
    int next = 0;
    size_t pos = 0;
    int lineNo = 0;
    while (pos < text.size()) {
        size_t lf = text.find('\n', pos);
        std::string_view line = text.substr(pos, lf == text.npos ? text.npos : lf - pos);
        pos = lf == text.npos ? text.size() : lf + 1;
        ++lineNo;
        // Files edited on Windows end their lines in CR LF; the CR is part of
        // the line end, not of the last field (a model link must not keep it).
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || line.find(';') != line.npos)
            continue;
        std::string clean = cleanLine(line);
        if (clean.empty())
            continue;
        std::string_view s = clean;
        if (startsWith(s, "<Circle>")) {
            s.remove_prefix(8);
            scanInt(s, t.circle);
            if (t.circle < 0)
                t.circle = 0;
        } else if (startsWith(s, "<Smoothing>")) {
            s.remove_prefix(11);
            scanInt(s, t.smoothing);
            if (t.smoothing < 0 || t.smoothing > 30)
                t.smoothing = 0;
        } else if (startsWith(s, "<RotateMinimum>")) {
            s.remove_prefix(15);
            scanDouble(s, t.rotateMinimum);
            if (t.rotateMinimum < 0 || t.rotateMinimum > 9999999)
                t.rotateMinimum = 0;
        } else {
            ViewBand row;
            if (!parseRow(clean, row)) {
                NTRACE("AutoView line %d is not a view row, rest of the file ignored", lineNo);
                break;
            }
            if (next >= kViewBandMax)
                continue;
            if (next == 0 && row.speed != 0) {
                t.rows[0] = kDefaultBands[0];
                next = 1;
            }
            t.rows[next++] = std::move(row);
            t.count = next;
        }
    }
    return t;
}

std::shared_ptr<const ViewTable> loadAutoView() {
    std::string text;
    auto table = std::make_shared<const ViewTable>(
        readCapped(FullPath("AutoView.cfg"), text) || readCapped(FullPath("AutoZoom.cfg"), text)
            ? parseAutoView(text)
            : defaultViewTable());
    std::lock_guard<std::mutex> lock(tableMutex());
    tableSlot() = table;
    return table;
}

std::shared_ptr<const ViewTable> autoViewTable() {
    std::lock_guard<std::mutex> lock(tableMutex());
    return tableSlot();
}

int speedBand(const ViewTable& table, double knots) {
    int e = truncInt32(knots * kKnotsToMph);
    if (e < 1)
        e = 1;
    for (int i = 0; i < table.count; ++i) {
        if (table.rows[i].speed >= e)
            return i;
    }
    return -1;
}

int speedBand(double knots) {
    return speedBand(*autoViewTable(), knots);
}

RangeTilt autoRangeTilt(CClient& vehicle, const ViewTable& table) {
    const double v = displaySpeed(vehicle) * kKnotsToMph;
    const int e = truncInt32(v);
    int c = speedBand(table, displaySpeed(vehicle));

    if (vehicle.speedBandIndex == 99) {
        vehicle.speedBandIndex = c;
        vehicle.bandSpeed = e;
    }
    if (const int s = table.smoothing; s != 0) {
        const int f = vehicle.speedBandIndex;
        long long lower, upper;
        if (f == 0) {
            lower = table.rows[0].speed;
            upper = 1000;
        } else if (f < 0 || f >= table.count) {
            // Above the last row: the band starts at the last row's speed.
            lower = table.last().speed;
            upper = 1000;
        } else {
            lower = table.rows[f - 1].speed;
            upper = static_cast<long long>(table.rows[f].speed) + s;
        }
        if (upper < e || e < lower - s) {
            vehicle.speedBandIndex = c;
            vehicle.bandSpeed = e;
        } else {
            c = f;
        }
    }
    if (c >= table.count) // a band kept from a longer table
        c = -1;

    double range = 0, tilt = 0;
    bool haveRange = false, haveTilt = false;
    if (c > 0) {
        const ViewBand& lo = table.rows[c - 1];
        const ViewBand& hi = table.rows[c];
        // Rows of equal speed leave nothing to interpolate: take the lower row.
        const double m =
            hi.speed == lo.speed ? 0.0 : (double(e) - lo.speed) / (double(hi.speed) - lo.speed);
        range = lo.range < 0 ? -double(lo.range)
                             : lo.range + m * (std::fabs(double(hi.range)) - lo.range);
        tilt =
            lo.tilt < 0 ? -double(lo.tilt) : lo.tilt + m * (std::fabs(double(hi.tilt)) - lo.tilt);
        haveRange = haveTilt = true;
    }
    if (!haveTilt)
        tilt = std::fabs(double(table.last().tilt));
    if (!haveRange) {
        const double g = table.last().range;
        const double l = table.last().speed;
        // The range grows in proportion beyond the last row; a last row at
        // -1 mph gives no proportion, and its range is taken as it stands.
        range = g < 0 ? -g : l + 1 == 0 ? g : g + (e - l) * g / (l + 1);
    }
    if (tilt < 0)
        tilt = 0;
    else if (tilt > 90)
        tilt = 90;
    if (range < 0)
        range = 200;
    return {range * kFeetToMetres, tilt};
}

RangeTilt autoRangeTilt(CClient& vehicle) {
    return autoRangeTilt(vehicle, *autoViewTable());
}

void computeView(CClient& vehicle, const ViewTable& table) {
    if (!(vehicle.tracking & kTrackFollow) || !(vehicle.tracking & kTrackViewControl))
        return;
    const GpsFix pos = vehicle.displayPosition();
    if ((vehicle.tracking & kTrackHeading) && !(table.rotateMinimum > pos.spd)) {
        const int mode = autoViewHeadingMode();
        double heading;
        if (mode >= 1) {
            heading = (mode - 1) * 45.0 + pos.hdg; // no int overflow for any mode
        } else {
            double c = vehicle.camHdg;
            double d = pos.hdg;
            if (c < 0)
                c += 360;
            if (d < 0)
                d += 360;
            // A camera heading other than the one we set last means the user
            // turned the view: keep their offset from the course.
            if (!autoViewHeadingHold() && userTurnedView(c, autoViewLastHeading()))
                setAutoViewHeadingOffset(c - d);
            setAutoViewHeadingHold(false);
            heading = d + autoViewHeadingOffset();
        }
        if (heading > 360)
            heading -= 360;
        if (mode < 1)
            setAutoViewLastHeading(heading);
        vehicle.camHdg = heading;
    }
    if (vehicle.tracking & (kTrackRange | kTrackTilt)) {
        const RangeTilt rt = autoRangeTilt(vehicle, table);
        if (vehicle.tracking & kTrackRange)
            vehicle.camRange = rt.range;
        if (vehicle.tracking & kTrackTilt)
            vehicle.camTilt = rt.tilt;
    }
}

void computeView(CClient& vehicle) {
    computeView(vehicle, *autoViewTable());
}

std::string lookAtElement(CClient& vehicle, const ViewTable& table) {
    std::string out;
    if (vehicle.tracking == 0)
        return out;
    computeView(vehicle, table);
    const GpsFix pos = vehicle.displayPosition();
    out += "<LookAt>\n<longitude>";
    appendFixed(out, pos.lon, 5);
    out += "</longitude>\n<latitude>";
    appendFixed(out, pos.lat, 5);
    out += "</latitude>\n<range>";
    appendFixed(out, vehicle.camRange, 8);
    out += "</range>\n<tilt>";
    appendFixed(out, vehicle.camTilt, 8);
    out += "</tilt>\n<heading>";
    appendFixed(out, vehicle.camHdg, 3);
    out += "</heading>\n</LookAt>\n";
    return out;
}

std::string lookAtElement(CClient& vehicle) {
    return lookAtElement(vehicle, *autoViewTable());
}
