// The options dialog's rules without a window: adding, refusing, renaming and
// deleting vehicles; numbers in display units and their limits; the date
// range; the demo, play and stop transitions; recording; closing.
#include "support.h"

#include "app/optionsLogic.h"
#include "app/sourceSwitch.h"
#include "phones/phoneKey.h"
#include "phones/phoneReport.h"
#include "remote/client.h"
#include "track/nmea.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace apptest;

namespace {

class FakeOptionsView : public COptionsView {
public:
    int refreshes = 0;
    std::vector<std::string> messages;
    int focus = 0;
    std::vector<unsigned> timers;
    int ended = 0;
    void refresh() override { ++refreshes; }
    void showStatus(const std::string& text) override { status = text; }
    std::string status;
    void message(const std::string& text) override { messages.push_back(text); }
    void focusName() override { ++focus; }
    void setTimer(unsigned ms) override { timers.push_back(ms); }
    void endDialog() override { ++ended; }
};

} // namespace

class OptionsLogic : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        CClients& c = clients();
        c.load(sys.registryStore, "Me", "localhost");
        local = c.designateLocal();
        ASSERT_NE(local, nullptr);
        o().Units = 0;
        o().SpeedInKnots = 0;
        o().LogFile.clear();
        o().PlayDir.clear();
        o().ContinuousLog = 0;
        o().DemoMode = 0;
        if (local->name != "Me@localhost") {
            ASSERT_TRUE(c.rename(local->name, "Me@localhost"));
        }
        local->uName = "Me";
    }
    COptionsDlg& o() { return options(); }

    // Opens the dialog with `key` shown.
    void open(const std::string& key = "Me@localhost") {
        o().Name = key;
        logic.open();
    }
    // New, type, Add.
    bool add(const std::string& name, const std::string& host) {
        logic.onNewOrAdd("", "");
        const size_t before = fake.messages.size();
        logic.onNewOrAdd(name, host);
        return fake.messages.size() == before;
    }
    std::string lastMessage() const { return fake.messages.empty() ? "" : fake.messages.back(); }

    FakeOptionsView fake;
    CClient* local = nullptr;
    COptionsLogic logic{fake, options(), clients(), sys};
};

TEST_F(OptionsLogic, OpeningShowsTheSelectedVehicleAndArmsTheTimer) {
    clients().add("Bob", "peer.example");
    open("Bob@peer.example");
    EXPECT_EQ(fake.timers, std::vector<unsigned>{1000});
    EXPECT_TRUE(logic.page().loaded);
    EXPECT_FALSE(logic.page().local);
    EXPECT_EQ(logic.page().name, "Bob");
    EXPECT_EQ(logic.page().host, "peer.example");
    EXPECT_EQ(logic.selector().currentText(), "Bob@peer.example!");

    o().statusText = "Acquiring Signal...";
    logic.onTimer();
    EXPECT_EQ(fake.timers, (std::vector<unsigned>{1000, 500}));
    EXPECT_EQ(logic.status(), "Acquiring Signal...");
    EXPECT_EQ(fake.status, "Acquiring Signal...");
    logic.onTimer();
    EXPECT_EQ(fake.timers, (std::vector<unsigned>{1000, 500}));

    // The local entry is the user name alone and has Delete disabled.
    logic.onVehiclePicked(0);
    EXPECT_TRUE(logic.page().local);
    EXPECT_EQ(o().Name, "Me@localhost");
}

TEST_F(OptionsLogic, AddingAVehicleStoresItAndShowsIt) {
    open();
    logic.onNewOrAdd("", "");
    EXPECT_TRUE(logic.entering());
    EXPECT_EQ(fake.focus, 1);
    EXPECT_EQ(logic.page().name, "");
    logic.onColor("red");
    logic.onNewOrAdd("  Ann\t", " tracker.example ");
    EXPECT_FALSE(logic.entering());
    CClient* ann = clients().find("Ann@tracker.example");
    ASSERT_NE(ann, nullptr);
    EXPECT_EQ(ann->uName, "Ann");
    EXPECT_EQ(ann->color, "red");
    EXPECT_EQ(ann->visible, 1);
    EXPECT_EQ(o().Name, "Ann@tracker.example");
    EXPECT_EQ(logic.page().name, "Ann");
    EXPECT_NE(readFile(file("registry.reg")).find("\"name\"=\"Ann@tracker.example\""),
              std::string::npos);

    // Service hosts make service vehicles; capitals make "localhost" a peer.
    struct Case {
        const char* name;
        const char* host;
        int type;
    } cases[] = {{"acct", "mologogo.com", remoteWeb},
                 {"buddy", "gpsgate.com", remoteGpsGate},
                 {"Me", "LOCALHOST", remotePeer}};
    for (const Case& c : cases) {
        EXPECT_TRUE(add(c.name, c.host)) << c.host << ": " << lastMessage();
        CClient* v = clients().find(c.name, c.host);
        ASSERT_NE(v, nullptr) << c.host;
        EXPECT_EQ(v->remoteType, c.type) << c.host;
    }
}

