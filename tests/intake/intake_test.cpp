// The line intake: local GPS lines, tracker messages by device model, and the
// tracker port driven over loopback.
#include "track/intake.h"

#include "common/loopback.h"
#include "common/waitUntil.h"
#include "earth/n2k.h"
#include "net/server.h"
#include "platform/paths.h"
#include "remote/client.h"
#include "sources/comm.h"
#include "sources/recording.h"
#include "track/nmea.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Realistic sentences; every checksum is the true one.
const std::string kGga1 = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47";
const std::string kRmc1 = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230324,003.1,W*61";
const std::string kGga2 = "$GPGGA,123520,4807.138,N,01131.100,E,1,08,0.9,546.0,M,46.9,M,,*4A";
const std::string kRmc2 = "$GPRMC,123521,A,4807.238,N,01131.200,E,022.4,084.4,230324,003.1,W*6A";
const std::string kRmcVoid = "$GPRMC,123522,V,4807.338,N,01131.300,E,022.4,084.4,230324,003.1,W*7E";

// A SANAV GC101 web-form post: IMEI, then the RMC sentence and the report kind.
const std::string kSanav1 = "imei=352024020000000&rmc=$GPRMC,053740.000,A,2503.6319,N,12136.0099,"
                            "E,2.69,79.65,100106,,,A*53,AUTO\r";
const std::string kSanav2 = "imei=352024020000000&rmc=$GPRMC,053810.000,A,2503.7011,N,12136.1020,"
                            "E,12.40,81.20,100106,,,A*6C,AUTO\r";
// A Laipac S-911 report; its checksum is right for the line as sent.
const std::string kLaipac =
    "$AVRMC,80000551,144049,A,4351.3853,N,07923.5408,W,0.00,0.00,010907,0,0,0*3D\r";

// An FPI GT20 position frame: "$$", length, phone number 13612345678 in BCD,
// command 0x9955, the RMC fields, the frame checksum and "\r\n".
std::string fpiFrame(int declaredLength = -1) {
    std::string body = "035644.000,A,2232.6083,N,11404.8137,E,0.00,,010809,,*1C|11.5|194|0000";
    std::string f = "$$";
    f += '\0';
    f += '\0';
    for (int b : {0x13, 0x61, 0x23, 0x45, 0x67, 0x8f, 0xff})
        f += char(b);
    f += char(0x99);
    f += char(0x55);
    f += body;
    f += char(0xa5);
    f += char(0x3c);
    f += "\r\n";
    int len = declaredLength < 0 ? int(f.size()) : declaredLength;
    f[2] = char((len >> 8) & 0xff);
    f[3] = char(len & 0xff);
    return f;
}

class Intake : public ::testing::Test {
protected:
    CClients list{"intake-test"};
    Cn2k engine{list};
    CClient* local = nullptr;

    void SetUp() override {
        local = list.add("Me", "localhost");
        engine.m_local = local;
    }
    // Posts `text` as the tracker port's handler receives it.
    void post(std::string text) {
        ServerReply reply;
        EXPECT_EQ(Cn2k::processTrackerDataFunc(std::span<char>(text.data(), text.size()),
                                               "127.0.0.1", reply, &engine),
                  0);
        EXPECT_TRUE(reply.owned.empty());
    }
    size_t vehicleCount() const { return list.vehicles().size(); }
};

// Counts the flight-path updates the intake asks for.
class CountingFlightPath : public FlightPathHook {
public:
    int updates = 0;
    int update(CClient&) override { return ++updates; }
    std::string fragment(CClient&) override { return std::string(); }
};

// A start directory of the test's own, where a recording writes its log.
class ScratchStartDir {
public:
    ScratchStartDir() : m_saved(g_startDir) {
        m_dir =
            std::filesystem::temp_directory_path() / ("nivra-intake-" + std::to_string(getpid()));
        std::filesystem::create_directories(m_dir);
        setStartDir(m_dir.string());
    }
    ~ScratchStartDir() {
        g_startDir = m_saved;
        std::filesystem::remove_all(m_dir);
    }
    std::string read(const std::string& name) const {
        std::ifstream in(m_dir / name);
        std::stringstream got;
        got << in.rdbuf();
        return got.str();
    }

private:
    std::string m_saved;
    std::filesystem::path m_dir;
};

} // namespace

