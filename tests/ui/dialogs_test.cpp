// The GPS data window, the FTP status dialog and the external server dialog
// through their real widgets on the offscreen platform: the main controls,
// what they store, what they start, and where message boxes belong.
// The track store names a member "slots": it comes before Qt's keywords.
#include "ui/support.h"

#include "app/ui/externalServerDialog.h"
#include "app/ui/ftpStatusDialog.h"
#include "app/ui/gpsDataWindow.h"

#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QTimer>

namespace {

using uitest::ManualTimer;

class RecordingServices : public HeadlessUiServices {
public:
    std::vector<std::string> opened;
    bool openUrl(const std::string& url) override {
        opened.push_back(url);
        return true;
    }
};

class FakePublisher : public CFtpPublisherControl {
public:
    int32_t code = ftpNothing;
    int64_t last = 0;
    FtpParams given;
    std::vector<std::string> calls;
    int32_t status() const override { return code; }
    int64_t lastSuccess() const override { return last; }
    FtpParams params() const override { return given; }
    void setParams(const FtpParams& p) override { given = p; }
    void start() override { calls.push_back("start"); }
    void stop() override { calls.push_back("stop"); }
};

template <typename W> W& child(QWidget& parent, const char* name) {
    W* w = parent.findChild<W*>(QString::fromLatin1(name));
    if (!w)
        ADD_FAILURE() << "no widget " << name;
    return *w;
}

// A click near the left edge, where a radio button or check box has its
// indicator and caption.
void clickBox(QAbstractButton& b) {
    QTest::mouseClick(&b, Qt::LeftButton, Qt::NoModifier, QPoint(6, b.height() / 2));
}

void typeInto(QLineEdit& edit, const QString& text) {
    edit.selectAll();
    QTest::keyClick(&edit, Qt::Key_Delete);
    QTest::keyClicks(&edit, text);
}

// Answers the next message box (after checking whose it is) so the test
// goes on; returns the parent it had.
class MessageAnswerer {
public:
    MessageAnswerer() {
        QTimer::singleShot(0, [this] { answer(); });
    }
    QWidget* parent = nullptr;
    QString text;
    Qt::TextFormat format = Qt::AutoText;

private:
    void answer() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            QTimer::singleShot(10, [this] { answer(); });
            return;
        }
        parent = box->parentWidget();
        text = box->text();
        format = box->textFormat();
        box->accept();
    }
};

using GpsDataWindowTest = uitest::UiTest;