TEST_F(OptionsLogic, RefusedAdditionsSayWhyAndStayInEnteringMode) {
    clients().add("Bob", "peer.example");
    open();
    const std::string longName(1000, 'x');
    struct Case {
        std::string name, host, message;
    } cases[] = {
        {"", "peer.example", kMsgEnterName},
        {" \t ", "peer.example", kMsgEnterName},
        {"Ann", "", kMsgEnterHost},
        {"Ann", "localhost", kMsgOneLocal},
        {"Bob", "peer.example", kMsgIdUsed},
        {longName, "peer.example",
         "The vehicle name and host together may have at most 254 "
         "characters."},
        {"Ann", longName, "The vehicle name and host together may have at most 254 characters."},
        {"A@nn", "peer.example", "A vehicle name or host cannot hold '@' or '\\'."},
        {"Ann", "peer@example", "A vehicle name or host cannot hold '@' or '\\'."},
        {"A\\nn", "peer.example", "A vehicle name or host cannot hold '@' or '\\'."},
        {"An\x01n", "peer.example", "A vehicle name or host cannot hold control characters."},
        {"Ann", "peer\nexample", "A vehicle name or host cannot hold control characters."},
    };
    const size_t before = clients().vehicles().size();
    for (const Case& c : cases) {
        logic.onNewOrAdd("", "");
        logic.onNewOrAdd(c.name, c.host);
        EXPECT_EQ(lastMessage(), c.message) << c.name.substr(0, 20) << "@" << c.host.substr(0, 20);
        EXPECT_TRUE(logic.entering());
        logic.onDeleteOrCancel(); // Cancel
        EXPECT_FALSE(logic.entering());
    }
    EXPECT_EQ(clients().vehicles().size(), before);
    EXPECT_EQ(readFile(file("registry.reg")).find("A@nn"), std::string::npos);
}

TEST_F(OptionsLogic, AKeyOf255CharactersIsTheLongestThatIsTaken) {
    // The key is name + '@' + host: 254 characters of name and host make a
    // key of 255, the most a stored key holds; one more is refused, not cut.
    open();
    struct Case {
        size_t nameLength, hostLength;
        bool taken;
    };
    const Case cases[] = {
        {250, 4, true},
        {250, 5, false},
        {1, 253, true},
        {1, 254, false},
    };
    char fill = 'a';
    for (const Case& c : cases) {
        const std::string name(c.nameLength, fill);
        const std::string host(c.hostLength, static_cast<char>(fill + 1));
        fill = static_cast<char>(fill + 2);
        SCOPED_TRACE(std::to_string(c.nameLength) + " + 1 + " + std::to_string(c.hostLength));
        logic.onNewOrAdd("", "");
        logic.onNewOrAdd(name, host);
        CClient* v = clients().find(name + "@" + host);
        EXPECT_EQ(v != nullptr, c.taken);
        if (c.taken) {
            ASSERT_NE(v, nullptr);
            EXPECT_EQ(v->name.size(), 255u) << "stored whole";
            EXPECT_EQ(v->host, host);
            EXPECT_FALSE(logic.entering());
        } else {
            EXPECT_EQ(lastMessage(),
                      "The vehicle name and host together may have at most 254 characters.");
            EXPECT_TRUE(logic.entering());
            logic.onDeleteOrCancel();
        }
    }
}

TEST_F(OptionsLogic, DeleteRemovesARemoteVehicleButNeverTheLocalOne) {
    clients().add("Bob", "peer.example");
    open("Bob@peer.example");
    logic.onDeleteOrCancel();
    EXPECT_EQ(clients().find("Bob@peer.example"), nullptr);
    EXPECT_EQ(logic.selector().current(), 0);
    EXPECT_EQ(o().Name, "Me@localhost");
    EXPECT_TRUE(logic.page().local);
    EXPECT_EQ(readFile(file("registry.reg")).find("Bob@peer.example"), std::string::npos);

    logic.onDeleteOrCancel();
    EXPECT_NE(clients().find("Me@localhost"), nullptr);
}

