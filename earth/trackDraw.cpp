#include "earth/trackDraw.h"

#include "earth/kml.h"
#include "earth/kmlText.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "trace/trace.h"
#include "track/track.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

constexpr double kDegToRad = 0.017453292519943278;
constexpr double kPi = 3.14159265358979323846;

// The coords text of a slot. A slot read from a damaged track file may lack
// its terminator; the text never runs past the field.
std::string_view coordsText(const TrackPoint& p) {
    return std::string_view(p.coords, strnlen(p.coords, sizeof p.coords));
}

// An index computed in 64 bits from limits that may be anywhere in the int
// range (maxPts is a registry value), held to the int range.
int narrowIndex(int64_t i) {
    return static_cast<int>(std::clamp<int64_t>(i, INT32_MIN, INT32_MAX));
}

// Each writing thread fills its own run buffer; it keeps its capacity, so a
// long run costs one growth, not one allocation per run.
std::string& runBuffer() {
    thread_local std::string buffer;
    return buffer;
}

// The indices that time stamps and circles cover: 1 (the newest point is not
// marked) to the end of the drawn range, or the time span.
IndexRange drawRange(CClient& vehicle, int pointLimit) {
    if (vehicle.useTimeSpan)
        return timeSpanRange(vehicle);
    const int64_t n = std::min(pointLimit, vehicle.maxPts);
    return {1, narrowIndex(std::min<int64_t>(n - 1, vehicle.track.pointCount() - 1))};
}

void appendStamp(std::string& out, const TrackPoint& p, int64_t time, const char* altMode,
                 long zoneOffset) {
    out += "<Placemark>\n<name>";
    out += formatFixTime(time, false, zoneOffset);
    out += "</name>\n<Style>\n<IconStyle>\n<Icon>\n<href> </href>\n</Icon>\n</IconStyle>\n"
           "<LabelStyle><scale>.75</scale></LabelStyle>\n</Style>\n"
           "  <Point>\n  <altitudeMode>";
    out += altMode;
    out += "</altitudeMode>\n        <coordinates>\n            ";
    out += coordsText(p);
    out += "        </coordinates>\n</Point>\n</Placemark>\n";
}

} // namespace

IndexRange timeSpanRange(CClient& vehicle) {
    CTrack& track = vehicle.track;
    IndexRange r{0, 0};
    int i = 0;
    for (const TrackPoint* p; (p = track.point(i)) != nullptr; ++i) {
        if (static_cast<int64_t>(p->time) < vehicle.endTime)
            break;
    }
    // The walk stopped at the first point before the end, or ran out.
    r.first = track.point(i) ? std::max(i - 1, 0) : i;

    r.last = narrowIndex(std::min<int64_t>(track.pointCount() - 1, int64_t{vehicle.maxPts} - 1));
    while (r.last > 0) {
        const TrackPoint* p = track.point(r.last);
        if (!p)
            break;
        if (vehicle.startTime < static_cast<int64_t>(p->time)) {
            ++r.last;
            break;
        }
        --r.last;
    }
    return r;
}

namespace {

void appendLineStringHead(std::string& out, std::string_view color, int label, int fly, int extrude,
                          int32_t time, long zoneOffset) {
    int outline = 1;
    const char* altMode = "clampedToGround";
    int ext = 0;
    std::string col(color);
    if (fly != 0) {
        altMode = "absolute";
        if (fly > 0) {
            // A translucent curtain when the airborne track is extruded.
            outline = 0;
            ext = extrude;
            setColorAlpha(col, "35");
        }
    }
    out += "<Placemark>\n<name>Track:";
    appendInt(out, label);
    out += ' ';
    out += formatFixTime(time, false, zoneOffset);
    out += "</name>\n<Style>\n<IconStyle>\n<Icon>\n<href> </href>\n</Icon>\n</IconStyle>\n"
           "    <PolyStyle>\n   <fill>1</fill>\n   <outline>";
    appendInt(out, outline);
    out += "</outline>\n   <color>";
    appendXmlText(out, col);
    out += "</color>\n    </PolyStyle>\n<LineStyle>\n<color>";
    appendXmlText(out, col);
    out += "</color>\n<width>5</width>\n</LineStyle>\n</Style>\n<LineString>\n    <extrude>";
    appendInt(out, ext);
    out += "</extrude>\n  <altitudeMode>";
    out += altMode;
    out += "</altitudeMode>\n<tessellate>1</tessellate>\n<coordinates>\n";
}

} // namespace

