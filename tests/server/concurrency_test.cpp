// The listener's event loop: whole requests whatever their segments, clients
// that hold connections, caps on open connections, and replies to slow readers.
#include "net/requestEnd.h"
#include "net/server.h"

#include "common/loopback.h"
#include "common/traceCapture.h"
#include "common/waitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace {

struct Seen {
    std::mutex mutex;
    std::vector<std::string> requests;
    std::string answer = "ok";
    std::atomic<int> inHandler{0};
    std::atomic<int> overlaps{0};
};

int32_t recordingHandler(std::span<char> request, const char*, ServerReply& reply, void* ctx) {
    auto* s = static_cast<Seen*>(ctx);
    if (++s->inHandler > 1)
        ++s->overlaps;
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->requests.emplace_back(request.data(), request.size());
    }
    --s->inHandler;
    return s->answer.empty() ? 0 : reply.give(s->answer);
}

uint16_t startOn(CServer& s, Seen& seen, RequestFraming framing = RequestFraming::lines) {
    s.bindAddress = "127.0.0.1";
    s.framing = framing;
    EXPECT_EQ(s.start(0, recordingHandler, &seen), 1);
    EXPECT_TRUE(waitUntil([&] { return s.boundPort() != 0; }));
    return s.boundPort();
}

Socket connectFrom(const std::string& source, uint16_t port) {
    int err = 0;
    Socket s = Socket::tcp(err);
    if (!source.empty()) {
        EXPECT_EQ(s.bind(source, 0), 0);
    }
    EXPECT_EQ(s.connect("127.0.0.1", port, 2000), 0);
    EXPECT_EQ(s.setTimeouts(10000), 0);
    return s;
}

// 0 when the server closed the connection cleanly, -errno when it reset it,
// 1 when it is still open after `ms`.
long closedHow(Socket& s, unsigned ms) {
    if (s.waitReadable(ms) == 0)
        return 1;
    char c;
    long n = s.recv(&c, 1);
    return n > 0 ? 1 : n;
}

} // namespace

TEST(RequestEnd, HttpEndsAtTheBlankLineAndLinesAfterAQuietGap) {
    struct Case {
        const char* received;
        RequestFraming framing;
        unsigned quietMs;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", RequestFraming::http, 0},
        {"GET / HTTP/1.0\n\n", RequestFraming::http, 0},
        {"GET / HTTP/1.1\r\nHost: x\r\n", RequestFraming::http, kLineEndGapMs},
        {"GET / HT", RequestFraming::http, kMidLineGapMs},
        {"$GPRMC,1,A*00\r\n", RequestFraming::lines, kLineEndGapMs},
        {"$GPRMC,1,A*00\r\n\r\n", RequestFraming::lines, kLineEndGapMs},
        {"$GPRMC,1,A", RequestFraming::lines, kMidLineGapMs},
        {"CONTROL=1", RequestFraming::lines, kMidLineGapMs},
    };
    for (const Case& c : cases)
        EXPECT_EQ(requestQuietMs(c.received, c.framing), c.quietMs) << c.received;
    static_assert(kLineEndGapMs < kMidLineGapMs);
}