TEST_F(OptionsLogic, RenamingTheLocalVehicleKeepsItsObjectAndTrack) {
    open();
    struct Case {
        std::string typed, expectedName, message;
    } cases[] = {
        {"", "Me", ""},     // an emptied field comes back
        {"Mia", "Mia", ""}, // renamed in place
        {"Mi@a", "Mia", "A vehicle name or host cannot hold '@' or '\\'."},
        {"  Max ", "Max", ""},
    };
    for (const Case& c : cases) {
        fake.messages.clear();
        logic.onNameEdited(c.typed, "localhost");
        EXPECT_EQ(logic.page().name, c.expectedName) << c.typed;
        EXPECT_EQ(local->uName, c.expectedName) << c.typed;
        EXPECT_EQ(local->name, c.expectedName + "@localhost") << c.typed;
        EXPECT_EQ(lastMessage(), c.message) << c.typed;
    }
    EXPECT_EQ(clients().find("Max@localhost"), local);
    EXPECT_EQ(clients().find("Me@localhost"), nullptr);
    EXPECT_EQ(logic.selector().currentText(), "Max");
}

TEST_F(OptionsLogic, NumbersRoundTripThroughTheDisplayUnits) {
    open();
    struct Case {
        int units, knots;
        const char* speed;
        double storedKnots;
        const char* radius;
        double storedMetres;
    } cases[] = {
        {0, 0, "11.508", 10.0, "32.808", 10.0}, // statute: mph and feet
        {1, 0, "18.520", 10.0, "10.000", 10.0}, // metric: km/h and metres
        {1, 1, "10.000", 10.0, "2.500", 2.5},   // knots
    };
    for (const Case& c : cases) {
        logic.onUnits(c.units);
        logic.onSpeedInKnots(c.knots != 0);
        logic.onMaxSpeed(c.speed);
        logic.onRadius(c.radius);
        EXPECT_NEAR(local->maxSpd, c.storedKnots, 1e-3) << c.speed;
        EXPECT_NEAR(local->trackWidth, c.storedMetres, 1e-9) << c.radius;
        EXPECT_EQ(logic.page().maxSpeed, c.speed);
        EXPECT_EQ(logic.page().radius, c.radius);
    }
    EXPECT_TRUE(fake.messages.empty());
}

TEST_F(OptionsLogic, BadNumbersAreRefusedOrClampedToWhatTheRegistryReadsBack) {
    open();
    o().Units = 1;
    o().SpeedInKnots = 1;
    local->maxSpd = 50;
    local->maxPts = 2000;
    local->trackWidth = 5;
    struct Case {
        const char* text;
        bool refused;
        double speed;
        int points;
        double radius;
    } cases[] = {
        {"", true, 50, 2000, 5},
        {"-3", true, 50, 2000, 5},
        {"abc", true, 50, 2000, 5},
        {"12abc", true, 50, 2000, 5},
        {"nan", true, 50, 2000, 5},
        {"inf", true, 50, 2000, 5},
        {"1e300", false, kMaxSpeedKnots, kMaxPointsLimit, kMaxRadiusMetres},
        {"50000", false, 50000, kMaxPointsLimit, 50000},
        {" 7 ", false, 7, 7, 7},
    };
    for (const Case& c : cases) {
        local->maxSpd = 50;
        local->maxPts = 2000;
        local->trackWidth = 5;
        fake.messages.clear();
        logic.onMaxSpeed(c.text);
        logic.onMaxPoints(c.text);
        logic.onRadius(c.text);
        EXPECT_EQ(fake.messages.size(), c.refused ? 3u : 0u) << c.text;
        EXPECT_DOUBLE_EQ(local->maxSpd, c.speed) << c.text;
        EXPECT_EQ(local->maxPts, c.points) << c.text;
        EXPECT_DOUBLE_EQ(local->trackWidth, c.radius) << c.text;
        EXPECT_EQ(logic.page().maxPoints, std::to_string(c.points)) << c.text;
    }

    // What was stored comes back from the registry file unchanged.
    local->maxSpd = kMaxSpeedKnots;
    local->trackWidth = kMaxRadiusMetres;
    ASSERT_TRUE(clients().save(false));
    CClients reloaded("servers");
    reloaded.load(sys.registryStore, "Me", "localhost");
    CClient* back = reloaded.find("Me@localhost");
    ASSERT_NE(back, nullptr);
    EXPECT_DOUBLE_EQ(back->maxSpd, kMaxSpeedKnots);
    EXPECT_DOUBLE_EQ(back->trackWidth, kMaxRadiusMetres);
    EXPECT_EQ(back->maxPts, 7);
}

