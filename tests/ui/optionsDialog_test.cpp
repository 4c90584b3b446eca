// The options dialog through its real widgets: a click on each group's main
// controls changes the setting or vehicle it names, Escape ends with OK, Tab
// reaches the controls, and a vehicle added here shows in the main window's
// selector.
#include "support.h"

#include "app/ui/optionsDialog.h"
#include "app/ui/uiServicesQt.h"
#include "net/shareStore.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollArea>
#include <QSlider>
#include <QTimer>

#include <ctime>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

using namespace uitest;

namespace {

std::vector<std::string> items(QComboBox& combo) {
    std::vector<std::string> out;
    for (int i = 0; i < combo.count(); ++i)
        out.push_back(combo.itemText(i).toStdString());
    return out;
}

} // namespace

class OptionsDialog : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        clients().load(sys.registryStore, "Me", "localhost");
        local = clients().designateLocal();
        ASSERT_NE(local, nullptr);
        COptionsDlg& o = options();
        o.DemoMode = 0;
        o.Units = 0;
        o.SpeedInKnots = 0;
        o.ContinuousLog = 0;
        o.AutoStartGE = 0;
        o.LoopPlayback = 0;
        o.LogFile.clear();
        o.Name = "Me@localhost";
        local->visible = 1;
        local->maxPts = 2000;
    }
    void TearDown() override {
        dialog.reset();
        UiTest::TearDown();
    }

    COptionsDialog& openDialog() {
        auto manual = std::make_unique<ManualTimer>();
        dialogTimer = manual.get();
        dialog = std::make_unique<COptionsDialog>(sys, nullptr, std::move(manual));
        return *dialog;
    }
    template <typename W> W& in(const char* name) {
        W* w = dialog->findChild<W*>(QString::fromLatin1(name));
        if (!w)
            ADD_FAILURE() << "no widget " << name;
        return *w;
    }
    void clickIn(const char* name) {
        QAbstractButton& b = in<QAbstractButton>(name);
        EXPECT_TRUE(b.isEnabled()) << name;
        QTest::mouseClick(&b, Qt::LeftButton, Qt::NoModifier, QPoint(6, b.height() / 2));
    }
    // Types into a field and leaves it with Enter.
    void typeIn(const char* name, const QString& text) {
        QLineEdit& e = in<QLineEdit>(name);
        e.setFocus();
        e.selectAll();
        QTest::keyClicks(&e, text);
        QTest::keyClick(&e, Qt::Key_Return);
    }
    void showAndActivate() {
        dialog->show();
        dialog->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    }

    CClient* local = nullptr;
    ManualTimer* dialogTimer = nullptr;
    std::unique_ptr<COptionsDialog> dialog;
};

TEST_F(OptionsDialog, ClicksOnEachGroupChangeWhatTheyName) {
    openDialog();
    showAndActivate();
    COptionsDlg& o = options();
    EXPECT_EQ(dialogTimer->periods, std::vector<unsigned>{1000});

    // GPS: the rate list and the connect button.
    QComboBox& rate = in<QComboBox>("rate");
    rate.setFocus();
    const std::string before = o.Rate;
    QTest::keyClick(&rate, Qt::Key_Down);
    EXPECT_NE(o.Rate, before);
    EXPECT_EQ(o.Rate, rate.currentText().toStdString());
    const int starts = sys.serialStarts;
    clickIn("connect");
    EXPECT_EQ(sys.serialStarts, starts + 1);
    clickIn("disconnect");
    EXPECT_EQ(sys.serialCloses, 1);

    // Playback and recording.
    std::ofstream(file("trip.nme")) << "$GPRMC\n";
    o.LogFile = file("trip.nme");
    clickIn("play");
    EXPECT_TRUE(sys.isPlayback);
    EXPECT_EQ(sys.sourceStarts, std::vector<std::string>{"Me"});
    clickIn("stop");
    EXPECT_FALSE(sys.isPlayback);
    clickIn("loop");
    EXPECT_EQ(o.LoopPlayback, 1);
    clickIn("record");
    EXPECT_TRUE(sys.rec.recording());
    EXPECT_TRUE(in<QLabel>("recordStatus").text().startsWith(QStringLiteral("Recording: ")));
    clickIn("stopRecord");
    EXPECT_FALSE(sys.rec.recording());
    clickIn("continuous");
    EXPECT_EQ(o.ContinuousLog, 1);
    EXPECT_FALSE(in<QAbstractButton>("record").isEnabled());
    clickIn("continuous");
    EXPECT_EQ(o.ContinuousLog, 0);

    // Function buttons: the debug log.
    clickIn("debugLog");
    EXPECT_EQ(o.debugLogging, 1);
    clickIn("debugLog");
    EXPECT_EQ(o.debugLogging, 0);

    // Vehicle page.
    clickIn("visible");
    EXPECT_EQ(local->visible, 0);
    clickIn("air");
    EXPECT_EQ(local->fly, 1);
    clickIn("land");
    EXPECT_EQ(local->fly, 0);
    typeIn("maxPoints", QStringLiteral("50000"));
    EXPECT_EQ(local->maxPts, 28800);
    EXPECT_EQ(in<QLineEdit>("maxPoints").text(), QStringLiteral("28800"));
    typeIn("radius", QStringLiteral("32.808"));
    EXPECT_NEAR(local->trackWidth, 10.0, 1e-9);
    EXPECT_EQ(in<QLineEdit>("radius").text(), QStringLiteral("32.808"));

    // Right-hand column.
    clickIn("metric");
    EXPECT_EQ(o.Units, 1);
    EXPECT_EQ(in<QLineEdit>("radius").text(), QStringLiteral("10.000"));
    clickIn("statute");
    EXPECT_EQ(o.Units, 0);
    const int onTop = o.AlwaysOnTop;
    clickIn("flag0");
    EXPECT_EQ(o.AlwaysOnTop, onTop ? 0 : 1);
    clickIn("demoMode");
    EXPECT_EQ(o.DemoMode, 1);
    EXPECT_FALSE(in<QAbstractButton>("play").isEnabled());
    in<QSlider>("demoSpeed").setValue(3000);
    EXPECT_EQ(o.DemoSpeed, 3000);
    EXPECT_EQ(sys.pace, 300);

    // The timer shows the status text.
    o.statusText = "Signal Acquired";
    dialogTimer->fire();
    EXPECT_EQ(in<QLabel>("status").text(), QStringLiteral("Signal Acquired"));
    EXPECT_EQ(dialogTimer->periods, (std::vector<unsigned>{1000, 500}));
}

