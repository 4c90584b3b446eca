#include "app/testDlg.h"

#include "app/OptionsDlg.h"
#include "app/historyCommands.h"
#include "app/settingsHandOver.h"
#include "app/sourceSwitch.h"
#include "app/subsystems.h"
#include "app/windowCommands.h"
#include "earth/autoViewState.h"
#include "earth/globe.h"
#include "history/gpkg.h"
#include "net/server.h"
#include "platform/atomicFile.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "platform/uiServices.h"
#include "remote/client.h"
#include "sources/gpsd.h"
#include "sources/recording.h"
#include "trace/notice.h"
#include "trace/trace.h"
#include "track/outsideText.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {

// Requests from other threads wait here for the user-interface thread.
std::mutex g_postedMutex;
std::atomic<bool> g_autoTrackOffPosted{false};
std::optional<std::string> g_portFoundPosted;
std::optional<std::string> g_pendingSelection;

int trackingBit(DlgCheck box) {
    switch (box) {
    case DlgCheck::AutoTrack:
        return kTrackFollow;
    case DlgCheck::AutoView:
        return kTrackViewControl;
    case DlgCheck::Rotate:
        return kTrackHeading;
    case DlgCheck::Zoom:
        return kTrackRange;
    case DlgCheck::Tilt:
        return kTrackTilt;
    }
    return 0;
}

// The settings object's copy of the status line, which the KML label shows.
constexpr size_t kStatusTextMax = 255;

constexpr DlgCheck kAllChecks[kDlgCheckCount] = {DlgCheck::AutoTrack, DlgCheck::AutoView,
                                                 DlgCheck::Rotate, DlgCheck::Zoom, DlgCheck::Tilt};

} // namespace

void setPendingSelection(const std::string& entry) {
    std::lock_guard<std::mutex> lock(g_postedMutex);
    g_pendingSelection = entry;
}

std::optional<std::string> takePendingSelection() {
    std::lock_guard<std::mutex> lock(g_postedMutex);
    std::optional<std::string> entry;
    entry.swap(g_pendingSelection);
    return entry;
}

std::optional<std::string> peekPendingSelection() {
    std::lock_guard<std::mutex> lock(g_postedMutex);
    return g_pendingSelection;
}

void postAutoTrackOff() {
    g_autoTrackOffPosted = true;
}

void postPortFound(const std::string& port) {
    std::lock_guard<std::mutex> lock(g_postedMutex);
    g_portFoundPosted = port;
}

CtestDlg::CtestDlg(CtestDlgView& view, CSubsystems& sys)
    : m_view(view), m_sys(sys), m_saver(sys.clients()) {}

// The status line goes with the settings to the threads that write KML.
void CtestDlg::publishStatus(const std::string& status) {
    m_sys.options().statusText = status.substr(0, kStatusTextMax);
    m_sys.settingsChanged();
}

bool CtestDlg::runsInTray() const {
    return m_sys.options().RunInTray && m_view.trayAvailable();
}

std::string CtestDlg::aboutText() {
    return std::string("Nivra version ") + NIVRA_VERSION;
}

// Removes what saves of dead processes left behind, and warns at once when
// nothing can be saved in the start directory (rather than at exit, when the
// points would be lost).
void CtestDlg::checkStartDirectory() {
    const std::string registry = resolveLinkTarget(m_sys.registry().path());
    const size_t slash = registry.rfind('/');
    const std::string registryDir = slash == std::string::npos
                                        ? std::string(".")
                                        : registry.substr(0, std::max<size_t>(slash, 1));
    int removed = removeStaleTempFiles(g_startDir, ".trk") +
                  removeStaleTempFiles(registryDir, registry.substr(slash + 1));
    if (removed > 0)
        NTRACE_WARN("removed %d temporary files left by earlier runs", removed);
    const std::string probe = tempNameBeside(FullPath(".nivra-write-check"));
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        noticeUser("CtestDlg::startUp", "The start directory " + g_startDir +
                                            " cannot be written (" + std::strerror(errno) +
                                            "): tracks will not be saved");
        return;
    }
    ::close(fd);
    ::unlink(probe.c_str());
}

