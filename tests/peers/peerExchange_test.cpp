// One CONTROL= exchange at a time over real sockets: the server's handler
// behind a listener, the client's update merging the reply.
#include "peerFixture.h"

#include "remote/rawSock.h"

#include <cmath>
#include <cstring>
#include <set>

namespace {

// The newest `n` points of a track as the wire carries them, oldest first.
std::vector<PackedPoint> newest(CTrack& track, int n) {
    std::string bytes;
    int got = track.getPts(bytes, n, true, 0);
    std::vector<PackedPoint> out(static_cast<size_t>(got));
    std::memcpy(out.data(), bytes.data(), bytes.size());
    return out;
}

bool samePoints(const std::vector<PackedPoint>& a, const std::vector<PackedPoint>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](const PackedPoint& x, const PackedPoint& y) {
                                                  return x.lat == y.lat && x.lon == y.lon &&
                                                         x.alt == y.alt && x.time == y.time;
                                              });
}

} // namespace

TEST_F(PeerPair, ResynchronisationAndPollsFollowTheServersSequenceNumber) {
    struct Case {
        const char* what;
        int serverPoints; // points the server's local track has ever appended
        int clientHolds;  // points of the server's drive the client already holds
        int clientSeq;    // the client's sequence number for the peer
        int maxPts;
        bool replies;
        int expectCount; // points the client then holds
        int expectSeq;
        const char* logged;
    };
    const Case cases[] = {
        {"first contact", 5000, 0, 0, 2000, true, 2000, 5000, "adding 2000 pts"},
        {"nothing new", 5000, 2000, 5000, 2000, true, 2000, 5000, "sending 20 bytes"},
        {"three new points", 5000, 2000, 4997, 2000, true, 2000 + 3, 5000, "sending 60 bytes"},
        {"server restarted", 20, 30, 500, 2000, true, 20, 20, "restarted (sequence -20)"},
        {"no points yet", 0, 0, 0, 2000, false, 0, 0, "response error"},
        {"maxPts 0", 5000, 0, 0, 0, true, 0, 5000, "sending 0 bytes"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        serverLocal->track.clear();
        serverLocal->track.m_seqNum = 0;
        drive(serverLocal->track, 0, k.serverPoints);
        ASSERT_EQ(serverLocal->track.m_seqNum.load(), k.serverPoints);
        if (k.serverPoints > 0)
            serverLocal->curPos = driveFix(k.serverPoints - 1);
        peer->track.clear();
        // What the client held before: the oldest of those the server held
        // then (a restarted server's earlier drive is another one).
        int heldFrom = k.clientSeq - k.clientHolds + (k.clientSeq > k.serverPoints ? 100000 : 0);
        drive(peer->track, heldFrom, heldFrom + k.clientHolds);
        peer->track.m_seqNum = k.clientSeq;
        peer->maxPts = k.maxPts;
        peer->online = 1;

        TraceCapture log;
        EXPECT_EQ(peer->update(0), 1) << "the request was sent";
        EXPECT_EQ(peer->online, 1);
        EXPECT_EQ(peer->track.pointCount(), k.expectCount);
        EXPECT_EQ(peer->track.m_seqNum.load(), k.expectSeq);
        EXPECT_TRUE(log.contains(k.logged)) << log.all();
        if (!k.replies) {
            EXPECT_TRUE(log.contains("no local points yet, no reply")) << log.all();
            continue;
        }
        EXPECT_FALSE(log.contains("response error")) << log.all();
        if (k.expectCount > 0) {
            // The client's newest points are the server's newest, in order.
            int compare = std::min(k.expectCount, 20);
            EXPECT_TRUE(
                samePoints(newest(peer->track, compare), newest(serverLocal->track, compare)));
            EXPECT_DOUBLE_EQ(peer->curPos.lat,
                             std::round(driveFix(k.serverPoints - 1).lat * 1e5) / 1e5);
        }
        EXPECT_EQ(peer->changed, 0);
    }
}

TEST_F(PeerPair, HostileRequestsGetNoReplyAndTheServerGoesOnServing) {
    drive(serverLocal->track, 0, 10);
    serverLocal->curPos = driveFix(9);
    const std::string longName(128, 'n');
    const std::string longColor(32, 'c');
    struct Case {
        const char* what;
        std::string request;
        bool answered;
        const char* why; // the refusal's reason in the log (one text for one reason)
    };
    const Case cases[] = {
        {"a good request", "CONTROL=a@b,1,2000,0,0,5,Red\n", true, ""},
        {"longest name and colour",
         "CONTROL=" + std::string(127, 'n') + ",1,2000,0,0,5," + std::string(31, 'c') + "\n", true,
         ""},
        {"name of 128", "CONTROL=" + longName + ",1,2000,0,0,5,Red\n", false, "name longer"},
        {"colour of 32", "CONTROL=a@b,1,2000,0,0,5," + longColor + "\n", false, "colour"},
        {"five fields", "CONTROL=a@b,1,2000,0,0,5\n", false, "not a number"},
        {"no colour", "CONTROL=a@b,1,2000,0,0,5,\n", false, "colour"},
        // A colour is read as a word: a copy whose vehicle has "light blue"
        // still gets its points.
        {"a colour with a blank", "CONTROL=a@b,1,2000,0,0,5,light blue\n", true, ""},
        {"blanks before the colour", "CONTROL=a@b,1,2000,0,0,5,  Red\r\n", true, ""},
        {"only blanks for a colour", "CONTROL=a@b,1,2000,0,0,5,  \t\n", false, "colour"},
        {"a first word of 32", "CONTROL=a@b,1,2000,0,0,5," + longColor + " x\n", false, "colour"},
        {"a word for a number", "CONTROL=a@b,1,many,0,0,5,Red\n", false, "not a number"},
        {"a number with a tail", "CONTROL=a@b,1,20x,0,0,5,Red\n", false, "not a number"},
        {"cut before the line end", "CONTROL=a@b,1,2000,0,0,5,Re", false, "no line end"},
        {"no CONTROL prefix", "GET / HTTP/1.1\r\n\r\n", false, "no CONTROL= prefix"},
        {"lower case prefix", "control=a@b,1,2000,0,0,5,Red\n", false, "no CONTROL= prefix"},
        {"huge maxPts", "CONTROL=a@b,1,99999999999,0,0,5,Red\n", false, "not a number"},
        {"negative maxPts", "CONTROL=a@b,1,-5,0,0,5,Red\n", false, "negative"},
        {"negative sequence", "CONTROL=a@b,1,2000,0,0,-5,Red\n", false, "negative"},
        {"control bytes in the name",
         std::string("CONTROL=a\x01"
                     "b,1,2000,0,0,5,Red\n"),
         false, "name longer"},
        {"empty", "", false, "no CONTROL= prefix"},
    };
    // A reason is logged once a minute for an address: the first request
    // refused for it says so, the ones after it are counted, not logged.
    std::set<std::string> reasonsLogged;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        TraceCapture log;
        Socket s = rawOpenConnect(address, kControlPort, false);
        ASSERT_TRUE(s.valid());
        if (!k.request.empty()) {
            ASSERT_EQ(rawSendMsg(s, k.request), 0);
        } else {
            s.shutdown();
        }
        std::string reply;
        rawRecvMsg(s, reply, kPeerReplyMax, true, 6000);
        if (k.answered) {
            ASSERT_GE(reply.size(), 20u);
            EXPECT_EQ(reply.rfind("1,48.0009", 0), 0u) << reply.substr(0, 60);
            // Sequence 5 of 10 held: the five newest points.
            EXPECT_NE(reply.find(",10,5,"), std::string::npos) << reply.substr(0, 60);
        } else {
            EXPECT_TRUE(reply.empty()) << reply.substr(0, 60);
            if (!k.request.empty() && reasonsLogged.insert(k.why).second) {
                EXPECT_TRUE(waitUntil([&] { return log.contains(k.why); })) << log.all();
            } else if (!k.request.empty()) {
                // Served and closed by now: a line would have come.
                EXPECT_FALSE(log.contains("refused request")) << log.all();
            }
        }
    }
}

