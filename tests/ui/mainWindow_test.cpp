// The main window's rules through its real widgets: the timer it arms, the
// coupling of the camera check boxes (clicks couple, shortcuts do not), the
// vehicle selector, and the start/pause caption across the demo states.
#include "support.h"

#include "app/ui/aboutDlg.h"

#include <QComboBox>
#include <QLabel>
#include <QMenuBar>

#include <algorithm>

using namespace uitest;

namespace {

bool checked(QAbstractButton& b) {
    return b.isChecked();
}

std::vector<std::string> items(QComboBox& combo) {
    std::vector<std::string> out;
    for (int i = 0; i < combo.count(); ++i)
        out.push_back(combo.itemText(i).toStdString());
    return out;
}

// The Tracking value as the registry file holds it.
std::string storedTracking(const std::string& registryFile) {
    const std::string text = apptest::readFile(registryFile);
    const size_t at = text.find("\"Tracking\"=dword:");
    return at == std::string::npos ? std::string() : text.substr(at + 17, 8);
}

} // namespace

class Window : public UiTest {};

TEST_F(Window, FirstTickAfter200msThenEvery2000ms) {
    start();
    EXPECT_EQ(timer->periods, std::vector<unsigned>{200});
    EXPECT_EQ(widget<QLabel>("statusLine").text(), QString()) << "empty until the first tick";
    timer->fire();
    EXPECT_EQ(timer->periods, (std::vector<unsigned>{200, 2000}));
    EXPECT_EQ(widget<QLabel>("statusLine").text(), QStringLiteral("Demo Mode"));
    timer->fire();
    timer->fire();
    EXPECT_EQ(timer->periods, (std::vector<unsigned>{200, 2000, 2000, 2000}));

    // The window's own timer keeps ticking at the period it was last given.
    CQtTickTimer real;
    real.start(200);
    EXPECT_TRUE(real.timer().isActive());
    EXPECT_FALSE(real.timer().isSingleShot());
    EXPECT_EQ(real.timer().interval(), 200);
    real.start(2000);
    EXPECT_EQ(real.timer().interval(), 2000);
}

TEST_F(Window, ClickingRotateTurnsAutoTrackAndAutoViewOnAndIsStoredAtOnce) {
    options().Tracking = 0;
    options().save();
    start();
    ASSERT_FALSE(checked(button("autoTrack")) || checked(button("autoView")) ||
                 checked(button("rotate")));

    click("rotate");
    EXPECT_TRUE(checked(button("rotate")));
    EXPECT_TRUE(checked(button("autoTrack")));
    EXPECT_TRUE(checked(button("autoView")));
    EXPECT_FALSE(checked(button("zoom")));
    EXPECT_EQ(options().Tracking, 0x23);
    EXPECT_EQ(storedTracking(file("registry.reg")), "00000023");

    // Auto view on by click turns auto track on; with rotate on it stays on.
    click("autoTrack");
    click("autoView");
    EXPECT_FALSE(checked(button("autoView")));
    click("autoView");
    EXPECT_TRUE(checked(button("autoTrack")));
    EXPECT_TRUE(checked(button("autoView")));
}

TEST_F(Window, ShortcutsSetOnlyTheirOwnBox) {
    options().Tracking = 0;
    options().save();
    start();
    activate();

    key(Qt::Key_U, Qt::ControlModifier); // rotate on
    EXPECT_TRUE(checked(button("rotate")));
    EXPECT_FALSE(checked(button("autoTrack")));
    EXPECT_FALSE(checked(button("autoView")));
    EXPECT_EQ(options().Tracking, 2);

    key(Qt::Key_T, Qt::ControlModifier);                   // auto track on
    key(Qt::Key_Z, Qt::ControlModifier | Qt::AltModifier); // zoom toggled on
    key(Qt::Key_E, Qt::ControlModifier);                   // tilt on
    EXPECT_TRUE(checked(button("autoTrack")));
    EXPECT_TRUE(checked(button("zoom")));
    EXPECT_TRUE(checked(button("tilt")));
    EXPECT_EQ(options().Tracking, 1 | 2 | 4 | 8);

    key(Qt::Key_Z, Qt::ControlModifier | Qt::AltModifier); // zoom toggled off
    key(Qt::Key_T, Qt::AltModifier);                       // auto track off
    EXPECT_FALSE(checked(button("zoom")));
    EXPECT_FALSE(checked(button("autoTrack")));
    EXPECT_EQ(options().Tracking, 2 | 8);
    EXPECT_EQ(storedTracking(file("registry.reg")), "0000000a");
}