void CtestDlg::startUp() {
    COptionsDlg& o = m_sys.options();
    CClients& clients = m_sys.clients();

    checkStartDirectory();
    o.load(m_sys.registry());
    if (m_overrides.bindAddress)
        o.BindAddress = *m_overrides.bindAddress;
    if (m_overrides.earthBackend)
        o.EarthBackend = *m_overrides.earthBackend;
    if (m_overrides.gpsdServer) {
        o.GpsSource = kGpsSourceGpsd;
        if (!m_overrides.gpsdServer->empty())
            o.GpsdServer = *m_overrides.gpsdServer;
        o.DemoMode = 0;
        o.AutoConnect = 1;
    }
    m_sys.selectEarth(o.EarthBackend);
    // Continuous logging goes on where the last run left it.
    if (o.ContinuousLog)
        m_sys.recording().setContinuous(true);
    m_sys.settingsChanged();

    clients.load(m_sys.registry(), "Me", "localhost");
    clients.designateLocal();
    m_sys.startPeers();

    // The local vehicle continues from its last stored track.
    CClient* local = clients.realLocalVehicle();
    if (local) {
        if (local->track.loadOrSetAside(FullPath(kLocalTrackFile))) {
            TrackLockGuard lock;
            if (const TrackPoint* newest = lock.ok() ? local->track.point(0) : nullptr)
                CTrack::toFix(*newest, local->curPos);
        }
        local->track.m_newPt = 1;
        if (o.ClearTrackOnStartup) {
            // Only the last known position stays (the track refuses 0,0
            // when there is none).
            local->track.clear();
            local->track.add(local->curPos, 2);
        }
    }

    publishStatus(std::string()); // the engine starts with an empty status line
    const int linkPort = o.FixBlur ? kFixBlurPort : kNetworkLinkPort;
    if (!m_sys.startEngine(linkPort))
        NTRACE("engine did not start");
    m_sys.setPortFoundHandler([](const std::string& port) { postPortFound(port); });

    const int tracking = o.Tracking;
    for (DlgCheck box : kAllChecks)
        setCheckState(box, (tracking & trackingBit(box)) != 0);

    m_view.placeWindow(o.AlwaysOnTop == 1, o.Left, o.Top, !runsInTray());

    m_sys.configureSerial(o.AutoFind, o.Port, o.RateNumber, o.FlowControl);
    if (o.AutoConnect == 1 && o.DemoMode == 0) {
        m_sys.startSerial();
        if (o.AutoStartGE == 1)
            m_sys.loadServer();
    }
    m_sys.setPace(3601 - o.DemoSpeed);

    m_view.setTimer(kFirstTickMs);

    m_selectedKey = o.Name;
    m_selector.fill(clients);
    m_selector.selectKey(m_selectedKey, clients);
    showSelector();
    applyCameraSelection(m_sys, o, clients, m_selectedKey);

    if (o.DemoMode) {
        m_sys.startSource(std::string());
        m_sys.waitMs(1000);
        m_sys.setPaused(true);
        setPendingSelection(kDemoPendingEntry);
        applyPendingSelection();
    }

    m_sys.setUpPublisher(o);
    // The globe is announced with the network link: say now, not at the
    // first visit, when it cannot work.
    if (const std::string missing = cesiumMissing(globeFolders()); !missing.empty())
        NTRACE_WARN("globe: %s", missing.c_str());
    updateTray();
    m_view.setTitle(kWindowTitle);
    m_view.showGpsData(o.ShowGpsData != 0);
    updateCaption();
    NTRACE("started");
}

void CtestDlg::onTimer() {
    if (runsInTray() && !m_firstTickDone)
        m_view.showWindow(false);
    const bool firstTick = !m_firstTickDone;
    m_firstTickDone = true;
    m_view.setTimer(kTickMs);

    updateCaption();
    updateStatus();
    publishStatus(m_status);

    if (!m_selector.dropped()) {
        CClients& clients = m_sys.clients();
        m_selector.fill(clients);
        showSelector();
        m_selectedKey = m_selector.readKey(clients);
        // A pending selection is taken whatever the selector shows, so it
        // never waits to override the user's next pick.
        if (m_selectedKey != m_lastSeenSelection || peekPendingSelection())
            selectionChange();
        m_lastSeenSelection = m_selectedKey;
    }

    const int64_t now = m_sys.nowSeconds();
    if (firstTick)
        m_lastPeriodicSave = now;
    periodicSave(now);
    showNotices();
    m_view.setStatusLine(m_noticeTicks > 0 ? m_notice : m_status);
}

