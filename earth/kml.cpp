#include "earth/kml.h"

#include "earth/autoView.h"
#include "earth/kmlText.h"
#include "earth/trackDraw.h"
#include "platform/numeric.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "track/outsideText.h"
#include "track/track.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <strings.h>

namespace {

constexpr double kDegToRad = 0.017453292519943278;

struct NamedColor {
    const char* name;
    const char* bbggrr;
};
const NamedColor kNamedColors[] = {
    {"blue", "ff0000"},   {"lightblue", "ffff00"}, {"green", "408000"},  {"red", "0000ff"},
    {"yellow", "00ffff"}, {"violet", "ff4080"},    {"purple", "ff00ff"}, {"orange", "4080ff"},
};

bool followed(const CClient& v) {
    return (v.tracking & kTrackFollow) != 0;
}

// Rough size of a vehicle's KML, so that the output grows once.
size_t estimatedSize(CClient& v, KmlMode mode, int pointLimit) {
    const KmlCost cost = kmlCost(v, mode);
    return cost.base + cost.perPoint * static_cast<size_t>(drawnPoints(v, pointLimit));
}

void appendPolygon(std::string& out, int extrude, const char* altMode, const LatLonOffset (&v)[6],
                   const int (&alt)[6]) {
    out += "  <Polygon>\n    <extrude>";
    appendInt(out, extrude);
    out += "</extrude>\n  <altitudeMode>";
    out += altMode;
    out += "</altitudeMode>\n    <outerBoundaryIs>\n      <LinearRing>\n        <coordinates>\n";
    for (int i = 0; i < 6; ++i) {
        out += "            ";
        appendFixed(out, v[i].lon, 6);
        out += ", ";
        appendFixed(out, v[i].lat, 6);
        out += ", ";
        appendInt(out, alt[i]);
        out += " \n";
    }
    out += "        </coordinates>\n      </LinearRing>\n    </outerBoundaryIs>\n  </Polygon>\n";
}

void appendVehicleKml(std::string& out, CClient& v, KmlMode mode, int pointLimit,
                      const KmlOptions& opt) {
    // The vehicle's fields change on other threads (its feed, the window):
    // all of them are read, and the writer's own (view, speed band) written,
    // under the track lock.
    TrackLockGuard lock;
    out.reserve(out.size() + estimatedSize(v, mode, pointLimit));
    if (mode == kmlSingle)
        out += kmlDocumentHead();
    if (opt.debugLogging)
        v.track.dump((safeFileStem(v.name) + ".dbtrack").c_str());

    // The table is read again for every vehicle, so edits to the file show at
    // the next refresh; this snapshot stays whole while another thread reloads.
    const std::shared_ptr<const ViewTable> table = loadAutoView();
    const GpsFix pos = v.displayPosition();
    std::string model;
    double scale = 1.0;
    if (v.isLocal) {
        const int band = speedBand(*table, pos.spd);
        const ViewBand& row = band > 0 ? table->rows[band - 1] : table->last();
        model = row.model;
        scale = row.scale;
        if (scale < 0) // the model grows with the view range
            scale = -(autoRangeTilt(v, *table).range * scale) / 1000;
    }

    std::string cursorColor = v.color;
    if (v.speedTrack == 1)
        cursorColor = speedColor(pos.spd * kKnotsToMph, v.maxSpd * kKnotsToMph);
    else
        kmlColor(cursorColor, "ff");

    if (v.isLocal) {
        if (opt.flightPath)
            out += opt.flightPath->fragment(v);
    }

    std::string icon = v.cursorType == 1 ? v.imageFile : std::string();
    double iconScale = 1.0;
    const bool daeModel = model.find(".dae") != std::string::npos;
    if (!model.empty()) {
        iconScale = scale;
        if (daeModel)
            icon.clear();
        else
            icon = model;
    }
    pointPlacemark(out, v, icon, iconScale, v.camRange, mode, opt);

    if (daeModel) {
        modelCursor(out, v, model, scale, opt);
    } else if (model.empty() && mode == kmlLink) {
        if (v.cursorType == 0)
            arrowCursor(out, v, cursorColor, opt);
        else if (v.cursorType == 2)
            modelCursor(out, v, v.modelFile, 1.0, opt);
    }

    std::string trackColor = cursorColor;
    if (v.speedTrack != 1 || mode != kmlLink) {
        trackColor = v.color;
        // Under a speed track the plain track is only a faint guide.
        kmlColor(trackColor, mode != kmlLink && v.speedTrack == 1 ? "40"
                             : followed(v)                        ? "FF"
                                                                  : "A0");
        trackFolder(out, v, v.fly, trackColor, pointLimit);
        if (v.fly)
            trackFolder(out, v, -1, trackColor, pointLimit);
    }
    if (v.speedTrack == 1) {
        trackFolder(out, v, v.fly, std::nullopt, pointLimit);
        if (v.fly)
            trackFolder(out, v, -1, std::nullopt, pointLimit);
    }
    if (v.timestamps)
        timeStampsFolder(out, v, pointLimit);
    if (v.trackWidth > 0)
        circlesFolder(out, v, trackColor, pointLimit);
    out += "</Folder>\n";

    if (mode != kmlLink)
        out += lookAtElement(v, *table);
    if (mode == kmlSingle)
        out += kmlDocumentTail();
}

} // namespace

