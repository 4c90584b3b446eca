// Listeners driven over real loopback sockets. Every listener binds port 0 on
// 127.0.0.1 and lets the system choose, so test programs can run in parallel.
#include "net/server.h"

#include "common/loopback.h"
#include "common/recordingUi.h"
#include "common/traceCapture.h"
#include "common/waitUntil.h"
#include "platform/runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

// What a test handler saw and how it answers.
struct Probe {
    std::mutex mutex;
    std::vector<std::string> requests;
    std::vector<std::string> peers;
    std::vector<bool> terminated; // request followed by a 0 byte
    int calls = 0;
    std::atomic<int> afterReplies{0};
    // answer
    std::string owned;
    std::string_view fixed;
    int32_t claim = 0; // result to return when non-zero (else the natural one)
};

int32_t probeHandler(std::span<char> request, const char* peer, ServerReply& reply, void* ctx) {
    auto* p = static_cast<Probe*>(ctx);
    {
        std::lock_guard<std::mutex> lock(p->mutex);
        p->requests.emplace_back(request.data(), request.size());
        p->peers.emplace_back(peer);
        p->terminated.push_back(request.data()[request.size()] == 0);
        ++p->calls;
    }
    int32_t result = 0;
    if (!p->fixed.empty())
        result = reply.giveStatic(p->fixed);
    else if (!p->owned.empty())
        result = reply.give(p->owned);
    return p->claim != 0 ? p->claim : result;
}

void countAfterReply(void* ctx) {
    ++static_cast<Probe*>(ctx)->afterReplies;
}

// Starts `s` on 127.0.0.1 with a system-chosen port and waits until it listens.
uint16_t startLoopback(CServer& s, ServerHandler h, void* ctx, int32_t port = 0) {
    s.bindAddress = "127.0.0.1";
    EXPECT_EQ(s.start(port, h, ctx), 1);
    EXPECT_TRUE(waitUntil([&] { return s.boundPort() != 0; }));
    return s.boundPort();
}

const char k91[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<kml xmlns=\"http://earth.google.com/kml/2.0\">\n"
                   "</kml>";
static_assert(sizeof(k91) - 1 == 91, "the unchanged network-link reply is 91 bytes");

} // namespace

TEST(ServerReply, ResultSelectsTheBytesAndNeverReadsPastThem) {
    ServerReply r;
    EXPECT_EQ(r.give("hello"), 5);
    EXPECT_EQ(r.giveStatic("static text"), -11);
    EXPECT_EQ(r.bytes(5), "hello");
    EXPECT_EQ(r.bytes(-11), "static text");
    EXPECT_EQ(r.bytes(-6), "static");
    EXPECT_EQ(r.bytes(0), "");
    EXPECT_EQ(r.bytes(1000), "hello");
    EXPECT_EQ(r.bytes(INT32_MIN), "static text");
}