// Problems the user must hear about take the status line for a while.
void CtestDlg::showNotices() {
    for (const std::string& text : takeUserNotices()) {
        m_view.showNotice(text);
        m_notice = text;
        m_noticeTicks = kNoticeTicks + 1;
    }
    if (m_noticeTicks > 0)
        --m_noticeTicks;
}

void CtestDlg::updateCaption() {
    if (m_sys.paused()) {
        if (m_sys.options().DemoMode == 1 && !m_startedOnce)
            m_caption = kCaptionStartDemo;
        else
            m_caption = kCaptionContinue;
    } else {
        m_caption = kCaptionPause;
    }
    m_view.setStartCaption(m_caption);
}

void CtestDlg::updateStatus() {
    CClient* local = m_sys.clients().localVehicle();
    if (m_sys.options().DemoMode) {
        m_status = kStatusDemoMode;
        return;
    }
    if (m_sys.playback()) {
        // The serial reader rests meanwhile; its "Disconnected" would say
        // nothing is coming in.
        const std::string& log = m_sys.options().LogFile;
        m_status = kStatusPlayingBack + log.substr(log.find_last_of('/') + 1);
        return;
    }
    const std::string serial = m_sys.serialStatus();
    if (serial == "Receiving") {
        if (m_sys.fixState() == "Locked") {
            m_status = kStatusSignalAcquired;
        } else {
            m_status = kStatusAcquiring;
            if (local)
                local->track.m_newPt = 1;
        }
    } else {
        m_status = serial;
        m_sys.clearFixState();
        if (local)
            local->track.m_newPt = 1;
    }
}

// Saves the changed tracks and the vehicle list on a thread of its own, so a
// slow disk never holds up the window; a failure is reported when it ends.
void CtestDlg::periodicSave(int64_t now) {
    if (std::optional<SaveOutcome> done = m_saver.takeOutcome(); done && !done->ok())
        noticeUser("CtestDlg::periodicSave", saveFailureText(*done));
    const int64_t period = m_sys.options().AutoSavePeriod;
    if (period <= 0 || now - m_lastPeriodicSave <= period)
        return;
    NTRACE("periodic save");
    if (m_saver.start())
        m_lastPeriodicSave = now;
}

void CtestDlg::waitForBackgroundSave() {
    m_saver.wait();
}

void CtestDlg::onStartPause() {
    COptionsDlg& o = m_sys.options();
    bool installLink = false;
    if (m_sys.paused()) {
        m_sys.setPaused(false);
        setAutoViewHeadingHold(true);
        installLink = o.AutoStartGE == 1;
        m_startedOnce = true;
    } else {
        m_sys.setPaused(true);
    }
    updateCaption();
    if (!m_sys.paused() && !m_sys.playback()) {
        switchGpsSource(m_sys, o, m_sys.clients(), o.DemoMode == 1 ? 1 : 0, false);
        refillSelector();
        applyPendingSelection();
    }
    // Once, and only now that Google Earth's first poll finds the vehicle
    // the demo or playback stands in with already followed.
    if (installLink)
        m_sys.loadServer();
}

void CtestDlg::onContinue() {
    if (m_sys.paused())
        onStartPause();
}

void CtestDlg::onPause() {
    if (!m_sys.paused())
        onStartPause();
}

void CtestDlg::setCheckState(DlgCheck box, bool on) {
    m_checks[static_cast<int>(box)] = on;
    m_view.setCheck(box, on);
}

void CtestDlg::onCheckClicked(DlgCheck box, bool on) {
    setCheckState(box, on);
    if (on && box == DlgCheck::AutoView) {
        setCheckState(DlgCheck::AutoTrack, true);
    } else if (on && (box == DlgCheck::Rotate || box == DlgCheck::Zoom || box == DlgCheck::Tilt)) {
        setCheckState(DlgCheck::AutoTrack, true);
        setCheckState(DlgCheck::AutoView, true);
    }
    checksChanged();
}

void CtestDlg::onCheckCommand(DlgCheck box, CheckCommand command) {
    bool on = command == CheckCommand::On;
    if (command == CheckCommand::Toggle)
        on = !check(box);
    setCheckState(box, on);
    checksChanged();
}

