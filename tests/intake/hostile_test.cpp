// Posts from strangers on the tracker port: who may feed the local vehicle,
// what names a device may bring, and how many device vehicles there may be.
#include "track/intake.h"

#include "common/traceCapture.h"
#include "earth/n2k.h"
#include "net/server.h"
#include "remote/client.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kRmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230324,003.1,W*61";
const std::string kRmc2 = "$GPRMC,123521,A,4807.238,N,01131.200,E,022.4,084.4,230324,003.1,W*6A";
const std::string kRmcVoid = "$GPRMC,123522,V,4807.338,N,01131.300,E,022.4,084.4,230324,003.1,W*7E";

class Hostile : public ::testing::Test {
protected:
    CClients list{"hostile-test"};
    Cn2k engine{list};
    CClient* local = nullptr;

    void SetUp() override {
        local = list.add("Me", "localhost");
        list.designateLocal();
        engine.m_local = local;
    }
    void post(std::string text, const char* peer = "127.0.0.1") {
        ServerReply reply;
        EXPECT_EQ(Cn2k::processTrackerDataFunc(std::span<char>(text.data(), text.size()), peer,
                                               reply, &engine),
                  0);
    }
    size_t vehicleCount() const { return list.vehicles().size(); }
};

} // namespace

TEST(LocalGpsPeer, OnlyThisMachineAndTheNamedHosts) {
    struct Case {
        const char* peer;
        const char* hosts;
        bool local;
    };
    const Case cases[] = {
        {"127.0.0.1", "", true},
        {"127.0.0.2", "", false},
        {"192.0.2.7", "", false},
        {"192.0.2.7", "192.0.2.7", true},
        {"192.0.2.7", " 10.0.0.1, 192.0.2.7;10.0.0.2", true},
        {"192.0.2.7", "192.0.2.70", false},
        {"192.0.2.70", "192.0.2.7", false},
        {"", ",, ;", false},
        {"127.0.0.1", "192.0.2.7", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isLocalGpsPeer(c.peer, c.hosts), c.local) << c.peer << " / " << c.hosts;
}

TEST_F(Hostile, LocalGpsLinesFromAStrangerAreLoggedAndDropped) {
    TraceCapture trace;
    post(kRmc + "\r\n", "192.0.2.7");
    post(kRmc + "\r\n", "192.0.2.7");
    EXPECT_EQ(local->track.pointCount(), 0) << "a stranger cannot move the local vehicle";
    EXPECT_EQ(trace.count("refused a local GPS line from 192.0.2.7"), 1) << "once a minute";

    EngineSettings hosts;
    hosts.localGpsHosts = "192.0.2.7";
    engine.setSettings(hosts);
    post(kRmc + "\r\n", "192.0.2.7");
    EXPECT_EQ(local->track.pointCount(), 1) << "a host the user named feeds it";
    post(kRmc2 + "\r\n", "127.0.0.1");
    EXPECT_EQ(engine.m_nPoints, 2);
    // Any talker's sentence is the local GPS's, and only from those hosts.
    post("$GNRMC,123523,A,4807.438,N,01131.400,E,022.4,084.4,230324,,,A,V*00\r\n", "192.0.2.8");
    EXPECT_EQ(engine.m_nPoints, 2);
    EXPECT_EQ(list.vehicles().size(), 1u) << "nor is it a device's";
    post("$GNRMC,123523,A,4807.438,N,01131.400,E,022.4,084.4,230324,,,A,V*00\r\n", "127.0.0.1");
    EXPECT_EQ(engine.m_nPoints, 3);
}

TEST_F(Hostile, NamesAreCleanedWhereTheyEnter) {
    struct Case {
        std::string line;
        const char* model;
        const char* host;
    };
    const Case cases[] = {
        {"Caf\xe9@bar1:" + kRmc, "Caf?", "bar1"},
        {"Car\x01@7:" + kRmc, "Car?", "7"},
        {"imei=\x1b[31m&rmc=" + kRmc, "SANAV GC101", "?[31m"},
        {"Bus\xc2\x85@x:" + kRmc, "Bus?", "x"},              // C1 control NEL
        {"Caf\xc3\xa9@bar2:" + kRmc, "Caf\xc3\xa9", "bar2"}, // valid UTF-8 stays
        {"Z\xed\xa0\x80@s:" + kRmc, "Z???", "s"},            // a UTF-16 surrogate
    };
    for (const Case& c : cases) {
        post(c.line + "\n");
        CClient* v = list.find(c.model, c.host);
        ASSERT_NE(v, nullptr) << c.line;
        EXPECT_EQ(v->uName, c.model);
        EXPECT_EQ(v->host, c.host);
        EXPECT_EQ(v->name, std::string(c.model) + "@" + c.host);
    }
}

TEST_F(Hostile, NoPostBecomesOrFeedsTheLocalVehicle) {
    post("A@localhost:" + kRmc + "\n");
    post("Me@localhost:" + kRmc + "\n");
    EXPECT_EQ(vehicleCount(), 1u);
    EXPECT_EQ(local->track.pointCount(), 0);
    EXPECT_EQ(list.find("A", "localhost"), nullptr);
    // After a restart the list would make the first "localhost" vehicle the
    // local one; there is none but the user's own.
    CClients reloaded{"hostile-test-2"};
    for (CClient* v : list.vehicles())
        reloaded.add(v->uName, v->host);
    EXPECT_EQ(reloaded.designateLocal()->name, "Me@localhost");
}

TEST_F(Hostile, OnlyAValidFixMakesAVehicleAndTheCapHolds) {
    TraceCapture trace;
    post("NoFix@1:$GPRMC,garbage\n");
    post("Void@2:" + kRmcVoid + "\n");
    post("imei=3&rmc=$GPGSV,1,1\n");
    EXPECT_EQ(vehicleCount(), 1u) << "names alone make no vehicle";

    EngineSettings capped;
    capped.maxDeviceVehicles = 3;
    engine.setSettings(capped);
    for (int i = 0; i < 6; ++i)
        post("Unit@" + std::to_string(i) + ":" + kRmc + "\n");
    EXPECT_EQ(vehicleCount(), 4u) << "the local vehicle and three devices";
    EXPECT_EQ(trace.count("refused new tracker Unit@"), 1) << "logged once a minute";
    EXPECT_NE(trace.count("MaxDeviceVehicles"), 0);
    // Known devices keep reporting.
    post("Unit@0:" + kRmc2 + "\n");
    ASSERT_NE(list.find("Unit", "0"), nullptr);
    EXPECT_EQ(list.find("Unit", "0")->track.pointCount(), 2);
}
