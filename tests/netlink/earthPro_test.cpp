// The Google Earth Pro backend, with a stand-in `google-earth-pro` on PATH that
// only notes its arguments: installing the link and opening files start it,
// and the camera travels in the polls and replies themselves.
#include "netlink/netlinkFixture.h"

#include "earth/autoViewState.h"
#include "platform/paths.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class EarthPro : public NetLinkFixture {
protected:
    void SetUp() override {
        NetLinkFixture::SetUp();
        m_dir = fs::temp_directory_path() / ("nivra-gepro-" + std::to_string(getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "bin");
        fs::path script = m_dir / "bin" / "google-earth-pro";
        {
            std::ofstream f(script);
            f << "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" << (m_dir / "started.txt").string()
              << "'\n";
        }
        fs::permissions(script, fs::perms::owner_all);
        const char* path = getenv("PATH");
        m_oldPath = path ? path : "";
        setenv("PATH", ((m_dir / "bin").string() + ":" + m_oldPath).c_str(), 1);
        m_oldStartDir = g_startDir;
        setStartDir(m_dir.string());
        setEarthApp(makeEarthPro());
    }
    void TearDown() override {
        setenv("PATH", m_oldPath.c_str(), 1);
        setStartDir(m_oldStartDir);
        fs::remove_all(m_dir);
        NetLinkFixture::TearDown();
    }

    int load() { return engine.loadServer("NivraServers", "NivraServers", "127.0.0.1", port); }

    // Argument lines the stand-in was started with, once `n` have arrived.
    std::vector<std::string> started(size_t n) {
        std::vector<std::string> lines;
        waitUntil([&] {
            lines.clear();
            std::ifstream f(m_dir / "started.txt");
            for (std::string l; std::getline(f, l);)
                lines.push_back(l);
            return lines.size() >= n;
        });
        return lines;
    }

    static std::string readFile(const fs::path& p) {
        std::ifstream f(p);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    fs::path m_dir;
    std::string m_oldPath;
    std::string m_oldStartDir;
};

} // namespace

TEST_F(EarthPro, LinkIsWrittenToTheStartDirectoryAndOpenedInGoogleEarth) {
    EXPECT_EQ(load(), 0);
    std::string file = (m_dir / "NivraServers.kml").string();
    std::vector<std::string> runs = started(1);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0], file);
    EXPECT_EQ(GoogleEarthVersion.load(), 7);
    EXPECT_TRUE(ui.messages().empty());

    // The link is the usual one plus what makes Google Earth send its view
    // and fly to the view the replies carry.
    std::string link = readFile(file);
    EXPECT_EQ(link, Cn2k::networkLinkKml("NivraServers", "NivraServers", "127.0.0.1", port, true));
    std::string plain = link;
    for (const char* extra :
         {"<flyToView>1</flyToView>\n", "<viewRefreshMode>onStop</viewRefreshMode>\n"}) {
        size_t at = plain.find(extra);
        ASSERT_NE(at, std::string::npos) << extra;
        plain.erase(at, strlen(extra));
    }
    EXPECT_EQ(plain,
              Cn2k::networkLinkKml("NivraServers", "NivraServers", "127.0.0.1", port, false));
    EXPECT_FALSE(fs::exists(file + ".tmp"));
}

TEST_F(EarthPro, PollCarriesTheCameraAndItsOwnReplyFliesTheView) {
    track(bravo);
    addPoint(bravo, 48.2, 11.6);
    std::string body;
    ASSERT_TRUE(splitFullReply(poll("/NivraServers?&LOOKAT=11.5,48.1,1500,30,20"), body));
    EXPECT_EQ(viewRange.load(), 1500);
    EXPECT_EQ(bravo->camTilt, 30);
    EXPECT_EQ(bravo->camHdg, 20);
    // The view computed from this poll (the vehicle's position, the camera's
    // range, tilt and heading) travels in this poll's reply.
    const auto flyTo = [](const char* lon, const char* lat) {
        return kmlHeader() + "<NetworkLinkControl>\n<LookAt>\n<longitude>" + lon +
               "</longitude>\n<latitude>" + lat +
               "</latitude>\n<range>1500.00</range>\n<tilt>30.00</tilt>\n"
               "<heading>20.00</heading>\n</LookAt>\n</NetworkLinkControl>\n<Document>\n";
    };
    std::string expected = flyTo("11.600000", "48.200000");
    EXPECT_EQ(body.substr(0, expected.size()), expected);

    addPoint(bravo, 48.21, 11.61);
    ASSERT_TRUE(splitFullReply(poll("/NivraServers?&LOOKAT=11.6%2C48.2%2C1500%2C30%2C20"), body));
    EXPECT_EQ(bravo->camLat, 48.2);
    EXPECT_EQ(bravo->camLon, 11.6);
    expected = flyTo("11.610000", "48.210000");
    EXPECT_EQ(body.substr(0, expected.size()), expected);

    // Google Earth is polling the link: installing it again adds nothing.
    EXPECT_EQ(load(), 1);
    EXPECT_EQ(trace.count("started google-earth-pro"), 0);

    // A browser's request neither reads nor takes the view to fly to.
    addPoint(bravo, 48.22, 11.62);
    ASSERT_TRUE(splitFullReply(poll("/"), body));
    EXPECT_EQ(body.find("NetworkLinkControl"), std::string::npos);
    addPoint(bravo, 48.23, 11.63);
    ASSERT_TRUE(splitFullReply(poll("/NivraServers?&LOOKAT=11.5,48.1,1500,30,20"), body));
    EXPECT_NE(body.find("<NetworkLinkControl>"), std::string::npos);
}

