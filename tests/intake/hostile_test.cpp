// Posts from strangers on the tracker port: who may feed the local vehicle,
// what names a device may bring, and how many device vehicles there may be.
#include "track/intake.h"

#include "common/traceCapture.h"
#include "earth/n2k.h"
#include "net/server.h"
#include "platform/runtime.h"
#include "remote/client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

const std::string kRmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230324,003.1,W*61";
const std::string kRmc2 = "$GPRMC,123521,A,4807.238,N,01131.200,E,022.4,084.4,230324,003.1,W*6A";
const std::string kRmcVoid = "$GPRMC,123522,V,4807.338,N,01131.300,E,022.4,084.4,230324,003.1,W*7E";

// Fix `i` of a drive, `i` seconds after the first, as an RMC sentence (with
// its line end).
std::string driveRmc(int i) {
    GpsFix f;
    f.lat = 47.0 + i * 0.001;
    f.lon = 8.0 + i * 0.001;
    f.spd = 20;
    f.hdg = i % 360;
    f.status = 1;
    f.time = nowFixTime() - 3600 + i;
    return makeRmcSentence(f);
}

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
    // Known devices keep reporting (a second later: one fix a second).
    const auto later = Cn2k::SteadyClock::now() + std::chrono::seconds(1);
    engine.m_intakeClock = [later] { return later; };
    post("Unit@0:" + kRmc2 + "\n");
    ASSERT_NE(list.find("Unit", "0"), nullptr);
    EXPECT_EQ(list.find("Unit", "0")->track.pointCount(), 2);
}

TEST_F(Hostile, ADeviceVehicleTakesOneFixForEachSecondOfArrival) {
    TraceCapture trace;
    // Arrival times on a clock of the test's own, from a whole second on.
    const Cn2k::SteadyClock::time_point start{std::chrono::seconds(1000)};
    auto at = start;
    engine.m_intakeClock = [&] { return at; };
    struct Step {
        int arrivalMs;
        int fix;    // -1: a sentence without a fix
        int points; // the unit's points afterwards
    };
    const Step steps[] = {
        {0, 0, 1},     // the first makes the vehicle
        {400, 1, 1},   // the same second: dropped
        {999, 2, 1},   // still the same second
        {1000, 3, 2},  // the next second takes one
        {1001, 4, 2},  //
        {2000, -1, 2}, // no fix: it does not use up its second
        {2500, 5, 3},  //
        {5000, 6, 4},  // a pause changes nothing
    };
    const std::string noFix =
        "$GPGSV,1,1,04,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00*7A\r\n";
    for (const Step& s : steps) {
        at = start + std::chrono::milliseconds(s.arrivalMs);
        post("Unit@fast:" + (s.fix < 0 ? noFix : driveRmc(s.fix)));
        CClient* v = list.find("Unit", "fast");
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->track.pointCount(), s.points) << "after the line at " << s.arrivalMs << " ms";
    }
    EXPECT_EQ(engine.m_fixesDropped, 3);
    EXPECT_EQ(trace.count("more than one fix in a second"), 1) << "logged once a minute";
    // Each unit has a second of its own.
    post("Unit@other:" + driveRmc(9));
    ASSERT_NE(list.find("Unit", "other"), nullptr);
    EXPECT_EQ(list.find("Unit", "other")->track.pointCount(), 1);
}

TEST_F(Hostile, EachAddressHasABudgetOfLinesButTheLocalGpsHasNone) {
    TraceCapture trace;
    EngineSettings many;
    many.maxDeviceVehicles = 5000;
    engine.setSettings(many);
    const Cn2k::SteadyClock::time_point start{std::chrono::seconds(1000)};
    auto at = start;
    engine.m_intakeClock = [&] { return at; };
    int next = 0;
    // Each line names a new unit, so every line taken makes a vehicle.
    auto postUnits = [&](int count, const char* peer) {
        std::string text;
        for (int i = 0; i < count; ++i, ++next)
            text += "Unit@" + std::to_string(next) + ":" + driveRmc(next);
        const size_t before = vehicleCount();
        post(text, peer);
        return static_cast<int>(vehicleCount() - before);
    };
    struct Step {
        int afterMs; // since the start
        const char* peer;
        int lines;
        int taken;
    };
    const int burst = static_cast<int>(kTrackerLineBurst);
    const int perSecond = static_cast<int>(kTrackerLinesPerSecond);
    const Step steps[] = {
        {0, "192.0.2.9", burst + 100, burst}, // a burst, then nothing
        {0, "192.0.2.9", 10, 0},
        {1000, "192.0.2.9", 100, perSecond},    // a second refills fifty
        {1000, "192.0.2.10", 20, 20},           // another address has its own
        {1000, "127.0.0.1", burst + 10, burst}, // device lines from here too
        {60000, "192.0.2.9", burst + 1, burst},
    };
    for (const Step& s : steps) {
        at = start + std::chrono::milliseconds(s.afterMs);
        EXPECT_EQ(postUnits(s.lines, s.peer), s.taken) << s.peer << " at " << s.afterMs << " ms";
    }
    // Once a minute for each address (the log keeps real time).
    EXPECT_EQ(trace.count("tracker port: lines from 192.0.2.9 beyond"), 1) << trace.all();
    EXPECT_EQ(trace.count("tracker port: lines from 127.0.0.1 beyond"), 1);

    // The local GPS on this machine sends what it sends.
    local->compress = 0;
    std::string gps;
    for (int i = 0; i < 3 * burst; ++i)
        gps += driveRmc(i);
    post(gps, "127.0.0.1");
    EXPECT_EQ(local->track.pointCount(), 3 * burst);
}
