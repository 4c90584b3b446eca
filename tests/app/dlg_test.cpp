// The main window's rules, driven through its handlers with a recording view
// and fake subsystems: timer, start-up, start/pause caption, check boxes,
// status line, selection, periodic save and shutdown.
#include "support.h"

#include "app/sourceSwitch.h"
#include "track/track.h"

#include <algorithm>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace apptest;

namespace {

GpsFix fixAt(double lat, double lon, int64_t secondsAgo) {
    GpsFix f;
    f.lat = lat;
    f.lon = lon;
    f.spd = 10;
    f.time = nowFixTime() - secondsAgo;
    f.status = 1;
    return f;
}

bool allChecks(const CtestDlg& dlg, bool track, bool view, bool rotate, bool zoom, bool tilt) {
    return dlg.check(DlgCheck::AutoTrack) == track && dlg.check(DlgCheck::AutoView) == view &&
           dlg.check(DlgCheck::Rotate) == rotate && dlg.check(DlgCheck::Zoom) == zoom &&
           dlg.check(DlgCheck::Tilt) == tilt;
}

void allOffByShortcut(CtestDlg& dlg) {
    for (DlgCheck b : {DlgCheck::AutoTrack, DlgCheck::AutoView, DlgCheck::Rotate, DlgCheck::Zoom,
                       DlgCheck::Tilt})
        dlg.onCheckCommand(b, CheckCommand::Off);
}

} // namespace

class MainWindow : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        if (CClient* local = clients().realLocalVehicle()) {
            local->track.clear();
            local->curPos = GpsFix();
        }
    }
    // A demo vehicle standing in for the local one, as the demo source sets it up.
    static CClient* standInDemo(CClients& list) {
        CClient* demo = list.add("Me(demo)", "demo5");
        demo->isDemo = 1;
        demo->online = 1;
        list.realLocalVehicle()->removed = 1;
        list.setLocalVehicle(demo);
        return demo;
    }
    CClient* standInDemo() { return standInDemo(clients()); }
    // Another demo vehicle, online.
    static CClient* addDemoB(CClients& list) {
        CClient* b = list.add("Demo B", "demo2");
        b->online = 1;
        return b;
    }
    CClient* addDemoB() { return addDemoB(clients()); }
    // The user picks Demo B in the selector the view shows.
    static bool pickDemoB(CtestDlg& dlg, const FakeView& shown) {
        const auto at = std::find(shown.entries.begin(), shown.entries.end(), "Demo B@demo2*");
        if (at == shown.entries.end())
            return false;
        dlg.onSelectorPicked(static_cast<int>(at - shown.entries.begin()));
        return true;
    }
};

TEST_F(MainWindow, FirstTickAfter200msThenEveryTickAfter2000ms) {
    CtestDlg dlg(view, sys);
    dlg.startUp();
    EXPECT_EQ(view.timerPeriods, std::vector<unsigned>{200});
    dlg.onTimer();
    dlg.onTimer();
    EXPECT_EQ(view.timerPeriods, (std::vector<unsigned>{200, 2000, 2000}));
}

TEST_F(MainWindow, FirstStartRunsThePausedDemoWithAllBoxesOnAtTheTopLeft) {
    sys.serial = "Receiving";
    sys.fix = "Locked";
    CtestDlg dlg(view, sys);
    dlg.startUp();
    EXPECT_TRUE(allChecks(dlg, true, true, true, true, true));
    EXPECT_TRUE(view.checks[0] && view.checks[1] && view.checks[2] && view.checks[3] &&
                view.checks[4]);
    EXPECT_TRUE(view.topMost);
    EXPECT_EQ(view.left, 0);
    EXPECT_EQ(view.top, 0);
    EXPECT_TRUE(view.shown);
    EXPECT_EQ(view.title, "Nivra");
    EXPECT_EQ(sys.startedLinkPort, 51233);
    EXPECT_EQ(sys.pace, 3601 - 1800);
    EXPECT_EQ(sys.sourceStarts, std::vector<std::string>{""});
    EXPECT_TRUE(sys.isPaused);
    EXPECT_EQ(sys.serialStarts, 0);
    EXPECT_EQ(sys.publisherSetUps, 1);
    EXPECT_EQ(view.caption, "Start Demo");
    EXPECT_EQ(takePendingSelection(), std::optional<std::string>("Me(demo)*"));

    // Demo mode shows as such whatever the reader says.
    dlg.onTimer();
    EXPECT_EQ(dlg.statusText(), "Demo Mode");
    EXPECT_EQ(view.statusLine, "Demo Mode");
    EXPECT_EQ(options().statusText, "Demo Mode");
}