TEST_F(EarthPro, PollWithoutUsableViewLeavesNoCameraToRead) {
    track(bravo);
    addPoint(bravo, 48.2, 11.6);
    std::string body;
    ASSERT_TRUE(splitFullReply(poll("/NivraServers?&LOOKAT=11.5,48.1,x,30,20"), body));
    ASSERT_TRUE(splitFullReply(poll("/NivraServers"), body))
        << "without a camera every poll counts as moved";
    EXPECT_EQ(viewRange.load(), 0);
}

TEST_F(EarthPro, ViewThatIsNotANumberLeavesNoCameraAndKeepsTheHeadingOffset) {
    // Anyone who reaches the port can post view parameters. A NaN or an
    // infinity must not become the camera: the heading offset taken from it
    // would be saved with the settings and turn every later view.
    const int oldMode = autoViewHeadingMode();
    const double oldOffset = autoViewHeadingOffset();
    setAutoViewHeadingMode(0);
    setAutoViewHeadingOffset(15);
    setAutoViewHeadingHold(false);
    track(bravo, kTrackFollow | kTrackHeading | kTrackViewControl);
    addPoint(bravo, 48.2, 11.6);
    std::string body;
    ASSERT_TRUE(splitFullReply(poll("/NivraServers?&LOOKAT=11.5,48.1,1500,30,nan"), body));
    EXPECT_TRUE(std::isfinite(autoViewHeadingOffset()));
    addPoint(bravo, 48.21, 11.61);
    ASSERT_TRUE(splitFullReply(poll("/NivraServers?&LOOKAT=11.5,48.1,1500,inf,20"), body));
    addPoint(bravo, 48.22, 11.62);
    ASSERT_TRUE(splitFullReply(poll("/NivraServers?&LOOKAT=-inf,48.1,1500,30,20"), body));
    EXPECT_EQ(viewRange.load(), 0) << "no camera was read";
    EXPECT_TRUE(std::isfinite(autoViewHeadingOffset()));
    EXPECT_TRUE(std::isfinite(bravo->camHdg));
    EXPECT_TRUE(std::isfinite(bravo->camTilt));
    EXPECT_TRUE(std::isfinite(bravo->camLon));
    EXPECT_EQ(body.find("nan"), std::string::npos);
    EXPECT_EQ(body.find("inf"), std::string::npos);
    setAutoViewHeadingMode(oldMode);
    setAutoViewHeadingOffset(oldOffset);
    setAutoViewHeadingHold(true);
}

TEST_F(EarthPro, SavedFileOpensInGoogleEarthPro) {
    EXPECT_EQ(engine.openInEarth("/data/Me@localhost_030509_140709.kml"), 0);
    std::vector<std::string> runs = started(1);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0], "/data/Me@localhost_030509_140709.kml");
}

TEST_F(EarthPro, MissingProgramIsReportedOnce) {
    setEarthApp(makeEarthPro("nivra-test-no-such-earth"));
    EXPECT_EQ(load(), 0);
    EXPECT_EQ(load(), 0);
    EXPECT_NE(engine.openInEarth("/tmp/a.kml"), 0);
    ASSERT_EQ(ui.messages().size(), 1u);
    EXPECT_NE(ui.messages()[0].find("nivra-test-no-such-earth) was not found"), std::string::npos);

    // A Google Earth started some other way still has its camera followed.
    track(bravo);
    addPoint(bravo, 48.2, 11.6);
    std::string body;
    ASSERT_TRUE(splitFullReply(poll("/NivraServers?&LOOKAT=11.5,48.1,1500,30,20"), body));
    EXPECT_EQ(viewRange.load(), 1500);
}

TEST_F(EarthPro, BackendIsChosenByName) {
    EXPECT_EQ(makeEarthApp("auto")->name(), "gepro") << "google-earth-pro is on PATH";
    EXPECT_EQ(makeEarthApp("")->name(), "gepro");
    EXPECT_EQ(makeEarthApp("none")->name(), "none");
    EXPECT_EQ(makeEarthApp("test")->name(), "test");
    EXPECT_EQ(makeEarthApp("gepro")->name(), "gepro");
    EXPECT_EQ(makeEarthApp("googleearth"), nullptr);
    setenv("PATH", "/nonexistent", 1);
    EXPECT_EQ(makeEarthApp("auto")->name(), "none");
    EXPECT_FALSE(selectEarthApp("googleearth"));
    EXPECT_EQ(earthApp()->name(), "none");
    EXPECT_TRUE(selectEarthApp("test"));
    EXPECT_EQ(earthApp()->name(), "test");
}
