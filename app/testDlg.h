// The main window's logic, CtestDlg: the start-up sequence, the timer loop,
// the five camera check boxes, the vehicle selector, the start/pause button,
// the status line, the tray rules, the one-shot commands and the shutdown
// sequence. It holds everything the window shows; a front end (the Qt window
// or headless mode) implements CtestDlgView to show it and forwards every user
// action to the matching handler. All of it runs on the user-interface thread.
#pragma once

#include "app/autoSave.h"
#include "app/vehicleSelector.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CSubsystems;
class CClient;

// The five camera check boxes, top to bottom as the window shows them.
enum class DlgCheck { AutoTrack = 0, AutoView, Rotate, Zoom, Tilt };
constexpr int kDlgCheckCount = 5;
// A keyboard shortcut sets a check box on, off, or toggles it.
enum class CheckCommand { On, Off, Toggle };

// The window's texts.
inline constexpr const char* kWindowTitle = "Nivra";
inline constexpr const char* kCaptionStartDemo = "Start Demo";
inline constexpr const char* kCaptionContinue = "Continue";
inline constexpr const char* kCaptionPause = "Pause";
inline constexpr const char* kStatusDemoMode = "Demo Mode";
inline constexpr const char* kStatusSignalAcquired = "Signal Acquired";
inline constexpr const char* kStatusAcquiring = "Acquiring Signal...";
inline constexpr const char* kStatusPlayingBack = "Playing back ";
inline constexpr const char* kLocalTrackFile = "Nivra.trk";
inline constexpr const char* kStatusNothingToCopy = "No position to copy";
inline constexpr const char* kStatusNoBrowser = "No browser could be opened";

// The timer: the first tick 200 ms after start-up, every later one 2 s after
// the previous one. A periodic save happens when more than AutoSavePeriod
// seconds passed since the last one.
constexpr unsigned kFirstTickMs = 200;
constexpr unsigned kTickMs = 2000;
// Ticks a notice (a damaged file, a failed save) stays on the status line.
constexpr int kNoticeTicks = 15;
// Time the workers get to notice the shutdown flag.
constexpr unsigned kShutdownWaitMs = 3000;

// What the logic asks of the window. Methods with a body are optional parts
// of a front end (headless mode has no tray, options dialog or data window).
class CtestDlgView {
public:
    virtual ~CtestDlgView() = default;
    // Start-up placement: top-most or at the bottom of the Z order, at
    // (left, top), size unchanged, shown or hidden.
    virtual void placeWindow(bool topMost, int left, int top, bool show) = 0;
    virtual void setTopMost(bool topMost) = 0;
    virtual void showWindow(bool show) = 0;
    // Whether the window is on the screen now (shown and not minimised).
    virtual bool windowShown() const = 0;
    virtual void setTitle(const std::string& title) = 0;
    virtual void setCheck(DlgCheck box, bool on) = 0;
    virtual void showSelector(const std::vector<std::string>& entries, int current) = 0;
    virtual void setStartCaption(const std::string& caption) = 0;
    virtual void setStatusLine(const std::string& text) = 0;
    // (Re)starts the window timer: the next onTimer() comes `periodMs` from now.
    virtual void setTimer(unsigned periodMs) = 0;
    // Ends the dialog; the front end then runs CtestDlg::shutdown().
    virtual void endDialog() = 0;

    // Whether the desktop offers a notification area at all. Without one the
    // window behaves as if RunInTray were off.
    virtual bool trayAvailable() const { return false; }
    virtual void setTrayIcon(bool /*shown*/) {}
    // The GPS data window: created at start-up, shown or hidden.
    virtual void showGpsData(bool /*show*/) {}
    // Runs the options dialog modally; false for Cancel (and while the
    // front end has no options dialog).
    virtual bool runOptionsDialog() { return false; }
    // A problem the user must hear about (a damaged file set aside, a failed
    // save). The logic also shows it on the status line for a while.
    virtual void showNotice(const std::string& /*text*/) {}
};

// Command-line choices that override the stored settings after they are loaded.
struct SettingOverrides {
    std::optional<std::string> bindAddress;
    std::optional<std::string> earthBackend;
    // --gpsd: gpsd becomes the GPS source, connected at start-up; a non-empty
    // text replaces GpsdServer.
    std::optional<std::string> gpsdServer;
};

class CtestDlg {
public:
    CtestDlg(CtestDlgView& view, CSubsystems& sys);
    CtestDlg(const CtestDlg&) = delete;
    CtestDlg& operator=(const CtestDlg&) = delete;

    void setOverrides(const SettingOverrides& overrides) { m_overrides = overrides; }

    // Window creation: loads the settings and the vehicle list, starts every
    // subsystem in order and arms the timer.
    void startUp();
    // Timer 1.
    void onTimer();

    // The start/pause button (also Ctrl+Alt+P); Ctrl+P continues only a paused
    // engine, Alt+P pauses only a running one.
    void onStartPause();
    void onContinue();
    void onPause();

