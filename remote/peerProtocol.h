// The peer protocol between copies of the program: the wire formats of the
// CONTROL= request and its reply (a text header and packed points), as pure
// functions, so the server's handler and the client's update only move bytes.
//
// Request:  "CONTROL=name,1,maxPts,0,tracking,seqNum,color\n"
// Reply:    "1,lat,lon,hdg,alt,spd,time,seqNum,count," + count x 20 bytes of
//           packed points (five little-endian int32), oldest first. A negative
//           seqNum tells the client to drop its copy of the track.
#pragma once

#include "track/nmea.h"
#include "track/track.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CClient;

constexpr int kPeerProtocolVersion = 1;
constexpr size_t kPeerHeaderMax = 512;
constexpr size_t kPackedPointSize = sizeof(PackedPoint);
// The largest reply: a header and a full track.
constexpr size_t kPeerReplyMax = kPeerHeaderMax + kTrackCapacity * kPackedPointSize;
// The longest name and colour a request may carry.
constexpr size_t kPeerNameMax = 127;
constexpr size_t kPeerColorMax = 31;
// The ping request's prefix and the ping server's answer.
constexpr std::string_view kPingPrefix = "ping:";
constexpr std::string_view kPingReply = "resp";

struct ControlRequest {
    std::string name;
    int32_t version = 0;
    int32_t maxPts = 0;
    int32_t zero = 0;
    int32_t tracking = 0;
    int32_t seqNum = 0;
    std::string color;
};

// The request a vehicle's copy sends to its peer.
std::string formatControlRequest(const std::string& name, int32_t maxPts, int32_t tracking,
                                 int32_t seqNum, const std::string& color);

// Reads a request. False, with `why` saying what was wrong, for anything but
// one whole line: the "CONTROL=" prefix, a name of at most 127 characters,
// five whole numbers (maxPts and seqNum not negative) and a colour, ended by
// a line feed. The colour is the first word of the rest of the line (1 to 31
// characters; blanks before it are skipped, words after it ignored).
bool parseControlRequest(std::string_view text, ControlRequest& out, std::string& why);

struct ControlReplyHeader {
    int32_t version = 0;
    GpsFix pos; // lat, lon, hdg, alt, spd and time
    int64_t seqNum = 0;
    int64_t count = 0;
    size_t pointsOffset = 0; // where the points begin: after the ninth comma
};

// The header text of a reply; empty when the position cannot be written in
// 512 bytes (values no receiver gives).
std::string formatControlReplyHeader(const GpsFix& pos, int64_t seqNum, int64_t count);

// Reads a reply's header. False, with `why`, when fewer than nine fields can
// be read (each ended by its comma, so a header cut short is refused whole),
// a number is not one, the position is impossible, or the count is negative
// or over a full track.
bool parseControlReplyHeader(std::string_view reply, ControlReplyHeader& out, std::string& why);

// The points that arrived after the header: at most `count`, whole points
// only. `refused` receives how many of them carried impossible coordinates
// and were left out; `cut` is set when fewer than `count` arrived.
std::vector<PackedPoint> replyPoints(std::string_view reply, const ControlReplyHeader& header,
                                     int& refused, bool& cut);

// The number of points the server sends: what the client has not seen (one
// at least, the newest), everything after a restart of the server (then
// `resync` is set), never more than the client's maxPts or a full track.
int32_t pointsToSend(int32_t serverSeq, int32_t clientSeq, int32_t maxPts, bool& resync);
