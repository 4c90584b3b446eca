#include "app/OptionsDlg.h"
#include "earth/autoViewState.h"
#include "platform/registry.h"

#include "registry/regTestUtil.h"

#include <gtest/gtest.h>

using regtest::readFile;
using regtest::TempDir;
using regtest::writeFile;

namespace {

const std::string kHead = "Windows Registry Editor Version 5.00\n\n[Software\\Nivra]\n";

uint32_t storedDword(RegistryStore& reg, const std::string& name) {
    uint32_t v = 0xdeadbeef;
    auto key = reg.openKey("Software\\Nivra");
    if (key)
        key->queryDword(name, v);
    return v;
}

// The value names of Software\Nivra in file order.
std::vector<std::string> storedNames(RegistryStore& reg) {
    std::vector<std::string> names;
    RegTree tree = reg.snapshot();
    auto it = tree.find("Software\\Nivra");
    if (it != tree.end())
        for (const auto& [name, v] : it->second.values)
            names.push_back(name);
    return names;
}

} // namespace

TEST(Settings, FirstStartKeepsEveryDefault) {
    TempDir dir;
    RegistryStore reg(dir.file("registry.reg"));
    setAutoViewHeadingMode(5);
    setAutoViewHeadingOffset(3.0);
    setAutoViewHeadingHold(false);
    COptionsDlg o;
    o.load(reg);
    EXPECT_EQ(o.DemoMode, 1);
    EXPECT_EQ(o.Tracking, 47);
    EXPECT_EQ(o.AlwaysOnTop, 1);
    EXPECT_EQ(o.AutoFind, 1);
    EXPECT_EQ(o.AutoStartGE, 1);
    EXPECT_EQ(o.SaveToGE, 1);
    EXPECT_EQ(o.DemoSpeed, 1800);
    EXPECT_EQ(o.CursorSize, 100);
    EXPECT_EQ(o.FlyToSpeed, 200);
    EXPECT_EQ(o.pftpSavePeriod, 7);
    EXPECT_EQ(o.pftpMaxPts, 20000);
    EXPECT_EQ(o.moloFreq, 60);
    EXPECT_EQ(o.gpsgFreq, 60);
    EXPECT_EQ(o.AutoSavePeriod, 300);
    EXPECT_EQ(o.MaxReplyMB, 16);
    EXPECT_EQ(o.Port, "COM3:");
    EXPECT_EQ(o.Rate, "4800");
    EXPECT_EQ(o.RateNumber, 4800);
    EXPECT_EQ(o.Name, "Me@localhost");
    EXPECT_EQ(o.Color, "ff4080FF");
    EXPECT_EQ(o.pftpUserName, "anonymous");
    EXPECT_EQ(o.pftpFileName, "Me.kml");
    EXPECT_FALSE(o.pftpServerName.empty());
    EXPECT_FALSE(o.gpsgServerName.empty());
    EXPECT_EQ(o.mapFactor, 0);
    EXPECT_EQ(o.flightTracker, 0);
    EXPECT_DOUBLE_EQ(o.RotateDelta, 0.0);
    // The automatic view starts from the settings even when nothing was stored.
    EXPECT_EQ(autoViewHeadingMode(), 1);
    EXPECT_DOUBLE_EQ(autoViewHeadingOffset(), 0.0);
    EXPECT_TRUE(autoViewHeadingHold());
    EXPECT_TRUE(o.loaded());
    EXPECT_FALSE(std::filesystem::exists(dir.file("registry.reg"))); // loading writes nothing
}