std::string kmlHeader() {
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<kml xmlns=\"";
    s += kKmlNamespace;
    s += "\">\n";
    return s;
}

std::string kmlDocumentHead() {
    return kmlHeader() + "<Document>\n<open>1</open>\n<visibility>1</visibility>\n";
}

std::string kmlDocumentTail() {
    return "</Document>\n</kml>\n";
}

KmlCost kmlCost(const CClient& v, KmlMode mode) {
    // Every drawn copy of the track pastes about 40 bytes per point, a time
    // stamp costs a little per point on average, a circle about 1 kB. The
    // network link draws a speed track alone; the documents draw the plain
    // track under it too.
    size_t copies = v.speedTrack == 1 && mode != kmlLink ? 2 : 1;
    if (v.fly)
        copies *= 2;
    KmlCost cost{4096, 40 * copies};
    if (v.timestamps)
        cost.perPoint += 2;
    if (v.trackWidth > 0)
        cost.perPoint += 1100;
    return cost;
}

void vehicleKml(CClient& vehicle, std::string& out, KmlMode mode, int pointLimit,
                const KmlOptions& opt) {
    out.clear();
    appendVehicleKml(out, vehicle, mode, pointLimit, opt);
}

void allVehiclesKml(std::string& out, int pointLimit, const std::vector<CClient*>& vehicles,
                    const KmlOptions& opt) {
    out.clear(); // keeps the capacity of the last document
    out += kmlDocumentHead();
    for (CClient* v : vehicles) {
        if (g_bShutdown)
            break;
        if (!v || !v->visible)
            continue;
        appendVehicleKml(out, *v, kmlMulti, pointLimit, opt);
        out += '\n';
    }
    out += '\n';
    out += kmlDocumentTail();
}

std::string vehicleLabel(CClient& v, const KmlOptions& opt) {
    if (v.isLocal && !v.isDemo && opt.statusText != "Signal Acquired") {
        v.changed = 1;
        return opt.statusText;
    }
    const GpsFix pos = v.displayPosition();
    const bool named = v.showName || v.showHost;
    std::string s;
    if (v.showName)
        s += v.uName;
    if (v.showHost) {
        if (v.showName)
            s += '@';
        s += v.host;
    }
    if (!v.online)
        s += '!';
    if (v.showSpeed) {
        if (named)
            s += ' ';
        if (opt.speedInKnots) {
            appendFixed(s, pos.spd, 1);
            s += "kt";
        } else if (opt.metric) {
            appendFixed(s, pos.spd * kKnotsToKmh, 1);
            s += "km/h";
        } else {
            appendFixed(s, pos.spd * kKnotsToMph, 1);
            s += "mph";
        }
    }
    if (v.showHdg) {
        if (named && !v.showSpeed)
            s += ' ';
        if (v.showSpeed)
            s += ", ";
        appendFixed(s, pos.hdg, 1);
    }
    if (v.showAlt) {
        if (named && !v.showSpeed && !v.showHdg)
            s += ' ';
        if (v.showHdg || v.showSpeed)
            s += ", ";
        if (opt.metric) {
            appendFixed(s, pos.alt, 1);
            s += " m";
        } else {
            appendFixed(s, pos.alt * kMetresToFeet, 1);
            s += " ft";
        }
    }
    if (v.showTime && v.track.pointCount() > 0) {
        s += ' ';
        s += formatFixTime(pos.time);
    }
    return s;
}

