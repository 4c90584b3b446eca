// The MapFactor link against a stand-in MapFactor server on loopback, over
// HTTPS with a certificate the test makes with openssl.
#include "common/traceCapture.h"
#include "platform/paths.h"
#include "remote/client.h"
#include "remote/mapfactor.h"
#include "serviceLinks.h"

#include <gtest/gtest.h>

#include <ctime>
#include <sys/stat.h>

namespace {

// A record of 2009-01-02 at the given local time, at latitude `lat` and
// longitude 1.0, in the service's 1/3600000-degree units.
std::string row(int h, int m, int s, double lat) {
    return "[2009, 1, 2, " + std::to_string(h) + ", " + std::to_string(m) + ", " +
           std::to_string(s) + ", 3600000, " + std::to_string(static_cast<long>(lat * 3600000)) +
           ", 120, 35]";
}

class MapFactorLinkTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_certs = std::make_unique<regtest::TempDir>();
        s_certsMade =
            makeServerCertificate(s_certs->file("server.pem"), s_certs->file("server.key"));
    }
    static void TearDownTestSuite() { s_certs.reset(); }

    MapFactorLinkTest()
        : server("mapfactor", config(row(13, 14, 15, 5.0) + ", " + row(13, 15, 15, 5.01)),
                 {s_certs->file("server.pem"), s_certs->file("server.key")}),
          link([this] { return now; }) {
        settings.server = server.address();
        settings.name = "me";
        settings.password = "pw";
        settings.freq = 60;
        settings.enable = 1;
        // The stand-in's certificate is its own, as a user's own server's
        // would be: its checks are relaxed as such a user sets them.
        settings.tlsVerify = false;
        m_oldStartDir = g_startDir;
        g_startDir = server.dir();
    }
    ~MapFactorLinkTest() override { g_startDir = m_oldStartDir; }

    static std::string config(const std::string& rows) {
        return R"({"account": "me", "password": "pw", "records": {"dev1": [)" + rows + "]}}";
    }

    CClient* device(const std::string& name) {
        CClient* v = list.add(name, "mapfactor.com");
        v->remoteType = remoteWeb;
        return v;
    }

    static inline std::unique_ptr<regtest::TempDir> s_certs;
    static inline bool s_certsMade = false;
    int64_t now = 1700000000;
    StandIn server;
    CMapFactorLink link;
    WebAccountSettings settings;
    CClients list{"mapfactortest"};
    std::string m_oldStartDir;
};

} // namespace

TEST_F(MapFactorLinkTest, historyMergedAndKeptInTheDebugCopy) {
    ASSERT_TRUE(s_certsMade);
    ASSERT_GT(server.port(), 0);
    CClient* dev = device("dev1");
    link.update(list, settings);
    ASSERT_EQ(dev->track.pointCount(), 2);
    GpsFix oldest;
    CTrack::toFix(*dev->track.point(1), oldest);
    EXPECT_NEAR(oldest.lat, 5.0, 1e-5);
    EXPECT_NEAR(oldest.lon, 1.0, 1e-5);
    EXPECT_EQ(dev->online, 1);
    // The empty track asked for the history from the first hour there is.
    auto asked = server.requestsWith("GET /gprs/cmd_downHistory.php?vtu=dev1&datetime=");
    // (The HTTPS client may ask once without credentials first.)
    ASSERT_FALSE(asked.empty());
    EXPECT_NE(asked[0].find("datetime=2005-06-22+00%3A42 HTTP/1.1"), std::string::npos) << asked[0];
    EXPECT_NE(asked[0].find("User-Agent: Nivra"), std::string::npos) << asked[0];
    std::string copy = regtest::readFile(server.dir() + "/mapFactor.out");
    EXPECT_NE(copy.find("2009-01-02 13:15:15;3600000;18036000;120;35;0;0;0"), std::string::npos)
        << copy;

    // The same reply again: the copy is not written again.
    struct stat first {};
    ASSERT_EQ(::stat((server.dir() + "/mapFactor.out").c_str(), &first), 0);
    now += 61;
    link.update(list, settings);
    struct stat same {};
    ASSERT_EQ(::stat((server.dir() + "/mapFactor.out").c_str(), &same), 0);
    EXPECT_EQ(same.st_ino, first.st_ino) << "an unchanged reply leaves the copy alone";
    EXPECT_EQ(dev->track.pointCount(), 2);

    // The next pass asks from the newest point's hour and adds only what is new.
    server.configure(
        config(row(13, 14, 15, 5.0) + ", " + row(13, 15, 15, 5.01) + ", " + row(13, 16, 15, 5.02)));
    now += 61;
    link.update(list, settings);
    EXPECT_EQ(dev->track.pointCount(), 3);
    EXPECT_NEAR(dev->curPos.lat, 5.02, 1e-5);
    EXPECT_FALSE(server.requestsWith("datetime=2009-01-02+13%3A42").empty());
    struct stat changed {};
    ASSERT_EQ(::stat((server.dir() + "/mapFactor.out").c_str(), &changed), 0);
    EXPECT_NE(changed.st_ino, first.st_ino) << "a new reply replaces the copy";
    EXPECT_NE(regtest::readFile(server.dir() + "/mapFactor.out").find("13:16:15"),
              std::string::npos);
}

TEST_F(MapFactorLinkTest, refusedCredentialsAndEnableFlag) {
    CClient* dev = device("dev1");
    settings.enable = 0;
    for (int i = 0; i < 40; ++i, now += 2)
        link.update(list, settings);
    EXPECT_TRUE(server.requests().empty());

    settings.enable = 1;
    settings.password = "wrong";
    TraceCapture log;
    link.update(list, settings);
    EXPECT_EQ(dev->track.pointCount(), 0);
    EXPECT_TRUE(log.contains("HTTP status 401")) << log.all();
    EXPECT_FALSE(log.contains("wrong")) << log.all();

    // No server there: the connection's error text and code.
    settings.server = "127.0.0.1:1";
    now += 61;
    link.update(list, settings);
    EXPECT_TRUE(log.contains(" Code: ")) << log.all();
}
