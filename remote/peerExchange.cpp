// Both ends of one CONTROL= or ping exchange: the client's request and merge
// of the reply (CClient), and the two servers' handlers (CClients).
#include "net/server.h"
#include "remote/client.h"
#include "remote/peerProtocol.h"
#include "remote/rawSock.h"
#include "trace/trace.h"

#include <algorithm>
#include <atomic>

namespace {

// The wait for a peer's reply.
constexpr int kPeerReplyBudgetMs = 6000;
// The ping's reply is read only to let the peer finish; its text is not used.
constexpr size_t kPingReplySize = 256;

// Text from the network as the log may show it: printable characters only,
// at most `max` of them.
std::string headerText(std::string_view text, size_t max = kPeerHeaderMax) {
    std::string out;
    for (unsigned char c : text.substr(0, max)) {
        if (c >= ' ' && c < 0x7f)
            out += static_cast<char>(c);
        else if (c == '\n' || c == '\r')
            out += "\\n";
        else
            break; // the packed points of a reply begin here
    }
    if (text.size() > max)
        out += "...";
    return out;
}

} // namespace

int CClient::sendMsg(const std::string& msg, int force, int port, std::string* reply,
                     size_t replySize) {
    // The ping thread and the update thread share the flag; the last writer wins.
    if (force == 0 && online.load() == 0)
        return 0;
    Socket s = rawOpenConnect(host, port, false);
    if (!s.valid()) {
        online.store(0);
        return 0;
    }
    NTRACE("sending %d bytes", static_cast<int>(msg.size()));
    int sent = rawSendMsg(s, msg) == 0 ? 1 : 0;
    online.store(sent);
    if (sent && reply)
        rawRecvMsg(s, *reply, replySize, true, kPeerReplyBudgetMs);
    return sent;
}

int CClient::update(int force) {
    std::string request;
    {
        TrackLockGuard lock; // the window changes the vehicle's options meanwhile
        request = formatControlRequest(name, maxPts, tracking, track.m_seqNum.load(), color);
    }
    NTRACE("sending %s", headerText(request).c_str());
    std::string reply;
    int sent = sendMsg(request, force, kControlPort, &reply, kPeerReplyMax);
    if (sent == 0)
        return 0;
    NTRACE("%s:response:%s", name.c_str(), headerText(reply).c_str());

    ControlReplyHeader header;
    std::string why;
    if (!parseControlReplyHeader(reply, header, why)) {
        NTRACE("response error (%s)", why.c_str());
        return sent;
    }
    curPos.lat = header.pos.lat;
    curPos.lon = header.pos.lon;
    curPos.hdg = header.pos.hdg;
    curPos.alt = header.pos.alt;
    curPos.spd = header.pos.spd;
    curPos.time = header.pos.time;

    int64_t seq = header.seqNum;
    if (seq <= 0) {
        // The peer started again with a shorter track: its numbers no longer
        // follow ours, so our copy goes and its newest points come afresh.
        NTRACE("%s restarted (sequence %ld), dropping our copy of its track", name.c_str(),
               static_cast<long>(seq));
        track.clear();
        seq = -seq;
    }
    if (seq != track.m_seqNum.load()) {
        int refused = 0;
        bool cut = false;
        std::vector<PackedPoint> points = replyPoints(reply, header, refused, cut);
        if (refused > 0)
            NTRACE("refused %d points with impossible coordinates", refused);
        if (cut) {
            // Only the oldest points came; asking again from the last one that
            // did brings the rest on the next poll.
            const int64_t arrived = static_cast<int64_t>(points.size()) + refused;
            NTRACE("reply cut: %ld points announced, %ld arrived", static_cast<long>(header.count),
                   static_cast<long>(arrived));
            seq = std::max<int64_t>(seq - (header.count - arrived), 0);
        }
        track.addPts(points.data(), static_cast<int>(points.size()));
    }
    track.m_seqNum = static_cast<int32_t>(seq);
    changed = 0;
    return sent;
}

void CClient::ping() {
    std::string reply;
    sendMsg(std::string(kPingPrefix) + host, 1, kPingPort, &reply, kPingReplySize);
}

int32_t CClients::processCtlFunc(std::span<char> request, const char* peerAddress,
                                 ServerReply& reply, void* context) {
    auto* clients = static_cast<CClients*>(context);
    const std::string_view text(request.data(), request.size());
    NTRACE("got string %s", headerText(text).c_str());
    ControlRequest r;
    std::string why;
    if (!parseControlRequest(text, r, why)) {
        // Anyone who reaches the port can repeat this at will: once a minute
        // for each reason and address.
        const char* from = peerAddress ? peerAddress : "";
        if (clients && clients->allowRefusalLine(why, from))
            NTRACE("refused request from %s: %s", from, why.c_str());
        return 0;
    }
    CClient* local = clients ? clients->localVehicle() : nullptr;
    if (local == nullptr || local->track.m_seqNum.load() == 0) {
        NTRACE("no local points yet, no reply");
        return 0;
    }
    int32_t serverSeq = 0;
    int32_t count = 0;
    bool resync = false;
    GpsFix pos;
    std::string points;
    {
        TrackLockGuard guard;
        if (!guard.ok())
            return 0;
        serverSeq = local->track.m_seqNum.load();
        int32_t n = pointsToSend(serverSeq, r.seqNum, r.maxPts, resync);
        pos = local->curPos;
        count = local->track.getPts(points, n, true, 0);
    }
    NTRACE("sending %ld bytes", static_cast<long>(count) * static_cast<long>(kPackedPointSize));
    std::string header =
        formatControlReplyHeader(pos, resync ? -int64_t(serverSeq) : serverSeq, count);
    if (header.empty()) {
        NTRACE("memory error (position does not fit the reply header)");
        return 0;
    }
    NTRACE("sending %s:%s", r.name.c_str(), header.c_str());
    return reply.give(header + points);
}

int32_t CClients::processPingFunc(std::span<char> request, const char*, ServerReply& reply, void*) {
    NTRACE("got string %s", headerText(std::string_view(request.data(), request.size())).c_str());
    return reply.give(std::string(kPingReply));
}