void CtestDlg::checksChanged() {
    COptionsDlg& o = m_sys.options();
    int tracking = 0;
    for (DlgCheck box : kAllChecks) {
        if (check(box))
            tracking |= trackingBit(box);
    }
    if (!check(DlgCheck::Rotate) && !check(DlgCheck::Zoom) && !check(DlgCheck::Tilt)) {
        setCheckState(DlgCheck::AutoView, false);
        tracking &= ~kTrackViewControl;
    }
    o.Tracking = tracking;
    applyCameraSelection(m_sys, o, m_sys.clients(), m_selectedKey);
    m_view.setStatusLine(m_status);
    setAutoViewHeadingHold(true);
    o.save();
}

void CtestDlg::showSelector() {
    m_view.showSelector(m_selector.entries(), m_selector.current());
}

void CtestDlg::refillSelector() {
    m_selector.fill(m_sys.clients());
    showSelector();
}

void CtestDlg::selectionChange() {
    CClients& clients = m_sys.clients();
    if (std::optional<std::string> pending = takePendingSelection()) {
        m_selector.selectKey(*pending, clients);
        showSelector();
        // The key of the entry that the pending text selected: the demo or
        // playback vehicle that now stands in for the local one.
        m_selectedKey = m_selector.readKey(clients);
    } else {
        m_selectedKey = m_selector.readKey(clients);
    }
    m_view.setStatusLine(m_status);
    applyCameraSelection(m_sys, m_sys.options(), clients, m_selectedKey);
}

// The demo or playback just named the vehicle to follow: take it now rather
// than on the next tick, so nothing in between follows the one it replaced.
// A stand-in whose thread has not listed it yet is left to the tick.
void CtestDlg::applyPendingSelection() {
    const std::optional<std::string> pending = peekPendingSelection();
    if (!pending)
        return;
    refillSelector();
    if (!m_selector.lists(*pending))
        return;
    selectionChange();
    m_lastSeenSelection = m_selectedKey;
}

void CtestDlg::onSelectorPicked(int index) {
    // The user has chosen: a selection still pending is dropped, not applied
    // over the pick.
    takePendingSelection();
    m_selector.pick(index);
    selectionChange();
}

void CtestDlg::onSelectorDropped(bool dropped) {
    m_selector.setDropped(dropped);
}

void CtestDlg::onSelectLocal() {
    CClients& clients = m_sys.clients();
    CClient* local = clients.localVehicle();
    if (!local)
        return;
    takePendingSelection();
    m_selector.selectKey(local->name, clients);
    showSelector();
    selectionChange();
}

void CtestDlg::onOptions() {
    COptionsDlg& o = m_sys.options();
    o.Name = m_selectedKey;
    if (!m_view.runOptionsDialog())
        return;
    updateTray();
    m_view.setTopMost(o.AlwaysOnTop == 1);
    m_view.showWindow(true);
    m_view.showGpsData(o.ShowGpsData != 0);
    m_sys.configureSerial(o.AutoFind, o.Port, o.RateNumber, o.FlowControl);
    m_sys.settingsChanged();
    // Until the publishing dialog exists the settings drive the publisher.
    m_sys.setUpPublisher(o);
    refillSelector();
    m_selector.selectKey(m_selectedKey, m_sys.clients());
    showSelector();
    o.save();
    m_sys.clients().save(false);
    m_view.setTitle(kWindowTitle);
}

void CtestDlg::onSave() {
    CClient* tracked = m_sys.trackedVehicle();
    if (!tracked)
        return;
    const time_t now = time(nullptr);
    const std::string path = saveSnapshot(*tracked, snapshotDirectory(m_sys.registry()), now,
                                          kmlOptions(m_sys.options(), m_sys.flightPath()));
    if (!path.empty() && m_sys.options().SaveToGE)
        m_sys.openInEarth(path);
}

void CtestDlg::onCopyPosition() {
    const CClient* tracked = m_sys.trackedVehicle();
    if (!tracked || !hasPosition(*tracked)) {
        // "0.00000,0.00000" would be a place nobody was; the next tick
        // brings the usual status back.
        m_view.setStatusLine(
            std::string(kStatusNothingToCopy) + ": " +
            (tracked ? tracked->name + " has no fix yet" : std::string("no vehicle is followed")));
        return;
    }
    uiServices().setClipboardText(positionText(tracked));
}