TEST_F(MainWindow, StartPauseCaptionAcrossTheDemoStates) {
    CtestDlg dlg(view, sys);
    dlg.startUp();
    dlg.onTimer();
    EXPECT_EQ(view.caption, "Start Demo");
    // Ctrl+P continues only a paused engine, Alt+P pauses only a running one.
    dlg.onPause();
    EXPECT_TRUE(sys.isPaused);

    dlg.onContinue();
    EXPECT_FALSE(sys.isPaused);
    EXPECT_TRUE(dlg.startedOnce());
    EXPECT_EQ(view.caption, "Pause");
    EXPECT_GE(sys.loadServers, 1);
    dlg.onTimer();
    EXPECT_EQ(view.caption, "Pause");

    dlg.onContinue(); // running: nothing
    EXPECT_FALSE(sys.isPaused);
    dlg.onStartPause();
    EXPECT_TRUE(sys.isPaused);
    dlg.onTimer();
    EXPECT_EQ(view.caption, "Continue"); // never "Start Demo" again
    dlg.onStartPause();
    dlg.onTimer();
    EXPECT_EQ(view.caption, "Pause");
}

TEST_F(MainWindow, OutsideDemoModeAPausedEngineOffersToContinue) {
    options().DemoMode = 0;
    CtestDlg dlg(view, sys);
    dlg.startUp();
    EXPECT_TRUE(sys.sourceStarts.empty());
    dlg.onTimer();
    EXPECT_EQ(view.caption, "Pause");
    dlg.onPause();
    dlg.onTimer();
    EXPECT_EQ(view.caption, "Continue");
    // Continuing outside demo mode switches the source back to the receiver.
    const int stops = sys.sourceStops;
    dlg.onStartPause();
    EXPECT_EQ(sys.sourceStops, stops + 1);
}

TEST_F(MainWindow, ClickingRotateTurnsAutoTrackAndAutoViewOnButTheShortcutDoesNot) {
    CtestDlg dlg(view, sys);
    dlg.startUp();
    allOffByShortcut(dlg);
    EXPECT_EQ(options().Tracking, 0);

    dlg.onCheckClicked(DlgCheck::Rotate, true);
    EXPECT_TRUE(allChecks(dlg, true, true, true, false, false));
    EXPECT_EQ(options().Tracking, 0x23);
    // Every change reaches the registry at once.
    EXPECT_NE(readFile(file("registry.reg")).find("\"Tracking\"=dword:00000023"),
              std::string::npos);

    allOffByShortcut(dlg);
    dlg.onCheckCommand(DlgCheck::Rotate, CheckCommand::On); // Ctrl+U
    EXPECT_TRUE(allChecks(dlg, false, false, true, false, false));
    EXPECT_EQ(options().Tracking, 2);

    // Clicking auto view on turns auto track on; with none of rotate, zoom and
    // tilt on, auto view itself cannot stay on.
    allOffByShortcut(dlg);
    dlg.onCheckClicked(DlgCheck::AutoView, true);
    EXPECT_TRUE(allChecks(dlg, true, false, false, false, false));
    EXPECT_EQ(options().Tracking, 1);
    EXPECT_FALSE(view.checks[static_cast<int>(DlgCheck::AutoView)]);
}

TEST_F(MainWindow, TurningTheLastOfRotateZoomTiltOffTurnsAutoViewOff) {
    CtestDlg dlg(view, sys);
    dlg.startUp();
    dlg.onCheckClicked(DlgCheck::Rotate, false);
    EXPECT_EQ(options().Tracking, 0x2d);
    dlg.onCheckCommand(DlgCheck::Zoom, CheckCommand::Toggle);
    EXPECT_EQ(options().Tracking, 0x29);
    dlg.onCheckCommand(DlgCheck::Tilt, CheckCommand::Off);
    EXPECT_TRUE(allChecks(dlg, true, false, false, false, false));
    EXPECT_EQ(options().Tracking, 1);
    EXPECT_NE(readFile(file("registry.reg")).find("\"Tracking\"=dword:00000001"),
              std::string::npos);
    // Turning tilt back on by shortcut does not bring auto view back.
    dlg.onCheckCommand(DlgCheck::Tilt, CheckCommand::Toggle);
    EXPECT_EQ(options().Tracking, 9);
}