TEST_F(Window, TurningTheLastOfRotateZoomTiltOffTurnsAutoViewOff) {
    start(); // the first-start boxes: all five on, Tracking 47
    ASSERT_TRUE(checked(button("autoView")) && checked(button("tilt")));

    click("rotate");
    click("zoom");
    EXPECT_TRUE(checked(button("autoView"))) << "tilt is still on";
    EXPECT_EQ(options().Tracking, 0x29);

    activate();
    key(Qt::Key_E, Qt::AltModifier); // tilt off, the last one
    EXPECT_FALSE(checked(button("autoView")));
    EXPECT_TRUE(checked(button("autoTrack")));
    EXPECT_EQ(options().Tracking, 1);
    EXPECT_EQ(storedTracking(file("registry.reg")), "00000001");

    // Auto view cannot be switched on while none of the three is on.
    click("autoView");
    EXPECT_FALSE(checked(button("autoView")));
    EXPECT_EQ(options().Tracking & 0x20, 0);
}

TEST_F(Window, SelectorListsVehiclesAndReadsKeysBack) {
    options().DemoMode = 0;
    start();
    CClient* bob = clients().add("bob", "host1");
    bob->online = 1;
    clients().add("ann", "host2")->online = 0;
    timer->fire();

    auto& combo = widget<QComboBox>("vehicleSelector");
    const std::vector<std::string> shown = items(combo);
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0], "Me") << "the local vehicle first, under its user name, no suffix";
    EXPECT_NE(std::find(shown.begin(), shown.end(), "bob@host1*"), shown.end());
    EXPECT_NE(std::find(shown.begin(), shown.end(), "ann@host2!"), shown.end());
    EXPECT_EQ(combo.currentText(), QStringLiteral("Me"));
    EXPECT_EQ(window->dlg().selectedKey(), "Me@localhost");

    const int bobAt = combo.findText(QStringLiteral("bob@host1*"));
    combo.setCurrentIndex(bobAt);
    emit combo.activated(bobAt);
    EXPECT_EQ(window->dlg().selectedKey(), "bob@host1");
    EXPECT_EQ(sys.tracked, bob);

    // An open list is left alone by the timer.
    clients().add("cy", "host3");
    combo.showPopup();
    timer->fire();
    EXPECT_EQ(combo.count(), 3);
    combo.hidePopup();
    timer->fire();
    EXPECT_EQ(combo.count(), 4);
    EXPECT_EQ(combo.currentText(), QStringLiteral("bob@host1*")) << "the choice survives a refill";

    combo.setCurrentIndex(0);
    emit combo.activated(0);
    EXPECT_EQ(window->dlg().selectedKey(), "Me@localhost");
}

