#include "remote/peerProtocol.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

// Points travel as the track store keeps them: little-endian int32 fields.
static_assert(std::endian::native == std::endian::little, "packed points are little-endian");

namespace {

// Reads a whole decimal integer that runs up to `end`; no sign other than
// '-', no spaces, no overflow.
template <typename Int> bool wholeNumber(std::string_view text, Int& out) {
    if (text.empty())
        return false;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && ptr == text.data() + text.size();
}

// Reads a decimal number as the C library writes one; nan and inf are refused.
bool finiteNumber(std::string_view text, double& out) {
    if (text.empty() || text.size() > 64)
        return false;
    std::string copy(text);
    char* end = nullptr;
    out = std::strtod(copy.c_str(), &end);
    return end == copy.c_str() + copy.size() && std::isfinite(out);
}

// Splits off the text up to the next comma; false when there is none.
bool nextField(std::string_view& rest, std::string_view& field) {
    size_t comma = rest.find(',');
    if (comma == std::string_view::npos)
        return false;
    field = rest.substr(0, comma);
    rest.remove_prefix(comma + 1);
    return true;
}

bool printable(std::string_view text) {
    for (unsigned char c : text)
        if (c < ' ' || c == 0x7f)
            return false;
    return true;
}

bool plausiblePoint(const PackedPoint& p) {
    constexpr int64_t kMaxAlt10 = static_cast<int64_t>(kTrackMaxAlt * 10);
    return std::llabs(p.lat) <= 9000000 && std::llabs(p.lon) <= 18000000 &&
           std::llabs(p.alt) < kMaxAlt10 && p.spd >= 0;
}

} // namespace

std::string formatControlRequest(const std::string& name, int32_t maxPts, int32_t tracking,
                                 int32_t seqNum, const std::string& color) {
    return "CONTROL=" + name + "," + std::to_string(kPeerProtocolVersion) + "," +
           std::to_string(maxPts) + ",0," + std::to_string(tracking) + "," +
           std::to_string(seqNum) + "," + color + "\n";
}

bool parseControlRequest(std::string_view text, ControlRequest& out, std::string& why) {
    constexpr std::string_view kPrefix = "CONTROL=";
    if (text.substr(0, kPrefix.size()) != kPrefix) {
        why = "no CONTROL= prefix";
        return false;
    }
    size_t end = text.find('\n');
    if (end == std::string_view::npos) {
        why = "no line end (a request split over segments or cut off)";
        return false;
    }
    std::string_view rest = text.substr(kPrefix.size(), end - kPrefix.size());
    if (!rest.empty() && rest.back() == '\r')
        rest.remove_suffix(1);
    std::string_view name;
    if (!nextField(rest, name)) {
        why = "no fields after the name";
        return false;
    }
    if (name.size() > kPeerNameMax || !printable(name)) {
        why = "name longer than 127 characters or not text";
        return false;
    }
    int32_t* numbers[] = {&out.version, &out.maxPts, &out.zero, &out.tracking, &out.seqNum};
    for (int32_t* n : numbers) {
        std::string_view field;
        if (!nextField(rest, field) || !wholeNumber(field, *n)) {
            why = "fewer than six fields, or a field that is not a number";
            return false;
        }
    }
    if (out.maxPts < 0 || out.seqNum < 0) {
        why = "negative maxPts or sequence number";
        return false;
    }
    // The colour is read as a word: blanks before it are skipped and what
    // follows the first blank is not part of it, so a colour written with
    // blanks ("light blue") still gets its reply. The colour is not used.
    constexpr std::string_view kBlanks = " \t\v\f\r";
    const size_t first = rest.find_first_not_of(kBlanks);
    std::string_view color =
        first == std::string_view::npos ? std::string_view() : rest.substr(first);
    color = color.substr(0, color.find_first_of(kBlanks));
    if (color.empty() || color.size() > kPeerColorMax || !printable(color)) {
        why = "colour missing, longer than 31 characters or not text";
        return false;
    }
    out.name = std::string(name);
    out.color = std::string(color);
    return true;
}