TEST_F(OptionsLogic, ColoursOutsideTheListAreRefused) {
    open();
    local->color = "blue";
    struct Case {
        const char* typed;
        const char* stored;
    } cases[] = {{"red", "red"},
                 {"ff00ff00", "ff00ff00"},
                 {" Lightblue ", "Lightblue"},
                 {"pink", "Lightblue"},
                 {"ff00ff0g", "Lightblue"},
                 {"", "Lightblue"},
                 {"rgb(1,2,3)", "Lightblue"}};
    for (const Case& c : cases) {
        fake.messages.clear();
        logic.onColor(c.typed);
        EXPECT_EQ(local->color, c.stored) << c.typed;
        EXPECT_EQ(logic.page().color, c.stored) << c.typed;
        EXPECT_EQ(fake.messages.empty(),
                  std::string(c.typed) == c.stored || std::string(c.typed) == " Lightblue ")
            << c.typed;
    }
}

TEST_F(OptionsLogic, DateRangeKeepsStartBeforeEnd) {
    open();
    logic.onDateRange(true);
    EXPECT_EQ(local->useTimeSpan, 1);
    EXPECT_NE(local->startTime, 0);
    EXPECT_EQ(local->endTime, local->startTime + 86399);

    const CalendarDate may1{2024, 5, 1}, may5{2024, 5, 5}, may9{2024, 5, 9};
    const int64_t d1 = dayStartFixTime(may1), d5 = dayStartFixTime(may5),
                  d9 = dayStartFixTime(may9);
    ASSERT_GT(d1, 0);
    EXPECT_EQ(d5 - d1, 4 * 86400);

    logic.onStartDate(may1);
    logic.onEndDate(may5);
    EXPECT_EQ(local->startTime, d1);
    EXPECT_EQ(local->endTime, d5 + 86399);
    // A start after the end moves the end to the end of the start day.
    logic.onStartDate(may9);
    EXPECT_EQ(local->startTime, d9);
    EXPECT_EQ(local->endTime, d9 + 86399);
    // An end before the start moves the start to the picked day.
    logic.onEndDate(may1);
    EXPECT_EQ(local->startTime, d1);
    EXPECT_EQ(local->endTime, d1 + 86399);
    EXPECT_EQ(logic.page().startDate, may1);
    EXPECT_EQ(logic.page().endDate, may1);

    // The end date is the picked one also with extrude on and a long track.
    local->extrude = 1;
    logic.onEndDate(may5);
    EXPECT_EQ(local->endTime, d5 + 86399);

    // Dates the stored 32-bit times cannot hold are refused.
    for (CalendarDate bad : {CalendarDate{1969, 12, 31}, CalendarDate{2040, 1, 1}}) {
        fake.messages.clear();
        logic.onStartDate(bad);
        EXPECT_EQ(lastMessage(), "Choose a date from 1970 to 2037.");
        EXPECT_EQ(local->startTime, d1);
    }
}

TEST(OptionsDates, ADayStartsWithThePointTakenAtLocalMidnightInEveryZone) {
    const std::string saved = getenv("TZ") ? getenv("TZ") : "";
    struct Case {
        const char* zone;
        CalendarDate day;
        int utcHourBefore; // local midnight in UTC, on the day before (-1: same day 0 h)
    } cases[] = {
        {"Europe/Berlin", {2024, 7, 1}, 22},
        {"Europe/Berlin", {2024, 1, 15}, 23},
        {"America/New_York", {2024, 7, 1}, -4},
        {"America/New_York", {2024, 12, 1}, -5},
        {"UTC", {2024, 2, 29}, -1},
    };
    for (const Case& c : cases) {
        setenv("TZ", c.zone, 1);
        tzset();
        struct tm utc {};
        utc.tm_year = c.day.year - 1900;
        utc.tm_mon = c.day.month - 1;
        utc.tm_mday = c.day.day;
        if (c.utcHourBefore > 0) {
            utc.tm_mday -= 1;
            utc.tm_hour = c.utcHourBefore;
        } else if (c.utcHourBefore < -1) {
            utc.tm_hour = -c.utcHourBefore;
        }
        const int64_t midnightPoint = fixTimeFromUtcFields(utc);
        EXPECT_EQ(dayStartFixTime(c.day), midnightPoint) << c.zone;
        EXPECT_EQ(fixTimeDate(midnightPoint), c.day) << c.zone;
        EXPECT_EQ(fixTimeDate(midnightPoint + 86399), c.day) << c.zone;
        EXPECT_NE(fixTimeDate(midnightPoint - 1), c.day) << c.zone;
    }
    setenv("TZ", saved.c_str(), 1);
    tzset();
}

