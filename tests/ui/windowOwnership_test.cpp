// What the user sees around the main window through the real widgets: message
// boxes belong to it (and so open above it), copying a position that was
// never received copies nothing and says so, and the keyboard focus shows on
// the rotate, zoom and tilt buttons whether they are pressed or not.
#include "support.h"

#include "app/ui/uiServicesQt.h"

#include <QClipboard>
#include <QImage>
#include <QLabel>
#include <QMessageBox>

#include <thread>

using namespace uitest;

namespace {

// The visible message box with that text, if any.
QMessageBox* shownBox(const QString& text) {
    for (QWidget* top : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(top);
        if (box && box->isVisible() && box->text().contains(text))
            return box;
    }
    return nullptr;
}

int luminance(QRgb c) {
    return (299 * qRed(c) + 587 * qGreen(c) + 114 * qBlue(c)) / 1000;
}

} // namespace

class WindowOwnership : public UiTest {
protected:
    CQtUiServicesScope qtServices;
};

TEST_F(WindowOwnership, MessageBoxesBelongToTheMainWindowAndOpenAboveIt) {
    // The message that used to open under the top-most window.
    options().RunInTray = 1;
    options().AlwaysOnTop = 1;
    trayAvailable = false;
    CMainWindow& w = start();
    QCoreApplication::processEvents();
    QMessageBox* box = shownBox(QStringLiteral("no notification area"));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->parentWidget(), &w);
    EXPECT_TRUE(box->isWindow());
    EXPECT_TRUE(w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    box->close();

    // A message from a worker thread while the window is hidden still shows,
    // owned by the window.
    w.hide();
    std::thread worker([] { showMessage("Port 51233 is in use."); });
    worker.join();
    QCoreApplication::processEvents();
    box = shownBox(QStringLiteral("Port 51233 is in use."));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->parentWidget(), &w);
    EXPECT_EQ(box->textFormat(), Qt::PlainText); // messages quote names and paths
    box->close();
}

TEST_F(WindowOwnership, CopyPositionCopiesOnlyAPositionThatWasReceived) {
    CMainWindow& w = start();
    (void)w;
    CClient* me = clients().realLocalVehicle();
    ASSERT_NE(me, nullptr);
    activate();
    const QString before = QStringLiteral("left by the user");
    struct Case {
        const char* name;
        bool followed;
        bool fix;
        QString clipboard;
        const char* status;
    };
    const Case cases[] = {
        {"no vehicle followed", false, false, before,
         "No position to copy: no vehicle is followed"},
        {"followed, never a fix", true, false, before,
         "No position to copy: Me@localhost has no fix yet"},
        {"followed with a fix", true, true, QStringLiteral("51.50000,-0.12000"), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QGuiApplication::clipboard()->setText(before);
        widget<QLabel>("statusLine").setToolTip(QString());
        me->curPos = GpsFix();
        if (c.fix) {
            me->curPos.lat = 51.5;
            me->curPos.lon = -0.12;
            me->curPos.time = nowFixTime();
        }
        sys.tracked = c.followed ? me : nullptr;
        key(Qt::Key_C, Qt::ControlModifier);
        EXPECT_EQ(QGuiApplication::clipboard()->text(), c.clipboard);
        EXPECT_EQ(widget<QLabel>("statusLine").toolTip().toStdString(), c.status);
    }
    // The next tick shows the usual status again.
    timer->fire();
    EXPECT_EQ(widget<QLabel>("statusLine").toolTip().toStdString(), "Demo Mode");
}

TEST_F(WindowOwnership, FocusShowsOnTheToggleButtonsPressedOrNot) {
    start();
    activate();
    QAbstractButton& rotate = button("rotate");
    QAbstractButton& options = button("startPause");
    for (bool pressed : {false, true}) {
        SCOPED_TRACE(pressed ? "pressed" : "not pressed");
        rotate.setChecked(pressed);
        options.setFocus();
        QCoreApplication::processEvents();
        const QImage away = rotate.grab().toImage();
        rotate.setFocus();
        QCoreApplication::processEvents();
        ASSERT_TRUE(rotate.hasFocus());
        const QImage focused = rotate.grab().toImage();

        // The frame at the left edge, against the face in the middle.
        const QPoint edge(1, focused.height() / 2);
        const QPoint face(focused.width() / 2, 2);
        const int frame = luminance(focused.pixel(edge));
        EXPECT_GE(std::abs(frame - luminance(focused.pixel(face))), 80)
            << "the focus frame stands out from the button's face";
        EXPECT_NE(focused.pixel(edge), away.pixel(edge)) << "focus changes the frame";
    }
}
