// The listener's event loop: whole requests whatever their segments, clients
// that hold connections, caps on open connections, and replies to slow readers.
#include "net/requestEnd.h"
#include "net/server.h"

#include "common/loopback.h"
#include "common/traceCapture.h"
#include "common/waitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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

namespace {

// Answers by request: the text a request asks for is built anew each time
// (as a handler that cannot know it answered the same before would); a
// request named "gate" first waits until the test opens the gate.
struct Answers {
    std::mutex mutex;
    std::condition_variable opened;
    bool gateOpen = true;
    std::map<std::string, std::string> byRequest; // "big\n" -> its reply
    std::vector<std::string> order;               // "peer request" as handled
};

int32_t answersHandler(std::span<char> request, const char* peer, ServerReply& reply, void* ctx) {
    auto* a = static_cast<Answers*>(ctx);
    const std::string text(request.data(), request.size());
    std::unique_lock<std::mutex> lock(a->mutex);
    a->order.push_back(std::string(peer) + " " + text);
    if (text == "gate\n")
        a->opened.wait(lock, [a] { return a->gateOpen; });
    auto it = a->byRequest.find(text);
    return it == a->byRequest.end() ? 0 : reply.give(std::string(it->second));
}

uint16_t startAnswers(CServer& s, Answers& answers) {
    s.bindAddress = "127.0.0.1";
    EXPECT_EQ(s.start(0, answersHandler, &answers), 1);
    EXPECT_TRUE(waitUntil([&] { return s.boundPort() != 0; }));
    return s.boundPort();
}

// A client that asks and never reads: its receive buffer as small as the
// system allows, so most of a large reply stays with the listener.
Socket nonReader(const std::string& source, uint16_t port, const std::string& request) {
    int err = 0;
    Socket s = Socket::tcp(err);
    int tiny = 1;
    ::setsockopt(s.fd(), SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
    EXPECT_EQ(s.bind(source, 0), 0);
    EXPECT_EQ(s.connect("127.0.0.1", port, 2000), 0);
    EXPECT_EQ(s.send(request.data(), request.size()), long(request.size()));
    return s;
}

// How a connection that may still hold unread bytes ended: what is left is
// read and dropped; 0 for a clean end, -errno for a reset, 1 when it is still
// open after `ms`.
long endAfterReading(Socket& s, unsigned ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::vector<char> buf(1 << 16);
    while (std::chrono::steady_clock::now() < until) {
        if (s.waitReadable(50) == 0)
            continue;
        const long n = s.recv(buf.data(), buf.size());
        if (n <= 0)
            return n;
    }
    return 1;
}

// True while neither a reset nor an end has come, whatever bytes wait unread.
bool stillOpen(Socket& s) {
    pollfd p{s.fd(), POLLIN | POLLRDHUP, 0};
    return ::poll(&p, 1, 0) >= 0 && (p.revents & (POLLERR | POLLHUP | POLLRDHUP)) == 0;
}

std::string readAll(Socket& s) {
    std::string got;
    std::vector<char> buf(1 << 16);
    long n;
    while ((n = s.recv(buf.data(), buf.size())) > 0)
        got.append(buf.data(), size_t(n));
    return got;
}

// A reply larger than every buffer the system puts between the two ends.
std::string bigReply(char fill) {
    std::string text(size_t(24) << 20, fill);
    for (size_t i = 0; i < text.size(); i += 4096)
        text[i] = char('a' + (i / 4096) % 26);
    return text;
}

} // namespace

TEST(Listener, IdenticalRepliesShareOneBufferAndTheBudgetPushesOutTheStalestReaders) {
    TraceCapture trace;
    Answers answers;
    answers.byRequest["big\n"] = bigReply('k');
    answers.byRequest["other\n"] = bigReply('o');
    CServer s;
    s.ioTimeoutMs = 60000; // no reader is given up for its rate here
    s.maxPendingBytes = size_t(40) << 20;
    const uint16_t port = startAnswers(s, answers);

    // Eight clients ask for the same 24 MB and never read: held once, they
    // fit the 40 MB budget.
    std::vector<Socket> idle;
    for (int i = 0; i < 8; ++i)
        idle.push_back(nonReader("127.0.0.2", port, "big\n"));
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> lock(answers.mutex);
        return answers.order.size() == 8;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (Socket& h : idle)
        EXPECT_TRUE(stillOpen(h)) << "a shared reply costs the budget once";
    EXPECT_EQ(trace.count("exceed"), 0) << trace.all();

    // Another 24 MB reply does not fit beside them: the readers that took
    // nothing go, the newest reply is sent whole.
    Socket fresh = connectFrom("127.0.0.3", port);
    fresh.send("other\n", 6);
    EXPECT_EQ(readAll(fresh), answers.byRequest["other\n"]);
    for (Socket& h : idle)
        EXPECT_EQ(endAfterReading(h, 5000), -ECONNRESET) << "a cut reply never looks complete";
    EXPECT_EQ(trace.count("replies waiting for their readers exceed"), 1)
        << "once a minute for an address";
}

TEST(Listener, AFullListenerPushesOutTheClientThatStoppedReading) {
    TraceCapture trace;
    Answers answers;
    answers.byRequest["big\n"] = bigReply('k');
    answers.byRequest["real\n"] = "ok";
    CServer s;
    s.ioTimeoutMs = 60000;
    s.maxConnections = 3;
    const uint16_t port = startAnswers(s, answers);
    std::vector<Socket> idle;
    for (const char* source : {"127.0.0.2", "127.0.0.3", "127.0.0.4"})
        idle.push_back(nonReader(source, port, "big\n"));
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> lock(answers.mutex);
        return answers.order.size() == 3;
    }));
    // Every slot holds a reply nobody reads; a poll still gets its answer.
    EXPECT_EQ(roundTrip(port, "real\n"), "ok");
    int pushedOut = 0;
    for (Socket& h : idle)
        pushedOut += endAfterReading(h, 1000) == -ECONNRESET;
    EXPECT_EQ(pushedOut, 1) << "one made room, the others keep their slots";
    EXPECT_EQ(trace.count("dropped to make room"), 1);
}

