// Headless mode: the main window's logic without a window, for servers and
// tests. The same start-up sequence, timer loop and shutdown sequence run on
// the main thread; the timer is a plain loop on a clock, SIGINT and SIGTERM
// end the dialog as Escape would, so tracks, the vehicle list and the
// settings are saved on the way out.
#pragma once

#include "app/serviceReadiness.h"
#include "app/subsystems.h"
#include "app/testDlg.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

class COptionsDlg;
class CSubsystems;
struct CommandLine;

// The clock the loop waits on; tests hand in one that advances by itself.
class LoopClock {
public:
    virtual ~LoopClock() = default;
    virtual uint64_t nowMs();
    virtual void waitMs(unsigned ms);
};

class CHeadless : public CtestDlgView {
public:
    // How often the loop looks for a stop request and posted work.
    static constexpr unsigned kPollMs = 50;
    // How long start-up waits for each listener's first bind.
    static constexpr unsigned kBindWaitMs = 5000;
    // The exit status of a run whose ports could not be opened.
    static constexpr int kExitPortsUnavailable = 1;

    // `err` gets the notices (damaged files, failed saves).
    CHeadless(CSubsystems& sys, LoopClock& clock, std::ostream& out, std::ostream& err);

    // Starts up, checks that every listener opened its port (else says which
    // could not and ends at once, saving nothing), optionally starts a
    // paused engine (--start), then runs the timer until a stop is requested,
    // and shuts down. Returns the exit status.
    int run(bool pressStart, const SettingOverrides& overrides);

    // Where readiness and the stop are told (default: NOTIFY_SOCKET's
    // service manager, see app/serviceReadiness.h).
    void setServiceNotifier(ServiceReadiness::Send send) {
        m_readiness = ServiceReadiness(std::move(send));
    }

    // Called with the loop clock's time just before each timer tick.
    void setTickObserver(std::function<void(uint64_t nowMs)> observer) {
        m_tickObserver = std::move(observer);
    }

    // The view: nothing to show, the timer is the loop's.
    void placeWindow(bool, int, int, bool) override {}
    void setTopMost(bool) override {}
    void showWindow(bool) override {}
    bool windowShown() const override { return false; }
    void setTitle(const std::string&) override {}
    void setCheck(DlgCheck, bool) override {}
    void showSelector(const std::vector<std::string>&, int) override {}
    void setStartCaption(const std::string&) override {}
    void setStatusLine(const std::string& text) override;
    void setTimer(unsigned periodMs) override;
    void endDialog() override { m_ended = true; }
    void showNotice(const std::string& text) override;

private:
    void printBanner(bool pressStart, const std::vector<ListenerReport>& listeners);

    CSubsystems& m_sys;
    LoopClock& m_clock;
    std::ostream& m_out;
    std::ostream& m_err;
    std::function<void(uint64_t)> m_tickObserver;
    bool m_timerArmed = false;
    uint64_t m_deadline = 0;
    bool m_ended = false;
    std::string m_lastStatus;
    ServiceReadiness m_readiness;
};

// SIGINT and SIGTERM ask the loop to stop. Later signals do not end the
// process: they are noted on stderr and the exit save goes on to its end.
void installStopSignals();
void requestStop();
bool stopRequested();
// Stop signals (and requests) since the last clear.
int stopSignalsSeen();
void clearStopRequest();

// The banner's lines on the listeners: for each port that listens, who can
// reach it and what that lets them do, and whether the position is shared.
std::string listenerSummary(const COptionsDlg& o, const std::vector<ListenerReport>& listeners);
// One line for each listener that could not open its port, saying which and
// why; empty when all listen.
std::string unopenedPorts(const std::vector<ListenerReport>& listeners);
// "network link", "peer control", ...
std::string listenerName(ListenerRole role);

// Headless mode with the real engine and serial reader.
int runHeadless(const CommandLine& cmd);