std::string CtestDlg::exportTrackName() const {
    const CClient* tracked = m_sys.trackedVehicle();
    return tracked ? safeFileStem(tracked->name) + ".gpx" : std::string();
}

void CtestDlg::onExportTrack(const std::string& path) {
    const CClient* tracked = m_sys.trackedVehicle();
    if (!tracked) {
        m_view.setStatusLine("Export Track: no vehicle is followed");
        return;
    }
    std::string key;
    {
        TrackLockGuard lock; // the name changes only under it
        key = tracked->name;
    }
    std::string message;
    exportVehicleHistory(FullPath(kHistoryFileName), key, path, message);
    m_view.setStatusLine(message);
}

void CtestDlg::onOpenGlobe() {
    const std::string url = globeAddress(linkListenAddress(m_sys.options()), m_sys.linkPort());
    if (!uiServices().openUrl(url))
        m_view.setStatusLine(std::string(kStatusNoBrowser) + ": " + url);
}

void CtestDlg::onClearTrack() {
    CClients& clients = m_sys.clients();
    if (CClient* v = clients.find(m_selector.readKey(clients)))
        v->track.clear();
}

void CtestDlg::onMove(int left, int top) {
    m_sys.options().Left = left;
    m_sys.options().Top = top;
}

void CtestDlg::updateTray() {
    if (!runsInTray()) {
        if (m_trayShown)
            m_view.setTrayIcon(false);
        m_trayShown = false;
        return;
    }
    if (!m_trayShown) {
        m_view.setTrayIcon(true);
        m_trayShown = true;
    }
}

void CtestDlg::onCloseRequest() {
    if (runsInTray() && !m_exitRequested) {
        m_view.showWindow(false);
        return;
    }
    m_view.endDialog();
}

bool CtestDlg::onMinimize() {
    if (!runsInTray())
        return false;
    m_view.showWindow(false);
    return true;
}

// The double-click follows what the user sees: a toggle of its own would
// get out of step whenever the window is hidden or shown another way
// (minimised, closed, Open), and then take two double-clicks to bring it back.
void CtestDlg::onTrayDoubleClick() {
    m_view.showWindow(!m_view.windowShown());
}

void CtestDlg::onTrayOpen() {
    m_view.showWindow(true);
}

void CtestDlg::onTrayExit() {
    m_exitRequested = true;
    onCloseRequest();
}

void CtestDlg::onCancel() {
    m_view.endDialog();
}

void CtestDlg::processPosted() {
    if (g_autoTrackOffPosted.exchange(false))
        onCheckCommand(DlgCheck::AutoTrack, CheckCommand::Off);
    std::optional<std::string> port;
    {
        std::lock_guard<std::mutex> lock(g_postedMutex);
        port.swap(g_portFoundPosted);
    }
    if (port)
        m_sys.options().Port = *port;
}

void CtestDlg::abandon() {
    if (m_shutDown)
        return;
    m_shutDown = true;
    g_bShutdown = 1;
    NTRACE("start-up abandoned; nothing saved");
    m_saver.wait();
    m_sys.options().forgetRegistry();
    m_sys.waitForWorkers(kShutdownWaitMs);
    if (m_trayShown)
        m_view.setTrayIcon(false);
    m_trayShown = false;
}

bool CtestDlg::shutdown() {
    if (m_shutDown)
        return true;
    m_shutDown = true;
    g_bShutdown = 1;
    NTRACE("shutting down");
    m_saver.wait();
    m_saver.takeOutcome(); // the exit save below supersedes it
    SaveOutcome saved = saveTracksAndVehicles(m_sys.clients());
    // Written once more when the process ends; saved here so that a failure
    // can still be reported.
    if (m_sys.options().loaded() && !m_sys.options().save())
        saved.failures.push_back("the settings in " + m_sys.registry().path());
    if (!saved.ok())
        noticeUser("CtestDlg::shutdown", saveFailureText(saved));
    showNotices();
    m_view.setStatusLine(m_noticeTicks > 0 ? m_notice : m_status);
    m_sys.waitForWorkers(kShutdownWaitMs);
    if (m_trayShown)
        m_view.setTrayIcon(false);
    m_trayShown = false;
    return saved.ok();
}