void lineStringHead(std::string& out, std::string_view color, int label, int fly, int extrude,
                    int32_t time) {
    appendLineStringHead(out, color, label, fly, extrude, time, tzOffset());
}

void lineStringTail(std::string& out) {
    out += "</coordinates>\n</LineString>\n</Placemark>\n";
}

void trackFolder(std::string& out, CClient& vehicle, int fly, std::optional<std::string_view> color,
                 int pointLimit) {
    const size_t folderStart = out.size();
    out += color ? "<Folder>\n<name>Track</name>\n" : "<Folder>\n<name>SpeedTrack</name>\n";
    TrackLockGuard lock;
    if (!lock.ok()) {
        NTRACE("track lock not granted, track of %s left out", vehicle.name.c_str());
        out += "</Folder>\n";
        return;
    }
    int start = 0;
    int end = std::min(pointLimit, vehicle.maxPts);
    if (vehicle.useTimeSpan) {
        const IndexRange span = timeSpanRange(vehicle);
        start = span.first;
        end = narrowIndex(std::min<int64_t>(span.last, int64_t{span.first} + vehicle.maxPts));
    }
    // A plain track ends a run only at a time gap; a speed track at every 5 mph band.
    const int band = color ? 5000 : 5;
    const double topMph = vehicle.maxSpd * kKnotsToMph;
    const long zoneOffset = tzOffset();
    std::string& buffer = runBuffer();
    bool drawn = false;
    while (start < end) {
        int runSpeed = 0;
        int32_t lastTime = 0;
        const int n =
            vehicle.track.getSpeedRun(buffer, start, end - start, band, runSpeed, lastTime);
        if (n <= 0)
            break;
        // A line needs two coordinates: a run of one point (the oldest point,
        // or one isolated between two time gaps) draws nothing.
        const bool drawable = std::count(buffer.begin(), buffer.end(), '\n') >= 2;
        if (runSpeed >= 0 && drawable) {
            if (color)
                appendLineStringHead(out, *color, -1, fly, vehicle.extrude, lastTime, zoneOffset);
            else
                appendLineStringHead(out, speedColor(runSpeed, topMph), runSpeed, fly,
                                     vehicle.extrude, lastTime, zoneOffset);
            out += buffer;
            lineStringTail(out);
            drawn = true;
        }
        start += n;
    }
    if (!drawn) {
        // No point, or none with a neighbour in its run (a track of one
        // point): nothing to draw, and no empty folder either.
        out.resize(folderStart);
        return;
    }
    out += "</Folder>\n";
}