TEST(Server, StaticReplyOf91BytesIsSentWholeAndLogged) {
    TraceCapture trace;
    Probe probe;
    probe.fixed = k91;
    CServer s;
    uint16_t port = startLoopback(s, probeHandler, &probe);
    bool ok = false;
    std::string reply = roundTrip(port, "GET /NivraServers?LOOKAT=1,2,3 HTTP/1.1\r\n\r\n", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(reply, std::string(k91));
    EXPECT_TRUE(waitUntil([&] { return trace.count("Sent -91/91 bytes") == 1; }));
    EXPECT_EQ(trace.count("CServer::server"), 1) << "one log line for one good exchange";
}

TEST(Server, OwnedReplyIsSentAndHandlerSeesPeerAndTerminatedRequest) {
    TraceCapture trace;
    Probe probe;
    probe.owned = "HTTP/1.1 200 OK\n\nbody";
    CServer s;
    uint16_t port = startLoopback(s, probeHandler, &probe);
    s.afterReply = countAfterReply;
    EXPECT_EQ(roundTrip(port, "CONTROL=x"), probe.owned);
    EXPECT_EQ(roundTrip(port, "CONTROL=y"), probe.owned);
    std::lock_guard<std::mutex> lock(probe.mutex);
    ASSERT_EQ(probe.calls, 2) << "one connection after the other, one call each";
    EXPECT_EQ(probe.requests[0], "CONTROL=x");
    EXPECT_EQ(probe.requests[1], "CONTROL=y");
    EXPECT_EQ(probe.peers[0], "127.0.0.1");
    EXPECT_TRUE(probe.terminated[0]);
    EXPECT_TRUE(waitUntil([&] { return probe.afterReplies == 2; }));
    EXPECT_EQ(trace.count("Sent 21/21 bytes"), 2);
}

TEST(Server, ZeroResultSendsNothingAndAnOverclaimSendsOnlyWhatIsHeld) {
    TraceCapture trace;
    CServer quiet;
    uint16_t qport = startLoopback(quiet, nullPortHandler, nullptr);
    bool ok = false;
    EXPECT_EQ(roundTrip(qport, "anything at all", &ok), "");
    EXPECT_TRUE(ok);

    Probe liar;
    liar.owned = "short";
    liar.claim = 4096; // a handler that says more than it built
    CServer s;
    uint16_t port = startLoopback(s, probeHandler, &liar);
    EXPECT_EQ(roundTrip(port, "x"), "short");
    EXPECT_TRUE(waitUntil([&] { return trace.count("Sent 4096/5 bytes") == 1; }));
    EXPECT_EQ(trace.count("ERROR reply holds 5 of 4096 bytes"), 1);
}

TEST(Server, LargeRequestReachesHandlerCutAtTheFirstReceive) {
    Probe probe;
    probe.owned = "ok";
    CServer s;
    uint16_t port = startLoopback(s, probeHandler, &probe);
    std::string big(40000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char('a' + i % 26);
    EXPECT_EQ(roundTrip(port, big), "ok");
    std::lock_guard<std::mutex> lock(probe.mutex);
    ASSERT_EQ(probe.calls, 1) << "the rest of the request is never read";
    const std::string& got = probe.requests[0];
    EXPECT_GT(got.size(), 0u);
    EXPECT_LE(got.size(), kMaxRequest);
    EXPECT_EQ(got, big.substr(0, got.size()));
    EXPECT_TRUE(probe.terminated[0]);
}

TEST(Server, SilentClientIsDroppedAfterTheTimeOutAndTheNextIsServed) {
    TraceCapture trace;
    Probe probe;
    probe.owned = "served";
    CServer s;
    s.ioTimeoutMs = 300;
    uint16_t port = startLoopback(s, probeHandler, &probe);

    int err = 0;
    Socket silent = Socket::tcp(err);
    ASSERT_EQ(silent.connect("127.0.0.1", port, 2000), 0);
    ASSERT_EQ(silent.setTimeouts(5000), 0);
    // The listener is now stuck on the silent client; this one queues behind it.
    bool ok = false;
    std::string reply = roundTrip(port, "next", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(reply, "served");
    char c;
    EXPECT_EQ(silent.recv(&c, 1), 0) << "the listener closed the silent connection";
    EXPECT_EQ(trace.count("ERROR recv error:" + std::to_string(EAGAIN) +
                          " port:0"), // the configured port is 0: the system chose
              1);
    std::lock_guard<std::mutex> lock(probe.mutex);
    ASSERT_EQ(probe.calls, 1) << "the silent client never reaches the handler";
    EXPECT_EQ(probe.requests[0], "next");
}

TEST(Server, SecondListenerOnABusyPortTellsOnceLogsOnceAMinuteAndKeepsRetrying) {
    resetMessagesShown();
    RecordingUi ui;
    TraceCapture trace;
    Probe first, second;
    first.owned = "first";
    second.owned = "second";
    auto a = std::make_unique<CServer>();
    uint16_t port = startLoopback(*a, probeHandler, &first);
    EXPECT_TRUE(a->waitForBind(0).listening());

    CServer b;
    b.bindAddress = "127.0.0.1";
    ASSERT_EQ(b.start(port, probeHandler, &second), 1);
    CServer c; // a third listener meeting the same taken port adds no message
    c.bindAddress = "127.0.0.1";
    ASSERT_EQ(c.start(port, probeHandler, &second), 1);
    // The owner learns what the first attempt came to.
    const BindOutcome outcome = b.waitForBind(5000);
    EXPECT_TRUE(outcome.tried);
    EXPECT_FALSE(outcome.listening());
    EXPECT_EQ(outcome.error, EADDRINUSE);
    EXPECT_EQ(outcome.port, port);
    EXPECT_EQ(outcome.address, "127.0.0.1");

    // Retries every two seconds, logged once a minute: one line per listener.
    std::string failure =
        "ERROR binding:" + std::to_string(EADDRINUSE) + " port:" + std::to_string(port);
    ASSERT_TRUE(waitUntil([&] { return trace.count(failure) >= 2; }, 8000));
    std::this_thread::sleep_for(std::chrono::milliseconds(4500));
    EXPECT_EQ(trace.count(failure), 2) << "retries within the minute are not logged again";
    auto shown = ui.messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "Nivra: " + bindFailureMessage(port, EADDRINUSE, "127.0.0.1"));
    EXPECT_EQ(bindFailureMessage(port, EADDRINUSE, "127.0.0.1"),
              "Nivra can't open one or more ports, make sure only one copy of Nivra is running");
    EXPECT_EQ(roundTrip(port, "x"), "first");

    c.stop();
    a.reset(); // the port comes free; the next retry of b takes it
    ASSERT_TRUE(waitUntil([&] { return b.boundPort() == port; }, 5000));
    EXPECT_TRUE(b.waitForBind(0).listening());
    EXPECT_EQ(roundTrip(port, "x"), "second");
    EXPECT_EQ(ui.messages().size(), 1u);
}

TEST(Server, AThrottledBindLineCountsTheAttemptsInBetween) {
    TraceCapture trace;
    Probe probe;
    CServer holder;
    const uint16_t port = startLoopback(holder, probeHandler, &probe);
    CServer late;
    late.bindAddress = "127.0.0.1";
    late.bindLogPeriod = std::chrono::milliseconds(3000);
    ASSERT_EQ(late.start(port, probeHandler, &probe), 1);
    // Tries at 0, 2, 4 s: the line at 0 s, the one at 4 s with the one held back.
    const std::string held = "1 more failed binds port:" + std::to_string(port);
    EXPECT_TRUE(waitUntil([&] { return trace.count(held) == 1; }, 9000)) << trace.all();
    EXPECT_EQ(trace.count("ERROR binding:" + std::to_string(EADDRINUSE) +
                          " port:" + std::to_string(port)),
              2);
}

TEST(Server, BindFailureMessagesSayWhatToDo) {
    const struct {
        int port;
        int error;
        const char* address;
        const char* says;
    } cases[] = {
        {51231, EADDRINUSE, "", "make sure only one copy of Nivra is running"},
        {80, EADDRINUSE, "", "are you running an http server?"},
        {80, EACCES, "", "Nivra can't open port 80 on 0.0.0.0: Permission denied. Uncheck"},
        {51233, EADDRNOTAVAIL, "192.0.2.1",
         "Nivra can't open port 51233 on 192.0.2.1: Cannot assign requested address. Check the "
         "address given with --bind"},
    };
    for (const auto& c : cases)
        EXPECT_NE(bindFailureMessage(c.port, c.error, c.address).find(c.says), std::string::npos)
            << bindFailureMessage(c.port, c.error, c.address);
    // A listener that was never started has not tried.
    CServer idle;
    EXPECT_FALSE(idle.waitForBind(100).tried);
}

TEST(Server, BindAddressChoosesTheInterface) {
    Probe probe;
    probe.owned = "here";
    CServer s;
    s.bindAddress = "127.0.0.2";
    ASSERT_EQ(s.start(0, probeHandler, &probe), 1);
    ASSERT_TRUE(waitUntil([&] { return s.boundPort() != 0; }));
    uint16_t port = s.boundPort();
    EXPECT_EQ(roundTrip(port, "x", nullptr, "127.0.0.2"), "here");
    int err = 0;
    Socket other = Socket::tcp(err);
    EXPECT_EQ(other.connect("127.0.0.1", port, 1000), ECONNREFUSED);
}

TEST(Server, StopWakesAListenerBlockedInAcceptOrReceive) {
    Probe probe;
    CServer idle;
    startLoopback(idle, probeHandler, &probe);
    auto t0 = std::chrono::steady_clock::now();
    idle.stop();
    EXPECT_FALSE(idle.running());

    CServer busy;
    busy.ioTimeoutMs = 60000;
    uint16_t port = startLoopback(busy, probeHandler, &probe);
    int err = 0;
    Socket silent = Socket::tcp(err);
    ASSERT_EQ(silent.connect("127.0.0.1", port, 2000), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let it block in recv
    busy.stop();
    auto took = std::chrono::steady_clock::now() - t0;
    // Far below the 60 s receive time-out: the threads were woken, not timed out.
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_EQ(probe.calls, 0);
}

TEST(Server, ShutdownFlagAloneEndsEveryListener) {
    Probe probe;
    CServer a, b;
    b.ioTimeoutMs = 60000;
    startLoopback(a, probeHandler, &probe);
    uint16_t bport = startLoopback(b, probeHandler, &probe);
    int err = 0;
    Socket silent = Socket::tcp(err);
    ASSERT_EQ(silent.connect("127.0.0.1", bport, 2000), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // b now waits for the request
    g_bShutdown = 1;
    // Nobody shuts the sockets down: both threads notice the flag on their own,
    // long before the 60 s receive time-out.
    EXPECT_TRUE(waitUntil([&] { return a.boundPort() == 0 && b.boundPort() == 0; }, 3000));
    char ch;
    EXPECT_EQ(silent.recv(&ch, 1), 0) << "the connection was closed";
    a.stop();
    b.stop();
    g_bShutdown = 0;
    EXPECT_EQ(probe.calls, 0);
}

TEST(Server, AListenerWhoseSocketFailsComesBackTwoSecondsLater) {
    TraceCapture trace;
    Probe probe;
    probe.owned = "back";
    CServer s;
    startLoopback(s, probeHandler, &probe);
    CServer::wakeAll(); // shuts the listening socket down under the running thread
    ASSERT_TRUE(waitUntil([&] { return trace.count("ERROR on accept:") == 1; }));
    EXPECT_TRUE(waitUntil([&] { return s.boundPort() == 0; }));
    ASSERT_TRUE(waitUntil([&] { return s.boundPort() != 0; }, 5000));
    EXPECT_EQ(roundTrip(s.boundPort(), "x"), "back");
}
