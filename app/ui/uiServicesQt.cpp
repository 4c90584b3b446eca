#include "app/ui/uiServicesQt.h"

#include "app/ui/appIcon.h"
#include "trace/trace.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <QUrl>

#include <functional>
#include <memory>

namespace {

// Runs `work` on the user-interface thread: now when called there, else
// queued. False when there is no application (it has already ended).
bool onUiThread(std::function<void()> work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return false;
    if (QThread::currentThread() == app->thread()) {
        work();
        return true;
    }
    return QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

QPointer<QWidget> g_dialogOwner;

} // namespace

void setDialogOwner(QWidget* owner) {
    g_dialogOwner = owner;
}

QWidget* dialogOwner() {
    return g_dialogOwner.data();
}

QWidget* messageOwner() {
    if (QWidget* modal = QApplication::activeModalWidget())
        return modal;
    if (QWidget* active = QApplication::activeWindow();
        active && !qobject_cast<QMessageBox*>(active))
        return active;
    return dialogOwner();
}

namespace {

std::unique_ptr<QMessageBox> warningBox(QWidget* parent, const QString& title,
                                        const QString& text) {
    auto box =
        std::make_unique<QMessageBox>(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box->setWindowIcon(nivraIcon());
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    return box;
}

} // namespace

void showMessageOver(QWidget* parent, const std::string& title, const std::string& text) {
    NTRACE_AS("messageBox", "%s: %s", title.c_str(), text.c_str());
    std::unique_ptr<QMessageBox> box =
        warningBox(parent, QString::fromStdString(title), QString::fromStdString(text));
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    // Shown once the event that led here is done: the Enter that ended a
    // field would otherwise go on to the dialog, which presses the box's
    // own default button and closes it unseen.
    QPointer<QMessageBox> shown = box.release(); // Qt deletes it once closed
    QMetaObject::invokeMethod(
        shown.data(),
        [shown] {
            if (shown) {
                shown->show();
                shown->raise();
            }
        },
        Qt::QueuedConnection);
}

void CQtUiServices::messageBox(const std::string& text, const std::string& title) {
    NTRACE_AS("messageBox", "%s: %s", title.c_str(), text.c_str());
    const QString qtext = QString::fromStdString(text);
    const QString qtitle = QString::fromStdString(title);
    const bool queued = onUiThread([qtext, qtitle] {
        // Above the window the user works in, yet a window of its own: it
        // shows even while the main window is hidden in the tray, does not
        // block anything, and Qt deletes it once closed.
        std::unique_ptr<QMessageBox> box = warningBox(messageOwner(), qtitle, qtext);
        box->setModal(false);
        box->show();
        box->raise();
        box.release();
    });
    if (!queued)
        HeadlessUiServices().messageBox(text, title);
}

void warnOver(QWidget* parent, const std::string& title, const std::string& text) {
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(title),
                    QString::fromStdString(text), QMessageBox::Ok, parent);
    box.setWindowIcon(nivraIcon());
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool CQtUiServices::setClipboardText(const std::string& text) {
    const QString qtext = QString::fromStdString(text);
    return onUiThread([qtext] {
        if (QClipboard* clipboard = QGuiApplication::clipboard())
            clipboard->setText(qtext);
    });
}

bool CQtUiServices::openUrl(const std::string& url) {
    const QUrl target = QUrl::fromUserInput(QString::fromStdString(url));
    if (!target.isValid())
        return false;
    const QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return false;
    if (QThread::currentThread() == app->thread())
        return QDesktopServices::openUrl(target);
    return onUiThread([target] { QDesktopServices::openUrl(target); });
}