TEST(Settings, SecondStartReadsWhatTheFirstSaved) {
    TempDir dir;
    std::string path = dir.file("nivra/registry.reg");
    {
        RegistryStore reg(path);
        COptionsDlg o;
        o.load(reg);
        o.Port = "/dev/ttyUSB0";
        o.Rate = "9600";
        o.Tracking = 0x21;
        o.DemoMode = 0;
        o.Left = 120;
        o.Top = 0; // a stored 0 is a value, not a missing one
        o.pftpPassword = "p\"a\\ss word";
        o.moloFreq = 15;
        o.gpsgEnable = 1;
        o.mapFactor = 1;
        o.flightTracker = 1;
        o.ModelDir = "/home/u/models";
        o.GpsSource = "gpsd";
        o.GpsdServer = "gpsbox:2948";
        o.MaxReplyMB = 4;
        o.debugLogging = 1; // not persisted
        setAutoViewHeadingOffset(12.5);
        ASSERT_TRUE(o.save(reg));
    }
    RegistryStore reg(path);
    COptionsDlg o;
    o.load(reg);
    EXPECT_EQ(o.Port, "/dev/ttyUSB0");
    EXPECT_EQ(o.Rate, "9600");
    EXPECT_EQ(o.RateNumber, 9600);
    EXPECT_EQ(o.Tracking, 0x21);
    EXPECT_EQ(o.DemoMode, 0);
    EXPECT_EQ(o.Left, 120);
    EXPECT_EQ(o.pftpPassword, "p\"a\\ss word");
    EXPECT_EQ(o.moloFreq, 15);
    EXPECT_EQ(o.gpsgEnable, 1);
    EXPECT_EQ(o.mapFactor, 1);
    EXPECT_EQ(o.flightTracker, 1);
    EXPECT_EQ(o.ModelDir, "/home/u/models");
    EXPECT_EQ(o.GpsSource, "gpsd");
    EXPECT_EQ(o.GpsdServer, "gpsbox:2948");
    EXPECT_EQ(o.MaxReplyMB, 4);
    EXPECT_EQ(o.debugLogging, 0);
    EXPECT_DOUBLE_EQ(o.RotateDelta, 12.5);
    EXPECT_DOUBLE_EQ(autoViewHeadingOffset(), 12.5);

    // Written in the documented order, and nothing the program only reads.
    std::vector<std::string> names = storedNames(reg);
    ASSERT_EQ(names.size(), 72u);
    EXPECT_EQ(names.front(), "Name");
    EXPECT_EQ(names[5], "AutoHdg");
    EXPECT_EQ(names[24], "RotateDelta");
    EXPECT_EQ(names[60], "ModelDir");
    EXPECT_EQ(names[61], "AutoSavePeriod");
    EXPECT_EQ(names[63], "GpsdServer");
    EXPECT_EQ(names[64], "MaxReplyMB");
    EXPECT_EQ(names[65], "History");
    EXPECT_EQ(names[68], "PhonePort");
    EXPECT_EQ(names[69], "PhoneEnrolment");
    EXPECT_EQ(names[70], "GlobeTiles");
    EXPECT_EQ(names.back(), "GlobeTilesAttribution");
    for (const char* readOnly : {"SaveDirectory", "BindAddress", "EarthBackend", "LinkBindAddress",
                                 "PeerBindAddress", "PhoneBindAddress", "LocalGpsHosts",
                                 "MaxDeviceVehicles", "MologogoServer", "MapFactorServer"})
        EXPECT_EQ(std::find(names.begin(), names.end(), readOnly), names.end()) << readOnly;
}