void timeStampsFolder(std::string& out, CClient& vehicle, int pointLimit) {
    out += "<Folder>\n<name>TimeStamps</name>\n";
    TrackLockGuard lock;
    if (!lock.ok()) {
        NTRACE("track lock not granted, time stamps of %s left out", vehicle.name.c_str());
        out += "</Folder>\n";
        return;
    }
    const CTrack& track = vehicle.track;
    const char* altMode = vehicle.fly ? "absolute" : "clampedToGround";
    const long zoneOffset = tzOffset();
    const IndexRange range = drawRange(vehicle, pointLimit);
    const TrackPoint* p = track.point(range.first);
    if (!p) {
        out += "</Folder>\n";
        return;
    }
    int64_t prev = p->time;
    int64_t mark = prev - prev % kTimeStampInterval;
    for (int i = range.first; i <= range.last && (p = track.point(i)) != nullptr; ++i) {
        const int64_t t = p->time;
        bool crossed = t <= mark || i == range.last;
        // Across a gap of more than an hour the newer side is labelled too.
        if (crossed && prev - t > 3600) {
            if (const TrackPoint* newer = track.point(i - 1))
                appendStamp(out, *newer, prev, altMode, zoneOffset);
        }
        crossed = crossed || prev - t > 600;
        if (crossed) {
            appendStamp(out, *p, t, altMode, zoneOffset);
            // The next mark is the largest 300k + 1 below t.
            const int64_t m = (t - 1) % kTimeStampInterval;
            mark = m == 0 ? t - kTimeStampInterval : t - m;
        }
        prev = t;
    }
    out += "</Folder>\n";
}

void circlesFolder(std::string& out, CClient& vehicle, std::string_view color, int pointLimit) {
    TrackLockGuard lock;
    if (!lock.ok()) {
        NTRACE("track lock not granted, circles of %s left out", vehicle.name.c_str());
        return;
    }
    const CTrack& track = vehicle.track;
    const IndexRange range = drawRange(vehicle, pointLimit);
    if (!track.point(range.first))
        return;
    out += "<Folder>\n<name>Circles</name>\n";
    for (int i = range.first; i <= range.last; ++i) {
        const TrackPoint* p = track.point(i);
        if (!p)
            break;
        GpsFix fix;
        CTrack::toFix(*p, fix);
        circlePlacemark(out, fix.lat, fix.lon, kCircleSteps, vehicle.trackWidth, color);
    }
    out += "</Folder>\n";
}

void circlePlacemark(std::string& out, double lat, double lon, int steps, double diameter,
                     std::string_view color) {
    const double delta = (diameter / 2) / kEarthRadiusMetres;
    const double phi1 = lat * kDegToRad;
    const double lambda1 = lon * kDegToRad;
    std::string col(color);
    if (!col.empty() && (col[0] == 'f' || col[0] == 'F'))
        setColorAlpha(col, "45");

    out += "<Placemark>\n<name>circle</name>\n<Style>\n<IconStyle>\n<Icon>\n<href> </href>\n"
           "</Icon>\n</IconStyle>\n    <PolyStyle>\n   <outline>0</outline>\n   <fill>1</fill>\n"
           "   <color>";
    appendXmlText(out, col);
    out += "</color>\n    </PolyStyle>\n</Style>\n  <Polygon>\n"
           "  <altitudeMode>clampedToGround</altitudeMode>\n    <outerBoundaryIs>\n"
           "      <LinearRing>\n        <coordinates>\n";

    // 360 / steps whole degrees per step; a step count outside 1..360 would
    // never advance the bearing, so it is held to one vertex per degree at most.
    const int step = 360 / std::clamp(steps, 1, 360);
    const double sinPhi1 = std::sin(phi1), cosPhi1 = std::cos(phi1);
    const double sinDelta = std::sin(delta), cosDelta = std::cos(delta);
    for (int b = 0; b <= 360; b += step) {
        const double theta = b * kDegToRad;
        const double phi2 = std::asin(sinPhi1 * cosDelta + cosPhi1 * sinDelta * std::cos(theta));
        double lambda2 = lambda1 + std::atan2(std::sin(theta) * sinDelta * cosPhi1,
                                              cosDelta - sinPhi1 * std::sin(phi2));
        lambda2 = std::fmod(lambda2 + kPi, 2 * kPi) - kPi;
        appendFixed(out, lambda2 / kDegToRad, 6);
        out += ',';
        appendFixed(out, phi2 / kDegToRad, 6);
        out += ",0\n";
    }
    out += "        </coordinates>\n      </LinearRing>\n    </outerBoundaryIs>\n  </Polygon>\n"
           "</Placemark>\n";
}