TEST_F(OptionsLogic, DemoPlayAndStopSwitchTheSource) {
    o().DemoMode = 1;
    o().AutoConnect = 1;
    open();
    EXPECT_FALSE(logic.playbackEnabled());

    // Demo off: the demo stops and the receiver connects again.
    logic.onDemoMode(false);
    EXPECT_EQ(o().DemoMode, 0);
    EXPECT_TRUE(logic.playbackEnabled());
    EXPECT_GE(sys.sourceStops, 1);
    EXPECT_EQ(sys.serialStarts, 1);

    // Play of a log that vanished is refused with a message.
    o().LogFile = file("gone.nme");
    logic.onPlay();
    EXPECT_EQ(lastMessage(), "The log file " + file("gone.nme") + " cannot be found.");
    EXPECT_FALSE(logic.playOn());
    EXPECT_FALSE(sys.isPlayback);
    EXPECT_TRUE(sys.sourceStarts.empty());

    std::ofstream(file("trip.nme")) << "$GPRMC\n";
    logic.onLogFilePicked(file("trip.nme"));
    EXPECT_EQ(o().PlayDir, dir);
    EXPECT_EQ(o().LogFile, file("trip.nme"));
    logic.onPlay();
    EXPECT_TRUE(logic.playOn());
    EXPECT_TRUE(sys.isPlayback);
    EXPECT_EQ(sys.sourceStarts, std::vector<std::string>{"Me"});

    // Picking another log while playing continues a paused playback.
    sys.isPaused = true;
    logic.onLogFilePicked(file("trip.nme"));
    EXPECT_FALSE(sys.isPaused);

    const int stops = sys.sourceStops;
    logic.onStop();
    EXPECT_FALSE(logic.playOn());
    EXPECT_FALSE(sys.isPlayback);
    EXPECT_EQ(sys.sourceStops, stops + 1);

    // Demo on while playing: playback ends and the demo starts.
    logic.onPlay();
    logic.onDemoMode(true);
    EXPECT_FALSE(sys.isPlayback);
    EXPECT_FALSE(logic.playOn());
    ASSERT_FALSE(sys.sourceStarts.empty());
    EXPECT_EQ(sys.sourceStarts.back(), "");
    EXPECT_EQ(logic.selector().current(), 0);
}

TEST_F(OptionsLogic, GpsControlsReachTheSerialReader) {
    open();
    logic.onPort("/dev/ttyUSB3");
    EXPECT_EQ(o().Port, "/dev/ttyUSB3");
    EXPECT_EQ(sys.serialPort, "/dev/ttyUSB3");
    logic.onRate(8);
    EXPECT_EQ(o().Rate, "115200");
    EXPECT_EQ(sys.serialRate, 115200);
    logic.onFlowControl(2);
    EXPECT_EQ(sys.serialFlow, 2);
    const struct {
        std::string port;
        std::string message;
    } bad[] = {
        {"", "Enter a port such as COM1: or a device path such as /dev/ttyUSB0."},
        {" \t", "Enter a port such as COM1: or a device path such as /dev/ttyUSB0."},
        {std::string(301, 'p'), "A port name has at most 255 characters; this one has 301."},
        {"COM\n1", "A port name cannot hold control characters."},
    };
    for (const auto& b : bad) {
        fake.messages.clear();
        logic.onPort(b.port);
        EXPECT_EQ(fake.messages, std::vector<std::string>{b.message});
        EXPECT_EQ(o().Port, "/dev/ttyUSB3");
    }
    const int starts = sys.serialStarts;
    o().AutoStartGE = 1;
    logic.onConnect();
    EXPECT_EQ(sys.serialStarts, starts + 1);
    EXPECT_EQ(sys.loadServers, 1);
    logic.onDisconnect();
    EXPECT_EQ(sys.serialCloses, 1);
    logic.onAutoFind(false);
    EXPECT_EQ(sys.serialAutoFind, 0);
    EXPECT_EQ(sys.serialCloses, 2);

    // The port list: gpsd, the devices, then COM1: to COM48:.
    logic.setDevices({"/dev/ttyUSB0", "/dev/ttyS0"});
    ASSERT_EQ(logic.ports().size(), 51u);
    EXPECT_EQ(logic.ports()[0], "gpsd");
    EXPECT_EQ(logic.ports()[2], "/dev/ttyS0");
    EXPECT_EQ(logic.ports()[3], "COM1:");
    EXPECT_EQ(logic.ports().back(), "COM48:");

    // Picking gpsd keeps the serial port for a later switch back.
    logic.onPort("gpsd");
    EXPECT_EQ(o().GpsSource, "gpsd");
    EXPECT_EQ(o().Port, "/dev/ttyUSB3");
    EXPECT_EQ(logic.portShown(), "gpsd");
    logic.onPort("COM2:");
    EXPECT_EQ(o().GpsSource, "serial");
    EXPECT_EQ(logic.portShown(), "COM2:");
}