TEST_F(OptionsDialog, EscapeEndsWithOkAndTabReachesTheControls) {
    openDialog();
    showAndActivate();
    in<QWidget>("port").setFocus();
    std::set<std::string> reached;
    for (int i = 0; i < 120; ++i) {
        if (QWidget* w = QApplication::focusWidget()) {
            // An editable list's own line edit stands for the list.
            QWidget* named = w->objectName().isEmpty() && w->parentWidget() ? w->parentWidget() : w;
            reached.insert(named->objectName().toStdString());
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    for (const char* name :
         {"port",      "rate",       "flowControl", "connect",     "disconnect", "autoConnect",
          "autoFind",  "logBrowse",  "loop",        "record",      "continuous", "debugLog",
          "vehicles",  "name",       "new",         "visible",     "cursorFile", "label0",
          "label5",    "color",      "speedTrack",  "extrude",     "compress",   "maxSpeed",
          "maxPoints", "radius",     "dateRange",   "startDate",   "endDate",    "demoMode",
          "knots",     "flag0",      "flag6",       "flyToSpeed",  "cursorSize", "demoSpeed",
          "rotation",  "globeTiles", "history",     "shareCreate", "webSite",    "ok"}) {
        if (!in<QWidget>(name).isEnabled())
            continue; // disabled controls are passed over (the cursor file for classic 3D)
        EXPECT_TRUE(reached.count(name)) << name << " not reached by Tab";
    }

    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_FALSE(dialog->isVisible());
}

TEST_F(OptionsDialog, AVehicleAddedInTheDialogAppearsInTheMainWindowSelector) {
    start();
    bool accepted = false;
    window->setOptionsDialog([&] {
        openDialog();
        QTimer::singleShot(0, dialog.get(), [&] {
            clickIn("new");
            EXPECT_EQ(in<QAbstractButton>("new").text(), QStringLiteral("&Add"));
            EXPECT_EQ(items(in<QComboBox>("vehicles")), std::vector<std::string>{"<new>"});
            QTest::keyClicks(&in<QLineEdit>("name"), QStringLiteral("Ann"));
            QTest::keyClicks(&in<QLineEdit>("host"), QStringLiteral("peer.example"));
            clickIn("new");
            EXPECT_EQ(in<QAbstractButton>("new").text(), QStringLiteral("&New"));
            EXPECT_EQ(in<QComboBox>("vehicles").currentText(), QStringLiteral("Ann@peer.example!"));
            QTest::keyClick(dialog.get(), Qt::Key_Escape);
        });
        accepted = dialog->exec() == QDialog::Accepted;
        return accepted;
    });
    click("options");
    EXPECT_TRUE(accepted);
    ASSERT_NE(clients().find("Ann@peer.example"), nullptr);
    const std::vector<std::string> entries = items(widget<QComboBox>("vehicleSelector"));
    EXPECT_NE(std::find(entries.begin(), entries.end(), "Ann@peer.example!"), entries.end());
    EXPECT_NE(apptest::readFile(file("registry.reg")).find("Ann@peer.example"), std::string::npos);
}

TEST_F(OptionsDialog, RefusalsAndOtherMessagesOpenAboveTheModalDialog) {
    CQtUiServicesScope qtServices;
    // The main window owns messages while nothing else is open.
    QWidget mainWindow;
    mainWindow.show();
    setDialogOwner(&mainWindow);
    openDialog();
    dialog->setWindowModality(Qt::ApplicationModal);
    showAndActivate();
    ASSERT_EQ(QApplication::activeModalWidget(), dialog.get());

    auto shownBoxes = [] {
        std::vector<QMessageBox*> boxes;
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(top); box && box->isVisible())
                boxes.push_back(box);
        }
        return boxes;
    };
    struct Case {
        const char* what;
        std::function<void()> act;
        const char* text;
    };
    const Case cases[] = {
        {"points that are no number", [&] { typeIn("maxPoints", QStringLiteral("many")); },
         "maximum number of points"},
        {"a colour that is none",
         [&] {
             QLineEdit* edit = in<QComboBox>("color").lineEdit();
             edit->setFocus();
             edit->selectAll();
             QTest::keyClicks(edit, QStringLiteral("sky"));
             QTest::keyClick(edit, Qt::Key_Return);
         },
         "not a colour"},
        {"'@' in a new vehicle's name",
         [&] {
             clickIn("new");
             QTest::keyClicks(&in<QLineEdit>("name"), QStringLiteral("a@b"));
             QTest::keyClicks(&in<QLineEdit>("host"), QStringLiteral("peer.example"));
             clickIn("new");
             clickIn("delete"); // Cancel
         },
         "cannot hold '@'"},
        {"a second local vehicle",
         [&] {
             clickIn("new");
             QTest::keyClicks(&in<QLineEdit>("name"), QStringLiteral("Two"));
             QTest::keyClicks(&in<QLineEdit>("host"), QStringLiteral("localhost"));
             clickIn("new");
             clickIn("delete");
         },
         kMsgOneLocal},
        {"a worker's message",
         [] { std::thread([] { showMessage("Port 51233 is in use."); }).join(); }, "Port 51233"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.act();
        QCoreApplication::processEvents();
        const std::vector<QMessageBox*> boxes = shownBoxes();
        ASSERT_EQ(boxes.size(), 1u) << "shown at once, one box";
        EXPECT_TRUE(boxes[0]->text().contains(QString::fromLatin1(c.text)))
            << boxes[0]->text().toStdString();
        EXPECT_EQ(boxes[0]->parentWidget(), dialog.get())
            << "above the dialog, not the main window";
        boxes[0]->close();
        QCoreApplication::processEvents();
    }
    setDialogOwner(nullptr);
}

TEST_F(OptionsDialog, TheGpsdAddressFieldWorksWhenGpsdIsPicked) {
    options().GpsSource = "serial";
    options().GpsdServer = "127.0.0.1:2947";
    openDialog();
    showAndActivate();
    QLineEdit& address = in<QLineEdit>("gpsdServer");
    EXPECT_EQ(address.text(), QStringLiteral("127.0.0.1:2947"));
    EXPECT_FALSE(address.isEnabled());

    QComboBox& port = in<QComboBox>("port");
    port.setFocus();
    port.lineEdit()->selectAll();
    QTest::keyClicks(port.lineEdit(), QStringLiteral("gpsd"));
    QTest::keyClick(port.lineEdit(), Qt::Key_Return);
    EXPECT_EQ(options().GpsSource, "gpsd");
    ASSERT_TRUE(address.isEnabled());
    typeIn("gpsdServer", QStringLiteral("gps.example.net:3000"));
    EXPECT_EQ(options().GpsdServer, "gps.example.net:3000");
    // Its shortcut reaches it.
    in<QWidget>("rate").setFocus();
    QTest::keyClick(dialog.get(), Qt::Key_G, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), &address);
}

