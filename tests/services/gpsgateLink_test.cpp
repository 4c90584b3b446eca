// The GpsGate link against a stand-in GpsGate server on loopback.
#include "common/traceCapture.h"
#include "common/waitUntil.h"
#include "remote/client.h"
#include "remote/gpsgate.h"
#include "serviceLinks.h"
#include "track/nmea.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr int64_t kStart = 1700000000;

// The stand-in knows the account "me" with the scrambled form of "pw1".
std::string gpsgateConfig(const std::string& extra = "") {
    return R"({"account": "me", "password": ")" + scramblePassword("pw1") + R"(",
               "buddies": [{"name": "joanna", "lat": 48.5, "lon": 11.25, "step": 0.01},
                           {"name": "ann", "lat": 51.5, "lon": 7.5, "step": 0.01}],
               "users": {"carl": "$GPRMC,123519,A,4000.000,N,00300.000,E,1.0,2.0,230309,003.1,W*00"})" +
           extra + "}";
}

class GpsGateLinkTest : public ::testing::Test {
protected:
    GpsGateLinkTest() : server("gpsgate", gpsgateConfig()), link([this] { return now; }) {
        settings.server = server.address();
        settings.name = "me";
        settings.password = "pw1";
        settings.freq = 60;
        settings.enable = 1;
        local = list.add("Me", "localhost");
        list.designateLocal();
    }

    CClient* buddy(const std::string& name) {
        CClient* v = list.add(name, "gpsgate.com");
        v->remoteType = remoteGpsGate;
        return v;
    }

    void addLocalPoints(int count, int64_t from) {
        for (int i = 0; i < count; ++i) {
            GpsFix f;
            f.lat = 48.0 + 0.001 * i;
            f.lon = 11.0;
            f.alt = 500;
            f.time = from + 10 * i;
            local->track.add(f, 2);
        }
    }

    // The times of the uploaded RMC lines, in the order they came, once the
    // server has read `expected` of them (an upload gets no reply, so the
    // server may still be reading when the pass ends).
    std::vector<int64_t> uploadedTimes(size_t expected) {
        waitUntil([&] { return server.requestsWith("\"line\": \"$GPRMC").size() >= expected; });
        std::vector<int64_t> out;
        for (const std::string& r : server.requestsWith("\"line\": \"$GPRMC")) {
            size_t at = r.find("$GPRMC");
            std::string line = r.substr(at, r.find('"', at) - at);
            GpsFix f;
            EXPECT_EQ(parseNmea(line.c_str(), f), 2) << line;
            out.push_back(f.time);
        }
        return out;
    }

    int64_t now = kStart;
    StandIn server;
    CGpsGateLink link;
    GpsGateSettings settings;
    CClients list{"gpsgatetest"};
    CClient* local = nullptr;
};

} // namespace

TEST_F(GpsGateLinkTest, buddiesReadByTheirNameField) {
    ASSERT_GT(server.port(), 0);
    CClient* ann = buddy("ann");
    CClient* joanna = buddy("joanna");
    CClient* carl = buddy("carl"); // not among the buddies: read on its own connection
    CClient* dora = buddy("dora"); // unknown to the server
    dora->online = 1;
    link.update(list, settings);

    EXPECT_NEAR(ann->curPos.lat, 51.5, 1e-4);
    EXPECT_NEAR(joanna->curPos.lat, 48.5, 1e-4);
    EXPECT_NEAR(carl->curPos.lat, 40.0, 1e-4);
    EXPECT_EQ(ann->online, 1);
    EXPECT_EQ(carl->online, 1);
    EXPECT_EQ(dora->online, 0);
    EXPECT_EQ(ann->track.pointCount(), 1);
    EXPECT_EQ(ann->track.m_newPt, 1);
    EXPECT_EQ(server.requestsWith("$FRRDT,carl,1").size(), 1u);
    EXPECT_EQ(server.requestsWith("$FRRDT,ann,1").size(), 0u);
    for (const std::string& r : server.requests())
        EXPECT_NE(r.find("\"checksum_ok\": true"), std::string::npos) << r;

    // The next pass moves them on.
    now += 61;
    link.update(list, settings);
    EXPECT_NEAR(ann->curPos.lat, 51.51, 1e-4);
    EXPECT_NEAR(joanna->curPos.lat, 48.51, 1e-4);
    EXPECT_EQ(ann->online, 1);
    // Carl has not moved since: the same RMC again is still his position.
    EXPECT_EQ(server.requestsWith("$FRRDT,carl,1").size(), 2u);
    EXPECT_EQ(carl->online, 1);
    EXPECT_NEAR(carl->curPos.lat, 40.0, 1e-4);
}

