// What every client but Google Earth gets: one document, shared while
// nothing it shows changes, headers alone for HEAD, and never larger than
// MaxReplyMB.
#include "netlink/netlinkFixture.h"

#include "common/traceCapture.h"
#include "net/http.h"

#include <functional>
#include <memory>

namespace {

class SharedDocument : public NetLinkFixture {
protected:
    // One request handed to the handler directly, as the listener would.
    int32_t ask(const std::string& request, ServerReply& reply) {
        std::string text = request;
        return Cn2k::processTrackerFunc(std::span<char>(text.data(), text.size()), "127.0.0.1",
                                        reply, &engine);
    }
    std::shared_ptr<const std::string> root() {
        ServerReply reply;
        EXPECT_GT(ask("GET / HTTP/1.1\r\n\r\n", reply), 0);
        EXPECT_TRUE(reply.shared) << "handed over as a shared reply";
        return reply.shared;
    }
};

} // namespace

TEST_F(SharedDocument, OneBufferWhileNothingShownChanges) {
    track(bravo);
    addPoint(alpha, 48.10, 11.50);
    addPoint(bravo, 48.20, 11.60);
    std::shared_ptr<const std::string> last = root();
    ASSERT_TRUE(last);
    EXPECT_EQ(root(), last) << "the same document for the next client";

    struct Change {
        const char* what;
        std::function<void()> apply;
    };
    const Change changes[] = {
        {"a new point", [&] { addPoint(charlie, 48.3, 11.7); }},
        {"a track colour",
         [&] {
             alpha->speedTrack = 0;
             alpha->color = "Blue";
         }},
        {"a position without a point", [&] { bravo->curPos.spd = 42; }},
        {"a label option", [&] { charlie->showHdg = 1; }},
        {"a vehicle hidden", [&] { charlie->visible = 0; }},
        {"another tracked vehicle", [&] { track(alpha); }},
        {"the settings",
         [&] {
             EngineSettings knots;
             knots.kml.speedInKnots = true;
             engine.setSettings(knots);
         }},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        c.apply();
        std::shared_ptr<const std::string> now = root();
        ASSERT_TRUE(now);
        EXPECT_NE(*now, *last);
        std::string body;
        ASSERT_TRUE(splitFullReply(*now, body));
        EXPECT_EQ(body, expectedDocument());
        EXPECT_EQ(root(), now);
        last = now;
    }
}

TEST_F(SharedDocument, HeadGetsTheHeadersOfTheDocumentAlone) {
    track(bravo);
    addPoint(bravo, 48.20, 11.60);
    const std::shared_ptr<const std::string> whole = root();
    ASSERT_TRUE(whole);
    ServerReply reply;
    const int32_t n = ask("HEAD / HTTP/1.1\r\n\r\n", reply);
    ASSERT_GT(n, 0);
    const std::string_view head = reply.bytes(n);
    EXPECT_EQ(head, httpHeadPart(*whole));
    EXPECT_TRUE(head.ends_with("\n\n"));
    EXPECT_EQ(head.find("<kml"), std::string_view::npos);
}

TEST_F(SharedDocument, NoDocumentIsLargerThanMaxReplyMB) {
    TraceCapture trace;
    EngineSettings small;
    small.maxReplyMB = 1;
    engine.setSettings(small);
    track(bravo);
    // About 3 MB of track (a point with its share of the time stamps takes
    // some 80 bytes): two devices and the followed vehicle.
    alpha->remoteType = remoteDevice;
    charlie->remoteType = remoteDevice;
    const int points[] = {16000, 6000, 16000};
    int k = 0;
    for (CClient* v : {alpha, bravo, charlie}) {
        v->maxPts = 30000;
        for (int i = 0; i < points[k]; ++i)
            addPoint(v, 40 + i * 1e-4, 10 + i * 1e-4 + k);
        ++k;
    }
    const size_t limit = size_t(1) << 20;
    for (const char* request : {"GET / HTTP/1.1\r\n\r\n", "GET /NivraServers HTTP/1.1\r\n\r\n"}) {
        SCOPED_TRACE(request);
        bravo->track.m_newPt = 1;
        ServerReply reply;
        const int32_t n = ask(request, reply);
        ASSERT_GT(n, 0);
        std::string body;
        ASSERT_TRUE(splitFullReply(std::string(reply.bytes(n)), body));
        EXPECT_LE(reply.bytes(n).size(), limit);
        EXPECT_GT(body.size(), limit / 2) << "the budget is used, not wasted";
        // The followed vehicle keeps its whole track; the devices give.
        EXPECT_NE(body.find(bravo->track.point(5999)->coords), std::string::npos);
        EXPECT_EQ(body.find(alpha->track.point(15999)->coords), std::string::npos);
        EXPECT_NE(body.find(alpha->track.point(1)->coords), std::string::npos);
    }
    EXPECT_EQ(trace.count("left out to keep the document under 1 MB"), 1) << "once a minute";
}
