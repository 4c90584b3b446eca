// The MapFactor service's text: the position history records that follow
// '>' characters in a reply, merged into a vehicle's track oldest first, and
// the request path that asks for the history since the newest point held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class CClient;
class CTrack;

// At most this many new records are taken from one reply.
constexpr int kMapFactorMaxRows = 3000;
// The history of an empty track starts here.
constexpr const char* kMapFactorFirstHour = "2005-06-22+00";

// One history record, as it follows a '>' in the reply:
//   2009-01-02 13:14:15;3600000;18000000;120;35;0;0;0
// local date and time; longitude and latitude in 1/3600000 degree; altitude
// in metres; speed (stored unchanged); three fields read and ignored.
// Returns 1 when all 13 fields were read and make a plausible position at a
// possible time; 0 otherwise, `why` then saying what was wrong.
int parseHistoryRecord(std::string_view text, int64_t& time, double& lat, double& lon, double& alt,
                       double& spd, const char** why = nullptr);

// Walks back from `pos` to the character after the nearest '>' (or to the
// start of the text). Nothing when `pos` is already before the start.
std::optional<size_t> findRecordStart(std::string_view text, std::ptrdiff_t pos);

// Merges the reply's records newer than the vehicle's newest point into its
// track, oldest first (they are read from the end of the reply backwards).
// Returns the number of records offered to the track.
int mergeHistory(std::string_view reply, CClient& vehicle);

// The local hour of the track's newest point, "%04d-%02d-%02d+%02d", or
// kMapFactorFirstHour for an empty track.
std::string mapFactorStartHour(const CTrack& track);
// The request path: the history of device `uName` (URL-encoded) from minute
// 42 of `startHour`.
std::string mapFactorObjectPath(std::string_view uName, std::string_view startHour);