namespace {

// The reply the fake peer gives next.
std::string g_fakeReply;

int32_t fakePeer(std::span<char>, const char*, ServerReply& reply, void*) {
    return g_fakeReply.empty() ? 0 : reply.give(g_fakeReply);
}

std::string packed(std::vector<PackedPoint> points) {
    std::string bytes(points.size() * sizeof(PackedPoint), '\0');
    std::memcpy(bytes.data(), points.data(), bytes.size());
    return bytes;
}

PackedPoint wirePoint(int i) {
    GpsFix f = driveFix(i);
    return {static_cast<int32_t>(f.lat * 100000), static_cast<int32_t>(f.lon * 100000),
            static_cast<int32_t>(f.alt * 10), 230, static_cast<int32_t>(f.time)};
}

} // namespace

TEST(PeerReplies, TheClientAddsOnlyWholeValidPointsThatArrived) {
    const std::string address = testLoopbackAddress(1);
    CServer fake;
    ASSERT_TRUE(listenOn(fake, address, kControlPort, &fakePeer, nullptr));
    CClients clients("hostileReplies");
    CClient* peer = clients.add("Him", address);
    const std::string header3 = "1,48.00030,11.00000,0.0,500.0,20.0,1000,13,3,";
    PackedPoint absurd = wirePoint(2);
    absurd.lat = 95 * 100000;
    struct Case {
        const char* what;
        std::string reply;
        int added;
        int seq; // the client's sequence number afterwards (it starts at 10)
        const char* logged;
    };
    const Case cases[] = {
        {"three whole points", header3 + packed({wirePoint(0), wirePoint(1), wirePoint(2)}), 3, 13,
         "adding 3 pts"},
        {"more points claimed than came", header3 + packed({wirePoint(0), wirePoint(1)}), 2, 12,
         "reply cut: 3 points announced, 2 arrived"},
        {"cut in the middle of a point",
         header3 + packed({wirePoint(0), wirePoint(1), wirePoint(2)}).substr(0, 50), 2, 12,
         "reply cut"},
        {"a point with absurd coordinates", header3 + packed({wirePoint(0), wirePoint(1), absurd}),
         2, 13, "refused 1 points with impossible coordinates"},
        {"none of five points came", "1,48.0,11.0,0.0,500.0,20.0,1000,2,5,", 0, 0,
         "reply cut: 5 points announced, 0 arrived"},
        {"negative count", "1,48.0,11.0,0.0,500.0,20.0,1000,13,-3," + packed({wirePoint(0)}), 0, 10,
         "response error (a point count below 0 or over 28800)"},
        {"count over a full track", "1,48.0,11.0,0.0,500.0,20.0,1000,13,28801,", 0, 10,
         "response error (a point count below 0 or over 28800)"},
        {"eight fields", "1,48.0,11.0,0.0,500.0,20.0,1000,13", 0, 10,
         "response error (fewer than nine fields)"},
        // "12" of a count of 120: read as 12 it would drop the rest for good.
        {"cut inside the count", "1,48.0,11.0,0.0,500.0,20.0,1000,130,12", 0, 10,
         "response error (the header is cut inside its point count)"},
        {"a count without its comma", "1,48.0,11.0,0.0,500.0,20.0,1000,13,0", 0, 10,
         "response error (the header is cut inside its point count)"},
        {"not a number", "1,48.0,east,0.0,500.0,20.0,1000,13,0,", 0, 10,
         "response error (a header field that is not a number)"},
        {"nan position", "1,nan,11.0,0.0,500.0,20.0,1000,13,0,", 0, 10, "response error"},
        {"time beyond 32 bits", "1,48.0,11.0,0.0,500.0,20.0,99999999999,13,0,", 0, 10,
         "response error (a sequence number or time out of the 32-bit range)"},
        {"latitude beyond the pole", "1,91.0,11.0,0.0,500.0,20.0,1000,13,0,", 0, 10,
         "response error (an impossible position)"},
        {"no reply", "", 0, 10, "response error"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        peer->track.clear();
        peer->track.m_seqNum = 10;
        peer->curPos = GpsFix{};
        peer->online = 1;
        g_fakeReply = k.reply;
        TraceCapture log;
        EXPECT_EQ(peer->update(0), 1);
        EXPECT_EQ(peer->track.pointCount(), k.added);
        EXPECT_EQ(peer->track.m_seqNum.load(), k.seq);
        EXPECT_TRUE(log.contains(k.logged)) << log.all();
        EXPECT_EQ(peer->online, 1) << "a bad reply does not make the peer unreachable";
        if (std::string(k.logged).starts_with("response error")) {
            EXPECT_EQ(peer->curPos.lat, 0) << "the position stays as it was";
        }
    }
}

TEST(PeerReplies, APeerThatIsDownOrRefusesIsSkippedUntilAPingReachesIt) {
    const std::string address = testLoopbackAddress(2);
    CClients clients("downPeers");
    CClient* peer = clients.add("Gone", address);
    TraceCapture log;
    peer->online = 1;
    peer->ping(); // nothing listens: refused
    EXPECT_EQ(peer->online, 0);
    const int refusals = log.count(" 111");
    EXPECT_GE(refusals, 1) << log.all();
    EXPECT_EQ(peer->update(0), 0);
    EXPECT_EQ(log.count(" 111"), refusals) << "no connection to a peer that is offline";
    EXPECT_EQ(peer->update(1), 0) << "forced: tried, and refused";
    EXPECT_GT(log.count(" 111"), refusals) << log.all();
    EXPECT_EQ(peer->online, 0);

    CServer ping;
    ASSERT_TRUE(listenOn(ping, address, kPingPort, &CClients::processPingFunc, nullptr));
    peer->ping();
    EXPECT_EQ(peer->online, 1);
    EXPECT_TRUE(waitUntil([&] { return log.contains("got string ping:" + address); })) << log.all();
}