TEST_F(MainWindow, TrackingBitsGoToTheSelectedVehicleOnly) {
    options().DemoMode = 0;
    CtestDlg dlg(view, sys);
    dlg.startUp();
    // Loading the (empty) stored list hides every vehicle it does not hold,
    // so the peer joins after start-up.
    CClient* bob = clients().add("bob", "peer.example.org");
    bob->online = 1;
    CClient* local = clients().realLocalVehicle();
    EXPECT_EQ(local->tracking, 47);
    EXPECT_EQ(sys.tracked, local);
    EXPECT_EQ(bob->tracking, 0);

    dlg.onCheckClicked(DlgCheck::Zoom, false);
    EXPECT_EQ(local->tracking, 0x2b);

    // The user picks bob: he gets the bits and the camera.
    dlg.onTimer();
    ASSERT_EQ(view.entries.size(), 2u);
    EXPECT_EQ(view.entries[1], "bob@peer.example.org*");
    dlg.onSelectorPicked(1);
    EXPECT_EQ(dlg.selectedKey(), "bob@peer.example.org");
    EXPECT_EQ(sys.tracked, bob);
    EXPECT_EQ(bob->tracking, 0x2b);
    EXPECT_EQ(local->tracking, 0);

    // Auto track off (Alt+T): nobody keeps tracking bits.
    dlg.onCheckCommand(DlgCheck::AutoTrack, CheckCommand::Off);
    EXPECT_EQ(bob->tracking, 0);
    EXPECT_EQ(local->tracking, 0);

    // Ctrl+M goes back to the local vehicle.
    dlg.onCheckCommand(DlgCheck::AutoTrack, CheckCommand::On);
    dlg.onSelectLocal();
    EXPECT_EQ(dlg.selectedKey(), "Me@localhost");
    EXPECT_EQ(sys.tracked, local);
}

TEST_F(MainWindow, StatusLineFollowsTheReaderAndTheFix) {
    options().DemoMode = 0;
    CtestDlg dlg(view, sys);
    dlg.startUp();
    CClient* local = clients().realLocalVehicle();

    sys.serial = "Receiving";
    sys.fix = "Locked";
    dlg.onTimer();
    EXPECT_EQ(view.statusLine, "Signal Acquired");

    sys.fix = "";
    local->track.m_newPt = 0;
    dlg.onTimer();
    EXPECT_EQ(view.statusLine, "Acquiring Signal...");
    EXPECT_EQ(local->track.m_newPt, 1); // Google Earth gets the new status text

    sys.serial = "Opening COM3:";
    sys.fix = "Locked";
    dlg.onTimer();
    EXPECT_EQ(view.statusLine, "Opening COM3:");
    EXPECT_EQ(options().statusText, "Opening COM3:");
    EXPECT_EQ(sys.fix, ""); // a reader that is not receiving has no fix

    // A log playing back says so, not what the idle serial reader says.
    struct Case {
        const char* logFile;
        const char* status;
    } playing[] = {
        {"/home/ann/logs/trip.nme", "Playing back trip.nme"},
        {"trip 2.nme", "Playing back trip 2.nme"},
    };
    sys.serial = "Disconnected";
    sys.isPlayback = true;
    for (const Case& c : playing) {
        options().LogFile = c.logFile;
        dlg.onTimer();
        EXPECT_EQ(view.statusLine, c.status);
    }
    sys.isPlayback = false;
    dlg.onTimer();
    EXPECT_EQ(view.statusLine, "Disconnected");
}

namespace {
// The inode of a file: a save replaces the file, so a new inode means it was written.
ino_t inodeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}
} // namespace

