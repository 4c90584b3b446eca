// gpsd's JSON reports, read into what the program uses: a TPV report (time,
// position, velocity) becomes a fix of the local receiver, and the sentences
// that carry it to the line intake and into recorded logs; a SKY report gives
// the satellites in view and in use. gpsd decodes every receiver it knows
// (NMEA of any talker, u-blox, SiRF, Trimble... binary), so its reports are
// the same whatever the receiver speaks. Pure: no I/O, no logging, no clock.
#pragma once

#include "platform/json.h"
#include "track/nmea.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The bounds every line from gpsd is read with. Its largest report, a SKY
// of every satellite a multi-band receiver tracks, is a few kilobytes and
// three levels deep.
JsonLimits gpsdJsonLimits();

// What gpsd says about the receiver, for the GPS data window.
struct GpsdStatus {
    int mode = -1; // TPV "mode": 0 or 1 no fix, 2 a 2D fix, 3 a 3D fix; -1 not reported
    int used = -1; // satellites in the solution; -1 not reported
    int seen = -1; // satellites in view; -1 not reported
    bool operator==(const GpsdStatus&) const = default;
};

// The newest fix of a session. A TPV leaves out what gpsd does not know (the
// course of a vehicle at rest, speed before two fixes): those keep the value
// of the fix before.
struct GpsdFix {
    GpsFix fix;                // position, course, speed (knots), fix time
    bool withAltitude = false; // this fix is 3D and reported its height
};

enum class TpvOutcome {
    fix,     // mode 2 or 3 with time and position: `state` holds the new fix
    noFix,   // mode 0 or 1: gpsd hears the receiver, which has no fix
    refused, // not a usable TPV; `why` says what is wrong
};

// Reads one TPV report ("class":"TPV"). `mode` gets its mode (-1 when it has
// none). Only the outcome fix changes `state`. Altitude is "altMSL", or
// "alt" from gpsd releases before it; speed "speed" in m/s; course "track".
TpvOutcome readTpv(const JsonValue& report, GpsdFix& state, int& mode, std::string& why);

// Reads one SKY report: used from "uSat", seen from "nSat", or either counted
// from the "satellites" list. False, `status` unchanged, when it gives neither.
bool readSky(const JsonValue& report, GpsdStatus& status);

// The fix as the sentences a receiver would have sent: GGA (its altitude
// field empty for a 2D fix) and RMC, with checksums, each ending in "\r" as
// a receiver's line reaches the line handler. GGA first: it sets the height
// that the RMC's point is stored with.
std::vector<std::string> fixSentences(const GpsdFix& state);

// gpsd's time, "2024-06-12T14:31:07.000Z", as a fix time; 0 when the text is
// not such a time, or its year is outside 2000..2099 (the sentences carry two
// digits of the year).
int64_t gpsdTimeToFixTime(std::string_view text);