// The browser globe's tile server and the share links through the widgets:
// a link for the shown vehicle is made into the shares file and shown once,
// the list names it without its key, Revoke ends it.
TEST_F(OptionsDialog, GlobeTilesAndShareLinksWorkThroughTheirWidgets) {
    options().GlobeTiles.clear();
    openDialog();
    showAndActivate();
    typeIn("globeTiles", QStringLiteral("https://tiles.example.org/{z}/{x}/{y}.png"));
    EXPECT_EQ(options().GlobeTiles, "https://tiles.example.org/{z}/{x}/{y}.png");
    in<QWidget>("rate").setFocus();
    QTest::keyClick(dialog.get(), Qt::Key_I, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), &in<QWidget>("globeTiles"));

    QComboBox& list = in<QComboBox>("shareList");
    EXPECT_EQ(items(list), std::vector<std::string>{"none"});
    EXPECT_FALSE(in<QWidget>("shareRevoke").isEnabled());
    QComboBox& what = in<QComboBox>("shareWhat");
    EXPECT_EQ(what.itemText(1).toStdString(), "Only " + local->name);
    what.setCurrentIndex(1);
    clickIn("shareCreate");
    const std::string shown = in<QPlainTextEdit>("shareText").toPlainText().toStdString();
    const size_t key = shown.find("/globe/?key=");
    ASSERT_NE(key, std::string::npos) << shown;
    const std::string token = shown.substr(key + 12, kShareTokenChars);
    std::vector<ShareLink> links;
    std::string why;
    ASSERT_TRUE(loadShareFile(file(kShareFileName), links, why)) << why;
    const ShareLink* share = findShare(links, token, static_cast<int64_t>(std::time(nullptr)));
    ASSERT_NE(share, nullptr) << shown;
    EXPECT_EQ(share->grant.keys, std::vector<std::string>{local->name});
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list.itemText(0).toStdString(), share->id + "  no end  " + local->name);

    clickIn("shareRevoke");
    EXPECT_EQ(items(list), std::vector<std::string>{"none"});
    ASSERT_TRUE(loadShareFile(file(kShareFileName), links, why)) << why;
    EXPECT_TRUE(links.empty());
}