TEST_F(Intake, GgaAddsPointsUntilTheFirstRmcThenOnlyRmcDoes) {
    local->compress = 0;
    EXPECT_EQ(engine.parseLine(kGga1 + "\r"), 2);
    EXPECT_EQ(local->track.pointCount(), 1);
    EXPECT_STREQ(engine.fixState(), "") << "a GGA says nothing about the RMC status";
    EXPECT_EQ(engine.parseLine(kRmc1 + "\r"), 2);
    EXPECT_EQ(local->track.pointCount(), 2);
    EXPECT_STREQ(engine.fixState(), "Locked");
    EXPECT_EQ(engine.parseLine(kGga2 + "\r"), 1);
    EXPECT_EQ(local->track.pointCount(), 2) << "after an RMC, GGA only updates the position";
    EXPECT_EQ(engine.parseLine(kRmc2 + "\r"), 2);
    EXPECT_EQ(local->track.pointCount(), 3);
    EXPECT_EQ(engine.m_nPoints, 3);
    EXPECT_EQ(local->lastLine, kRmc2 + "\r");
    EXPECT_NEAR(local->curPos.lat, 48 + 7.238 / 60, 1e-9);

    EXPECT_EQ(engine.parseLine(kRmcVoid), 2);
    EXPECT_STREQ(engine.fixState(), "") << "status V is no fix";
    EXPECT_EQ(engine.parseLine("$GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,"
                               "292,00*74"),
              0);
    EXPECT_EQ(engine.parseLine(kRmc1.substr(0, kRmc1.size() - 1) + "0"), 0) << "bad checksum";
    EXPECT_EQ(engine.m_nPoints, 4);
}

TEST_F(Intake, CompressOptionChoosesTheAddMode) {
    // Same course and speed two seconds apart: compression replaces the newest
    // point, a plain add keeps both.
    local->compress = 1;
    EXPECT_EQ(engine.parseLine(kGga1), 2);
    EXPECT_EQ(engine.parseLine(kRmc1), 2);
    EXPECT_EQ(engine.parseLine(kRmc2), 2);
    EXPECT_EQ(local->track.pointCount(), 2);
    EXPECT_EQ(engine.m_nPoints, 3) << "every complete fix counts, stored or merged";

    CClient* other = list.add("Other", "localhost");
    other->compress = 0;
    engine.m_local = other;
    EXPECT_EQ(engine.parseLine(kRmc1), 2);
    EXPECT_EQ(engine.parseLine(kRmc2), 2);
    EXPECT_EQ(other->track.pointCount(), 2);
}

TEST_F(Intake, RecordingSeesParsedLinesAndLastLineIsBounded) {
    ScratchStartDir dir;
    CRecording recording;
    Cn2k wired(list, &recording);
    wired.m_local = local;
    std::string log;
    recording.start("Me", true, time(nullptr), &log);
    CountingFlightPath flightPath;
    wired.m_flightPath = &flightPath;
    EXPECT_EQ(wired.parseLine("garbage"), 0);
    EXPECT_EQ(wired.parseLine(kGga1), 2);
    EXPECT_EQ(wired.parseLine(kRmc1), 2);
    EXPECT_EQ(flightPath.updates, 0) << "flight-path mode is off";
    EngineSettings settings;
    settings.flightTracker = true;
    wired.setSettings(settings);
    EXPECT_EQ(wired.parseLine(kGga2), 1);
    EXPECT_EQ(flightPath.updates, 0) << "no point, no flight-path update";
    // An RMC with a long tail of extra fields: accepted, kept cut to 255.
    std::string fields =
        "$GPRMC,123530,A,4807.538,N,01131.500,E,022.4,084.4,230324,003.1,W" + std::string(300, ',');
    std::string longRmc;
    appendNmeaChecksum(fields.c_str(), longRmc);
    longRmc = fields + longRmc;
    EXPECT_EQ(wired.parseLine(longRmc), 2);
    EXPECT_EQ(flightPath.updates, 1);
    EXPECT_EQ(local->lastLine, longRmc.substr(0, kLastLineMax));
    recording.stop();
    EXPECT_EQ(wired.parseLine(kRmc2), 2) << "recording stopped";
    EXPECT_EQ(dir.read(log), kGga1 + "\n" + kRmc1 + "\n" + kGga2 + "\n" + longRmc + "\n");
}

TEST_F(Intake, PostedLinesAreSplitAtLineFeedsKeepingCarriageReturns) {
    using V = std::vector<std::string_view>;
    EXPECT_EQ(splitTrackerLines("a\r\nb\n\nc"), (V{"a\r", "b", "", "c"}));
    EXPECT_EQ(splitTrackerLines("a\n"), (V{"a"})) << "no empty line after the last line feed";
    EXPECT_EQ(splitTrackerLines(""), V{});
    EXPECT_EQ(splitTrackerLines("\n"), (V{""}));
}

TEST_F(Intake, RmcOnTheTrackerPortUpdatesTheLocalVehicle) {
    post(kRmc1 + "\r\n");
    EXPECT_EQ(local->track.pointCount(), 1);
    EXPECT_EQ(vehicleCount(), 1u) << "no device vehicle for a plain sentence";

    // With a serial reader in place the line takes its socket path.
    Ccomm comm;
    comm.setLineHandler([this](const std::string& line) { return engine.parseLine(line); });
    engine.m_comm = &comm;
    post(kRmc2 + "\r\n");
    EXPECT_EQ(local->track.pointCount(), 2);
    EXPECT_EQ(comm.status(), "Receiving Socket Data");
    engine.m_comm = nullptr;
}

