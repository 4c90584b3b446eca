// The tray icon and the close/minimise rules, and the one-shot commands:
// snapshot, copy position, clear track.
#include "support.h"

#include "app/windowCommands.h"
#include "common/recordingUi.h"

using namespace apptest;

class TrayAndCommands : public AppTest {
protected:
    RecordingUi ui;
};

TEST_F(TrayAndCommands, InTheTrayCloseAndMinimiseHideAndExitEnds) {
    options().RunInTray = 1;
    view.hasTray = true;
    CtestDlg dlg(view, sys);
    dlg.startUp();
    EXPECT_FALSE(view.shown);
    EXPECT_TRUE(view.tray);
    view.shown = true; // the desktop showed it anyway: the first tick hides it again
    dlg.onTimer();
    EXPECT_FALSE(view.shown);
    dlg.onTimer();
    view.shown = true;
    dlg.onTimer();
    EXPECT_TRUE(view.shown); // only the first tick hides

    dlg.onCloseRequest();
    EXPECT_FALSE(view.shown);
    EXPECT_EQ(view.ended, 0);
    view.shown = true;
    EXPECT_TRUE(dlg.onMinimize());
    EXPECT_FALSE(view.shown);

    // A double-click shows a hidden window and hides a shown one, however it
    // was hidden or shown before: one double-click always brings it back.
    dlg.onTrayDoubleClick();
    EXPECT_TRUE(view.shown);
    dlg.onTrayDoubleClick();
    EXPECT_FALSE(view.shown);
    dlg.onTrayOpen();
    EXPECT_TRUE(view.shown);
    dlg.onTrayDoubleClick();
    EXPECT_FALSE(view.shown) << "shown by Open, hidden by the next double-click";
    dlg.onTrayDoubleClick();
    EXPECT_TRUE(view.shown);
    EXPECT_TRUE(dlg.onMinimize());
    EXPECT_FALSE(view.shown);
    dlg.onTrayDoubleClick();
    EXPECT_TRUE(view.shown) << "one double-click after minimising into the tray";

    dlg.onTrayExit();
    EXPECT_EQ(view.ended, 1);
    EXPECT_TRUE(dlg.exitRequested());
    dlg.shutdown();
    EXPECT_FALSE(view.tray);
}

TEST_F(TrayAndCommands, WithoutTrayModeOrWithoutATrayCloseEndsAndMinimiseIsNormal) {
    for (int runInTray : {0, 1}) {
        options().RunInTray = runInTray;
        view = FakeView();
        view.hasTray = false; // RunInTray on a desktop without a notification area
        CtestDlg dlg(view, sys);
        dlg.startUp();
        EXPECT_TRUE(view.shown);
        EXPECT_FALSE(view.tray);
        EXPECT_FALSE(dlg.onMinimize());
        dlg.onCloseRequest();
        EXPECT_EQ(view.ended, 1);
    }
}

TEST_F(TrayAndCommands, SnapshotNameCarriesKeyDateAndTime) {
    struct tm t {};
    t.tm_year = 2009 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 5;
    t.tm_hour = 14;
    t.tm_min = 7;
    t.tm_sec = 9;
    EXPECT_EQ(snapshotFileName("Me@localhost", t), "Me@localhost_030509_140709.kml");
    EXPECT_EQ(snapshotFileName("a/b@h", t), "a.b@h_030509_140709.kml");
}

TEST_F(TrayAndCommands, SaveWritesTheTrackedVehicleAndOpensItInGoogleEarth) {
    CtestDlg dlg(view, sys);
    dlg.onSave(); // no tracked vehicle: nothing
    EXPECT_TRUE(sys.opened.empty());

    CClient* v = clients().add("Me", "localhost");
    v->curPos.lat = 51.5;
    v->curPos.lon = -0.12;
    sys.tracked = v;
    dlg.onSave();
    ASSERT_EQ(sys.opened.size(), 1u);
    const std::string path = sys.opened[0];
    EXPECT_EQ(path.substr(0, dir.size() + 14), dir + "/Me@localhost_");
    const std::string kml = readFile(path);
    EXPECT_NE(kml.find("<kml"), std::string::npos);
    EXPECT_NE(kml.find("</kml>"), std::string::npos);
    EXPECT_TRUE(ui.texts().empty());

    options().SaveToGE = 0;
    sys.seconds += 1;
    dlg.onSave();
    EXPECT_EQ(sys.opened.size(), 1u);
}

TEST_F(TrayAndCommands, SaveIntoAMissingDirectoryTellsTheUser) {
    {
        RegTransaction tx(sys.registryStore);
        ASSERT_EQ(tx.createKey(kNivraKey), 0);
        ASSERT_EQ(tx.setString(kNivraKey, "SaveDirectory", dir + "/missing"), 0);
        ASSERT_EQ(tx.commit(), 0);
    }
    EXPECT_EQ(snapshotDirectory(sys.registryStore), dir + "/missing");
    CtestDlg dlg(view, sys);
    sys.tracked = clients().add("Me", "localhost");
    dlg.onSave();
    ASSERT_EQ(ui.texts().size(), 1u);
    EXPECT_EQ(ui.texts()[0].rfind("Error Saving " + dir + "/missing/Me@localhost_", 0), 0u);
    EXPECT_TRUE(sys.opened.empty());
}

TEST_F(TrayAndCommands, CopyPositionPutsLatitudeCommaLongitudeOnTheClipboard) {
    CtestDlg dlg(view, sys);
    CClient* v = clients().add("Me", "localhost");
    v->curPos.lat = 51.5;
    v->curPos.lon = -0.12;
    sys.tracked = v;
    dlg.onCopyPosition();
    EXPECT_EQ(ui.clipboardText(), "51.50000,-0.12000");
    // Without a followed vehicle nothing is copied, and the status line says so.
    sys.tracked = nullptr;
    dlg.onCopyPosition();
    EXPECT_EQ(ui.clipboardText(), "51.50000,-0.12000");
    EXPECT_EQ(view.statusLine, "No position to copy: no vehicle is followed");
}

TEST_F(TrayAndCommands, ClearTrackClearsTheSelectorsVehicle) {
    options().DemoMode = 0;
    CtestDlg dlg(view, sys);
    dlg.startUp();
    CClient* bob = clients().add("bob", "peer.example.org");
    bob->online = 1;
    GpsFix f;
    f.lat = 10;
    f.lon = 10;
    f.time = nowFixTime() - 10;
    bob->track.add(f, 2);
    ASSERT_EQ(bob->track.pointCount(), 1);
    dlg.onTimer();
    dlg.onSelectorPicked(1);
    dlg.onClearTrack();
    EXPECT_EQ(bob->track.pointCount(), 0);
}
