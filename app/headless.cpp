#include "app/headless.h"

#include "app/OptionsDlg.h"
#include "app/appContext.h"
#include "app/subsystems.h"
#include "app/testApp.h"
#include "earth/globe.h"
#include "net/server.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "trace/trace.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <iostream>
#include <unistd.h>

namespace {

std::atomic<int> g_stopRequested{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler writes the flag");

// The first signal asks for the stop. Later ones (a service manager or
// `timeout` often sends two) are only counted and noted on stderr: ending the
// process now would cut the exit save short and lose the session.
void onStopSignal(int) {
    if (g_stopRequested.fetch_add(1) == 0)
        return;
    static const char kNote[] = "nivra: another stop signal; still saving, please wait\n";
    ssize_t ignored = ::write(STDERR_FILENO, kNote, sizeof kNote - 1);
    (void)ignored;
}

} // namespace

uint64_t LoopClock::nowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void LoopClock::waitMs(unsigned ms) {
    sleepMs(ms);
}

void installStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void requestStop() {
    g_stopRequested = 1;
}
bool stopRequested() {
    return g_stopRequested != 0;
}
int stopSignalsSeen() {
    return g_stopRequested;
}
void clearStopRequest() {
    g_stopRequested = 0;
}

CHeadless::CHeadless(CSubsystems& sys, LoopClock& clock, std::ostream& out, std::ostream& err)
    : m_sys(sys), m_clock(clock), m_out(out), m_err(err) {}

void CHeadless::setTimer(unsigned periodMs) {
    m_deadline = m_clock.nowMs() + periodMs;
    m_timerArmed = true;
}

void CHeadless::setStatusLine(const std::string& text) {
    if (text == m_lastStatus)
        return;
    m_lastStatus = text;
    if (!text.empty())
        m_out << "Nivra: " << text << std::endl;
}

namespace {

std::string shownAddress(const std::string& address) {
    return address.empty() ? "0.0.0.0" : address;
}

} // namespace

std::string listenerSummary(const COptionsDlg& o, int linkPort) {
    const std::string nearAddress = shownAddress(linkListenAddress(o));
    const std::string farAddress = shownAddress(o.BindAddress);
    std::string gpsHosts = "127.0.0.1";
    if (!o.LocalGpsHosts.empty())
        gpsHosts += " and " + o.LocalGpsHosts;
    std::string text;
    text += "  Port " + std::to_string(linkPort) + " (network link) listens on " + nearAddress +
            ", reachable from " + reachText(nearAddress) +
            ": whoever reaches it reads every vehicle's position and track.\n";
    text += "  Port " + std::to_string(kBasePort) + " (base) listens on " + nearAddress +
            ", reachable from " + reachText(nearAddress) + ": it answers nothing.\n";
    text += "  Port " + std::to_string(kTrackerPort) + " (tracker lines) listens on " + farAddress +
            ", reachable from " + reachText(farAddress) + ": whoever reaches it can add up to " +
            std::to_string(o.MaxDeviceVehicles) +
            " tracker vehicles; its NMEA sentences (\"$GPRMC\", \"$GNGGA\"...) move the local "
            "vehicle only from " +
            gpsHosts + ".\n";
    text += "  Ports " + std::to_string(kControlPort) + " and " + std::to_string(kPingPort) +
            " (peers) listen on " + farAddress + ", reachable from " + reachText(farAddress) +
            ": whoever reaches them reads the local vehicle's position and stored track.\n";
    return text;
}

void CHeadless::printBanner(bool pressStart) {
    const COptionsDlg& o = m_sys.options();
    const std::string link = linkListenAddress(o);
    const std::string registry = m_sys.registry().path();
    m_out << "Nivra " << NIVRA_VERSION << " is running without a window.\n"
          << "  Start directory: " << g_startDir << "\n"
          << "  Settings: " << registry
          << (::access(registry.c_str(), F_OK) == 0
                  ? "\n"
                  : " (written when the settings are first saved)\n")
          << "  In Google Earth add a network link to " << listenerUrl(link, m_sys.linkPort())
          << "/NivraServers (refresh every 0.5 seconds).\n"
          << "  In a browser open " << globeAddress(link, m_sys.linkPort())
          << " to see the vehicles on a 3D globe.\n"
          << listenerSummary(o, m_sys.linkPort());
    if (o.DemoMode) {
        if (m_sys.paused() && !pressStart)
            m_out << "  Demo mode: paused until started (run with --start).\n";
        else
            m_out << "  Demo mode: the demo vehicles are driving.\n";
    }
    m_out << "  Stop with Ctrl+C or `kill -TERM " << getpid()
          << "`; tracks and settings are saved on the way out." << std::endl;
}

int CHeadless::run(bool pressStart, const SettingOverrides& overrides) {
    CtestDlg dlg(*this, m_sys);
    dlg.setOverrides(overrides);
    dlg.startUp();
    printBanner(pressStart);
    if (pressStart)
        dlg.onStartPause();

    while (!m_ended) {
        if (stopRequested()) {
            dlg.onCancel();
            break;
        }
        dlg.processPosted();
        const uint64_t now = m_clock.nowMs();
        if (m_timerArmed && now >= m_deadline) {
            m_timerArmed = false;
            if (m_tickObserver)
                m_tickObserver(now);
            dlg.onTimer();
            continue;
        }
        uint64_t wait = kPollMs;
        if (m_timerArmed)
            wait = std::min<uint64_t>(wait, m_deadline - now);
        m_clock.waitMs(static_cast<unsigned>(wait));
    }

    m_out << "Nivra: stopping; saving tracks, vehicles and settings." << std::endl;
    const bool saved = dlg.shutdown();
    if (stopSignalsSeen() > 1)
        NTRACE_WARN("%d more stop signals came during the shutdown; the save went on",
                    stopSignalsSeen() - 1);
    if (!saved) {
        m_out << "Nivra: stopped, but not everything could be saved (see the messages above)."
              << std::endl;
        return 1;
    }
    m_out << "Nivra: stopped." << std::endl;
    return 0;
}

void CHeadless::showNotice(const std::string& text) {
    // The trace log's stderr copy has the details; this is the summary line.
    m_err << "nivra: " << text << std::endl;
}

int runHeadless(const CommandLine& cmd) {
    installStopSignals();
    // Nobody watches a log file on a server: warnings and errors go to stderr.
    setTraceToStderr(true);
    CAppContext parts(defaultRegistryPath());
    parts.engine().m_stopAsked = &stopRequested;
    LoopClock clock;
    CHeadless headless(parts.links(), clock, std::cout, std::cerr);
    return headless.run(cmd.start, settingOverrides(cmd));
}