std::string formatControlReplyHeader(const GpsFix& pos, int64_t seqNum, int64_t count) {
    char text[kPeerHeaderMax];
    int n = std::snprintf(text, sizeof text, "%d,%.5lf,%.5lf,%.1lf,%.1lf,%.1lf,%ld,%ld,%ld,",
                          kPeerProtocolVersion, pos.lat, pos.lon, pos.hdg, pos.alt, pos.spd,
                          static_cast<long>(static_cast<int32_t>(pos.time)),
                          static_cast<long>(seqNum), static_cast<long>(count));
    if (n < 0 || static_cast<size_t>(n) >= sizeof text)
        return "";
    return std::string(text, static_cast<size_t>(n));
}

bool parseControlReplyHeader(std::string_view reply, ControlReplyHeader& out, std::string& why) {
    std::string_view rest = reply.substr(0, std::min(reply.size(), kPeerHeaderMax));
    std::string_view f[9];
    for (int i = 0; i < 9; ++i) {
        // Every field ends with its comma, the count too: a reply cut inside
        // the count ("12" of "120") would otherwise be read as a smaller one.
        if (!nextField(rest, f[i])) {
            why = i < 8 ? "fewer than nine fields" : "the header is cut inside its point count";
            return false;
        }
    }
    int64_t time = 0;
    if (!wholeNumber(f[0], out.version) || !finiteNumber(f[1], out.pos.lat) ||
        !finiteNumber(f[2], out.pos.lon) || !finiteNumber(f[3], out.pos.hdg) ||
        !finiteNumber(f[4], out.pos.alt) || !finiteNumber(f[5], out.pos.spd) ||
        !wholeNumber(f[6], time) || !wholeNumber(f[7], out.seqNum) ||
        !wholeNumber(f[8], out.count)) {
        why = "a header field that is not a number";
        return false;
    }
    out.pos.time = time;
    if (std::fabs(out.pos.lat) > 90 || std::fabs(out.pos.lon) > 180 ||
        std::fabs(out.pos.alt) >= kTrackMaxAlt || out.pos.spd < 0 || out.pos.spd > 1e6) {
        why = "an impossible position";
        return false;
    }
    if (out.count < 0 || out.count > kTrackCapacity) {
        why = "a point count below 0 or over 28800";
        return false;
    }
    if (out.seqNum < -INT32_MAX || out.seqNum > INT32_MAX || time < INT32_MIN || time > INT32_MAX) {
        why = "a sequence number or time out of the 32-bit range";
        return false;
    }
    out.pointsOffset = static_cast<size_t>(rest.data() - reply.data());
    return true;
}

std::vector<PackedPoint> replyPoints(std::string_view reply, const ControlReplyHeader& header,
                                     int& refused, bool& cut) {
    refused = 0;
    size_t offset = std::min(header.pointsOffset, reply.size());
    size_t arrived = (reply.size() - offset) / kPackedPointSize;
    size_t wanted = static_cast<size_t>(std::max<int64_t>(header.count, 0));
    cut = arrived < wanted;
    size_t n = std::min(arrived, wanted);
    std::vector<PackedPoint> points;
    points.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        PackedPoint p;
        std::memcpy(&p, reply.data() + offset + i * kPackedPointSize, kPackedPointSize);
        if (plausiblePoint(p))
            points.push_back(p);
        else
            ++refused;
    }
    return points;
}

int32_t pointsToSend(int32_t serverSeq, int32_t clientSeq, int32_t maxPts, bool& resync) {
    int64_t n = static_cast<int64_t>(serverSeq) - clientSeq;
    resync = n < 0;
    if (n == 0)
        n = 1;
    else if (n < 0)
        n = kTrackCapacity;
    n = std::min<int64_t>({n, maxPts, kTrackCapacity});
    return static_cast<int32_t>(std::max<int64_t>(n, 0));
}