    // A click on a check box that left it `on`. Clicks couple the boxes:
    // auto view on turns auto track on; rotate, zoom or tilt on turn both on.
    void onCheckClicked(DlgCheck box, bool on);
    // A keyboard shortcut: no coupling, only the common rules.
    void onCheckCommand(DlgCheck box, CheckCommand command);

    // The user picked selector entry `index`; runs the selection change.
    void onSelectorPicked(int index);
    // The selector's list was opened or closed; an open list is not refilled.
    void onSelectorDropped(bool dropped);
    // Ctrl+M: select the local vehicle.
    void onSelectLocal();

    void onOptions();
    // Save button and Ctrl+S: KML snapshot of the tracked vehicle.
    void onSave();
    // Ctrl+C: "lat,lon" of the tracked vehicle to the clipboard. Without a
    // followed vehicle with a position nothing is copied and the status line
    // says so.
    void onCopyPosition();
    // Window menu: the browser globe of this program's network-link listener
    // in the desktop's browser. When none opens, the status line gives the
    // address to open by hand until the next tick.
    void onOpenGlobe();
    // Right-click menu "Export Track…": the file name offered for the
    // followed vehicle's history ("<key>.gpx", the key made safe), empty
    // without one; then the export to the path the user chose, told on the
    // status line until the next tick.
    std::string exportTrackName() const;
    void onExportTrack(const std::string& path);
    // Clear track button: clears the track of the selector's vehicle.
    void onClearTrack();

    // The window moved while visible and not minimised.
    void onMove(int left, int top);
    // Close box, Alt+F4 and Exit: hides the window when running in the tray,
    // otherwise ends the dialog.
    void onCloseRequest();
    // The minimise command. Returns true when the window was hidden instead
    // (running in the tray); false lets the front end minimise normally.
    bool onMinimize();
    // Shows a window that is not on the screen, hides one that is.
    void onTrayDoubleClick();
    void onTrayOpen();
    void onTrayExit();
    // Escape / Cancel: ends the dialog.
    void onCancel();

    // Runs requests that other threads posted (see postAutoTrackOff). Front
    // ends call it often on the user-interface thread.
    void processPosted();

    // Window destruction: raises the stop flag, saves the local track, the
    // vehicle list with all tracks and the settings, gives the workers their
    // time, removes the tray icon. Runs once. False when something could not
    // be saved (the user has been told what).
    bool shutdown();
    // Start-up failed (a port could not be opened): raises the stop flag and
    // gives the workers their time, but saves nothing, the settings
    // included, so that a second copy never writes over the first one's
    // files. Runs once, instead of shutdown().
    void abandon();
    // Waits for a periodic save running on its own thread (tests, shutdown).
    void waitForBackgroundSave();

    // What the window shows.
    bool check(DlgCheck box) const { return m_checks[static_cast<int>(box)]; }
    const std::string& startCaption() const { return m_caption; }
    const std::string& statusText() const { return m_status; }
    const std::string& selectedKey() const { return m_selectedKey; }
    const CVehicleSelector& selector() const { return m_selector; }
    bool startedOnce() const { return m_startedOnce; }
    bool trayShown() const { return m_trayShown; }
    bool exitRequested() const { return m_exitRequested; }
    bool runsInTray() const;
    // Texts for the about box.
    static std::string aboutText();

private:
    void setCheckState(DlgCheck box, bool on);
    void checksChanged();
    void selectionChange();
    void applyPendingSelection();
    void refillSelector();
    void showSelector();
    void updateCaption();
    void updateStatus();
    void updateTray();
    void checkStartDirectory();
    void periodicSave(int64_t now);
    void showNotices();
    void publishStatus(const std::string& status);

    CtestDlgView& m_view;
    CSubsystems& m_sys;
    SettingOverrides m_overrides;
    std::array<bool, kDlgCheckCount> m_checks{};
    CVehicleSelector m_selector;
    std::string m_selectedKey;
    std::string m_lastSeenSelection;
    std::string m_caption;
    std::string m_status;
    bool m_firstTickDone = false;
    int64_t m_lastPeriodicSave = 0;
    bool m_startedOnce = false;
    bool m_trayShown = false;
    bool m_exitRequested = false;
    bool m_shutDown = false;
    CBackgroundSave m_saver;
    std::string m_notice; // shown on the status line instead of the status
    int m_noticeTicks = 0;
};

// The entry that the next selection change selects instead of reading the
// selector; set when the demo or a playback starts.
void setPendingSelection(const std::string& entry);
std::optional<std::string> takePendingSelection();
std::optional<std::string> peekPendingSelection();

// Thread-safe: the camera control saw the user move the view by hand, so
// auto track goes off (the Alt+T command), on the user-interface thread.
void postAutoTrackOff();
// Thread-safe: the serial reader found a receiver on `port`.
void postPortFound(const std::string& port);