TEST(Settings, LoadRulesKeepDefaultsForMissingZeroEmptyOrNegative) {
    TempDir dir;
    std::string path = dir.file("registry.reg");
    writeFile(path, kHead + "\"moloFreq\"=dword:00000000\n"    // >0 rule: 0 keeps 60
                            "\"gpsgFreq\"=dword:0000001e\n"    // 30 taken
                            "\"pftpUserName\"=\"\"\n"          // empty keeps "anonymous"
                            "\"Tracking\"=dword:ffffffff\n"    // -1 keeps 47
                            "\"DemoSpeed\"=dword:fffffffb\n"   // -5 keeps 1800
                            "\"AutoConnect\"=dword:00000001\n" // taken
                            "\"AlwaysOnTop\"=dword:00000000\n" // >=0 rule: 0 taken
                            "\"MaxReplyMB\"=dword:00000000\n"  // >0 rule: 0 keeps 16
                            "\"Port\"=dword:00000004\n"        // wrong type keeps "COM3:"
                            "\"CursorSize\"=\"250\"\n"         // wrong type keeps 100
                            "\"Rate\"=\"fast\"\n"              // no number: 0
                            "\"SaveDirectory\"=\"/home/u/kml\"\n"
                            "\"BindAddress\"=\"127.0.0.2\"\n"
                            "\"LinkBindAddress\"=\"0.0.0.0\"\n"
                            "\"PeerBindAddress\"=\"192.0.2.9\"\n"
                            "\"LocalGpsHosts\"=\"192.0.2.7, 192.0.2.8\"\n"
                            "\"MaxDeviceVehicles\"=dword:00000064\n"
                            "\"EarthBackend\"=\"none\"\n"
                            "\"MologogoServer\"=\"molo.example:8080\"\n");
    RegistryStore reg(path);
    COptionsDlg o;
    o.load(reg);
    EXPECT_EQ(o.MologogoServer, "molo.example:8080");
    EXPECT_EQ(o.MapFactorServer, "mapfactor.com"); // missing: the default
    EXPECT_EQ(o.moloFreq, 60);
    EXPECT_EQ(o.gpsgFreq, 30);
    EXPECT_EQ(o.pftpUserName, "anonymous");
    EXPECT_EQ(o.Tracking, 47);
    EXPECT_EQ(o.DemoSpeed, 1800);
    EXPECT_EQ(o.AutoConnect, 1);
    EXPECT_EQ(o.AlwaysOnTop, 0);
    EXPECT_EQ(o.MaxReplyMB, 16) << "a document is never limited to nothing";
    EXPECT_EQ(o.Port, "COM3:");
    EXPECT_EQ(o.CursorSize, 100);
    EXPECT_EQ(o.Rate, "fast");
    EXPECT_EQ(o.RateNumber, 0);
    EXPECT_EQ(o.SaveDirectory, "/home/u/kml");
    EXPECT_EQ(o.BindAddress, "127.0.0.2");
    EXPECT_EQ(o.EarthBackend, "none");
    EXPECT_EQ(o.LinkBindAddress, "0.0.0.0");
    EXPECT_EQ(o.LocalGpsHosts, "192.0.2.7, 192.0.2.8");
    EXPECT_EQ(o.MaxDeviceVehicles, 100);
    EXPECT_EQ(COptionsDlg().LinkBindAddress, "127.0.0.1") << "loopback unless opened";
    EXPECT_EQ(o.PeerBindAddress, "192.0.2.9");
    EXPECT_EQ(COptionsDlg().PeerBindAddress, "127.0.0.1") << "not shared unless the user says so";
    EXPECT_EQ(COptionsDlg().MaxDeviceVehicles, 500);

    // The save keeps what only the user writes.
    ASSERT_TRUE(o.save(reg));
    RegistryStore again(path);
    COptionsDlg o2;
    o2.load(again);
    EXPECT_EQ(o2.SaveDirectory, "/home/u/kml");
    EXPECT_EQ(o2.BindAddress, "127.0.0.2");
    EXPECT_EQ(o2.LinkBindAddress, "0.0.0.0");
    EXPECT_EQ(o2.PeerBindAddress, "192.0.2.9");
    EXPECT_EQ(o2.MaxDeviceVehicles, 100);
}

TEST(Settings, LongTextIsCutToTheReadBuffer) {
    TempDir dir;
    std::string path = dir.file("registry.reg");
    writeFile(path, kHead + "\"LogFile\"=\"" + std::string(1500, 'L') + "\"\n" +
                        "\"SaveDirectory\"=\"" + std::string(600, 'S') + "\"\n");
    RegistryStore reg(path);
    COptionsDlg o;
    o.load(reg);
    EXPECT_EQ(o.LogFile, std::string(1023, 'L'));
    EXPECT_EQ(o.SaveDirectory, std::string(511, 'S'));
}

TEST(Settings, RotateDeltaIsStoredTimesTenThousand) {
    TempDir dir;
    std::string path = dir.file("registry.reg");
    writeFile(path, kHead + "\"AutoHdg\"=dword:00000003\n\"RotateDelta\"=dword:000009c4\n");
    RegistryStore reg(path);
    setAutoViewHeadingHold(false);
    COptionsDlg o;
    o.load(reg);
    EXPECT_DOUBLE_EQ(o.RotateDelta, 0.25);
    EXPECT_EQ(autoViewHeadingMode(), 3);
    EXPECT_DOUBLE_EQ(autoViewHeadingOffset(), 0.25);
    EXPECT_TRUE(autoViewHeadingHold());

    // The user turned the view since the load: the save stores the view's offset.
    setAutoViewHeadingOffset(0.99999);
    ASSERT_TRUE(o.save(reg));
    EXPECT_DOUBLE_EQ(o.RotateDelta, 0.99999);
    EXPECT_EQ(storedDword(reg, "RotateDelta"), 9999u);
    RegistryStore again(path);
    EXPECT_EQ(storedDword(again, "RotateDelta"), 9999u);
}

