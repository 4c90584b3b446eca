// Google Earth's polls over a real loopback connection, answered by the
// network-link handler with the scriptable Google Earth behind the camera.
#include "netlink/netlinkFixture.h"

namespace {

class Poll : public NetLinkFixture {
protected:
    void SetUp() override {
        NetLinkFixture::SetUp();
        ge->setCameraReading(camera(48.1, 11.5, 3000, 10, 0));
    }
};

} // namespace

TEST_F(Poll, NothingIsSentButTheUnchangedReplyBeforeAVehicleIsTracked) {
    addPoint(alpha, 48.1, 11.5);
    EXPECT_EQ(poll(), unchangedReply());
    // A browser is told in HTTP why there is nothing yet.
    EXPECT_EQ(poll("/").rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u);
    EXPECT_EQ(poll(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<kml xmlns=\"http://earth.google.com/kml/2.0\">\n</kml>");
    EXPECT_EQ(ge->callCount("setCamera"), 0);
}

TEST_F(Poll, NewPointGivesTheFullDocumentWithTheTrackedVehicleLast) {
    track(bravo);
    addPoint(alpha, 48.10, 11.50);
    addPoint(bravo, 48.20, 11.60);
    addPoint(charlie, 48.30, 11.70);

    std::string body;
    ASSERT_TRUE(splitFullReply(poll(), body));
    EXPECT_EQ(body, expectedDocument());
    size_t a = body.find("<name>Alpha@h1</name>");
    size_t b = body.find("<name>Bravo@h2</name>");
    size_t c = body.find("<name>Charlie@h3</name>");
    ASSERT_NE(b, std::string::npos);
    EXPECT_LT(a, c);
    EXPECT_LT(c, b) << "the tracked vehicle is drawn last, over the others";
    EXPECT_EQ(viewRange.load(), 3000);
    EXPECT_EQ(alpha->camRange, 3000) << "every vehicle is drawn at the camera's range";
    EXPECT_EQ(alpha->track.m_newPt, 0);

    // The followed vehicle's view went to Google Earth at FlyToSpeed / 100.
    auto sets = ge->setCalls();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_DOUBLE_EQ(sets[0].speed, 2.0);
    EXPECT_EQ(sets[0].camera.focusLat, 48.2);

    EXPECT_EQ(poll(), unchangedReply()) << "nothing new, camera unmoved";
    EXPECT_EQ(ge->setCalls().size(), 1u);

    addPoint(charlie, 48.31, 11.71);
    ASSERT_TRUE(splitFullReply(poll(), body));
    EXPECT_EQ(body, expectedDocument());
}

TEST_F(Poll, RepliesGrowingAndShrinkingCarryTheirOwnLengthAndTheWritersBytes) {
    // Each vehicle's folder is kept between polls and the reply's header is
    // given the room the last one took: documents whose length gains or loses
    // digits, vehicles that change or are hidden, must still come out whole.
    track(bravo);
    addPoint(alpha, 48.10, 11.50);
    addPoint(bravo, 48.20, 11.60);
    struct Step {
        const char* what;
        int alphaPoints;    // more points for Alpha before the poll
        int charlieVisible; // Charlie shown or hidden
        const char* color;  // Bravo's colour
    };
    const Step steps[] = {
        {"two vehicles, a few points", 1, 0, "Orange"},
        {"Alpha's track grows a digit longer", 400, 0, "Orange"},
        {"Charlie shows up", 1, 1, "Orange"},
        {"Charlie hidden again", 1, 0, "red"},
        {"Alpha cleared: a digit shorter", 0, 0, "red"},
        {"only the tracked vehicle changes", 0, 0, "Blue"},
    };
    for (const Step& st : steps) {
        SCOPED_TRACE(st.what);
        if (std::string(st.what).find("cleared") != std::string::npos) {
            alpha->track.clear();
            alpha->track.m_newPt = 1;
        }
        for (int i = 0; i < st.alphaPoints; ++i)
            addPoint(alpha, 48.10 + i * 1e-4, 11.50 + i * 1e-4);
        charlie->visible = st.charlieVisible;
        bravo->color = st.color;
        bravo->track.m_newPt = 1;
        for (const char* target : {"/NivraServers", "/"}) {
            std::string body;
            ASSERT_TRUE(splitFullReply(poll(target), body)) << target;
            EXPECT_EQ(body, expectedDocument()) << target;
        }
    }
}

TEST_F(Poll, PausedEngineAnswersUnchangedUntilTheUserZooms) {
    track(bravo);
    addPoint(bravo, 48.2, 11.6);
    std::string body;
    ASSERT_TRUE(splitFullReply(poll(), body));

    engine.m_paused = 1;
    addPoint(bravo, 48.21, 11.61);
    clock->advance(1000);
    EXPECT_EQ(poll(), unchangedReply());

    // Google Earth still reads back the view the program set; the user now
    // zooms out by half again.
    EarthCamera zoomed = ge->setCalls().back().camera;
    zoomed.range *= 1.5;
    ge->setCameraReading(zoomed);
    clock->advance(1000);
    ASSERT_TRUE(splitFullReply(poll(), body));
    EXPECT_EQ(bravo->changed, 1);
}

TEST_F(Poll, BrowserAtTheRootGetsTheDocumentWithoutTouchingTheCamera) {
    track(bravo);
    addPoint(alpha, 48.1, 11.5);
    addPoint(bravo, 48.2, 11.6);
    ge->clearCalls();
    std::string body;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(splitFullReply(poll("/"), body)) << "request " << i;
        EXPECT_EQ(body, expectedDocument());
    }
    EXPECT_TRUE(ge->calls().empty()) << ge->calls().front();

    // Paused, a browser gets what the vehicles looked like when it paused.
    engine.m_paused = 1;
    const std::string before = expectedDocument();
    addPoint(bravo, 48.21, 11.61);
    ASSERT_TRUE(splitFullReply(poll("/"), body));
    EXPECT_EQ(body, before);
    EXPECT_TRUE(ge->calls().empty());
}

