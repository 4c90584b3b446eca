// The phone port's decisions without sockets: keys that change, phones that
// go, and what the engine's answer makes of a report.
#include "phones/phoneKey.h"
#include "phones/phoneListener.h"
#include "remote/client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int64_t kNow = 1800000000;

class RecordingSink : public PhonePointSink {
public:
    PointTaken takePhonePoint(CClient&, const GpsFix& fix) override {
        points.push_back(fix);
        return answer;
    }
    std::vector<GpsFix> points;
    PointTaken answer = PointTaken::drawn;
};

class PhoneListenerTest : public ::testing::Test {
protected:
    PhoneListenerTest() {
        phone = clients.add("Ann", "ann");
        phone->remoteType = remotePhone;
        phone->phoneKey = hashPhoneKey("first-key", 1);
        phone->phoneSpeedUnit = speedKmPerHour;
        listener.utcClock = [] { return kNow; };
        listener.steadyClock = [this] { return t; };
    }
    int status(const std::string& target, const std::string& peer = "192.0.2.1") {
        return listener.answer("GET " + target + " HTTP/1.1\r\n\r\n", peer).status;
    }
    CClients clients{"servers"};
    RecordingSink sink;
    CPhoneListener listener{clients, sink};
    CClient* phone = nullptr;
    std::chrono::steady_clock::time_point t{std::chrono::hours(1)};
};

TEST_F(PhoneListenerTest, ANewKeyEndsTheOldOne) {
    EXPECT_EQ(status("/first-key?id=ann&lat=1&lon=2"), 200);
    phone->phoneKey = hashPhoneKey("second-key", 1);
    EXPECT_EQ(status("/first-key?id=ann&lat=1&lon=2"), 400) << "the remembered check is not reused";
    EXPECT_EQ(status("/second-key?id=ann&lat=1&lon=2"), 200);
    phone->phoneKey.clear();
    EXPECT_EQ(status("/second-key?id=ann&lat=1&lon=2"), 400)
        << "a phone without a key takes nothing";
    EXPECT_EQ(sink.points.size(), 2u);
}

TEST_F(PhoneListenerTest, ARemovedPhoneIsUnknown) {
    EXPECT_EQ(status("/first-key?id=ann&lat=1&lon=2"), 200);
    clients.remove("Ann", "ann");
    const PhoneAnswer a =
        listener.answer("GET /first-key?id=ann&lat=1&lon=2 HTTP/1.1\r\n\r\n", "x");
    EXPECT_EQ(a.status, 400);
    EXPECT_NE(a.body.find("unknown device"), std::string::npos);
}

TEST_F(PhoneListenerTest, TheEnginesAnswerAndThePhonesUnit) {
    struct Case {
        PointTaken taken;
        int status;
    };
    const Case cases[] = {
        {PointTaken::drawn, 200}, {PointTaken::older, 200}, {PointTaken::failed, 503}};
    for (const Case& c : cases) {
        sink.answer = c.taken;
        EXPECT_EQ(
            status("/first-key?id=ann&lat=1&lon=2&speed=18.52&bearing=-90&timestamp=1799990000"),
            c.status);
    }
    ASSERT_EQ(sink.points.size(), 3u);
    const GpsFix& f = sink.points.back();
    EXPECT_NEAR(f.spd, 10.0, 1e-9) << "km/h of this phone, in knots";
    EXPECT_DOUBLE_EQ(f.hdg, 270.0);
    EXPECT_EQ(fixTimeToUtc(f.time), 1799990000);
    EXPECT_EQ(f.status, 1);
    EXPECT_EQ(status("/first-key?id=ann&lat=1&lon=2&valid=false"), 200);
    EXPECT_EQ(sink.points.size(), 3u) << "a fix the phone calls invalid is not drawn";
}

TEST_F(PhoneListenerTest, TheBatteryLevelIsKeptOnlyFromAKnownPhoneAndInRange) {
    const struct {
        const char* target;
        int battery; // the phone's level afterwards
    } cases[] = {
        {"/first-key?id=ann&lat=1&lon=2&batt=77", 77},
        {"/first-key?id=ann&lat=1&lon=2", 77},                       // no level: the last one stays
        {"/first-key?id=ann&lat=1&lon=2&batt=140", 77},              // nonsense is not taken
        {"/first-key?id=ann&lat=1&lon=2&valid=false&batt=12.6", 13}, // a report without a fix
        {"/wrong-key?id=ann&lat=1&lon=2&batt=5", 13},                // not from a wrong key
    };
    for (const auto& c : cases) {
        status(c.target);
        EXPECT_EQ(phone->battery, c.battery) << c.target;
    }
}

TEST_F(PhoneListenerTest, PausesGrowAndEnd) {
    for (int i = 0; i < kPhoneFailuresAllowed; ++i)
        EXPECT_EQ(status("/bad?id=ann&lat=1&lon=2", "192.0.2.7"), 400);
    EXPECT_EQ(status("/first-key?id=ann&lat=1&lon=2", "192.0.2.7"), 400) << "paused";
    EXPECT_EQ(status("/first-key?id=ann&lat=1&lon=2", "192.0.2.8"), 200) << "others are not";
    t += kPhoneFirstPause;
    EXPECT_EQ(status("/first-key?id=ann&lat=1&lon=2", "192.0.2.7"), 200) << "the pause ended";
    // Success forgets the failures: five more are needed for a pause again.
    for (int i = 0; i < kPhoneFailuresAllowed - 1; ++i)
        EXPECT_EQ(status("/bad?id=ann&lat=1&lon=2", "192.0.2.7"), 400);
    EXPECT_EQ(status("/first-key?id=ann&lat=1&lon=2", "192.0.2.7"), 200);
    EXPECT_EQ(listener.refused(), kPhoneFailuresAllowed + 1 + kPhoneFailuresAllowed - 1);
}

} // namespace

namespace {

TEST(PhoneClients, OnlyAProxyOnThisMachineNamesTheClient) {
    struct Case {
        const char* peer;
        const char* realIp; // nullptr: no header
        const char* counted;
    };
    const Case cases[] = {
        {"127.0.0.1", "198.51.100.7", "198.51.100.7"},
        {"127.0.0.1", "2001:db8::7", "2001:db8::7"},
        {"127.0.0.1", nullptr, "127.0.0.1"},
        {"127.0.0.1", "not-an-address", "127.0.0.1"},
        {"127.0.0.1", "198.51.100.7, 10.0.0.1", "127.0.0.1"},
        {"203.0.113.9", "198.51.100.7", "203.0.113.9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.peer) + " " + (c.realIp ? c.realIp : "-"));
        std::string text = "GET / HTTP/1.1\r\n";
        if (c.realIp)
            text += std::string("X-Real-IP: ") + c.realIp + "\r\n";
        text += "\r\n";
        HttpRequest r;
        std::string why;
        ASSERT_TRUE(parseHttpRequest(text, r, why, 32768));
        EXPECT_EQ(clientAddress(r, c.peer), c.counted);
    }
}

} // namespace