TEST_F(Intake, TrackerPortOverLoopbackAnswersNothing) {
    CServer s;
    s.bindAddress = "127.0.0.1";
    ASSERT_EQ(s.start(0, Cn2k::processTrackerDataFunc, &engine), 1);
    ASSERT_TRUE(waitUntil([&] { return s.boundPort() != 0; }));
    bool ok = false;
    EXPECT_EQ(roundTrip(s.boundPort(), kRmc1 + "\r\n" + kSanav1 + "\n", &ok), "");
    EXPECT_TRUE(ok);
    EXPECT_TRUE(waitUntil([&] { return list.find("SANAV GC101", "352024020000000") != nullptr; }));
    EXPECT_EQ(local->track.pointCount(), 1);
}

TEST_F(Intake, SanavCreatesItsVehicleAndLaterMessagesUpdateIt) {
    post(kSanav1 + "\n");
    CClient* v = list.find("SANAV GC101", "352024020000000");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->uName, "SANAV GC101");
    EXPECT_EQ(v->host, "352024020000000");
    EXPECT_EQ(v->remoteType, remoteDevice);
    EXPECT_EQ(v->visible, 1);
    EXPECT_EQ(v->online, 1);
    EXPECT_EQ(v->timestamps, 1);
    EXPECT_EQ(v->speedTrack, 1);
    EXPECT_EQ(v->track.pointCount(), 1);
    EXPECT_NEAR(v->curPos.lat, 25 + 3.6319 / 60, 1e-9);
    EXPECT_EQ(local->track.pointCount(), 0);

    post(kSanav2);
    EXPECT_EQ(list.find("SANAV GC101", "352024020000000"), v);
    EXPECT_EQ(vehicleCount(), 2u);
    EXPECT_EQ(v->track.pointCount(), 2);
    EXPECT_NEAR(v->curPos.lon, 121 + 36.1020 / 60, 1e-9);
    EXPECT_EQ(engine.m_nPoints, 2);
}

TEST_F(Intake, LaipacIsRelabelledWithAFreshChecksum) {
    TrackerMessage m;
    ASSERT_TRUE(decodeTrackerLine(kLaipac, m));
    EXPECT_EQ(m.model, "Laipac S-911");
    EXPECT_EQ(m.identifier, "80000551");
    EXPECT_EQ(m.sentence, "$GPRMC,144049,A,4351.3853,N,07923.5408,W,0.00,0.00,010907,0,0,0*18");
    post(kLaipac + "\n");
    CClient* v = list.find("Laipac S-911", "80000551");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->track.pointCount(), 1);
    EXPECT_NEAR(v->curPos.lon, -(79 + 23.5408 / 60), 1e-9);
}

TEST_F(Intake, FpiFramesOutsideThirtyToAHundredAreIgnored) {
    TrackerMessage m;
    std::string frame = fpiFrame();
    ASSERT_EQ(frame.size(), 86u);
    ASSERT_TRUE(decodeTrackerLine(frame, m));
    EXPECT_EQ(m.model, "FPI GT20");
    EXPECT_EQ(m.identifier, "13612345678ff");
    EXPECT_EQ(m.sentence, "$GPRMC,035644.000,A,2232.6083,N,11404.8137,E,0.00,,010809,,*1C");

    EXPECT_FALSE(decodeTrackerLine(fpiFrame(29), m));
    EXPECT_FALSE(decodeTrackerLine(fpiFrame(101), m));
    EXPECT_FALSE(decodeTrackerLine(fpiFrame(0x80), m)) << "a length byte above 0x7f is negative";
    EXPECT_FALSE(decodeTrackerLine(fpiFrame(0x100 + 50), m));
    EXPECT_TRUE(decodeTrackerLine(fpiFrame(30), m)) << "cut at 30: the sentence loses its tail";

    post(fpiFrame(29));
    post(fpiFrame(101));
    EXPECT_EQ(vehicleCount(), 1u);
    post(fpiFrame());
    CClient* v = list.find("FPI GT20", "13612345678ff");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->track.pointCount(), 1);
    EXPECT_NEAR(v->curPos.lat, 22 + 32.6083 / 60, 1e-9);

    // Small identifier bytes print with a blank, as "%2x" does.
    std::string padded = fpiFrame();
    padded[4] = 0x01;
    ASSERT_TRUE(decodeTrackerLine(padded, m));
    EXPECT_EQ(m.identifier, " 1612345678ff");
}