TEST_F(OptionsLogic, TheGpsdAddressIsSetHereWhileGpsdIsTheSource) {
    open();
    o().GpsdServer = "127.0.0.1:2947";
    logic.onPort("COM2:");
    EXPECT_FALSE(logic.gpsdServerEditable());
    logic.onGpsdServer("10.1.2.3:4000");
    EXPECT_EQ(o().GpsdServer, "127.0.0.1:2947") << "not while the serial port is the source";

    logic.onPort("gpsd");
    EXPECT_TRUE(logic.gpsdServerEditable());
    struct Case {
        const char* typed;
        bool accepted;
        const char* stored;
    } cases[] = {
        {"10.1.2.3:4000", true, "10.1.2.3:4000"},
        {"  gpsd.example.org ", true, "gpsd.example.org:2947"},
        {"gpsd.example.org:0", false, "gpsd.example.org:2947"},
        {"gpsd.example.org:70000", false, "gpsd.example.org:2947"},
        {"two words", false, "gpsd.example.org:2947"},
        {"", true, "127.0.0.1:2947"},
    };
    for (const Case& c : cases) {
        fake.messages.clear();
        const int configs = sys.serialConfigs;
        logic.onGpsdServer(c.typed);
        EXPECT_EQ(o().GpsdServer, c.stored) << c.typed;
        EXPECT_EQ(fake.messages.size(), c.accepted ? 0u : 1u) << c.typed;
        // An accepted address reaches the reader at once.
        EXPECT_EQ(sys.serialConfigs, configs + (c.accepted ? 1 : 0)) << c.typed;
    }
}

