// The window's ways in and out through the real widgets and tray icon:
// hiding into the tray, closing, minimising, Escape; the about box; the
// buttons and shortcuts of the one-shot commands; the Qt desktop services;
// where the window is placed.
#include "support.h"

#include "app/ui/aboutDlg.h"
#include "app/ui/tray.h"
#include "app/ui/uiServicesQt.h"
#include "common/recordingUi.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QScreen>
#include <QSignalSpy>

#include <filesystem>
#include <thread>

using namespace uitest;

namespace {

void doubleClick(CTrayIcon& tray) {
    emit tray.icon().activated(QSystemTrayIcon::DoubleClick);
}

} // namespace

class WindowWays : public UiTest {};

TEST_F(WindowWays, InTheTrayTheWindowHidesAndOnlyExitEndsIt) {
    options().RunInTray = 1;
    trayAvailable = true;
    CMainWindow& w = start();
    QSignalSpy finished(&w, &QDialog::finished);
    EXPECT_FALSE(w.isVisible()) << "hidden at creation";
    EXPECT_TRUE(w.tray().shown());
    timer->fire();
    EXPECT_FALSE(w.isVisible()) << "and on the first tick";

    doubleClick(w.tray());
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.close()) << "the close box only hides";
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.ended());

    // A double-click shows the hidden window and hides the shown one,
    // however it was hidden or shown before.
    doubleClick(w.tray());
    EXPECT_TRUE(w.isVisible());
    doubleClick(w.tray());
    EXPECT_FALSE(w.isVisible());
    w.tray().openAction().trigger();
    EXPECT_TRUE(w.isVisible());
    doubleClick(w.tray());
    EXPECT_FALSE(w.isVisible());

    w.tray().openAction().trigger();
    w.showMinimized();
    QCoreApplication::processEvents();
    EXPECT_FALSE(w.isVisible()) << "minimising hides into the tray";
    doubleClick(w.tray());
    EXPECT_TRUE(w.isVisible()) << "one double-click brings it back";
    EXPECT_FALSE(w.isMinimized());
    EXPECT_EQ(finished.count(), 0);

    w.tray().exitAction().trigger();
    EXPECT_TRUE(w.ended());
    EXPECT_EQ(finished.count(), 1);
    w.shutdown();
    EXPECT_FALSE(w.tray().shown()) << "the icon goes with the window";
}

TEST_F(WindowWays, WithoutATrayTheWindowSaysSoOnceAndBehavesAsWithoutIt) {
    RecordingUi ui;
    options().RunInTray = 1;
    trayAvailable = false;
    CMainWindow& w = start();
    timer->fire();
    timer->fire();
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.tray().shown());
    EXPECT_EQ(ui.texts().size(), 1u);
    EXPECT_TRUE(w.close());
    EXPECT_TRUE(w.ended());
}

TEST_F(WindowWays, OutsideTheTrayCloseEndsAndMinimiseMinimises) {
    CMainWindow& w = start();
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.tray().shown());
    w.showMinimized();
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.isMinimized());
    EXPECT_TRUE(w.isVisible());
    w.showWindow(true);
    EXPECT_FALSE(w.isMinimized());

    QSignalSpy finished(&w, &QDialog::finished);
    EXPECT_TRUE(w.close());
    EXPECT_TRUE(w.ended());
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(finished.count(), 1);
}

TEST_F(WindowWays, EscapeAndAltXEndTheDialog) {
    start();
    activate();
    key(Qt::Key_Escape, Qt::NoModifier);
    EXPECT_TRUE(window->ended());

    window.reset();
    options().RunInTray = 1;
    trayAvailable = true;
    start();
    activate();
    key(Qt::Key_X, Qt::AltModifier);
    EXPECT_TRUE(window->ended()) << "Exit ends it even in the tray";
}

TEST_F(WindowWays, AboutBoxFromTheWindowMenu) {
    CMainWindow& w = start();
    QAction* about = nullptr;
    for (QAction* a : w.actions()) {
        if (a->text() == QStringLiteral("About Nivra..."))
            about = a;
    }
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(w.contextMenuPolicy(), Qt::ActionsContextMenu);
    about->trigger();
    CAboutDlg* box = w.aboutBox();
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->versionLine().contains(QStringLiteral(NIVRA_VERSION)));
    QDialogButtonBox* buttons = box->findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    QTest::mouseClick(buttons->button(QDialogButtonBox::Ok), Qt::LeftButton);
    EXPECT_EQ(w.aboutBox(), nullptr);
}

TEST_F(WindowWays, ButtonsAndShortcutsReachTheirCommands) {
    CQtUiServicesScope qtServices;
    CMainWindow& w = start();
    CClient* me = clients().realLocalVehicle();
    ASSERT_NE(me, nullptr);
    me->curPos.lat = 51.5;
    me->curPos.lon = -0.12;
    sys.tracked = me;

    activate();
    key(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("51.50000,-0.12000"));

    click("save");
    ASSERT_EQ(sys.opened.size(), 1u) << "SaveToGE opens the snapshot in Google Earth";
    EXPECT_TRUE(std::filesystem::exists(sys.opened[0]));
    EXPECT_EQ(std::filesystem::path(sys.opened[0]).parent_path(), std::filesystem::path(dir));
    key(Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(sys.opened.size(), 2u);

    GpsFix fix;
    fix.lat = 51.5;
    fix.lon = -0.12;
    fix.spd = 10;
    fix.time = nowFixTime();
    fix.status = 1;
    me->track.add(fix, 2);
    ASSERT_GT(me->track.pointCount(), 0);
    click("clearTrack");
    EXPECT_EQ(me->track.pointCount(), 0);

    // The options button waits for an options dialog.
    EXPECT_FALSE(button("options").isEnabled());
    int runs = 0;
    w.setOptionsDialog([&runs] { return ++runs, true; });
    EXPECT_TRUE(button("options").isEnabled());
    click("options");
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(options().Name, w.dlg().selectedKey());
}

TEST_F(WindowWays, QtServicesTakeRequestsFromOtherThreadsWithoutBlocking) {
    CQtUiServicesScope qtServices;
    bool clipboardSet = false;
    std::thread worker([&] {
        clipboardSet = uiServices().setClipboardText("from a worker");
        showMessage("Port 51233 is in use.");
    });
    worker.join(); // a message box on another thread must not wait for the user
    EXPECT_TRUE(clipboardSet);
    QCoreApplication::processEvents();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("from a worker"));

    QMessageBox* shown = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(top);
        if (box && box->isVisible() && box->text() == QStringLiteral("Port 51233 is in use."))
            shown = box;
    }
    ASSERT_NE(shown, nullptr);
    shown->close(); // deletes itself
    EXPECT_FALSE(uiServices().openUrl(""));
}

TEST_F(WindowWays, PlacedAtTheStoredPositionOrBackOnScreen) {
    options().Left = 40;
    options().Top = 30;
    options().save();
    CMainWindow& w = start();
    EXPECT_EQ(w.pos(), QPoint(40, 30));
    EXPECT_TRUE(w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    w.move(60, 70);
    EXPECT_EQ(options().Left, 60);
    EXPECT_EQ(options().Top, 70);

    // A position from a screen that is no longer there.
    window.reset();
    options().Left = 20000;
    options().Top = 15000;
    options().AlwaysOnTop = 0;
    options().save();
    start();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(screen.contains(window->frameGeometry().center()));
    EXPECT_FALSE(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(options().Left, window->x()) << "the new place is remembered";
}