TEST_F(GpsGateLinkTest, hostileBuddyReplies) {
    CClient* ann = buddy("ann");
    std::string good = "$FRPOS,5130.0000,N,00730.0000,E,1.0,2.0,3.0,230309,123519.00,ann";
    std::string line = good;
    appendNmeaChecksum(good.c_str(), line);
    std::string damaged = line;
    damaged[damaged.size() - 2] = damaged[damaged.size() - 2] == '8' ? '9' : '8'; // never *00
    struct Case {
        std::string reply;
        int annOnline;
        double annLat;
    } cases[] = {
        {damaged + "\r\n", 0, 0},                   // bad checksum: refused
        {std::string(39990, 'x') + "$FRPOS", 0, 0}, // no line end, no buddy line
        {"$FRSES,1\r\n" + line + "\r\n", 1, 51.5},  // good
        {line.substr(0, 30), 0, 51.5},              // cut off: no name field
    };
    for (const Case& c : cases) {
        std::string json = c.reply;
        std::string escaped;
        for (char ch : json) {
            if (ch == '\r')
                escaped += "\\r";
            else if (ch == '\n')
                escaped += "\\n";
            else
                escaped += ch;
        }
        server.configure(gpsgateConfig(R"(, "raw_buddies": ")" + escaped + "\""));
        TraceCapture log;
        now += 61;
        link.update(list, settings);
        EXPECT_EQ(ann->online, c.annOnline) << c.reply.substr(0, 40);
        EXPECT_NEAR(ann->curPos.lat, c.annLat, 1e-4) << c.reply.substr(0, 40);
        if (c.annOnline == 0 && c.reply.find("\r\n") != std::string::npos) {
            EXPECT_TRUE(log.contains("bad nmea checksum")) << log.all();
        }
    }
}

TEST_F(GpsGateLinkTest, uploadOfNewPointsOldestFirst) {
    settings.upload = 1;
    addLocalPoints(5, kStart - 1000);
    // The server knows no position of the account: the whole track goes up.
    link.update(list, settings);
    std::vector<int64_t> times = uploadedTimes(5);
    ASSERT_EQ(times.size(), 5u);
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
    EXPECT_EQ(times.front(), kStart - 1000);
    EXPECT_EQ(times.back(), kStart - 1000 + 40);
    EXPECT_EQ(server.requestsWith("$FRWDT,ALL").size(), 1u);
    EXPECT_TRUE(waitUntil([&] { return server.requestsWith("$GPGGA").size() == 5u; }));

    // Now the server's last position is the newest point: nothing goes up.
    now += 61;
    TraceCapture log;
    link.update(list, settings);
    EXPECT_TRUE(log.contains("last update was")) << log.all();
    EXPECT_FALSE(log.contains("sending")) << log.all();
    EXPECT_EQ(server.requestsWith("$FRWDT,ALL").size(), 1u);

    // Two new points: just those two.
    addLocalPoints(2, kStart - 500);
    now += 61;
    link.update(list, settings);
    times = uploadedTimes(7);
    ASSERT_EQ(times.size(), 7u);
    EXPECT_EQ(times[5], kStart - 500);
    EXPECT_EQ(times[6], kStart - 490);
}

TEST_F(GpsGateLinkTest, periodAndEnableFlag) {
    buddy("ann");
    settings.enable = 0;
    for (int i = 0; i < 40; ++i, now += 2)
        link.update(list, settings);
    EXPECT_TRUE(server.requests().empty()); // no connection at all

    // Enabled, period 60, called every 2 s by a clock with a 0.5 s phase:
    // the first pass at once, then 61 to 63 s apart.
    settings.enable = 1;
    int64_t ms = kStart * 1000 + 500;
    std::vector<int64_t> passes;
    size_t seen = 0;
    for (int i = 0; i < 100; ++i, ms += 2010) {
        now = ms / 1000;
        link.update(list, settings);
        size_t logins = server.requestsWith("$FRLIN").size();
        if (logins != seen)
            passes.push_back(now);
        seen = logins;
    }
    ASSERT_GE(passes.size(), 3u);
    EXPECT_EQ(passes[0], kStart); // the first call
    for (size_t i = 1; i < passes.size(); ++i) {
        EXPECT_GE(passes[i] - passes[i - 1], 61);
        EXPECT_LE(passes[i] - passes[i - 1], 63);
    }
}

TEST_F(GpsGateLinkTest, loginAndPasswordNeverLogged) {
    TraceCapture log;
    buddy("ann");
    link.update(list, settings);
    EXPECT_TRUE(log.contains("$FRLIN,,me,***")) << log.all();
    EXPECT_FALSE(log.contains(scramblePassword("pw1"))) << log.all();
    EXPECT_FALSE(log.contains("pw1")) << log.all();
    ASSERT_EQ(server.requestsWith("$FRLIN,,me," + scramblePassword("pw1")).size(), 1u);

    // A refused login: logged with the server's reply, nothing asked after it.
    settings.password = "wrong";
    now += 61;
    size_t before = server.requests().size();
    link.update(list, settings);
    EXPECT_TRUE(log.contains("gpsgate: $FRERR,login refused")) << log.all();
    EXPECT_EQ(server.requests().size(), before + 1);

    // A server address with a port out of range opens no connection.
    settings.server = "127.0.0.1:99999";
    now += 61;
    link.update(list, settings);
    EXPECT_TRUE(log.contains("gpsgServerName \"127.0.0.1:99999\" refused")) << log.all();
    EXPECT_EQ(server.requests().size(), before + 1);

    // No server there: the connection failure is logged.
    settings.server = "127.0.0.1:1";
    now += 61;
    link.update(list, settings);
    EXPECT_TRUE(log.contains("error connecting to gpsgate server \"127.0.0.1:1\"")) << log.all();
}