// The browser globe's tile server and the history's bounds: what is taken is
// stored and handed to the running parts; what is refused says why and keeps
// the stored value.
TEST_F(OptionsLogic, GlobeTilesAndHistoryFieldsTakeOnlyWhatTheyCanUse) {
    open();
    o().GlobeTiles.clear();
    o().HistoryDays = 365;
    o().HistoryMaxMB = 1024;
    using Handler = void (COptionsLogic::*)(const std::string&);
    struct Case {
        Handler field;
        std::string typed;
        bool accepted;
        std::string stored; // GlobeTiles, HistoryDays or HistoryMaxMB afterwards
    } cases[] = {
        {&COptionsLogic::onGlobeTiles, " https://tiles.example.org/{z}/{x}/{y}.png ", true,
         "https://tiles.example.org/{z}/{x}/{y}.png"},
        {&COptionsLogic::onGlobeTiles, "ftp://tiles.example.org/{z}/{x}/{y}.png", false,
         "https://tiles.example.org/{z}/{x}/{y}.png"},
        {&COptionsLogic::onGlobeTiles, "https://t.example.org/{z}/{x}.png", false,
         "https://tiles.example.org/{z}/{x}/{y}.png"},
        {&COptionsLogic::onGlobeTiles, "https://t.example.org/{z}/{x}/{y}.png\"><script>", false,
         "https://tiles.example.org/{z}/{x}/{y}.png"},
        {&COptionsLogic::onGlobeTiles, "http://t/" + std::string(1100, 'a') + "/{z}/{x}/{y}", false,
         "https://tiles.example.org/{z}/{x}/{y}.png"},
        {&COptionsLogic::onGlobeTiles, "  ", true, ""},
        {&COptionsLogic::onHistoryDays, " 30 ", true, "30"},
        {&COptionsLogic::onHistoryDays, "0", false, "30"},
        {&COptionsLogic::onHistoryDays, "2.5", false, "30"},
        {&COptionsLogic::onHistoryDays, "36501", false, "30"},
        {&COptionsLogic::onHistoryDays, "36500", true, "36500"},
        {&COptionsLogic::onHistoryDays, "1e3", true, "1000"},
        {&COptionsLogic::onHistoryMaxMB, "1", true, "1"},
        {&COptionsLogic::onHistoryMaxMB, "-5", false, "1"},
        {&COptionsLogic::onHistoryMaxMB, "lots", false, "1"},
        {&COptionsLogic::onHistoryMaxMB, "1048577", false, "1"},
        {&COptionsLogic::onHistoryMaxMB, "1048576", true, "1048576"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        fake.messages.clear();
        const int handed = sys.settingsHandOvers;
        (logic.*c.field)(c.typed);
        const std::string stored = c.field == &COptionsLogic::onGlobeTiles ? o().GlobeTiles
                                   : c.field == &COptionsLogic::onHistoryDays
                                       ? std::to_string(o().HistoryDays)
                                       : std::to_string(o().HistoryMaxMB);
        EXPECT_EQ(stored, c.stored);
        EXPECT_EQ(fake.messages.size(), c.accepted ? 0u : 1u);
        EXPECT_GT(sys.settingsHandOvers, handed);
    }

    // The credit: control bytes replaced, cut to what the globe shows.
    logic.onGlobeTilesAttribution("  \u00a9 Map\tmakers\x01 ");
    EXPECT_EQ(o().GlobeTilesAttribution, "\u00a9 Map?makers?");
    logic.onGlobeTilesAttribution(std::string(300, 'c'));
    EXPECT_EQ(o().GlobeTilesAttribution, std::string(256, 'c'));

    logic.onHistory(false);
    EXPECT_EQ(o().History, 0);
    logic.onHistory(true);
    EXPECT_EQ(o().History, 1);
}

TEST_F(OptionsLogic, FilePickersStartInTheStartDirectoryUntilAFolderWasPicked) {
    open();
    const std::string elsewhere = dir + "/logs";
    std::filesystem::create_directories(elsewhere);
    const std::filesystem::path before = std::filesystem::current_path();
    ASSERT_EQ(::chdir("/"), 0); // a file dialog or the desktop moved the process
    EXPECT_EQ(logic.logPickerFolder(), g_startDir);
    EXPECT_EQ(logic.cursorPickerFolder(), g_startDir);
    std::filesystem::current_path(before);
    logic.onLogFilePicked(elsewhere + "/trip.nme");
    EXPECT_EQ(logic.logPickerFolder(), elsewhere);
    o().ModelDir = elsewhere;
    EXPECT_EQ(logic.cursorPickerFolder(), elsewhere);
}

TEST_F(OptionsLogic, SlidersAndTheSpeedPace) {
    open();
    struct Case {
        int position, stored, pace;
    } cases[] = {{1, 1, 1800},    {1800, 1800, 900}, {3599, 3599, 1},
                 {3600, 3600, 0}, {9999, 3600, 0},   {-5, 1, 1800}};
    for (const Case& c : cases) {
        logic.onSlider(Slider::DemoSpeed, c.position);
        EXPECT_EQ(o().DemoSpeed, c.stored) << c.position;
        EXPECT_EQ(sys.pace, c.pace) << c.position;
    }
    logic.onSlider(Slider::CursorSize, 1000);
    EXPECT_EQ(o().CursorSize, 300);
    logic.onSlider(Slider::FlyToSpeed, 0);
    EXPECT_EQ(o().FlyToSpeed, 1);
}

TEST_F(OptionsLogic, RecordStopRecordAndContinuous) {
    open();
    logic.onRecord();
    EXPECT_TRUE(logic.recordOn());
    EXPECT_TRUE(sys.rec.recording());
    EXPECT_EQ(logic.recordStatus(), "Recording: " + sys.rec.recordFileName());
    // The new log is what Play plays when none was chosen.
    EXPECT_EQ(o().LogFile, sys.rec.recordFileName());
    logic.onStopRecord();
    EXPECT_FALSE(logic.recordOn());
    EXPECT_FALSE(sys.rec.recording());
    EXPECT_EQ(logic.recordStatus(), "Recorded: " + sys.rec.recordFileName());

    logic.onRecord();
    logic.onContinuous(true);
    EXPECT_EQ(o().ContinuousLog, 1);
    EXPECT_TRUE(sys.rec.continuous());
    EXPECT_FALSE(sys.rec.recording());
    EXPECT_FALSE(logic.recordEnabled());
    EXPECT_EQ(logic.recordStatus(), "Continuous Logging");
    // Opening again shows the same.
    logic.open();
    EXPECT_EQ(logic.recordStatus(), "Continuous Logging");
    logic.onContinuous(false);
    EXPECT_TRUE(logic.recordEnabled());
    EXPECT_EQ(o().ContinuousLog, 0);
    EXPECT_FALSE(sys.rec.continuous());
}

TEST_F(OptionsLogic, CloseEndsWithOkAndDropsAHalfEnteredVehicle) {
    open();
    logic.onNewOrAdd("", "");
    logic.onClose();
    EXPECT_EQ(fake.ended, 1);
    EXPECT_FALSE(logic.entering());
    EXPECT_EQ(o().uName, "Me");
    EXPECT_EQ(o().Host, "localhost");

    // Flags go to their settings at once.
    logic.onFlag(OptionFlag::RunInTray, true);
    logic.onFlag(OptionFlag::SaveToGE, false);
    EXPECT_EQ(o().RunInTray, 1);
    EXPECT_EQ(o().SaveToGE, 0);
    logic.onVehicleFlag(VehicleFlag::ShowAlt, true);
    EXPECT_EQ(local->showAlt, 1);
    EXPECT_TRUE(logic.vehicleFlag(VehicleFlag::ShowAlt));
}

TEST_F(OptionsLogic, APhoneIsAddedWithAKeyShownOnceAndKeepsItsKind) {
    open();
    logic.onNewOrAdd("", ""); // New: the name field is typed next
    logic.onAddPhone("Ann's phone", 1);
    ASSERT_TRUE(fake.messages.empty()) << lastMessage();
    CClient* v = clients().find("Ann's phone", "Ann-s-phone");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->remoteType, remotePhone);
    EXPECT_EQ(v->phoneSpeedUnit, speedMetresPerSecond) << "OsmAnd sends m/s";
    const VehiclePage& p = logic.page();
    EXPECT_TRUE(p.phone);
    ASSERT_EQ(p.phoneUrl.rfind("http://", 0), 0u) << p.phoneUrl;
    EXPECT_NE(p.phoneUrl.find(":5055/"), std::string::npos) << p.phoneUrl;
    EXPECT_NE(p.phoneUrl.find("?id=Ann-s-phone&lat={0}"), std::string::npos) << p.phoneUrl;
    EXPECT_FALSE(p.phoneQr.empty());
    // The key in the URL is the one whose hash is stored, and only the hash is.
    const size_t keyAt = p.phoneUrl.find(":5055/") + 6;
    const std::string key = p.phoneUrl.substr(keyAt, p.phoneUrl.find('?') - keyAt);
    EXPECT_TRUE(phoneKeyMatches(v->phoneKey, key));
    EXPECT_EQ(v->phoneKey.find(key), std::string::npos);

    // A new key ends the old one; showing the page again shows no key.
    logic.onNewPhoneKey(0);
    EXPECT_FALSE(phoneKeyMatches(v->phoneKey, key));
    EXPECT_EQ(v->phoneSpeedUnit, speedKnots);
    EXPECT_EQ(logic.page().phoneUrl.find("?id="), std::string::npos) << "Traccar Client's URL";
    logic.onPhoneShare(true);
    EXPECT_EQ(v->phoneShare, 1);
    logic.onVehiclePicked(0);
    logic.onVehiclePicked(logic.selector().current());
    EXPECT_TRUE(logic.page().phoneUrl.empty());

    // The same identifier again, and a name with nothing usable, are refused.
    logic.onNewOrAdd("", "");
    logic.onAddPhone("Ann's phone", 0);
    EXPECT_NE(lastMessage().find("exists already"), std::string::npos) << lastMessage();
    logic.onAddPhone("!!!", 0);
    EXPECT_NE(lastMessage().find("name first"), std::string::npos) << lastMessage();
}
