// Installing the network link with the scriptable Google Earth: every wait of
// the installation runs on the manual clock.
#include "camera/earthFixture.h"
#include "earth/n2k.h"
#include "remote/client.h"

namespace {

const char* const kLinkDocument = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                  "<kml xmlns=\"http://earth.google.com/kml/2.0\">\n"
                                  "<NetworkLink id=\"Nivra\">\n"
                                  "<name>NivraServers</name>\n"
                                  " <Link>\n"
                                  "<viewFormat>\n"
                                  "&amp;LOOKAT=[lookatLon],[lookatLat],[lookatRange],[lookatTilt],"
                                  "[lookatHeading]\n"
                                  "</viewFormat>\n"
                                  "<href>http://127.0.0.1:51233/NivraServers</href>\n"
                                  "<refreshMode>onInterval</refreshMode>\n"
                                  "<refreshInterval>.5</refreshInterval>\n"
                                  "</Link>\n"
                                  "</NetworkLink>\n"
                                  "</kml>\n";

const char* const kUpgrade =
    "Nivra: This version of Nivra will not work well with this version "
    "of Google Earth. Please upgrade to the latest version of Google Earth";

class LoadServer : public EarthFixture {
protected:
    void SetUp() override {
        EarthFixture::SetUp();
        GoogleEarthVersion = 0;
    }
    int load() { return engine.loadServer("NivraServers", "NivraServers", "127.0.0.1", 51233); }

    CClients clients{"loadservertest"};
    Cn2k engine{clients};
};

} // namespace

TEST_F(LoadServer, LinkAlreadyInPlacesIsLeftAlone) {
    ge->setFeature("NivraServers", true);
    EXPECT_EQ(load(), 1);
    EXPECT_EQ(load(), 1);
    EXPECT_EQ(ge->callCount("findFeature NivraServers"), 2);
    EXPECT_EQ(ge->callCount("loadKml"), 0);
    EXPECT_EQ(trace.count("got feature"), 2);
    EXPECT_EQ(GoogleEarthVersion.load(), 7);
    EXPECT_TRUE(ui.messages().empty());
}

TEST_F(LoadServer, MissingLinkIsLookedForFiveTimesThenLoadedThroughTheView) {
    EXPECT_EQ(load(), 0);
    EXPECT_EQ(ge->callCount("findFeature"), 5);
    EXPECT_EQ(trace.count("got feature"), 5);
    ASSERT_EQ(ge->loadedKml().size(), 1u);
    EXPECT_EQ(ge->loadedKml()[0], kLinkDocument);
    EXPECT_EQ(ge->callCount("loadKml view"), 1);
    EXPECT_EQ(clock->slept(), 5 * 1000u + 4 * 500u)
        << "a second after each answer, half a second between attempts";
}

TEST_F(LoadServer, FailedFindCallsAreRetriedWithoutCounting) {
    using Step = EarthTestDouble::FindStep;
    ge->scriptFind({Step{kEarthFailed, false}, Step{kEarthFailed, false}, Step{kEarthOk, false},
                    Step{kEarthFailed, false}, Step{kEarthOk, true}});
    EXPECT_EQ(load(), 1);
    EXPECT_EQ(ge->callCount("findFeature"), 5);
    EXPECT_EQ(trace.count("got feature"), 2);

    ge->scriptFind(std::vector<Step>(1000, Step{kEarthFailed, false}));
    EXPECT_EQ(load(), 0) << "a find that always fails ends instead of holding the caller";
    EXPECT_EQ(trace.count("error accessing google earth"), 1);
    EXPECT_EQ(ge->callCount("loadKml"), 0);
}

TEST_F(LoadServer, LoadIsRetriedUpToTheLimit) {
    ge->scriptLoadResults({kEarthFailed, kEarthFailed});
    EXPECT_EQ(load(), 0);
    EXPECT_EQ(ge->callCount("loadKml"), 3);
    EXPECT_EQ(trace.count("error accessing google earth"), 0);

    ge->clearCalls();
    ge->scriptLoadResults({}, kEarthFailed);
    EXPECT_EQ(load(), 0);
    EXPECT_EQ(ge->callCount("loadKml"), 11);
    EXPECT_EQ(trace.count("error accessing google earth"), 1);
}

TEST_F(LoadServer, VersionThreeGetsTheLinkThroughTheApplicationAndOneWarning) {
    ge->setVersion(3);
    EXPECT_EQ(load(), 0);
    EXPECT_EQ(ge->callCount("loadKml application"), 1);
    EXPECT_EQ(ge->callCount("loadKml view"), 0);
    ASSERT_EQ(ui.messages().size(), 1u);
    EXPECT_EQ(ui.messages()[0], kUpgrade);

    EXPECT_EQ(load(), 0);
    EXPECT_EQ(ge->callCount("version"), 1) << "the version is read once";
    EXPECT_EQ(ui.messages().size(), 1u);
}

TEST_F(LoadServer, UnreadableVersionWarnsToo) {
    ge->setVersion(7, kEarthFailed);
    ge->setFeature("NivraServers", true);
    EXPECT_EQ(load(), 1);
    EXPECT_EQ(GoogleEarthVersion.load(), 0);
    EXPECT_EQ(ui.messages().size(), 1u);
}

TEST_F(LoadServer, SlowStartIsWaitedForAndMarksGoogleEarthAsJustStarted) {
    ge->setFeature("NivraServers", true);
    ge->scriptCreateTimes({1500, 2400, 499});
    EXPECT_EQ(load(), 1);
    EXPECT_EQ(trace.count("trying to start GE 1500"), 1);
    EXPECT_EQ(trace.count("trying to start GE 2400"), 1);
    EXPECT_EQ(trace.count("trying to start GE"), 2);
    EXPECT_EQ(g_startupCounter.load(), 0);

    resetCameraState();
    ge->scriptCreateTimes({1800, 10});
    EXPECT_EQ(load(), 1);
    EXPECT_EQ(g_startupCounter.load(), 1000) << "a start under 2 s does not count as started";
}

TEST_F(LoadServer, UnreachableGoogleEarthEndsInTheError) {
    ge->setReachable(false);
    EXPECT_EQ(load(), 0);
    EXPECT_EQ(ge->callCount("findFeature"), 0);
    EXPECT_EQ(trace.count("Cn2k::loadServer"), 1);
    EXPECT_EQ(trace.count("error accessing google earth"), 1);

    setEarthApp(makeEarthNone());
    EXPECT_EQ(load(), 0);
    EXPECT_EQ(trace.count("error accessing google earth"), 2);
    EXPECT_NE(engine.openInEarth("/tmp/x.kml"), 0);
}

TEST_F(LoadServer, SavedFileIsOpenedByItsPath) {
    EXPECT_EQ(engine.openInEarth("/data/Me@localhost_030509_140709.kml"), 0);
    ASSERT_EQ(ge->openedFiles().size(), 1u);
    EXPECT_EQ(ge->openedFiles()[0], "/data/Me@localhost_030509_140709.kml");
}
