// The options dialog's logic, COptionsLogic: the one settings screen of the
// program, where every control writes its setting or the shown vehicle's
// field at once. It keeps the vehicle page (which vehicle is shown, normal or
// entering a new one), turns entered numbers between display units and the
// stored ones, checks names, hosts, colours and dates before they reach the
// vehicle list, and drives the GPS source, playback and recording. A front end
// (the Qt dialog) implements COptionsView, shows what the getters return after
// every refresh() and forwards each user action to the matching handler. All
// of it runs on the user-interface thread.
#pragma once

#include "app/vehicleSelector.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CClient;
class CClients;
class COptionsDlg;
class CSubsystems;

// The dialog's texts.
inline constexpr const char* kNewCaption = "New";
inline constexpr const char* kAddCaption = "Add";
inline constexpr const char* kDeleteCaption = "Delete";
inline constexpr const char* kCancelCaption = "Cancel";
inline constexpr const char* kNewEntry = "<new>";
inline constexpr const char* kMsgEnterName = "Enter vehicle name";
inline constexpr const char* kMsgEnterHost = "Enter host name";
inline constexpr const char* kMsgOneLocal = "only one local vehicle allowed";
inline constexpr const char* kMsgIdUsed = "that id is already used, delete it first, then add";
inline constexpr const char* kContinuousStatus = "Continuous Logging";
inline constexpr const char* kMapFactorServerCaption =
    "External Server Setup... (Mapfactor/GpsGate)";
inline constexpr const char* kServerCaption = "External Server Setup...";
inline constexpr const char* kWebSite = "https://nivra.example.org/";

// The timer: first tick 1000 ms after opening, then every 500 ms.
constexpr unsigned kOptionsFirstTickMs = 1000;
constexpr unsigned kOptionsTickMs = 500;

// Limits of what the page accepts. A vehicle key "name@host" is one 256-byte
// field; speeds and radii are stored times 10000 in a 32-bit value, so they
// stay well below 214748 to be read back.
constexpr size_t kMaxVehicleKey = 255;
constexpr int kMaxPointsLimit = 28800; // the track ring's size
constexpr double kMaxSpeedKnots = 100000.0;
constexpr double kMaxRadiusMetres = 100000.0;
constexpr size_t kMaxPathText = 1023; // file names are read through 1024 bytes
constexpr size_t kMaxPortText = 255;

// The fixed lists.
extern const std::array<const char*, 9> kRateEntries;
extern const std::array<const char*, 4> kFlowEntries;
extern const std::array<const char*, 8> kColorEntries;
extern const std::array<const char*, 9> kRotationEntries;

// Slider ranges.
struct SliderRange {
    int low;
    int high;
};
constexpr SliderRange kDemoSpeedRange{1, 3600};
constexpr SliderRange kCursorSizeRange{1, 300};
constexpr SliderRange kFlyToSpeedRange{1, 499};
// What the history fields take: up to a hundred years, up to a terabyte.
constexpr SliderRange kHistoryDaysRange{1, 36500};
constexpr SliderRange kHistoryMaxMBRange{1, 1 << 20};

// The port list: "gpsd" (the position from gpsd, at GpsdServer), the serial
// devices that exist (USB, USB modem, answering UARTs) in that order, then
// "COM1:" to "COM48:".
std::vector<std::string> portEntries(const std::vector<std::string>& devices);

// Settings the right-hand column and the groups store as plain 0/1 boxes.
enum class OptionFlag {
    AlwaysOnTop,
    RunInTray,
    AutoStartGE,
    ClearTrackOnStartup,
    SaveToGE,
    ShowGpsData,
    SelTrackOnly,
    LoopPlayback,
};
// The shown vehicle's 0/1 fields.
enum class VehicleFlag {
    Fly,
    Visible,
    ShowName,
    ShowHost,
    ShowTime,
    ShowSpeed,
    ShowAlt,
    ShowHdg,
    SpeedTrack,
    Extrude,
    Timestamps,
    Compress,
};
enum class Slider { DemoSpeed, CursorSize, FlyToSpeed };