void pointPlacemark(std::string& out, CClient& v, const std::string& icon, double iconScale,
                    double range, KmlMode mode, const KmlOptions& opt) {
    const char* altMode = v.fly ? "absolute" : "relativeToGround";
    const std::string* href = &icon;
    const std::string stock = kKmlStockIcon;
    double scale;
    if (mode != kmlLink) {
        altMode = "clampedToGround";
        href = &stock;
        scale = 1.0;
    } else {
        scale = opt.cursorSize / 150.0 * iconScale;
    }
    const GpsFix pos = v.displayPosition();
    const double f = viewScale(range);
    const double altitude = v.fly ? f * 3 + pos.alt : f * 7;

    out += "<Folder>\n  <name>";
    appendXmlText(out, v.isLocal ? v.uName : v.name);
    out += "</name>\n<Placemark>\n  <name>";
    appendXmlText(out, vehicleLabel(v, opt));
    out += "</name>\n";
    if (!href->empty()) {
        out += "    <Style>\n      <IconStyle>\n<scale>";
        appendFixed(out, scale, 6);
        out += "</scale>\n        <Icon>\n          <href>";
        appendXmlText(out, *href);
        out += "</href>\n        </Icon>\n      </IconStyle>\n    </Style>\n";
    } else {
        out += "<Style>\n<IconStyle>\n<Icon>\n<href> </href>\n</Icon>\n</IconStyle>\n</Style>\n";
    }
    out += "  <Point>\n  <altitudeMode>";
    out += altMode;
    out += "</altitudeMode>\n        <coordinates>\n            ";
    appendFixed(out, pos.lon, 5);
    out += ", ";
    appendFixed(out, pos.lat, 5);
    out += ", ";
    appendFixed(out, altitude, 2);
    out += " \n        </coordinates>\n</Point>\n</Placemark>\n";
}

void modelCursor(std::string& out, CClient& v, const std::string& model, double scale,
                 const KmlOptions& opt) {
    double s = viewScale(v.camRange) * scale;
    if (!followed(v))
        s /= 1.5;
    s *= 5;
    if (v.camRange < 150) // close in, the model keeps its own size
        s = 1;
    s = s * opt.cursorSize / 150;
    const GpsFix pos = v.displayPosition();
    const char* altMode = v.fly ? "absolute" : "clampedToGround";
    const double altitude = v.fly ? pos.alt : 2.0;

    out += "<Placemark>\n<name>Cursor</name>\n<Model>\n<altitudeMode>";
    out += altMode;
    out += "</altitudeMode>\n<Location>\n<longitude>";
    appendFixed(out, pos.lon, 6);
    out += "</longitude>\n<latitude>";
    appendFixed(out, pos.lat, 6);
    out += "</latitude>\n<altitude>";
    appendFixed(out, altitude, 6);
    out += "</altitude>\n</Location>\n<Orientation>\n<heading>";
    appendFixed(out, pos.hdg, 2);
    out += "</heading>\n<tilt>0</tilt>\n<roll>0</roll>\n</Orientation>\n<Scale>\n";
    for (const char* axis : {"x", "y", "z"}) {
        out += '<';
        out += axis;
        out += '>';
        appendFixed(out, s, 4);
        out += "</";
        out += axis;
        out += ">\n";
    }
    out += "</Scale>\n<Link>\n<href>";
    appendXmlText(out, model);
    out += "</href>\n</Link>\n</Model>\n</Placemark>\n";
}

void arrowCursor(std::string& out, CClient& v, const std::string& color, const KmlOptions& opt) {
    double d = viewScale(v.camRange);
    if (!followed(v))
        d /= 1.5;
    const double f = opt.cursorSize / 50.0 * d;
    const double longSide = f * 0.0002;
    const double shortSide = f * 0.0001;
    const GpsFix pos = v.displayPosition();
    const double c = pos.hdg;
    auto corner = [&](double bearing, double distance) {
        const LatLonOffset o = arrowOffset(bearing, distance, pos.lat);
        return LatLonOffset{pos.lat + o.lat, pos.lon + o.lon};
    };
    const LatLonOffset tip = corner(c, longSide / 3);
    const LatLonOffset wingA = corner(c + 150, shortSide);
    const LatLonOffset wingB = corner(c + 210, shortSide);
    const LatLonOffset tail = corner(c + 180, longSide / 4);
    const LatLonOffset ring[6] = {tip, wingB, tail, wingA, tip, tail};
    // Heights in 64 bits: with a large CursorSize 3 x f no longer fits an int.
    const int64_t units = truncInt32(f);
    const int64_t h = units == 0 ? 1 : 3 * units;

    out += "<Placemark>\n<name>Cursor</name>\n<Style>\n   <LineStyle>\n   <color>";
    appendXmlText(out, color);
    out += "</color>\n    <width>1.0</width>\n    </LineStyle>\n    <PolyStyle>\n   <color>";
    appendXmlText(out, color);
    out += "</color>\n    </PolyStyle>\n</Style>\n<MultiGeometry>\n";
    if (v.fly) {
        const int64_t a = truncInt32(pos.alt);
        const int tip = truncInt32(double(a - h / 3));
        const int wing = static_cast<int>(a);
        const int up = truncInt32(double(a) + 0.8 * double(h));
        const int down = truncInt32(double(a) - 0.8 * double(h));
        const int above[6] = {tip, wing, up, wing, tip, up};
        const int below[6] = {tip, wing, down, wing, tip, down};
        appendPolygon(out, 0, "absolute", ring, above);
        appendPolygon(out, 0, "absolute", ring, below);
    } else {
        const int tip = truncInt32(double(h / 3));
        const int wing = truncInt32(double(h));
        const int tail = truncInt32(1.8 * double(h));
        const int alt[6] = {tip, wing, tail, wing, tip, tail};
        appendPolygon(out, 1, "relativeToGround", ring, alt);
    }
    out += "</MultiGeometry>\n</Placemark>\n";
}