TEST_F(MainWindow, PeriodicSaveFollowsItsSettingAndWritesOnlyWhatChanged) {
    struct Case {
        int32_t period;
    };
    for (Case c : {Case{300}, Case{30000}, Case{5}}) {
        options().DemoMode = 0;
        std::filesystem::remove(file("Nivra.trk"));
        std::filesystem::remove(file("Me@localhost.trk"));
        CtestDlg dlg(view, sys);
        dlg.startUp();
        options().AutoSavePeriod = c.period; // after the load of the last round's settings
        CTrack& track = clients().realLocalVehicle()->track;
        track.clear();
        track.add(fixAt(48.1, 11.5, 60), 2);
        dlg.onTimer();
        sys.seconds += c.period;
        dlg.onTimer();
        dlg.waitForBackgroundSave();
        EXPECT_FALSE(std::filesystem::exists(file("Nivra.trk"))) << c.period;
        sys.seconds += 1;
        dlg.onTimer();
        dlg.waitForBackgroundSave();
        ASSERT_TRUE(std::filesystem::exists(file("Nivra.trk"))) << c.period;
        EXPECT_TRUE(std::filesystem::exists(file("Me@localhost.trk"))) << c.period;
        EXPECT_NE(readFile(file("registry.reg")).find("servers0"), std::string::npos);

        // Nothing changed: the next periodic save leaves the track files alone.
        const ino_t local = inodeOf(file("Nivra.trk"));
        const ino_t vehicle = inodeOf(file("Me@localhost.trk"));
        sys.seconds += c.period + 1;
        dlg.onTimer();
        dlg.waitForBackgroundSave();
        EXPECT_EQ(inodeOf(file("Nivra.trk")), local) << c.period;
        EXPECT_EQ(inodeOf(file("Me@localhost.trk")), vehicle) << c.period;

        // A new point: both files hold it after the next one.
        track.add(fixAt(48.2, 11.5, 30), 2);
        sys.seconds += c.period + 1;
        dlg.onTimer();
        dlg.waitForBackgroundSave();
        EXPECT_NE(inodeOf(file("Nivra.trk")), local) << c.period;
        CTrack saved;
        ASSERT_TRUE(saved.load(file("Me@localhost.trk")));
        EXPECT_EQ(saved.pointCount(), 2) << c.period;
        EXPECT_TRUE(dlg.shutdown());
        g_bShutdown = 0;
    }
    options().AutoSavePeriod = 300;
}

TEST_F(MainWindow, PeriodicSaveRunsOffTheWindowThread) {
    options().DemoMode = 0;
    options().AutoSavePeriod = 300;
    CtestDlg dlg(view, sys);
    dlg.startUp();
    clients().realLocalVehicle()->track.add(fixAt(48.1, 11.5, 60), 2);
    dlg.onTimer();
    {
        // While this thread holds the track lock, a save on another thread
        // cannot copy the track; one on this thread would (the lock is
        // recursive) and would have written the file before onTimer returns.
        TrackLockGuard held;
        ASSERT_TRUE(held.ok());
        sys.seconds += 301;
        dlg.onTimer();
        EXPECT_FALSE(std::filesystem::exists(file("Nivra.trk")));
    }
    dlg.waitForBackgroundSave();
    EXPECT_TRUE(std::filesystem::exists(file("Nivra.trk")));
    EXPECT_TRUE(dlg.shutdown());
}

TEST_F(MainWindow, NoPeriodicSaveWhenSwitchedOff) {
    options().DemoMode = 0;
    options().AutoSavePeriod = 0;
    CtestDlg dlg(view, sys);
    dlg.startUp();
    clients().realLocalVehicle()->track.add(fixAt(48.1, 11.5, 60), 2);
    dlg.onTimer();
    for (int i = 0; i < 5; ++i) {
        sys.seconds += 100000;
        dlg.onTimer();
    }
    dlg.waitForBackgroundSave();
    EXPECT_FALSE(std::filesystem::exists(file("Nivra.trk")));
    options().AutoSavePeriod = 300;
}

TEST_F(MainWindow, DamagedTrackFilesAreKeptAsideUnderDistinctNamesAndTheUserIsTold) {
    // Two starts, each with a damaged Nivra.trk: the second must not replace
    // the first one's copy, and the exit save must not write over either.
    std::string damaged[2];
    for (int run = 0; run < 2; ++run) {
        {
            CTrack stored;
            for (int i = 0; i < 100; ++i)
                stored.add(fixAt(48.0 + i * 0.001, 11.5, 1000 - i), 2);
            ASSERT_TRUE(stored.save(file("Nivra.trk")));
        }
        std::string bytes = readFile(file("Nivra.trk"));
        bytes[28 + 56 * (10 + run)] = '<'; // one bad coords text
        std::ofstream(file("Nivra.trk"), std::ios::binary | std::ios::trunc) << bytes;
        damaged[run] = bytes;

        CtestDlg dlg(view, sys);
        dlg.startUp();
        CTrack& track = clients().realLocalVehicle()->track;
        EXPECT_EQ(track.pointCount(), 99) << run; // the one bad point is left out
        dlg.onTimer();
        EXPECT_NE(view.statusLine.find("Nivra.trk is damaged"), std::string::npos)
            << view.statusLine;
        EXPECT_NE(view.statusLine.find(run == 0 ? "Nivra.trk.bad" : "Nivra.trk.2.bad"),
                  std::string::npos)
            << view.statusLine;
        EXPECT_TRUE(dlg.shutdown());
        g_bShutdown = 0;
        CTrack saved;
        ASSERT_TRUE(saved.load(file("Nivra.trk")));
        EXPECT_EQ(saved.pointCount(), 99) << run;
    }
    EXPECT_EQ(readFile(file("Nivra.trk.bad")), damaged[0]);
    EXPECT_EQ(readFile(file("Nivra.trk.2.bad")), damaged[1]);
}