TEST_F(OptionsDialog, FitsTheScreenAndEveryControlComesIntoView) {
    openDialog();
    showAndActivate();
    const QRect screen = dialog->screen()->availableGeometry();
    EXPECT_LE(dialog->width(), screen.width());
    EXPECT_LE(dialog->height(), screen.height());
    auto* groups = dialog->findChild<QScrollArea*>(QStringLiteral("groups"));
    ASSERT_NE(groups, nullptr);
    QWidget* viewport = groups->viewport();

    // OK and the web site button are always in sight, below the groups.
    for (const char* name : {"ok", "webSite"}) {
        QWidget& w = in<QWidget>(name);
        EXPECT_FALSE(viewport->isAncestorOf(&w)) << name;
        EXPECT_TRUE(dialog->rect().contains(QRect(w.mapTo(dialog.get(), QPoint()), w.size())))
            << name;
    }
    // Every other control is in the window and comes into view when it takes
    // the focus.
    int reached = 0;
    for (QWidget* w : dialog->findChildren<QWidget*>()) {
        if (!viewport->isAncestorOf(w) || w->objectName().isEmpty() ||
            w->focusPolicy() == Qt::NoFocus || !w->isEnabled())
            continue;
        EXPECT_TRUE(w->isVisibleTo(dialog.get())) << w->objectName().toStdString();
        w->setFocus(Qt::ShortcutFocusReason);
        QCoreApplication::processEvents();
        const QRect inView(w->mapTo(viewport, QPoint()), w->size());
        EXPECT_TRUE(viewport->rect().intersects(inView))
            << w->objectName().toStdString() << " stays out of view";
        ++reached;
    }
    EXPECT_GT(reached, 40);
}

TEST_F(OptionsDialog, SlidersShowTheirValuesAndUnitsDoNotResizeTheDialog) {
    openDialog();
    showAndActivate();
    struct Case {
        const char* slider;
        const char* value;
        int position;
    } cases[] = {{"flyToSpeed", "flyToSpeedValue", 123},
                 {"cursorSize", "cursorSizeValue", 45},
                 {"demoSpeed", "demoSpeedValue", 3600}};
    for (const Case& c : cases) {
        EXPECT_EQ(in<QLabel>(c.value).text().toInt(), in<QSlider>(c.slider).value()) << c.slider;
        in<QSlider>(c.slider).setValue(c.position);
        EXPECT_EQ(in<QLabel>(c.value).text(), QString::number(c.position)) << c.slider;
    }

    auto* groups = dialog->findChild<QScrollArea*>(QStringLiteral("groups"));
    ASSERT_NE(groups, nullptr);
    const QSize content = groups->widget()->sizeHint();
    const QSize size = dialog->size();
    for (const char* click : {"metric", "knots", "knots", "statute", "knots"}) {
        clickIn(click);
        QCoreApplication::processEvents();
        EXPECT_EQ(groups->widget()->sizeHint(), content) << "after " << click;
        EXPECT_EQ(dialog->size(), size) << "after " << click;
    }
}