TEST_F(Window, StartPauseCaptionFollowsTheDemo) {
    start(); // demo mode: the demo waits for the first press
    auto& startPause = static_cast<QPushButton&>(button("startPause"));
    EXPECT_TRUE(startPause.isDefault());
    EXPECT_EQ(caption(), "Start Demo");
    timer->fire();
    EXPECT_EQ(caption(), "Start Demo");

    click("startPause");
    EXPECT_EQ(caption(), "Pause");
    activate();
    key(Qt::Key_P, Qt::ControlModifier); // continue: the engine already runs
    EXPECT_EQ(caption(), "Pause");
    key(Qt::Key_P, Qt::AltModifier); // pause
    EXPECT_EQ(caption(), "Continue") << "after the first start the demo continues";
    key(Qt::Key_P, Qt::AltModifier);
    EXPECT_EQ(caption(), "Continue");
    key(Qt::Key_P, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(caption(), "Pause");
    key(Qt::Key_Return, Qt::NoModifier); // the default button
    EXPECT_EQ(caption(), "Continue");
    timer->fire();
    EXPECT_EQ(caption(), "Continue");
}

TEST_F(Window, OutsideTheDemoAPausedEngineOffersToContinue) {
    options().DemoMode = 0;
    start();
    EXPECT_EQ(caption(), "Pause");
    sys.isPaused = true;
    timer->fire();
    EXPECT_EQ(caption(), "Continue");
}

TEST_F(Window, StatusLineKeepsToOneLineEvenWhileHiddenInTheTray) {
    options().DemoMode = 0;
    options().RunInTray = 1;
    trayAvailable = true;
    const std::string longStatus =
        "Port /dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0 "
        "not found";
    sys.serial = longStatus;
    CMainWindow& w = start();
    timer->fire();
    ASSERT_FALSE(w.isVisible());

    auto& line = widget<QLabel>("statusLine");
    EXPECT_EQ(line.toolTip().toStdString(), longStatus);
    EXPECT_TRUE(line.text().startsWith(QStringLiteral("Port /dev/serial")));
    EXPECT_NE(line.text().toStdString(), longStatus);
    EXPECT_GT(line.width(), w.width() / 2) << "laid out before the window is shown";
    EXPECT_LE(line.fontMetrics().horizontalAdvance(line.text()), line.width());

    sys.serial = "Disconnected";
    timer->fire();
    EXPECT_EQ(line.text(), QStringLiteral("Disconnected"));
}

namespace {

class BrowserServices : public HeadlessUiServices {
public:
    bool opens = true;
    std::vector<std::string> opened;
    bool openUrl(const std::string& url) override {
        opened.push_back(url);
        return opens;
    }
};

} // namespace

TEST_F(Window, TheMenuOpensTheGlobeOfTheNetworkLinksOwnAddress) {
    struct Case {
        const char* bind;     // --bind / BindAddress
        const char* linkBind; // LinkBindAddress
        bool browserOpens;
        const char* host; // where the globe is then reached
    };
    const Case cases[] = {
        {"", "", true, "127.0.0.1"},
        {"", "0.0.0.0", true, "127.0.0.1"},
        {"", "192.168.7.9", true, "192.168.7.9"},
        {"127.0.0.42", "192.168.7.9", true, "127.0.0.42"},
        {"", "", false, "127.0.0.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.bind) + " / " + c.linkBind);
        BrowserServices browser;
        browser.opens = c.browserOpens;
        setUiServices(&browser);
        options().BindAddress = c.bind;
        options().LinkBindAddress = c.linkBind;
        options().save();
        start();
        timer->fire();
        QAction* globe = nullptr;
        for (QAction* a : window->actions())
            if (a->text() == QStringLiteral("Open the Globe in a Browser"))
                globe = a;
        ASSERT_NE(globe, nullptr) << "no globe entry in the window's menu";
        globe->trigger();
        setUiServices(nullptr);

        std::string url = "http://";
        url += c.host;
        url += ":" + std::to_string(sys.linkPort()) + "/globe";
        ASSERT_NE(sys.linkPort(), 0);
        EXPECT_EQ(browser.opened, std::vector<std::string>{url});
        const std::string status = widget<QLabel>("statusLine").toolTip().toStdString();
        if (c.browserOpens)
            EXPECT_EQ(status, "Demo Mode");
        else
            EXPECT_EQ(status, std::string(kStatusNoBrowser) + ": " + url);
        window.reset();
    }
}

TEST_F(Window, TheGlobeAndTheAboutBoxAreInTheVisibleMenuBar) {
    BrowserServices browser;
    setUiServices(&browser);
    start();
    activate();
    auto* bar = window->findChild<QMenuBar*>(QStringLiteral("menuBar"));
    ASSERT_NE(bar, nullptr);
    EXPECT_TRUE(bar->isVisible());
    std::vector<std::string> entries;
    for (QAction* a : bar->actions())
        entries.push_back(a->text().toStdString());
    EXPECT_EQ(entries, (std::vector<std::string>{"&Globe", "&About"}));

    // A click on each entry, where the bar shows it.
    for (QAction* a : bar->actions()) {
        const QRect place = bar->actionGeometry(a);
        ASSERT_TRUE(bar->rect().contains(place)) << a->text().toStdString();
        QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, place.center());
    }
    ASSERT_EQ(browser.opened.size(), 1u);
    EXPECT_NE(browser.opened[0].find("/globe"), std::string::npos);
    ASSERT_NE(window->aboutBox(), nullptr);
    window->aboutBox()->close();
    setUiServices(nullptr);
}
