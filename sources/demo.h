// The demo and playback source. The thread itself is part of the tracker
// engine (Cn2k::staticDemoThreadFunc, sources/demo.cpp); these are the pieces
// it shares with the command-line conversion of a log (sources/logToKml.cpp).
#pragma once

#include <cstdint>
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