TEST(Settings, RotateDeltaRoundTripsWithItsSign) {
    // A view turned left is a negative offset, stored as the two's complement
    // dword (fffe17b8 for -12.5); it must come back negative, not as 0.
    struct Case {
        double offset;
        uint32_t stored;
    };
    for (Case c : {Case{-12.5, 0xfffe17b8u}, Case{-0.5, 0xffffec78u}, Case{-180, 0xffe488c0u},
                   Case{0.25, 2500u}, Case{179.5, 1795000u}}) {
        TempDir dir;
        std::string path = dir.file("registry.reg");
        {
            RegistryStore reg(path);
            COptionsDlg o;
            o.load(reg);
            setAutoViewHeadingOffset(c.offset);
            ASSERT_TRUE(o.save(reg));
            EXPECT_EQ(storedDword(reg, "RotateDelta"), c.stored) << c.offset;
        }
        setAutoViewHeadingOffset(0);
        RegistryStore again(path);
        COptionsDlg back;
        back.load(again);
        EXPECT_NEAR(back.RotateDelta, c.offset, 1e-9) << c.offset;
        EXPECT_NEAR(autoViewHeadingOffset(), c.offset, 1e-9) << c.offset;
    }
}

TEST(Settings, SaveThatCannotReachTheDiskChangesNothing) {
    TempDir dir;
    std::string path = dir.file("registry.reg");
    RegistryStore reg(path);
    COptionsDlg o;
    o.load(reg);
    ASSERT_TRUE(o.save(reg));
    const std::string before = readFile(path);

    o.Tracking = 1;
    o.Top = 300;
    o.ModelDir = std::string(2000, 'm'); // the new file outgrows what the disk takes
    TraceCapture trace;
    {
        regtest::FileSizeLimit limit(before.size() + 64);
        EXPECT_FALSE(o.save(reg));
    }
    std::vector<std::string> lines = trace.matching("Can't create key - error ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("COptionsDlg::save"), std::string::npos);
    EXPECT_NE(lines[0].find("Can't create key - error 27"), std::string::npos); // EFBIG
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(storedDword(reg, "Tracking"), 47u);
    EXPECT_EQ(storedDword(reg, "Top"), 0u);

    // The next save tries again from the start.
    o.ModelDir = "m";
    EXPECT_TRUE(o.save(reg));
    EXPECT_EQ(storedDword(reg, "Tracking"), 1u);
    EXPECT_EQ(storedDword(reg, "Top"), 300u);
}

TEST(Settings, SaveToAPlaceThatCannotHoldAFileIsLogged) {
    TempDir dir;
    writeFile(dir.file("plainfile"), "x");
    RegistryStore reg(dir.file("plainfile/registry.reg"));
    COptionsDlg o;
    o.load(reg);
    TraceCapture trace;
    EXPECT_FALSE(o.save(reg));
    EXPECT_EQ(trace.matching("Can't create key - error 20").size(), 1u); // ENOTDIR
    EXPECT_EQ(readFile(dir.file("plainfile")), "x");

    RegistryStore device("/dev/null");
    EXPECT_FALSE(o.save(device));
    std::vector<std::string> refused = trace.matching("No HKLM/Software key???");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0].find("COptionsDlg::save"), std::string::npos) << refused[0];
}

TEST(Settings, PeerAndLinkAddressesFollowBindFirst) {
    struct Case {
        const char* bind;
        const char* peer;
        const char* peerAddress;
        bool shared;
    };
    const Case cases[] = {
        {"", "127.0.0.1", "127.0.0.1", false},        // the default: not shared
        {"", "0.0.0.0", "0.0.0.0", true},             // shared with every network
        {"", "192.0.2.9", "192.0.2.9", true},         // one network only, still shared
        {"127.0.0.2", "0.0.0.0", "127.0.0.2", false}, // --bind puts every port there
        {"192.0.2.4", "127.0.0.1", "192.0.2.4", true},
    };
    for (const Case& c : cases) {
        COptionsDlg o;
        o.BindAddress = c.bind;
        o.PeerBindAddress = c.peer;
        EXPECT_EQ(peerListenAddress(o), c.peerAddress) << c.bind << " " << c.peer;
        EXPECT_EQ(positionShared(o), c.shared) << c.bind << " " << c.peer;
        EXPECT_EQ(linkListenAddress(o), *c.bind ? c.bind : "127.0.0.1");
    }
}
