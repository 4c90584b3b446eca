// The demo's vehicles and trips, and the pieces the demo and playback thread
// (earth/demoSource.cpp) shares with the conversion of a log.
#include "sources/demo.h"

#include "remote/client.h"
#include "sources/demoScripts.h"
#include "track/nmea.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Created in this order; the last one stands in for the local vehicle.
const DemoVehicle kDemoVehicles[] = {
    {"demo1", "Demo A", "lightblue", kDemoScriptA, 0.0, 0, 0, 0, 1},
    // Demo B's receiver reported its course 17.5 degrees clockwise of the road.
    {"demo2", "Demo B", "red", kDemoScriptB, -17.5, 0, 0, 0, 1},
    {"demo3", "Demo C", "purple", kDemoScriptC, 0.0, 0, 0, 0, 1},
    {"demo4", "Demo D", "yellow", kDemoScriptD, 0.0, 1, 1, 1, 0},
    {"demo5", kLocalDemoName, "orange", kDemoScriptE, 0.0, 0, 0, 0, 1},
};

// The width of the corridor discs the local demo vehicle draws in flight-path mode.
constexpr double kFlightPathTrackWidth = 1331.0777859058765;

struct ScriptInfo {
    const char* const* script;
    int length;
};

// Script lengths, counted once.
const std::vector<ScriptInfo>& scriptTable() {
    static const std::vector<ScriptInfo> table = [] {
        std::vector<ScriptInfo> t;
        for (const DemoVehicle& d : kDemoVehicles)
            t.push_back({d.script, demoScriptLength(d.script)});
        return t;
    }();
    return table;
}

} // namespace

std::span<const DemoVehicle> demoVehicles() {
    return kDemoVehicles;
}

int demoScriptLines(const char* const* script) {
    for (const ScriptInfo& s : scriptTable())
        if (s.script == script)
            return s.length;
    return 0;
}

namespace {

// Options every demo and playback vehicle shares.
void setUpCommon(CClient& v, const char* color, double courseOffset) {
    v.color = color;
    v.demoOffset = courseOffset;
    v.isDemo = 1;
    v.changed = 1;
    v.speedTrack = 1;
    v.timestamps = 1;
    v.demoIndex = 0;
    v.online = 1;
    v.isLocal = 0;
    v.showName = 1;
    v.showSpeed = 1;
    v.showAlt = 0;
}

} // namespace

void setUpDemoVehicle(CClient& v, const DemoVehicle& d, bool flightPathMode) {
    setUpCommon(v, d.color, d.courseOffset);
    v.fly = d.fly;
    v.extrude = d.extrude;
    v.showAlt = d.showAlt;
    v.showSpeed = d.showSpeed;
    if (flightPathMode && d.script == kDemoScriptE) {
        v.fly = 1;
        v.showAlt = 1;
        v.showSpeed = 0;
        if (v.trackWidth == 0)
            v.trackWidth = kFlightPathTrackWidth;
    }
}

void setUpPlaybackVehicle(CClient& v, const std::string& uName, const CClient* local) {
    v.uName = uName;
    v.host = kPlaybackHost;
    setUpCommon(v, "orange", 0.0);
    if (local) {
        v.fly = local->fly;
        v.extrude = local->extrude;
        v.showAlt = local->showAlt;
        v.showSpeed = local->showSpeed;
    }
}

const char* const* demoScriptFor(const CClient& v) {
    if (v.host == kPlaybackHost)
        return kDemoScriptE;
    for (const DemoVehicle& d : kDemoVehicles)
        if (v.host == d.host)
            return d.script;
    return nullptr;
}

int playDemoLine(CClient& v, std::string_view line, double altOffset, bool stamp, int64_t now) {
    TrackLockGuard lock; // the KML writers read the position meanwhile
    int result = parseNmea(line, v.curPos, altOffset, v.demoOffset);
    if (result == 2) {
        if (stamp)
            v.curPos.time = now;
        v.track.add(v.curPos, v.compress ? 1 : 2);
    }
    return result;
}
