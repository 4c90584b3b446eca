// The main window's timer 1. CtestDlg arms it with 200 ms at start-up and
// re-arms it with 2000 ms on every tick; the window only forwards the ticks.
// Tests hand the window a timer they fire themselves.
#pragma once

#include <QTimer>

#include <functional>

class CTickTimer {
public:
    virtual ~CTickTimer() = default;
    // (Re)starts the timer: the next tick comes `periodMs` from now, and
    // then every `periodMs` until the next start.
    virtual void start(unsigned periodMs) = 0;
    void setHandler(std::function<void()> handler) { m_handler = std::move(handler); }

protected:
    void tick() {
        if (m_handler)
            m_handler();
    }

private:
    std::function<void()> m_handler;
};

// The real one: a repeating QTimer on the user-interface thread.
class CQtTickTimer : public CTickTimer {
public:
    CQtTickTimer();
    void start(unsigned periodMs) override;
    const QTimer& timer() const { return m_timer; }

private:
    QTimer m_timer;
};