LatLonOffset arrowOffset(double bearing, double distance, double latitude) {
    const double theta = (truncInt32(bearing) % 360) * kDegToRad;
    const double l = std::fabs(latitude);
    double k;
    if (l > 85)
        k = (l - 85) / 5 * 95 + 10.5;
    else if (l > 80)
        k = (l - 80) / 5 * 5 + 5.5;
    else if (l > 70)
        k = (l - 70) / 10 * 2.5 + 3;
    else if (l > 60)
        k = (l - 60) / 10 + 2;
    else if (l > 55)
        k = (l - 55) / 5 * 0.45 + 1.55;
    else
        k = l / 100 + 1;
    return {distance * std::cos(theta), distance * std::sin(theta) * k};
}

void setColorAlpha(std::string& color, std::string_view alpha) {
    if (color.size() < 2)
        color.assign(alpha);
    else
        color.replace(0, 2, alpha);
}

void kmlColor(std::string& color, std::string_view alpha) {
    for (const NamedColor& c : kNamedColors) {
        if (strcasecmp(color.c_str(), c.name) == 0) {
            color.assign(alpha);
            color += c.bbggrr;
            return;
        }
    }
    setColorAlpha(color, alpha);
}

std::string speedColor(double mph, double topMph) {
    if (mph < 0)
        return "ff00ff00";
    const double s = mph > topMph ? mph - 0.8 * topMph : mph;
    // A top speed of 0 (or a broken one) puts every speed at the top of the ramp.
    double p = topMph > 0 ? (s + 0.005) / topMph * 100 : 99;
    if (p > 100 || !(p == p))
        p = 99;
    auto channel = [](double x) { return std::clamp(truncInt32(x), 0, 255); };
    int blue, green, red;
    if (p < 25) {
        blue = 255, green = channel(p * 10.2), red = 0;
    } else if (p < 50) {
        blue = channel(255 - (p - 25) * 10.2), green = 255, red = 0;
    } else if (p < 75) {
        blue = 0, green = 255, red = channel((p - 50) * 10.2);
    } else {
        blue = 0, green = channel(255 - (p - 75) * 10.2), red = 255;
    }
    static const char kHex[] = "0123456789abcdef";
    std::string text = "FF";
    for (int c : {blue, green, red}) {
        text += kHex[c >> 4];
        text += kHex[c & 15];
    }
    return text;
}

std::string formatFixTime(int64_t time, bool hourly) {
    return formatFixTime(time, hourly, tzOffset());
}

std::string formatFixTime(int64_t time, bool hourly, long zoneOffset) {
    std::string out;
    if (time == 0)
        return out;
    const time_t t = static_cast<time_t>(time - zoneOffset);
    struct tm tm {};
    if (!localtime_r(&t, &tm))
        return out;
    const int year = tm.tm_year + 1900;
    if (hourly) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d+%02d", year, tm.tm_mon + 1, tm.tm_mday,
                      tm.tm_hour);
        return buf;
    }
    // Written by hand: the track walk formats one time per run.
    auto two = [&out](int v) {
        if (v >= 0 && v <= 99) {
            out += static_cast<char>('0' + v / 10);
            out += static_cast<char>('0' + v % 10);
        } else {
            appendInt(out, v);
        }
    };
    two(tm.tm_mon + 1);
    out += '/';
    two(tm.tm_mday);
    out += '/';
    two(year - 2000);
    out += ' ';
    two(tm.tm_hour);
    out += ':';
    two(tm.tm_min);
    return out;
}

double viewScale(double range) {
    double f = range / 200;
    if (range > 13000000)
        f /= 3;
    return f;
}
