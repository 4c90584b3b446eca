// The demo's vehicles and trips. The demo and playback thread itself is part
// of the tracker engine (Cn2k::staticDemoThreadFunc, earth/demoSource.cpp);
// these are the pieces it shares with the conversion of a log
// (publish/logToKml.cpp). Pure: no threads, no files, no settings.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

class CClient;

// Host of the playback vehicle.
constexpr const char* kPlaybackHost = "play";
// uName of the demo vehicle that stands in for the local one.
constexpr const char* kLocalDemoName = "Me(demo)";
// Steps of the pre-roll on the first demo start: two seconds apart, they give
// every demo vehicle its last minutes of track at once.
constexpr int kDemoPreRollSteps = 120;
// The demo lifts the built-in aircraft this far (metres).
constexpr double kDemoFlyAltitude = 2000.0;
// Lines of a log are read up to this many characters.
constexpr int kDemoLineMax = 255;

// One demo vehicle: its key, colour, trip and how it is drawn.
struct DemoVehicle {
    const char* host;
    const char* uName;
    const char* color;
    const char* const* script;
    double courseOffset;
    int32_t fly, extrude, showAlt, showSpeed;
};

// The demo's vehicles, in the order they are created; the last one stands in
// for the local vehicle.
std::span<const DemoVehicle> demoVehicles();
// Lines of a demo vehicle's built-in trip (0 for a script that is none of them).
int demoScriptLines(const char* const* script);
// Gives a demo vehicle its options; in flight-path mode the local demo
// vehicle flies and draws the corridor.
void setUpDemoVehicle(CClient& v, const DemoVehicle& d, bool flightPathMode);

// Gives a playback vehicle its options: host "play", the given uName, orange,
// the local demo vehicle's script, no course offset, and fly, extrude, showAlt
// and showSpeed of `local` when there is one.
void setUpPlaybackVehicle(CClient& v, const std::string& uName, const CClient* local);

// The built-in script of a demo vehicle (by its host; the playback vehicle
// uses the local demo vehicle's), or nullptr.
const char* const* demoScriptFor(const CClient& v);

// Parses one line into the vehicle's position with its course offset and, for
// a complete fix, adds it to the track (compressed when the vehicle asks for
// it). With `stamp` the fix gets the time `now` (replayed demo scripts move
// on the present day). Returns parseNmea's result.
int playDemoLine(CClient& v, std::string_view line, double altOffset, bool stamp, int64_t now);
