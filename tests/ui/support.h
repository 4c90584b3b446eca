// The main window under test: real widgets over the fake subsystems of
// tests/app, with a timer the test fires itself, in a fresh start directory
// with its own registry file.
#pragma once

#include "app/support.h"
#include "app/ui/mainWindow.h"
#include "app/ui/tickTimer.h"
#include "platform/uiServices.h"

#include <QApplication>
#include <QTest>

#include <memory>

namespace uitest {

// Records every period the window arms; fire() is one tick.
class ManualTimer : public CTickTimer {
public:
    std::vector<unsigned> periods;
    void start(unsigned periodMs) override { periods.push_back(periodMs); }
    void fire() { tick(); }
};

class UiTest : public apptest::AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        resetMessagesShown();
    }
    void TearDown() override {
        window.reset();
        AppTest::TearDown();
    }

    // Creates the window and runs its start-up.
    CMainWindow& start() {
        auto manual = std::make_unique<ManualTimer>();
        timer = manual.get();
        window = std::make_unique<CMainWindow>(sys, std::move(manual));
        if (trayAvailable)
            window->setTrayAvailable(*trayAvailable);
        window->startUp();
        return *window;
    }

    // Shows the window and makes it the active one, so that its keyboard
    // shortcuts apply.
    void activate() {
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }

    template <typename W> W& widget(const char* name) {
        W* w = window->findChild<W*>(QString::fromLatin1(name));
        if (!w)
            ADD_FAILURE() << "no widget " << name;
        return *w;
    }
    QAbstractButton& button(const char* name) { return widget<QAbstractButton>(name); }
    // A click near the left edge, where a check box has its box and caption.
    void click(const char* name) {
        QAbstractButton& b = button(name);
        QTest::mouseClick(&b, Qt::LeftButton, Qt::NoModifier, QPoint(6, b.height() / 2));
    }
    void key(Qt::Key k, Qt::KeyboardModifiers mods) { QTest::keyClick(window.get(), k, mods); }
    std::string caption() { return button("startPause").text().toStdString(); }

    std::optional<bool> trayAvailable;
    ManualTimer* timer = nullptr;
    std::unique_ptr<CMainWindow> window;
};

} // namespace uitest