TEST_F(Intake, NamedFormNeedsAColonAfterTheAt) {
    post("Truck 7@unit42:" + kRmc1 + "\r\n");
    CClient* v = list.find("Truck 7", "unit42");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->track.pointCount(), 1);
    post("Van@unit43 " + kRmc2 + "\r\n");
    post("Van:x@unit43 " + kRmc2 + "\r\n");
    post("@unit44:" + kRmc2 + "\r\n");
    post("Van@:" + kRmc2 + "\r\n");
    EXPECT_EQ(vehicleCount(), 2u) << "lines without a ':' after the '@' or a name are ignored";
}

TEST_F(Intake, DevicesAndTheLocalGpsSendAnyTalkersSentences) {
    // Trackers built on multi-system modules embed "$GNRMC" and the like.
    struct Case {
        std::string line;
        const char* model; // nullptr: the local vehicle's
        const char* host;
        std::string sentence;
    };
    const std::string gn = "$GNRMC,053740.000,A,2503.6319,N,12136.0099,E,2.69,79.65,100106,,,A,V";
    const std::string bd = "$BDRMC,053741.000,A,2503.6400,N,12136.0200,E,2.69,79.65,100106,,,A";
    const Case cases[] = {
        {"imei=352024020000001&rmc=" + gn + "*00,AUTO", "SANAV GC101", "352024020000001",
         gn + "*00,AUTO"},
        {"imei=352024020000002&rmc=$g,$P," + bd + "*00", "SANAV GC101", "352024020000002",
         bd + "*00"},
        {"Boat 3@unit7:junk $PGRMZ,1 " + bd + "*00", "Boat 3", "unit7", bd + "*00"},
        {"$GNRMC,053742.000,A,2503.6500,N,12136.0300,E,2.69,79.65,100106,,,A,V*00", nullptr, "",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        TrackerMessage m;
        EXPECT_EQ(isLocalGpsLine(c.line), c.model == nullptr);
        if (c.model) {
            ASSERT_TRUE(decodeTrackerLine(c.line, m));
            EXPECT_EQ(m.model, c.model);
            EXPECT_EQ(m.identifier, c.host);
            EXPECT_EQ(m.sentence, c.sentence);
        }
        post(c.line + "\r\n");
    }
    // The device vehicles whose sentence parses, and the local vehicle.
    EXPECT_NE(list.find("SANAV GC101", "352024020000001"), nullptr);
    EXPECT_NE(list.find("SANAV GC101", "352024020000002"), nullptr);
    const CClient* boat = list.find("Boat 3", "unit7");
    ASSERT_NE(boat, nullptr);
    EXPECT_NEAR(boat->curPos.lat, 25 + 3.64 / 60, 1e-9);
    EXPECT_EQ(local->track.pointCount(), 1);
    EXPECT_NEAR(local->curPos.lat, 25 + 3.65 / 60, 1e-9);
    // A Laipac report looks like a talker's RMC but stays the device table's.
    EXPECT_FALSE(isLocalGpsLine(kLaipac));
    EXPECT_FALSE(isLocalGpsLine("$PGRMC,A,218.8"));
    EXPECT_FALSE(isLocalGpsLine("$$"));
}

TEST_F(Intake, EachModelIgnoresLinesWithoutIdentifierOrSentence) {
    struct Case {
        std::string line;
        const char* why;
    };
    const Case cases[] = {
        {"imei=352024020000000", "SANAV without '&'"},
        {"imei=352024020000000&rmc=GPRMC,1,A", "SANAV without a talker's sentence after the '&'"},
        {"imei=352024020000000&rmc=$GpRMC,1,A$P", "SANAV with '$' but no talker"},
        {"$G@x&imei=:", "SANAV wins the '@' line but has no sentence after the '&'"},
        {"imei=&rmc=" + kRmc1, "SANAV with an empty identifier"},
        {"$AVRMC", "Laipac without fields"},
        {"$AVRMC,80000551", "Laipac with one ','"},
        {"$$", "FPI without a length"},
        {std::string("$$\0\x1e", 4) + "short", "FPI shorter than its header"},
        {"no device here", "no row"},
    };
    for (const Case& c : cases) {
        TrackerMessage m;
        EXPECT_FALSE(decodeTrackerLine(c.line, m)) << c.why;
    }
    for (const Case& c : cases)
        post(c.line + "\n");
    EXPECT_EQ(vehicleCount(), 1u);
}

TEST_F(Intake, LongIdentifiersAreCut) {
    std::string id(600, '9');
    post("imei=" + id + "&" + kRmc1);
    ASSERT_EQ(vehicleCount(), 2u);
    for (CClient* v : list.vehicles())
        if (v != local) {
            EXPECT_EQ(v->host, id.substr(0, kDeviceTextMax));
            EXPECT_EQ(v->uName, "SANAV GC101");
        }
}
