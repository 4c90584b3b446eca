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
#include "trace/journal.h"
#include "trace/trace.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <unistd.h>

namespace {

std::atomic<int> g_stopRequested{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler writes the flag");

// The first signal asks for the stop. Later ones (a service manager or
// `timeout` often sends two) are only counted and noted on stderr: ending the
// process now would cut the exit save short and lose the session.
// The note, with its journal priority when stderr goes to the journal, made
// before the handler is installed (the handler may only write it).
char g_stopNote[96];
size_t g_stopNoteLength = 0;

void onStopSignal(int) {
    if (g_stopRequested.fetch_add(1) == 0)
        return;
    ssize_t ignored = ::write(STDERR_FILENO, g_stopNote, g_stopNoteLength);
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
    const std::string note =
        stderrLines(kJournalWarning, "nivra: another stop signal; still saving, please wait");
    g_stopNoteLength = std::min(note.size(), sizeof g_stopNote);
    std::memcpy(g_stopNote, note.data(), g_stopNoteLength);
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

const BindOutcome* listening(const std::vector<ListenerReport>& listeners, ListenerRole role) {
    for (const ListenerReport& r : listeners)
        if (r.role == role && r.bind.listening())
            return &r.bind;
    return nullptr;
}

// " listens on ADDRESS, reachable from WHERE" (`verb` "listen" for two ports).
std::string whereText(const BindOutcome& bind, const char* verb = "listens") {
    const std::string address = shownAddress(bind.address);
    return std::string(" ") + verb + " on " + address + ", reachable from " + reachText(address);
}

} // namespace

std::string listenerName(ListenerRole role) {
    switch (role) {
    case ListenerRole::base:
        return "base";
    case ListenerRole::peerControl:
        return "peer control";
    case ListenerRole::peerPing:
        return "peer ping";
    case ListenerRole::networkLink:
        return "network link";
    case ListenerRole::trackerLines:
        return "tracker lines";
    case ListenerRole::phones:
        return "phones";
    }
    return "listener";
}

std::string listenerSummary(const COptionsDlg& o, const std::vector<ListenerReport>& listeners) {
    std::string gpsHosts = "127.0.0.1";
    if (!o.LocalGpsHosts.empty())
        gpsHosts += " and " + o.LocalGpsHosts;
    std::string text;
    if (const BindOutcome* b = listening(listeners, ListenerRole::networkLink))
        text += "  Port " + std::to_string(b->port) + " (network link)" + whereText(*b) +
                ": this machine reads every vehicle's position and track; other machines only "
                "with a share link (nivra --share create), the vehicles it grants.\n";
    if (const BindOutcome* b = listening(listeners, ListenerRole::base))
        text += "  Port " + std::to_string(b->port) + " (base)" + whereText(*b) +
                ": it answers nothing.\n";
    if (const BindOutcome* b = listening(listeners, ListenerRole::trackerLines))
        text += "  Port " + std::to_string(b->port) + " (tracker lines)" + whereText(*b) +
                ": whoever reaches it can add up to " + std::to_string(o.MaxDeviceVehicles) +
                " tracker vehicles; its NMEA sentences (\"$GPRMC\", \"$GNGGA\"...) move the "
                "local vehicle only from " +
                gpsHosts + ".\n";
    if (const BindOutcome* b = listening(listeners, ListenerRole::phones))
        text += "  Port " + std::to_string(b->port) + " (phones)" + whereText(*b) +
                ": phones with their device key report here (OsmAnd / Traccar Client, "
                "OwnTracks); " +
                (o.PhoneEnrolment ? "new identifiers with a key become phones (PhoneEnrolment 1)"
                                  : "unknown identifiers are refused") +
                ".\n";
    const BindOutcome* control = listening(listeners, ListenerRole::peerControl);
    const BindOutcome* ping = listening(listeners, ListenerRole::peerPing);
    if (control && ping && control->address == ping->address)
        text += "  Ports " + std::to_string(control->port) + " and " + std::to_string(ping->port) +
                " (peers)" + whereText(*control, "listen") + ": ";
    else if (control)
        text += "  Port " + std::to_string(control->port) + " (peer control)" +
                whereText(*control) + ": ";
    if (control) {
        // Whoever reaches the control port reads the local vehicle's track.
        if (shownAddress(control->address).starts_with("127."))
            text += "your position is not shared with other machines (the PeerBindAddress "
                    "setting shares it, see docs/peers.md).\n";
        else
            text += "your position is shared: whoever reaches them reads the local vehicle's "
                    "position and stored track.\n";
    }
    if (ping && !(control && control->address == ping->address))
        text += "  Port " + std::to_string(ping->port) + " (peer ping)" + whereText(*ping) +
                ": it tells that Nivra runs.\n";
    return text;
}

std::string unopenedPorts(const std::vector<ListenerReport>& listeners) {
    std::vector<ListenerReport> byPort = listeners;
    std::stable_sort(
        byPort.begin(), byPort.end(),
        [](const ListenerReport& a, const ListenerReport& b) { return a.bind.port < b.bind.port; });
    std::string text;
    for (const ListenerReport& r : byPort) {
        if (r.bind.listening())
            continue;
        text += "nivra: cannot open port " + std::to_string(r.bind.port) + " (" +
                listenerName(r.role) + ") on " + shownAddress(r.bind.address) + ": ";
        if (!r.bind.tried)
            text += "it did not open in time";
        else if (r.bind.error == EADDRINUSE)
            text += std::string(std::strerror(r.bind.error)) +
                    "; another program holds it (another copy of Nivra?)";
        else
            text += std::strerror(r.bind.error);
        text += "\n";
    }
    return text;
}

void CHeadless::printBanner(bool pressStart, const std::vector<ListenerReport>& listeners) {
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
          << listenerSummary(o, listeners);
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
    // A run that cannot serve its ports is not running: a second copy, or a
    // port another program holds. It says which and ends with a failure, so
    // that a service manager sees it, and leaves the files and settings as
    // they were (this run changed nothing worth keeping).
    const std::vector<ListenerReport> listeners = m_sys.listeners(kBindWaitMs);
    if (const std::string unopened = unopenedPorts(listeners); !unopened.empty()) {
        m_err << stderrLines(kJournalError,
                             unopened +
                                 "nivra: ending without saving anything; nothing was started.")
              << std::flush;
        dlg.abandon();
        return kExitPortsUnavailable;
    }
    printBanner(pressStart, listeners);
    m_readiness.ready();
    // --start gets the demo going (or a paused engine); a running engine
    // stays as it is.
    if (pressStart)
        dlg.onContinue();

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

    m_readiness.stopping();
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
    // The trace log's stderr copy has the details; this is the summary line
    // (something the user should read: a damaged file, a failed save, files
    // that moved).
    m_err << stderrLines(journalPriority(kTraceNotice), "nivra: " + text) << std::flush;
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