struct CalendarDate {
    int year = 1970;
    int month = 1; // 1..12
    int day = 1;
    bool operator==(const CalendarDate&) const = default;
};

// Fix times (track point times: the UTC fields read as local time) of the
// local day's start, and the local day a fix time lies in. -1 when the day
// does not fit the 32-bit times the vehicle list stores (1970 to 2037).
int64_t dayStartFixTime(const CalendarDate& date);
CalendarDate fixTimeDate(int64_t fixTime);

// What the logic asks of the dialog window.
class COptionsView {
public:
    virtual ~COptionsView() = default;
    // Everything the getters return may have changed: show it again.
    virtual void refresh() = 0;
    // Only the status line changed (every timer tick).
    virtual void showStatus(const std::string& text) = 0;
    // A message box with an OK button, captioned with the program's title.
    virtual void message(const std::string& text) = 0;
    virtual void focusName() = 0;
    // (Re)starts the timer: the next onTimer() comes `periodMs` from now.
    virtual void setTimer(unsigned periodMs) = 0;
    // Ends the dialog with OK.
    virtual void endDialog() = 0;
    // The FTP and external-server dialogs, modal; false while the front end
    // has none.
    virtual bool runFtpDialog() { return false; }
    virtual bool runExternalServerDialog(bool /*mapFactor*/) { return false; }
};

// The vehicle page as it is shown.
struct VehiclePage {
    bool loaded = false; // a vehicle is shown
    bool local = false;  // it is the local vehicle
    std::string name;
    std::string host;
    int32_t cursorType = 0;
    std::string cursorFile;
    std::string color;
    std::string maxSpeed;  // in the speed unit, "%.3f"
    std::string maxPoints; // "%d"
    std::string radius;    // metres or feet, "%.3f"
    CalendarDate startDate;
    CalendarDate endDate;
    // Phones: the shown vehicle is one; whether it is sent the others'
    // positions; the URL with the key just made and its QR code (only then:
    // the key itself is not kept).
    bool phone = false;
    bool phoneShare = false;
    std::string phoneUrl;
    std::vector<std::vector<bool>> phoneQr;
};

// The phone kinds the vehicle page offers, in PhoneKind order.
extern const std::array<const char*, 3> kPhoneKindEntries;

class COptionsLogic {
public:
    COptionsLogic(COptionsView& view, COptionsDlg& options, CClients& clients, CSubsystems& sys);
    // On the settings object and vehicle list of `sys`.
    COptionsLogic(COptionsView& view, CSubsystems& sys);
    COptionsLogic(const COptionsLogic&) = delete;
    COptionsLogic& operator=(const COptionsLogic&) = delete;

    // Opening: every control from the settings, the recording and playback
    // state, the vehicle list with `Name` selected and its page.
    void open();
    void onTimer();
    // OK, Escape and the close box: end the dialog with OK.
    void onClose();

    // Vehicle page.
    void onVehiclePicked(int index);
    // The New/Add button; `name` and `host` are the fields' texts.
    void onNewOrAdd(const std::string& name, const std::string& host);
    void onDeleteOrCancel();
    // The focus left the name field.
    void onNameEdited(const std::string& name, const std::string& host);
    void onVehicleFlag(VehicleFlag flag, bool on);
    void onCursorType(int type);
    void onCursorFileEdited(const std::string& text);
    void onCursorFilePicked(const std::string& path);
    void onColor(const std::string& text);
    void onMaxSpeed(const std::string& text);
    void onMaxPoints(const std::string& text);
    void onRadius(const std::string& text);
    void onDateRange(bool on);
    void onStartDate(const CalendarDate& date);
    void onEndDate(const CalendarDate& date);
    // "Add phone": a phone vehicle named `name` (its identifier made from it)
    // with a new key for an app of kind `kind` (kPhoneKindEntries index);
    // the page then shows its URL and QR code.
    void onAddPhone(const std::string& name, int kind);
    // "New key" for the shown phone: the old key ends at once.
    void onNewPhoneKey(int kind);
    void onPhoneShare(bool on);