TEST(Listener, ARequestSplitOverSegmentsReachesTheHandlerWhole) {
    Seen seen;
    CServer http;
    uint16_t port = startOn(http, seen, RequestFraming::http);
    Socket c = connectFrom("", port);
    int on = 1;
    ::setsockopt(c.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const std::string request = "GET /NivraServers?LOOKAT=1,2,3 HTTP/1.1\r\nHost: x\r\n\r\n";
    for (char ch : request) {
        ASSERT_EQ(c.send(&ch, 1), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    char buf[16] = {};
    EXPECT_EQ(c.recv(buf, sizeof buf), 2);
    std::lock_guard<std::mutex> lock(seen.mutex);
    ASSERT_EQ(seen.requests.size(), 1u);
    EXPECT_EQ(seen.requests[0], request);
}

TEST(Listener, HeldConnectionsDoNotKeepOthersWaitingAndHandlersNeverOverlap) {
    TraceCapture trace;
    Seen seen;
    CServer s;
    s.ioTimeoutMs = 60000; // held connections outlive the test
    uint16_t port = startOn(s, seen);
    std::vector<Socket> held;
    for (int i = 0; i < 6; ++i) {
        held.push_back(connectFrom("127.0.0.2", port));
        held.push_back(connectFrom("127.0.0.2", port));
        held.back().send("partial", 7); // a line never finished
    }
    std::vector<std::thread> clients;
    std::atomic<int> served{0};
    for (int i = 0; i < 8; ++i)
        clients.emplace_back([&, i] {
            Socket c = connectFrom("", port);
            std::string line = "line " + std::to_string(i) + "\n";
            c.send(line.data(), line.size());
            ::shutdown(c.fd(), SHUT_WR); // the request is complete
            char buf[8];
            if (c.recv(buf, sizeof buf) == 2)
                ++served;
        });
    for (std::thread& t : clients)
        t.join();
    EXPECT_EQ(served, 8) << "every client answered while twelve connections are held";
    EXPECT_EQ(seen.overlaps, 0) << "one handler at a time";
    for (Socket& h : held)
        EXPECT_EQ(closedHow(h, 0), 1) << "held connections are not dropped early";
}

TEST(Listener, CapsPerPeerAndPerListenerKeepRoomForOthers) {
    TraceCapture trace;
    Seen seen;
    CServer s;
    s.ioTimeoutMs = 60000;
    s.maxPerPeer = 3;
    s.maxConnections = 5;
    uint16_t port = startOn(s, seen);
    std::vector<Socket> mine;
    for (int i = 0; i < 3; ++i)
        mine.push_back(connectFrom("127.0.0.2", port));
    Socket fourth = connectFrom("127.0.0.2", port);
    EXPECT_EQ(closedHow(fourth, 5000), 0) << "a fourth from one address is closed at once";
    EXPECT_TRUE(waitUntil([&] { return trace.count("too many connections from 127.0.0.2") == 1; }));

    // The listener is full with five: a newcomer pushes out the oldest waiter.
    mine.push_back(connectFrom("127.0.0.3", port));
    mine.push_back(connectFrom("127.0.0.4", port));
    EXPECT_EQ(roundTrip(port, "real\n"), "ok");
    EXPECT_EQ(closedHow(mine[0], 5000), 0) << "the oldest waiting connection made room";
    EXPECT_EQ(closedHow(mine[1], 0), 1);

    // Port probes (connect, close) free their slot at once: they never
    // lock their address out.
    for (int i = 0; i < 20; ++i)
        connectFrom("127.0.0.6", port);
    EXPECT_TRUE(waitUntil([&] {
        Socket c = connectFrom("127.0.0.6", port);
        c.send("real\n", 5);
        ::shutdown(c.fd(), SHUT_WR);
        char buf[4];
        return c.recv(buf, sizeof buf) == 2;
    }));
}

TEST(Listener, ASlowReaderGetsTheWholeReplyAndAStalledOneSeesAReset) {
    TraceCapture trace;
    Seen seen;
    seen.answer.assign(4 << 20, 'k');
    for (size_t i = 0; i < seen.answer.size(); i += 4096)
        seen.answer[i] = char('a' + (i / 4096) % 26);
    CServer s;
    s.ioTimeoutMs = 200; // far less than the slow reader takes
    uint16_t port = startOn(s, seen);

    Socket slow = connectFrom("", port);
    int small = 16384;
    ::setsockopt(slow.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    slow.send("get\n", 4);
    std::string got;
    std::vector<char> buf(256 * 1024);
    long n;
    while ((n = slow.recv(buf.data(), buf.size())) > 0) {
        got.append(buf.data(), size_t(n));
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    EXPECT_EQ(n, 0) << "ended cleanly";
    EXPECT_TRUE(got == seen.answer) << got.size() << " of " << seen.answer.size() << " bytes";

    // A reader that stops reading is given up at the deadline, and told so.
    s.minSendBytesPerSecond = size_t(1) << 40;
    Socket stalled = connectFrom("", port);
    ::setsockopt(stalled.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    stalled.send("get\n", 4);
    EXPECT_TRUE(waitUntil([&] { return trace.count("ERROR send error:110") == 1; }, 10000));
    long last = 1;
    while ((last = stalled.recv(buf.data(), buf.size())) > 0) {
    }
    EXPECT_EQ(last, -ECONNRESET) << "a cut reply never looks complete";
}
