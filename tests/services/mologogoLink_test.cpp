// The Mologogo link against a stand-in Mologogo web server on loopback.
#include "common/traceCapture.h"
#include "remote/client.h"
#include "remote/mologogo.h"
#include "serviceLinks.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* kPages = R"({"account": "me", "password": "p&w",
  "pages": {"ann": [[3, 0, "PM", 3, 4, 2009, 48.3, 11.3],
                    [2, 0, "PM", 3, 4, 2009, 48.2, 11.2],
                    [12, 15, "PM", 3, 4, 2009, 48.1, 11.1]],
            "bob": [[9, 30, "AM", 3, 4, 2009, 40.2, 3.2],
                    [12, 15, "AM", 3, 4, 2009, 40.1, 3.1]]}})";

class MologogoLinkTest : public ::testing::Test {
protected:
    MologogoLinkTest() : server("mologogo", kPages), link([this] { return now; }) {
        settings.server = server.address();
        settings.name = "me";
        settings.password = "p&w";
        settings.freq = 60;
        settings.enable = 1;
    }

    CClient* webVehicle(const std::string& user, const std::string& host) {
        CClient* v = list.add(user, host);
        v->remoteType = remoteWeb;
        return v;
    }

    int64_t now = 1700000000;
    StandIn server;
    CMologogoLink link;
    WebAccountSettings settings;
    CClients list{"mologogotest"};
};

} // namespace

TEST_F(MologogoLinkTest, publicPageAddedOldestFirst) {
    ASSERT_GT(server.port(), 0);
    CClient* ann = webVehicle("ann", "mologogo.com/public");
    link.update(list, settings);
    ASSERT_EQ(ann->track.pointCount(), 3);
    GpsFix oldest, newest;
    CTrack::toFix(*ann->track.point(2), oldest);
    CTrack::toFix(*ann->track.point(0), newest);
    EXPECT_NEAR(oldest.lat, 48.1, 1e-5);
    EXPECT_NEAR(newest.lat, 48.3, 1e-5);
    EXPECT_EQ(newest.time - oldest.time, 2 * 3600 + 45 * 60); // 12:15 PM to 3:00 PM
    EXPECT_EQ(ann->online, 1);
    auto gets = server.requestsWith("GET /waypoints/public/ann HTTP/1.0");
    ASSERT_EQ(gets.size(), 1u);
    EXPECT_NE(gets[0].find("Accept: */*\\r\\nUser-Agent: nivramolo/1.0\\r\\nHost: 127.0.0.1:" +
                           std::to_string(server.port()) + "\\r\\n\\r\\n"),
              std::string::npos)
        << gets[0];

    // The next pass finds nothing new.
    now += 61;
    link.update(list, settings);
    EXPECT_EQ(ann->track.pointCount(), 3);
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(MologogoLinkTest, privatePageLogsInOnceAndKeepsTheCookie) {
    CClient* bob = webVehicle("bob", "mologogo.com");
    TraceCapture log;
    link.update(list, settings);
    // The page without our account name, the login on a new connection, the
    // page again with the login's cookie.
    std::vector<std::string> r = server.requests();
    ASSERT_EQ(r.size(), 3u) << log.all();
    EXPECT_NE(r[0].find("GET /friends/private/bob HTTP/1.0"), std::string::npos);
    EXPECT_NE(r[1].find("POST /account/login HTTP/1.1"), std::string::npos);
    EXPECT_NE(r[1].find("user_login=me&user_password=p%26w&login=Login+%C2%BB\\r\\n"),
              std::string::npos)
        << r[1];
    EXPECT_NE(r[2].find("Cookie: molosid=s3cr3t\\r\\n"), std::string::npos) << r[2];
    EXPECT_EQ(link.cookies().line(), "Cookie: molosid=s3cr3t");
    ASSERT_EQ(bob->track.pointCount(), 2);
    GpsFix oldest;
    CTrack::toFix(*bob->track.point(1), oldest);
    time_t utc = static_cast<time_t>(fixTimeToUtc(oldest.time));
    struct tm local = {};
    localtime_r(&utc, &local);
    EXPECT_EQ(local.tm_hour, 0); // 12:15 AM
    EXPECT_EQ(local.tm_min, 15);
    EXPECT_FALSE(log.contains("p&w")) << log.all();

    // Logged in: one request, carrying the cookie.
    now += 61;
    link.update(list, settings);
    r = server.requests();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_NE(r[3].find("Cookie: molosid=s3cr3t"), std::string::npos);
}

TEST_F(MologogoLinkTest, refusedLoginAddsNothing) {
    settings.password = "wrong";
    CClient* bob = webVehicle("bob", "mologogo.com");
    TraceCapture log;
    link.update(list, settings);
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_TRUE(log.contains("login reply carries no cookie")) << log.all();
    EXPECT_EQ(bob->track.pointCount(), 0);
    EXPECT_EQ(bob->online, 0);
}

TEST_F(MologogoLinkTest, enableFlagAndPeriod) {
    webVehicle("ann", "mologogo.com/public");
    settings.enable = 0;
    for (int i = 0; i < 40; ++i, now += 2)
        link.update(list, settings);
    EXPECT_TRUE(server.requests().empty());

    settings.enable = 1;
    std::vector<int64_t> passes;
    size_t seen = 0;
    for (int i = 0; i < 100; ++i, now += 2) {
        link.update(list, settings);
        if (server.requests().size() != seen)
            passes.push_back(now);
        seen = server.requests().size();
    }
    ASSERT_GE(passes.size(), 3u);
    for (size_t i = 1; i < passes.size(); ++i) {
        EXPECT_GE(passes[i] - passes[i - 1], 61);
        EXPECT_LE(passes[i] - passes[i - 1], 63);
    }

    // A server address that is not host[:port] opens no connection.
    TraceCapture log;
    settings.server = "127.0.0.1:http";
    size_t before = server.requests().size();
    now += 100;
    link.update(list, settings);
    EXPECT_EQ(server.requests().size(), before);
    EXPECT_TRUE(log.contains("MologogoServer \"127.0.0.1:http\" refused")) << log.all();
}