TEST(Listener, ManyRequestsFromOneAddressMakeAnotherWaitForOneOfThem) {
    Answers answers;
    answers.byRequest["gate\n"] = "g";
    answers.byRequest["a\n"] = "a";
    answers.byRequest["b\n"] = "b";
    answers.gateOpen = false;
    CServer s;
    const uint16_t port = startAnswers(s, answers);
    // The listener is held in the first handler while ten requests from one
    // address and then one from another arrive.
    Socket first = connectFrom("127.0.0.2", port);
    first.send("gate\n", 5);
    ::shutdown(first.fd(), SHUT_WR);
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> lock(answers.mutex);
        return answers.order.size() == 1;
    }));
    std::vector<Socket> flood;
    for (int i = 0; i < 10; ++i) {
        flood.push_back(connectFrom("127.0.0.2", port));
        flood.back().send("a\n", 2);
        ::shutdown(flood.back().fd(), SHUT_WR);
    }
    Socket other = connectFrom("127.0.0.3", port);
    other.send("b\n", 2);
    ::shutdown(other.fd(), SHUT_WR);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    {
        std::lock_guard<std::mutex> lock(answers.mutex);
        answers.gateOpen = true;
    }
    answers.opened.notify_all();
    char c = 0;
    EXPECT_EQ(other.recv(&c, 1), 1);
    EXPECT_EQ(c, 'b');
    std::lock_guard<std::mutex> lock(answers.mutex);
    const auto at = std::find(answers.order.begin(), answers.order.end(), "127.0.0.3 b\n");
    ASSERT_NE(at, answers.order.end());
    EXPECT_LE(at - answers.order.begin(), 2) << "behind one request of the flood, not ten";
}

TEST(Listener, AResetFloodIsLoggedOnceAMinute) {
    TraceCapture trace;
    Seen seen;
    CServer s;
    const uint16_t port = startOn(s, seen);
    for (int i = 0; i < 50; ++i) {
        Socket c = connectFrom("127.0.0.2", port);
        c.send("x", 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        c.setResetOnClose();
    }
    ASSERT_TRUE(waitUntil([&] { return trace.count("ERROR recv error:104") >= 1; })) << trace.all();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(trace.count("ERROR recv error:104"), 1) << trace.all();
    EXPECT_EQ(trace.count("from 127.0.0.2"), trace.count("ERROR")) << "each names the address";
}
