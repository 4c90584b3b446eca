// The remote side as the program starts it: both servers on the bind
// address, the ping and update threads polling peers, and a prompt end at
// shutdown whatever the peers do.
#include "peerFixture.h"

#include "common/loopback.h"

#include <chrono>

namespace {

// Waits until both servers at `address` are bound (the listeners read the
// bind address setting when they bind, so it may change only after that).
bool serversUp(const std::string& address) {
    return waitUntil(
        [&] {
            bool bound = false;
            roundTrip(kControlPort, "x\n", &bound, address);
            return bound && roundTrip(kPingPort, "ping:x", nullptr, address) == "resp";
        },
        15000);
}

} // namespace

TEST(PeerThreads, StartedListsServeEachOtherAndEndWithinASecondOfShutdown) {
    const std::string addressA = testLoopbackAddress(3);
    const std::string addressB = testLoopbackAddress(4);
    const std::string silent = testLoopbackAddress(5);
    TraceCapture log;

    // A peer that takes connections and never answers: every poll of it
    // uses the whole receive budget.
    int err = 0;
    Socket mute = Socket::tcp(err);
    ASSERT_EQ(mute.bind(silent, kControlPort), 0);
    ASSERT_EQ(mute.listen(64), 0);
    Socket mutePing = Socket::tcp(err);
    ASSERT_EQ(mutePing.bind(silent, kPingPort), 0);
    ASSERT_EQ(mutePing.listen(64), 0);

    CClients a("threadsA");
    CClient* localA = a.add("Me", "localhost");
    drive(localA->track, 0, 50);
    localA->curPos = driveFix(49);
    a.start(addressA);
    ASSERT_TRUE(serversUp(addressA));

    CClients b("threadsB");
    b.add("Me", "localhost");
    CClient* slow = b.add("Mute", silent);
    CClient* her = b.add("Her", addressA);
    CClient* demo = b.add("Demo", "demo9");
    demo->isDemo = 1;
    b.start(addressB);
    b.start(addressB); // a second start changes nothing
    ASSERT_TRUE(serversUp(addressB));

    EXPECT_TRUE(b.localVehicle() && b.localVehicle()->isLocal);
    const std::vector<CClient*> polled = b.polledPeers();
    EXPECT_EQ(polled, (std::vector<CClient*>{her, slow})) << "peers only, in list order";

    // The silent peer does not keep the other from being followed.
    EXPECT_TRUE(waitUntil([&] { return her->track.m_seqNum.load() == 50; }, 30000)) << log.all();
    EXPECT_EQ(her->track.pointCount(), 50);
    EXPECT_EQ(her->online, 1);

    // New points reach the copy on the next poll.
    drive(localA->track, 50, 53);
    EXPECT_TRUE(waitUntil([&] { return her->track.m_seqNum.load() == 53; }, 30000));
    EXPECT_EQ(her->track.pointCount(), 53);

    // Shutdown ends every thread promptly, even the one waiting on the silent peer.
    auto start = std::chrono::steady_clock::now();
    g_bShutdown = 1;
    b.stop();
    a.stop();
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start)
                    .count();
    g_bShutdown = 0;
    EXPECT_LT(took, 2000) << "threads and servers ended";
    EXPECT_FALSE(a.peersRunning());
    EXPECT_FALSE(b.peersRunning());
    EXPECT_EQ(roundTrip(kPingPort, "ping:x", nullptr, addressB), "") << "the ping server is gone";
    EXPECT_FALSE(log.contains("Unhandled exception"));
}

TEST(PeerWire, RequestsAndPointCountsFollowTheFormat) {
    ControlRequest r;
    std::string why;
    const std::string text = formatControlRequest("Me@host", 2000, 0x2f, 57, "Orange");
    EXPECT_EQ(text, "CONTROL=Me@host,1,2000,0,47,57,Orange\n");
    ASSERT_TRUE(parseControlRequest(text, r, why)) << why;
    EXPECT_EQ(r.name, "Me@host");
    EXPECT_EQ(r.maxPts, 2000);
    EXPECT_EQ(r.tracking, 47);
    EXPECT_EQ(r.seqNum, 57);
    EXPECT_EQ(r.color, "Orange");
    // The colour is the first word of what follows; the name keeps its blanks.
    const struct {
        const char* text;
        const char* color;
    } colors[] = {
        {"CONTROL=My car@host,1,2000,0,47,57,light blue\n", "light"},
        {"CONTROL=My car@host,1,2000,0,47,57,\t ff4080FF  \r\n", "ff4080FF"},
        {"CONTROL=My car@host,1,2000,0,47,57,red,green\n", "red,green"},
    };
    for (const auto& c : colors) {
        ASSERT_TRUE(parseControlRequest(c.text, r, why)) << c.text << ": " << why;
        EXPECT_EQ(r.color, c.color) << c.text;
        EXPECT_EQ(r.name, "My car@host");
    }

    GpsFix pos;
    pos.lat = 51.5;
    pos.lon = -0.12;
    pos.hdg = 270;
    pos.alt = 35;
    pos.spd = 12.5;
    pos.time = 1234567890;
    const std::string header = formatControlReplyHeader(pos, 57, 3);
    EXPECT_EQ(header, "1,51.50000,-0.12000,270.0,35.0,12.5,1234567890,57,3,");
    EXPECT_EQ(header.size(), 52u);
    ControlReplyHeader h;
    ASSERT_TRUE(parseControlReplyHeader(header + std::string(60, '\0'), h, why)) << why;
    EXPECT_EQ(h.pointsOffset, 52u);
    EXPECT_EQ(h.seqNum, 57);
    EXPECT_EQ(h.count, 3);
    pos.lat = 1e300;
    pos.lon = -1e300;
    EXPECT_EQ(formatControlReplyHeader(pos, 57, 3), "") << "never more than 512 bytes";

    struct Case {
        int32_t server, client, maxPts;
        int32_t expected;
        bool resync;
    };
    const Case cases[] = {
        {5000, 0, 2000, 2000, false},
        {5000, 5000, 2000, 1, false},
        {5000, 4997, 2000, 3, false},
        {20, 500, 2000, 2000, true},
        {20, 500, 50000, 28800, true},
        {5000, 0, 0, 0, false},
        {INT32_MAX, 0, INT32_MAX, 28800, false},
    };
    for (const Case& c : cases) {
        bool resync = false;
        EXPECT_EQ(pointsToSend(c.server, c.client, c.maxPts, resync), c.expected)
            << c.server << " " << c.client << " " << c.maxPts;
        EXPECT_EQ(resync, c.resync);
    }
}