TEST_F(Poll, EveryClientButGoogleEarthGetsAnHttpReplyInEveryState) {
    struct Case {
        const char* what;
        bool tracked;
        bool paused;
        bool shutdown;
        bool documentBefore; // a whole reply went out before
        const char* status;
        const char* says;
    };
    const Case cases[] = {
        {"no vehicle followed yet", false, false, false, false, "503 Service Unavailable",
         "Nivra is starting"},
        {"paused before any document", true, true, false, false, "503 Service Unavailable",
         "Nivra is paused"},
        {"paused after a document", true, true, false, true, "200 OK", "<Document>"},
        {"running", true, false, false, false, "200 OK", "<Document>"},
        {"stopping", true, false, true, true, "503 Service Unavailable", "Nivra is stopping"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Cn2k fresh(clients);
        fresh.m_tracked = c.tracked ? bravo : nullptr;
        addPoint(bravo, 48.2, 11.6);
        for (const char* request : {"GET / HTTP/1.1\r\n\r\n", "GET /favicon.ico HTTP/1.1\r\n\r\n",
                                    "HEAD / HTTP/1.0\r\n\r\n", "hello\r\n\r\n"}) {
            SCOPED_TRACE(request);
            std::string text = request;
            ServerReply reply;
            if (c.documentBefore) {
                ServerReply first;
                std::string root = "GET / HTTP/1.1\r\n\r\n";
                ASSERT_GT(Cn2k::processTrackerFunc(root, "127.0.0.1", first, &fresh), 0);
            }
            fresh.m_paused = c.paused ? 1 : 0;
            g_bShutdown = c.shutdown ? 1 : 0;
            const int32_t n = Cn2k::processTrackerFunc(text, "127.0.0.1", reply, &fresh);
            g_bShutdown = 0;
            fresh.m_paused = 0;
            ASSERT_GT(n, 0) << "an owned reply";
            const std::string out(reply.bytes(n));
            EXPECT_EQ(out.rfind(std::string("HTTP/1.1 ") + c.status, 0), 0u) << out.substr(0, 200);
            // The length the header gives is the body's (the document's
            // header ends in "\n\n", the others' in "\r\n\r\n"); a HEAD
            // request gets the document's headers alone.
            const size_t crlf = out.find("\r\n\r\n");
            const size_t blank = crlf != std::string::npos ? crlf + 4 : out.find("\n\n") + 2;
            const size_t length = out.find("Content-Length: ");
            ASSERT_NE(length, std::string::npos);
            const bool headersAlone = text.starts_with("HEAD") && std::string(c.status) == "200 OK";
            if (headersAlone) {
                EXPECT_EQ(out.size(), blank) << out.substr(0, 300);
                EXPECT_GT(std::stoul(out.substr(length + 16)), 1000u);
            } else {
                EXPECT_NE(out.find(c.says), std::string::npos) << out.substr(0, 300);
                EXPECT_EQ(std::stoul(out.substr(length + 16)), out.size() - blank);
            }
        }
    }
}

TEST_F(Poll, SelTrackOnlyDrawsTheTrackedVehicleAlone) {
    EngineSettings selectedOnly;
    selectedOnly.selectedTrackOnly = true;
    engine.setSettings(selectedOnly);
    track(bravo);
    addPoint(alpha, 48.1, 11.5);
    addPoint(bravo, 48.2, 11.6);
    std::string body;
    ASSERT_TRUE(splitFullReply(poll(), body));
    EXPECT_EQ(body, expectedDocument(true));
    EXPECT_EQ(body.find("Alpha@h1"), std::string::npos);
    EXPECT_NE(body.find("<name>Bravo@h2</name>"), std::string::npos);

    bravo->visible = 0;
    addPoint(bravo, 48.21, 11.61);
    ASSERT_TRUE(splitFullReply(poll(), body));
    EXPECT_EQ(body, kmlDocumentHead() + "\n" + kmlDocumentTail()) << "an invisible vehicle";
}

TEST_F(Poll, ShutdownAnswersUnchangedAndLeavesTheCameraAlone) {
    track(bravo);
    addPoint(bravo, 48.2, 11.6);
    char text[] = "GET /NivraServers?&LOOKAT=1,2,3,4,5 HTTP/1.1\r\n\r\n";
    ServerReply reply;
    g_bShutdown = 1;
    int32_t n = Cn2k::processTrackerFunc(std::span<char>(text, sizeof text - 1), "127.0.0.1", reply,
                                         &engine);
    g_bShutdown = 0;
    ASSERT_LT(n, 0);
    EXPECT_EQ(std::string(reply.bytes(n)), unchangedReply());
    EXPECT_EQ(ge->callCount("setCamera"), 0);
    EXPECT_EQ(bravo->track.m_newPt, 1) << "the point is still to be shown";
}

TEST_F(Poll, FirstPollsAfterGoogleEarthWasStartedFlyToAnOverview) {
    ge->setFeature("NivraServers", true);
    ge->scriptCreateTimes({2500, 120});
    EXPECT_EQ(engine.loadServer("NivraServers", "NivraServers", "127.0.0.1", port), 1);
    EXPECT_EQ(trace.count("trying to start GE 2500"), 1);
    EXPECT_EQ(g_startupCounter.load(), 0);

    track(bravo, 47); // follow with automatic heading, range and tilt
    std::vector<double> ranges;
    for (int i = 0; i < 10; ++i) {
        addPoint(bravo, 48.2 + i * 0.001, 11.6);
        clock->advance(600);
        std::string body;
        ASSERT_TRUE(splitFullReply(poll(), body)) << "poll " << i;
        ranges.push_back(ge->setCalls().back().camera.range);
        if (i == 0) {
            EXPECT_EQ(ge->setCalls().back().camera.tilt, 40);
        }
    }
    // Three vehicles counted per reply: 8 replies stay below 25.
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(ranges[i], 8000) << "poll " << i;
    EXPECT_NE(ranges[8], 8000) << "the automatic view takes over";
    EXPECT_EQ(ranges[8], ranges[9]);
}

TEST_F(Poll, EngineStartServesTheLinkOnItsOwnPort) {
    clients.add("Me", "localhost");
    clients.designateLocal();
    Cn2k started(clients);
    started.m_basePort = started.m_linkPort = started.m_trackerPort = 0; // the system picks
    EXPECT_EQ(started.startEngine(), 1);
    EXPECT_EQ(started.m_local.load(), clients.localVehicle());
    ASSERT_TRUE(waitUntil([&] {
        return started.m_linkServer.boundPort() != 0 && started.m_baseServer.boundPort() != 0 &&
               started.m_trackerServer.boundPort() != 0;
    }));
    EXPECT_EQ(roundTrip(started.m_linkServer.boundPort(), "GET /NivraServers HTTP/1.1\r\n\r\n"),
              unchangedReply());
    track(bravo);
    started.m_tracked = bravo;
    addPoint(bravo, 48.2, 11.6);
    std::string body;
    ASSERT_TRUE(splitFullReply(
        roundTrip(started.m_linkServer.boundPort(), "GET / HTTP/1.1\r\n\r\n"), body));
    EXPECT_EQ(body, expectedDocument());
    EXPECT_NE(body.find("<name>Me</name>"), std::string::npos) << "the local vehicle is drawn too";
}