TEST_F(MainWindow, AFailedSaveIsReportedNotPassedOffAsDone) {
    // A folder where Nivra.trk belongs: every save of it fails.
    std::filesystem::create_directory(file("Nivra.trk"));
    options().DemoMode = 0;
    options().AutoSavePeriod = 10;
    CtestDlg dlg(view, sys);
    dlg.startUp();
    clients().realLocalVehicle()->track.add(fixAt(48.1, 11.5, 60), 2);
    dlg.onTimer();
    sys.seconds += 11;
    dlg.onTimer();
    dlg.waitForBackgroundSave();
    dlg.onTimer(); // the outcome is picked up on the next tick
    EXPECT_NE(view.statusLine.find("Saving failed"), std::string::npos) << view.statusLine;
    EXPECT_NE(view.statusLine.find("Nivra.trk"), std::string::npos) << view.statusLine;
    EXPECT_FALSE(dlg.shutdown());
    EXPECT_NE(view.statusLine.find("Saving failed"), std::string::npos) << view.statusLine;
    // The vehicle's own file could still be written.
    EXPECT_TRUE(std::filesystem::exists(file("Me@localhost.trk")));
    options().AutoSavePeriod = 300;
}

TEST_F(MainWindow, StaleTemporaryFilesOfDeadProcessesAreRemovedAtStartUp) {
    // A pid that cannot be running (above pid_max), our own pid, and names
    // that are not ours to touch.
    const std::string own = std::to_string(::getpid());
    const std::vector<std::string> stale = {"Nivra.trk.tmp99999999.0", "x@y.trk.tmp99999998.12",
                                            "registry.reg.tmp99999997.3"};
    const std::vector<std::string> kept = {"Nivra.trk.tmp" + own + ".0", "notes.txt.tmp99999999.0",
                                           "Nivra.trk.tmp99999999.x", "Nivra.trk.bad"};
    for (const auto& names : {stale, kept})
        for (const std::string& name : names)
            std::ofstream(file(name)) << "x";
    CtestDlg dlg(view, sys);
    dlg.startUp();
    for (const std::string& name : stale)
        EXPECT_FALSE(std::filesystem::exists(file(name))) << name;
    for (const std::string& name : kept)
        EXPECT_TRUE(std::filesystem::exists(file(name))) << name;
    dlg.shutdown();
}

TEST_F(MainWindow, PendingSelectionMakesTheDemoStandInTheCameraTarget) {
    CtestDlg dlg(view, sys);
    dlg.startUp();
    CClient* demo = standInDemo();
    dlg.onTimer();
    EXPECT_EQ(dlg.selectedKey(), "Me(demo)@demo5");
    EXPECT_EQ(sys.tracked, demo);
    EXPECT_EQ(demo->tracking, 47);
    EXPECT_FALSE(takePendingSelection().has_value());
    ASSERT_FALSE(view.entries.empty());
    EXPECT_EQ(view.entries[0], "Me(demo)");
    EXPECT_EQ(view.current, 0);
}

TEST_F(MainWindow, StartingTheDemoTakesItsSelectionBeforeInstallingTheLinkOnce) {
    CtestDlg dlg(view, sys);
    dlg.startUp();
    EXPECT_EQ(sys.tracked, clients().realLocalVehicle());
    CClient* demo = standInDemo();
    dlg.onTimer();
    ASSERT_EQ(sys.tracked, demo);
    sys.tracked = clients().realLocalVehicle(); // as if the camera were elsewhere

    dlg.onStartPause(); // Start Demo
    EXPECT_FALSE(sys.isPaused);
    EXPECT_EQ(sys.tracked, demo) << "taken at once, not on the next tick";
    EXPECT_FALSE(takePendingSelection().has_value());
    EXPECT_EQ(sys.trackedAtLoadServer, std::vector<CClient*>{demo})
        << "installed once, with Google Earth's first poll already finding the demo followed";
}