    // GPS group.
    void onPort(const std::string& text);
    // What the port box shows: "gpsd" while gpsd is the source, else the port.
    std::string portShown() const;
    // The gpsd address (GpsdServer, host[:port]): shown always, editable
    // while gpsd is the source. A text that names no server is refused with a
    // message and the field shows the stored address again.
    void onGpsdServer(const std::string& text);
    bool gpsdServerEditable() const;
    void onRate(int index);
    void onFlowControl(int index);
    void onConnect();
    void onDisconnect();
    void onAutoConnect(bool on);
    void onAutoFind(bool on);

    // Playback and recording.
    void onLogFilePicked(const std::string& path);
    void onPlay();
    void onStop();
    void onRecord();
    void onStopRecord();
    void onContinuous(bool on);

    // The browser globe and the history. GlobeTiles is an XYZ template of a
    // tile server (empty: none, nothing is asked outside); a text that is no
    // such template is refused with a message and the field shows the stored
    // one again. The credit shown with the tiles drops control bytes and is
    // cut to its limit. History on or off, and its days and megabytes, whole
    // numbers within kHistoryDaysRange and kHistoryMaxMBRange.
    void onGlobeTiles(const std::string& text);
    void onGlobeTilesAttribution(const std::string& text);
    void onHistory(bool on);
    void onHistoryDays(const std::string& text);
    void onHistoryMaxMB(const std::string& text);

    // Right-hand column and function buttons.
    void onFlag(OptionFlag flag, bool on);
    void onDemoMode(bool on);
    void onUnits(int units);
    void onSpeedInKnots(bool on);
    void onSlider(Slider slider, int position);
    void onRotation(int index);
    void onDebugLog(bool on);
    void onFtpButton();
    void onServerButton();

    // What the dialog shows.
    bool flag(OptionFlag flag) const;
    bool vehicleFlag(VehicleFlag flag) const;
    bool dateRangeOn() const;
    int slider(Slider slider) const;
    const VehiclePage& page() const { return m_page; }
    bool entering() const { return m_entering; }
    const CVehicleSelector& selector() const { return m_selector; }
    const std::vector<std::string>& ports() const { return m_ports; }
    // Play is on (else stop is on); the playback controls are enabled.
    bool playOn() const { return m_playOn; }
    bool playbackEnabled() const;
    // Record is on (else stop-record is on); both are enabled.
    bool recordOn() const { return m_recordOn; }
    bool recordEnabled() const;
    const std::string& recordStatus() const { return m_recordStatus; }
    const std::string& status() const { return m_status; }
    std::string serverCaption() const;
    bool webSiteShown() const;
    // Where a file picker starts: the folder remembered for it and the
    // field's text trimmed.
    std::string logPickerFolder() const;
    std::string logPickerFile() const;
    std::string cursorPickerFolder() const;
    std::string cursorPickerFilter() const;
    CClient* shownVehicle() const;
    // The shown vehicle's key, as share links name it; empty when none is shown.
    std::string shownVehicleKey() const;

    COptionsDlg& options() { return m_o; }
    const COptionsDlg& options() const { return m_o; }

    // Sets the port list (the front end lists the devices, tests give theirs).
    void setDevices(const std::vector<std::string>& devices) { m_ports = portEntries(devices); }

private:
    void changed();
    void loadPage();
    void fillList();
    void selectFirst();
    void commitPage(const std::string& name, const std::string& host);
    void endEntering();
    void applySerial();
    void startReader();
    void showRecordingState();
    bool checkVehicleId(const std::string& name, const std::string& host, bool adding);
    void editVehicle(CClient& v, const std::function<void(CClient&)>& write);
    // A new key for `v`, its unit from `kind`; the page shows the URL.
    bool givePhoneKey(CClient& v, int kind);
    void pickDate(const CalendarDate& date, void (*apply)(CClient&, int64_t));
    double speedFactor() const;

    COptionsView& m_view;
    COptionsDlg& m_o;
    CClients& m_clients;
    CSubsystems& m_sys;
    CVehicleSelector m_selector;
    VehiclePage m_page;
    std::vector<std::string> m_ports;
    bool m_entering = false;
    bool m_playOn = false;
    bool m_recordOn = false;
    std::string m_recordStatus;
    std::string m_status;
    bool m_firstTickDone = false;
};
