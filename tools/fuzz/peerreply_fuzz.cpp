// libFuzzer target: any bytes as a peer's CONTROL= reply, as the client side
// reads it: the header, then the packed points that arrived after it.
// Checks what must hold for every input.
#include "fuzzCheck.h"
#include "remote/peerProtocol.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    ControlReplyHeader header;
    std::string why;
    if (!parseControlReplyHeader(reply, header, why)) {
        check(!why.empty());
        return 0;
    }
    // A header always ends with the comma after its count, within its bound.
    check(header.pointsOffset >= 1 && header.pointsOffset <= size);
    check(header.pointsOffset <= kPeerHeaderMax);
    check(reply[header.pointsOffset - 1] == ',');
    check(header.count >= 0 && header.count <= kTrackCapacity);
    check(header.seqNum >= -INT32_MAX && header.seqNum <= INT32_MAX);
    checkPosition(header.pos.lat, header.pos.lon);

    int refused = 0;
    bool cut = false;
    const std::vector<PackedPoint> points = replyPoints(reply, header, refused, cut);
    const size_t arrived = (size - header.pointsOffset) / kPackedPointSize;
    check(refused >= 0);
    check(points.size() + static_cast<size_t>(refused) <= static_cast<size_t>(header.count));
    check(points.size() + static_cast<size_t>(refused) <= arrived);
    check(cut == (arrived < static_cast<size_t>(header.count)));
    for (const PackedPoint& p : points)
        checkPosition(p.lat / 100000.0, p.lon / 100000.0);

    // What the client would log of it stays one line.
    std::string back = formatControlReplyHeader(header.pos, header.seqNum, header.count);
    check(back.empty() || back.back() == ',');
    return 0;
}