TEST_F(MainWindow, TheUsersPickStandsOverASelectionTheSourceLeftPending) {
    // Each case brings the window to a point where the user picks Demo B.
    struct Case {
        const char* name;
        void (*before)(CtestDlg& dlg);
    };
    const Case cases[] = {
        {"Start Demo, a tick, then the pick",
         [](CtestDlg& dlg) {
             dlg.onStartPause();
             dlg.onTimer();
         }},
        {"Start Demo, Pause, Continue, then the pick",
         [](CtestDlg& dlg) {
             dlg.onStartPause();
             dlg.onTimer();
             dlg.onStartPause();
             dlg.onTimer();
             dlg.onStartPause();
         }},
        {"a source switch left its selection pending",
         [](CtestDlg& dlg) {
             dlg.onStartPause();
             dlg.onTimer();
             setPendingSelection(kDemoPendingEntry);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        FakeView caseView;
        FakeSubsystems caseSys;
        caseSys.registryStore.reopen(file("registry.reg"));
        CtestDlg dlg(caseView, caseSys);
        dlg.startUp();
        CClient* demo = standInDemo(caseSys.list);
        CClient* demoB = addDemoB(caseSys.list);
        dlg.onTimer();
        c.before(dlg);

        ASSERT_TRUE(pickDemoB(dlg, caseView));
        for (int tick = 0; tick < 3; ++tick) {
            dlg.onTimer();
            EXPECT_EQ(dlg.selectedKey(), "Demo B@demo2") << "tick " << tick;
            EXPECT_EQ(caseSys.tracked, demoB) << "tick " << tick;
            EXPECT_EQ(demoB->tracking, 47);
            EXPECT_EQ(demo->tracking, 0);
        }
        EXPECT_FALSE(takePendingSelection().has_value());
        TearDown();
    }
}

TEST_F(MainWindow, APendingSelectionIsTakenOnTheNextTickWhateverTheSelectorShows) {
    CtestDlg dlg(view, sys);
    dlg.startUp();
    CClient* demo = standInDemo();
    CClient* demoB = addDemoB();
    dlg.onTimer();
    ASSERT_TRUE(pickDemoB(dlg, view));
    dlg.onTimer();
    ASSERT_EQ(sys.tracked, demoB);

    setPendingSelection(kDemoPendingEntry); // the selector still shows Demo B
    dlg.onTimer();
    EXPECT_EQ(dlg.selectedKey(), "Me(demo)@demo5");
    EXPECT_EQ(sys.tracked, demo);
    EXPECT_FALSE(takePendingSelection().has_value());
}

TEST_F(MainWindow, ClearTrackOnStartupKeepsOnlyTheLastKnownPosition) {
    {
        CTrack stored;
        stored.add(fixAt(48.10, 11.50, 300), 2);
        stored.add(fixAt(48.12, 11.52, 100), 2);
        ASSERT_TRUE(stored.save(file("Nivra.trk")));
    }
    options().ClearTrackOnStartup = 1;
    CtestDlg dlg(view, sys);
    dlg.startUp();
    CClient* local = clients().realLocalVehicle();
    ASSERT_EQ(local->track.pointCount(), 1);
    GpsFix kept;
    CTrack::toFix(*local->track.point(0), kept);
    EXPECT_NEAR(kept.lat, 48.12, 1e-5);
    // The newest stored point is the current position.
    EXPECT_NEAR(local->curPos.lat, 48.12, 1e-5);
    EXPECT_NEAR(local->curPos.lon, 11.52, 1e-5);
}

TEST_F(MainWindow, FixBlurPutsTheNetworkLinkOnPort80) {
    options().FixBlur = 1;
    CtestDlg dlg(view, sys);
    dlg.startUp();
    EXPECT_EQ(sys.startedLinkPort, 80);
}

TEST_F(MainWindow, AutoConnectStartsTheReaderAndTheLinkOnlyOutsideDemoMode) {
    options().AutoConnect = 1;
    {
        CtestDlg dlg(view, sys);
        dlg.startUp();
        EXPECT_EQ(sys.serialStarts, 0);
        EXPECT_EQ(sys.serialConfigs, 1); // configured all the same: tracker lines need it
    }
    FakeSubsystems other;
    other.registryStore.reopen(file("registry.reg"));
    other.settings.AutoConnect = 1;
    other.settings.DemoMode = 0;
    other.settings.Port = "/dev/ttyUSB0";
    CtestDlg dlg(view, other);
    dlg.startUp();
    EXPECT_EQ(other.serialStarts, 1);
    EXPECT_EQ(other.serialPort, "/dev/ttyUSB0");
    EXPECT_EQ(other.loadServers, 1);
}

TEST_F(MainWindow, CommandLineChoicesOverrideTheStoredSettings) {
    SettingOverrides ov;
    ov.bindAddress = "127.0.0.9";
    ov.earthBackend = "none";
    CtestDlg dlg(view, sys);
    dlg.setOverrides(ov);
    dlg.startUp();
    EXPECT_EQ(options().BindAddress, "127.0.0.9");
    EXPECT_EQ(sys.earth, "none");
}

TEST_F(MainWindow, GpsdOnTheCommandLineConnectsToItAtStartUp) {
    struct Case {
        std::optional<std::string> server;
        std::string source;
        std::string stored;
        int starts;
    } cases[] = {
        {std::nullopt, "serial", "127.0.0.1:2947", 0},
        {"", "gpsd", "127.0.0.1:2947", 1},
        {"gpsbox:3000", "gpsd", "gpsbox:3000", 1},
    };
    for (const Case& c : cases) {
        FakeSubsystems fake;
        fake.registryStore.reopen(file("registry.reg"));
        COptionsDlg& o = fake.settings;
        SettingOverrides ov;
        ov.gpsdServer = c.server;
        CtestDlg dlg(view, fake);
        dlg.setOverrides(ov);
        dlg.startUp();
        EXPECT_EQ(o.GpsSource, c.source);
        EXPECT_EQ(o.GpsdServer, c.stored);
        EXPECT_EQ(fake.serialStarts, c.starts);
        EXPECT_EQ(o.DemoMode, c.starts ? 0 : 1);
    }
}

TEST_F(MainWindow, RequestsFromOtherThreadsRunOnTheWindowsThread) {
    options().DemoMode = 0;
    CtestDlg dlg(view, sys);
    dlg.startUp();
    std::thread camera([] { postAutoTrackOff(); });
    std::thread reader([] { postPortFound("/dev/ttyACM0"); });
    camera.join();
    reader.join();
    EXPECT_TRUE(dlg.check(DlgCheck::AutoTrack)); // nothing happens off the window's thread
    dlg.processPosted();
    EXPECT_FALSE(dlg.check(DlgCheck::AutoTrack));
    EXPECT_EQ(options().Tracking & 1, 0);
    EXPECT_EQ(options().Port, "/dev/ttyACM0");
    options().Port = "COM3:";
}

TEST_F(MainWindow, ShutdownSavesTheRealLocalTrackWhileTheDemoStandsIn) {
    CtestDlg dlg(view, sys);
    dlg.startUp();
    CClient* real = clients().realLocalVehicle();
    real->color = "ff00ff00";
    real->track.add(fixAt(48.10, 11.50, 200), 2);
    real->track.add(fixAt(48.11, 11.51, 100), 2);
    CClient* demo = standInDemo();
    demo->track.add(fixAt(40.0, -3.7, 300), 2);
    demo->track.add(fixAt(40.1, -3.7, 200), 2);
    demo->track.add(fixAt(40.2, -3.7, 100), 2);

    dlg.shutdown();
    EXPECT_EQ(g_bShutdown.load(), 1);
    EXPECT_EQ(sys.waits.back(), 3000u);

    CTrack saved;
    ASSERT_TRUE(saved.load(file("Nivra.trk")));
    ASSERT_EQ(saved.pointCount(), 2);
    GpsFix newest;
    CTrack::toFix(*saved.point(0), newest);
    EXPECT_NEAR(newest.lat, 48.11, 1e-5);

    // The hidden local vehicle is still part of the saved list, with its options.
    const std::string reg = readFile(file("registry.reg"));
    EXPECT_NE(reg.find("\"name\"=\"Me@localhost\""), std::string::npos);
    EXPECT_NE(reg.find("\"color\"=\"ff00ff00\""), std::string::npos);
    EXPECT_EQ(reg.find("Me(demo)"), std::string::npos);
}
