// The GpsGate server's text: the password scrambling, the NMEA-style lines
// of the exchange, and reading a buddy's position out of a "_buddies" reply.
// Pure functions of their arguments.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct GpsFix;

// The server's default port.
constexpr int kGpsGatePort = 30175;
// Replies are read in one chunk of at most these sizes.
constexpr size_t kGpsGateLoginReplyMax = 999;
constexpr size_t kGpsGateUserReplyMax = 200;
constexpr size_t kGpsGateBuddiesReplyMax = 40000;
// findSentenceStart looks this far back for the '$'.
constexpr size_t kGpsGateSentenceReach = 1023;

// The server's password scrambling: the text backwards, each digit c as the
// character 105 - c, each letter c as 187 - c ("abc" becomes "XYZ"); any
// other character stays as it is.
std::string scramblePassword(std::string_view password);

// A sentence as it goes on the wire: the text, "*XX" and "\r\n".
std::string gpsgateLine(std::string_view sentence);

// Walks back from `pos` in `reply` to the nearest '$' (at most 1023
// characters back), takes that line and, when it is a "$FRPOS" sentence whose
// checksum (if it carries one) holds, parses it into `fix`. Returns
// parseFRPOS's result, or 0 when there is no such sentence.
int findSentenceStart(std::string_view reply, size_t pos, GpsFix& fix);

// The position of buddy `uName` in a "_buddies" reply: the first "$FRPOS"
// line whose name field is exactly `uName` (so "ann" never takes "joanna"'s
// line). 1 when such a line was found and parsed; 0 when none names the
// buddy; -1 when the buddy's line was found but refused.
int findBuddyPosition(std::string_view reply, std::string_view uName, GpsFix& fix);