TEST_F(GpsDataWindowTest, MainWindowCreatesItHiddenAndShowsItAfterTheOptions) {
    options().ShowGpsData = 0;
    options().GpsDataRight = 0;
    CMainWindow& w = start();
    CGpsDataWindow* data = w.gpsDataWindow();
    ASSERT_NE(data, nullptr);
    EXPECT_FALSE(data->isVisible());
    EXPECT_EQ(data->parentWidget(), nullptr); // stays up while the main window is in the tray
    EXPECT_TRUE(data->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(data->windowTitle().toStdString(), "Nivra GPS Data - ");
    EXPECT_EQ(data->text().toStdString(), kGpsDataTemplateText);
    // First start: beside the main window, not over it.
    EXPECT_FALSE(data->frameGeometry().intersects(w.frameGeometry()));
    EXPECT_EQ(data->y(), w.y());

    options().ShowGpsData = 1;
    w.showGpsData(true);
    EXPECT_EQ(w.gpsDataWindow(), data); // the same window, created once
    EXPECT_TRUE(data->isVisible());

    // The close box hides it and turns the option off.
    data->close();
    EXPECT_FALSE(data->isVisible());
    EXPECT_EQ(options().ShowGpsData, 0);
    options().ShowGpsData = 1;
    w.showGpsData(true);
    EXPECT_TRUE(data->isVisible());

    // The program ending closes it without turning the option off: the next
    // start shows it again.
    w.endDialog();
    EXPECT_FALSE(data->isVisible());
    EXPECT_TRUE(data->close()) << "an ending program is not refused";
    EXPECT_EQ(options().ShowGpsData, 1);
}

TEST_F(GpsDataWindowTest, RefreshShowsTheLocalVehicleAndMovesAreRemembered) {
    COptionsDlg& o = options();
    o.ShowGpsData = 1;
    o.Units = 0;
    o.SpeedInKnots = 0;
    o.GpsDataLeft = 40;
    o.GpsDataTop = 50;
    o.GpsDataRight = 340;
    o.GpsDataBottom = 80;
    CClient* me = clients().add("Me", "localhost");
    clients().designateLocal();
    me->curPos.spd = 10.7;
    me->curPos.alt = 376.3;
    me->curPos.hdg = 270;
    auto manual = std::make_unique<ManualTimer>();
    ManualTimer* tick = manual.get();
    CGpsDataWindow data(options(), clients(), std::move(manual));
    data.create();
    EXPECT_TRUE(data.isVisible());
    EXPECT_EQ(data.pos(), QPoint(40, 50));
    EXPECT_EQ(data.size(), QSize(300, 30));
    tick->fire();
    EXPECT_EQ(data.text().toStdString(), " 12.3 mph   1234.6 ft   270.0 deg");
    EXPECT_EQ(tick->periods, (std::vector<unsigned>{2000, 2000}));
    o.Units = 1;
    tick->fire();
    EXPECT_EQ(data.text().toStdString(), " 19.8 km/h   376.3 m   270.0 deg");

    data.move(120, 130);
    data.resize(320, 40);
    EXPECT_EQ(o.GpsDataLeft, 120);
    EXPECT_EQ(o.GpsDataTop, 130);
    EXPECT_EQ(o.GpsDataRight, 440);
    EXPECT_EQ(o.GpsDataBottom, 170);
    data.hide();
    data.move(500, 500); // hidden: not remembered
    EXPECT_EQ(o.GpsDataLeft, 120);
    o.ShowGpsData = 0;
}

TEST_F(GpsDataWindowTest, GpsdsWordWidensTheWindowToShowTheLineWhole) {
    COptionsDlg& o = options();
    o.ShowGpsData = 1;
    o.GpsDataLeft = 40;
    o.GpsDataTop = 50;
    o.GpsDataRight = 140; // far too narrow for the line
    o.GpsDataBottom = 80;
    clients().add("Me", "localhost");
    clients().designateLocal();
    auto manual = std::make_unique<ManualTimer>();
    ManualTimer* tick = manual.get();
    CGpsDataWindow data(options(), clients(), std::move(manual), [] {
        return GpsdStatus{3, 8, 10};
    });
    data.create();
    ASSERT_EQ(data.width(), 100);
    tick->fire();
    EXPECT_EQ(data.text().toStdString(),
              " 0.0 mph   0.0 ft   0.0 deg   3D fix, 8 of 10 satellites");
    const QLabel& label = child<QLabel>(data, "gpsDataText");
    EXPECT_GE(label.width(), label.fontMetrics().horizontalAdvance(data.text()));
    EXPECT_EQ(data.height(), 30) << "only wider";
    EXPECT_EQ(o.GpsDataRight - o.GpsDataLeft, data.width()) << "and remembered so";
    o.ShowGpsData = 0;
}

TEST_F(GpsDataWindowTest, AStoredPlaceOffEveryScreenComesBackInSight) {
    COptionsDlg& o = options();
    o.ShowGpsData = 1;
    o.GpsDataLeft = 900000;
    o.GpsDataTop = -700000;
    o.GpsDataRight = 899000; // negative width too
    o.GpsDataBottom = -700100;
    CGpsDataWindow data(options(), clients(), std::make_unique<ManualTimer>());
    data.create();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(screen.contains(data.geometry().center()));
    EXPECT_GT(data.width(), 0);
    o.ShowGpsData = 0;
}

class FtpDialogTest : public uitest::UiTest {
protected:
    void open() {
        auto manual = std::make_unique<ManualTimer>();
        tick = manual.get();
        dialog = std::make_unique<CFtpStatusDialog>(options, &publisher, nullptr, std::move(manual),
                                                    [this] { return now; });
        dialog->show();
    }
    QLineEdit& edit(const char* name) { return child<QLineEdit>(*dialog, name); }
    QAbstractButton& radio(const char* name) { return child<QAbstractButton>(*dialog, name); }
    QString label(const char* name) { return child<QLabel>(*dialog, name).text(); }

    COptionsDlg options;
    FakePublisher publisher;
    int64_t now = 1'700'000'000;
    ManualTimer* tick = nullptr;
    std::unique_ptr<CFtpStatusDialog> dialog;
};

TEST_F(FtpDialogTest, ControlsShowTheSettingsAndFollowTheEnableRules) {
    options.pftpPassword = "secret";
    open();
    EXPECT_EQ(edit("password").echoMode(), QLineEdit::Password);
    EXPECT_EQ(edit("password").text(), QStringLiteral("secret"));
    EXPECT_EQ(edit("user").text(), QStringLiteral("anonymous"));
    EXPECT_EQ(edit("period").text(), QStringLiteral("7"));
    EXPECT_EQ(edit("maxPts").text(), QStringLiteral("20000"));
    EXPECT_TRUE(radio("off").isChecked());
    EXPECT_TRUE(radio("useFtp").isChecked());
    EXPECT_FALSE(edit("period").isEnabled());
    EXPECT_TRUE(edit("server").isEnabled());

    clickBox(radio("on"));
    EXPECT_EQ(publisher.calls, std::vector<std::string>{"start"});
    EXPECT_TRUE(edit("period").isEnabled());
    clickBox(radio("localFile"));
    for (const char* name : {"user", "password", "server"})
        EXPECT_FALSE(edit(name).isEnabled()) << name;
    EXPECT_FALSE(radio("copyThenRename").isEnabled());
    clickBox(radio("allVehicles"));
    EXPECT_EQ(options.pftpSaveAll, 1); // at once
    clickBox(radio("off"));
    EXPECT_EQ(publisher.calls, (std::vector<std::string>{"start", "stop"}));
    EXPECT_FALSE(radio("allVehicles").isEnabled());
}

TEST_F(FtpDialogTest, StatusLineRefreshes) {
    open();
    EXPECT_EQ(tick->periods, std::vector<unsigned>{1000});
    publisher.code = ftpSending;
    tick->fire();
    EXPECT_EQ(label("status").toStdString(), "Error sending file");
    publisher.code = ftpDone;
    publisher.last = now;
    tick->fire();
    EXPECT_EQ(label("status").toStdString(), "Update successful");
    EXPECT_EQ(label("lastSuccess").toStdString(), "11/14/23 22:13");
    now += 4;
    tick->fire();
    EXPECT_EQ(label("status").toStdString(), "Waiting to update");
}

TEST_F(FtpDialogTest, OkStoresTrimmedAndABadServerGetsAMessageOverTheDialog) {
    open();
    clickBox(radio("on"));
    typeInto(edit("user"), QStringLiteral("  bob "));
    typeInto(edit("server"), QStringLiteral("ftp://ftp.example.org"));
    typeInto(edit("period"), QStringLiteral("-5"));
    {
        MessageAnswerer answer;
        QTest::keyClick(&edit("period"), Qt::Key_Return);
        EXPECT_EQ(answer.parent, dialog.get());
        EXPECT_TRUE(answer.text.contains(QStringLiteral("ftp://")));
    }
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(options.pftpUserName, "anonymous");

    typeInto(edit("server"), QStringLiteral(" ftp.example.org "));
    QTest::keyClick(&edit("period"), Qt::Key_Return);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(options.pftpUserName, "bob");
    EXPECT_EQ(options.pftpServerName, "ftp.example.org");
    EXPECT_EQ(options.pftpSavePeriod, 0) << "below 0 is 0, which stops publishing";
    EXPECT_EQ(options.pftpEnabled, 1);
    EXPECT_EQ(publisher.given.user, "bob");
}

TEST_F(FtpDialogTest, BoxesWriteAtOnceAndEveryWayOutButOkDropsTheFields) {
    struct Way {
        const char* what;
        std::function<void(CFtpStatusDialog&)> leave;
    } ways[] = {
        {"Cancel button",
         [](CFtpStatusDialog& d) {
             QDialogButtonBox* buttons = d.findChild<QDialogButtonBox*>();
             ASSERT_NE(buttons, nullptr);
             QTest::mouseClick(buttons->button(QDialogButtonBox::Cancel), Qt::LeftButton);
         }},
        {"Escape", [](CFtpStatusDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); }},
        {"close box", [](CFtpStatusDialog& d) { d.close(); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.what);
        options.pftpUserName = "anonymous";
        options.pftpSavePeriod = 7;
        options.pftpEnabled = 0;
        options.pftpForceUpdates = 0;
        options.pftpCopyThenRename = 1;
        publisher.calls.clear();
        open();
        clickBox(radio("on"));
        clickBox(radio("force"));
        clickBox(radio("copyThenRename"));
        typeInto(edit("user"), QStringLiteral("mallory"));
        typeInto(edit("period"), QStringLiteral("99"));
        way.leave(*dialog);
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_EQ(dialog->result(), QDialog::Rejected);
        // The boxes were stored when clicked; the typed fields and the on/off
        // choice were not, and the publisher runs as the setting says again.
        EXPECT_EQ(options.pftpForceUpdates, 1);
        EXPECT_EQ(options.pftpCopyThenRename, 0);
        EXPECT_EQ(options.pftpUserName, "anonymous");
        EXPECT_EQ(options.pftpSavePeriod, 7);
        EXPECT_EQ(options.pftpEnabled, 0);
        EXPECT_EQ(publisher.calls, (std::vector<std::string>{"start", "stop"}));
    }
}

class ServerDialogTest : public uitest::UiTest {
protected:
    void open(bool mapFactor) {
        dialog = std::make_unique<CExternalServerDialog>(options, mapFactor, nullptr);
        dialog->show();
    }
    QLineEdit& edit(const char* name) { return child<QLineEdit>(*dialog, name); }

    COptionsDlg options;
    std::unique_ptr<CExternalServerDialog> dialog;
};

TEST_F(ServerDialogTest, EnterStoresAndStaysEscapeStoresAndEnds) {
    options.moloPass = "pw";
    open(false);
    EXPECT_EQ(edit("webPass").echoMode(), QLineEdit::Password);
    EXPECT_EQ(edit("gpsgPass").echoMode(), QLineEdit::Password);
    EXPECT_EQ(edit("webPass").text(), QStringLiteral("pw"));
    typeInto(edit("webName"), QStringLiteral(" alice "));
    typeInto(edit("webFreq"), QStringLiteral("5"));
    typeInto(edit("gpsgFreq"), QStringLiteral("5"));
    for (const char* box : {"gpsgUpdate", "webEnable", "gpsgEnable"})
        clickBox(child<QAbstractButton>(*dialog, box));
    QTest::keyClick(&edit("webFreq"), Qt::Key_Return);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(options.moloName, "alice");
    EXPECT_EQ(options.moloFreq, 10);
    EXPECT_EQ(options.gpsgFreq, 5);
    EXPECT_EQ(options.gpsgUpdate, 1);
    EXPECT_EQ(options.moloEnable, 1);
    EXPECT_EQ(options.gpsgEnable, 1);
    EXPECT_EQ(edit("webFreq").text(), QStringLiteral("10"));

    typeInto(edit("gpsgName"), QStringLiteral("carol "));
    QTest::keyClick(&edit("gpsgName"), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(options.gpsgName, "carol");
}

TEST_F(ServerDialogTest, MapFactorHasNoTenSecondFloorAndButtonsOpenTheSites) {
    RecordingServices services;
    setUiServices(&services);
    open(true);
    EXPECT_EQ(child<QGroupBox>(*dialog, "webGroup").title(), QStringLiteral("MapFactor"));
    typeInto(edit("webFreq"), QStringLiteral("5"));
    QTest::mouseClick(&child<QAbstractButton>(*dialog, "ok"), Qt::LeftButton);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(options.moloFreq, 5);
    QTest::mouseClick(&child<QAbstractButton>(*dialog, "webSite"), Qt::LeftButton);
    QTest::mouseClick(&child<QAbstractButton>(*dialog, "gpsgSite"), Qt::LeftButton);
    EXPECT_EQ(services.opened, (std::vector<std::string>{kMapFactorSite, kGpsGateSite}));
    setUiServices(nullptr);
}

TEST_F(ServerDialogTest, CloseWithABadPeriodStaysOpenWithAMessage) {
    open(false);
    typeInto(edit("gpsgFreq"), QStringLiteral("often"));
    {
        MessageAnswerer answer;
        dialog->close();
        EXPECT_EQ(answer.parent, dialog.get());
    }
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(options.gpsgFreq, 60);
}

// A refused server name is quoted in the message as it was typed: markup in
// it is text, not something for the box to render or load.
using DialogMessages = uitest::UiTest;

TEST_F(DialogMessages, QuoteWhatWasTypedAsPlainText) {
    const QString typed = QStringLiteral("<img src=\"file:///etc/hosts\"> <b>host</b>");
    COptionsDlg options;
    CFtpStatusDialog ftp(options, nullptr, nullptr, std::make_unique<ManualTimer>(),
                         [] { return int64_t{0}; });
    CExternalServerDialog server(options, false, nullptr);
    struct Case {
        const char* what;
        QDialog* dialog;
        const char* field;
    } cases[] = {
        {"FTP server", &ftp, "server"},
        {"GpsGate server", &server, "gpsgServer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.dialog->show();
        QLineEdit& edit = child<QLineEdit>(*c.dialog, c.field);
        typeInto(edit, typed);
        {
            MessageAnswerer answer;
            QTest::keyClick(&edit, Qt::Key_Return);
            EXPECT_EQ(answer.parent, c.dialog);
            EXPECT_EQ(answer.format, Qt::PlainText);
            EXPECT_TRUE(answer.text.contains(typed)) << answer.text.toStdString();
        }
        EXPECT_TRUE(c.dialog->isVisible());
        c.dialog->hide();
    }
    EXPECT_EQ(options.pftpServerName, COptionsDlg().pftpServerName);
    EXPECT_EQ(options.gpsgServerName, COptionsDlg().gpsgServerName);
}

} // namespace
