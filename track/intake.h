// Decoding the messages hardware trackers post to the tracker port. Each model
// wraps an RMC sentence in a format of its own and names itself with an
// identifier; decoding recovers the model, the identifier and a plain RMC
// sentence (of any talker) that parseNmea understands. Pure functions: no I/O, no
// shared state. The engine's side (vehicles, tracks) is Cn2k in earth/n2k.h.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Models and identifiers become a vehicle's uName and host: at most this many
// characters are kept.
constexpr size_t kDeviceTextMax = 255;
// lastLine keeps at most this many characters of a line.
constexpr size_t kLastLineMax = 255;

struct TrackerMessage {
    std::string model;      // "SANAV GC101", "Laipac S-911", "FPI GT20" or the poster's own name
    std::string identifier; // IMEI, unit id or phone number
    std::string sentence;   // the embedded sentence, ready for parseNmea
};

// Decodes one line (without its '\n') by the device table. Returns false when
// the line matches no model, or when the model's identifier or sentence is
// missing; `out` is then unspecified.
bool decodeTrackerLine(std::string_view line, TrackerMessage& out);

// Replaces everything from the first '*' on by a fresh "*XX" checksum when the
// sentence is longer than 12 characters and has a '*'. Devices that relabel a
// sentence invalidate its own checksum; this makes it consistent again.
void refreshChecksum(std::string& sentence);

// The lines of a tracker post: split at each '\n' (removed; a '\r' before it
// stays), a last piece without '\n' counting when it is not empty. The views
// point into `text`.
std::vector<std::string_view> splitTrackerLines(std::string_view text);

// Whether a line posted to the tracker port is a sentence of the local GPS:
// one that begins with "$" and a talker ("$GPRMC", "$GNGGA", "$BDGSV"...),
// but not the Laipac units' "$AVRMC", which the device table decodes.
bool isLocalGpsLine(std::string_view line);

// Whether local GPS lines from `peer` (dotted decimal) are the local GPS's: from
// 127.0.0.1, where programs on this machine connect from, or from one of
// `localGpsHosts` (addresses separated by blanks, ',' or ';'). Anyone else
// could otherwise move the local vehicle.
bool isLocalGpsPeer(std::string_view peer, std::string_view localGpsHosts);
