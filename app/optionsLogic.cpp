#include "app/optionsLogic.h"

#include "app/OptionsDlg.h"
#include "app/addPhone.h"
#include "app/sourceSwitch.h"
#include "app/subsystems.h"
#include "earth/autoViewState.h"
#include "earth/globeConfig.h"
#include "earth/kml.h"
#include "phones/phoneKey.h"
#include "phones/phoneListener.h"
#include "phones/phoneSetup.h"
#include "platform/paths.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "sources/gpsd.h"
#include "sources/recording.h"
#include "trace/trace.h"
#include "track/nmea.h"
#include "track/outsideText.h"
#include "track/track.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <strings.h>
#include <sys/stat.h>

const std::array<const char*, 3> kPhoneKindEntries = {"Traccar Client", "OsmAnd", "OwnTracks"};

const std::array<const char*, 9> kRateEntries = {"1200",  "2400",  "4800",  "9600",  "14400",
                                                 "19200", "38400", "57600", "115200"};
const std::array<const char*, 4> kFlowEntries = {"Xon/Xoff", "Hardware", "None", "Not set"};
const std::array<const char*, 8> kColorEntries = {"green",  "blue",   "red",    "yellow",
                                                  "orange", "purple", "violet", "lightblue"};
const std::array<const char*, 9> kRotationEntries = {"Free",        "Behind",     "Behind left",
                                                     "Left",        "Front left", "Front",
                                                     "Front right", "Right",      "Behind right"};

static_assert(kMaxPointsLimit == kTrackCapacity);

namespace {

constexpr int kComPorts = 48;
constexpr int64_t kDaySeconds = 86400;

struct FlagMember {
    OptionFlag flag;
    int32_t COptionsDlg::*member;
};
constexpr FlagMember kFlagMembers[] = {
    {OptionFlag::AlwaysOnTop, &COptionsDlg::AlwaysOnTop},
    {OptionFlag::RunInTray, &COptionsDlg::RunInTray},
    {OptionFlag::AutoStartGE, &COptionsDlg::AutoStartGE},
    {OptionFlag::ClearTrackOnStartup, &COptionsDlg::ClearTrackOnStartup},
    {OptionFlag::SaveToGE, &COptionsDlg::SaveToGE},
    {OptionFlag::ShowGpsData, &COptionsDlg::ShowGpsData},
    {OptionFlag::SelTrackOnly, &COptionsDlg::SelTrackOnly},
    {OptionFlag::LoopPlayback, &COptionsDlg::LoopPlayback},
};

struct VehicleMember {
    VehicleFlag flag;
    int32_t CClient::*member;
};
constexpr VehicleMember kVehicleMembers[] = {
    {VehicleFlag::Fly, &CClient::fly},
    {VehicleFlag::Visible, &CClient::visible},
    {VehicleFlag::ShowName, &CClient::showName},
    {VehicleFlag::ShowHost, &CClient::showHost},
    {VehicleFlag::ShowTime, &CClient::showTime},
    {VehicleFlag::ShowSpeed, &CClient::showSpeed},
    {VehicleFlag::ShowAlt, &CClient::showAlt},
    {VehicleFlag::ShowHdg, &CClient::showHdg},
    {VehicleFlag::SpeedTrack, &CClient::speedTrack},
    {VehicleFlag::Extrude, &CClient::extrude},
    {VehicleFlag::Timestamps, &CClient::timestamps},
    {VehicleFlag::Compress, &CClient::compress},
};

struct SliderMember {
    Slider slider;
    int32_t COptionsDlg::*member;
    SliderRange range;
};
constexpr SliderMember kSliderMembers[] = {
    {Slider::DemoSpeed, &COptionsDlg::DemoSpeed, kDemoSpeedRange},
    {Slider::CursorSize, &COptionsDlg::CursorSize, kCursorSizeRange},
    {Slider::FlyToSpeed, &COptionsDlg::FlyToSpeed, kFlyToSpeedRange},
};

int32_t COptionsDlg::*flagMember(OptionFlag flag) {
    for (const FlagMember& f : kFlagMembers)
        if (f.flag == flag)
            return f.member;
    return kFlagMembers[0].member;
}

int32_t CClient::*vehicleMember(VehicleFlag flag) {
    for (const VehicleMember& f : kVehicleMembers)
        if (f.flag == flag)
            return f.member;
    return kVehicleMembers[0].member;
}

const SliderMember& sliderMember(Slider slider) {
    for (const SliderMember& s : kSliderMembers)
        if (s.slider == slider)
            return s;
    return kSliderMembers[0];
}

std::string trimmed(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    const size_t last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

bool hasControl(const std::string& s) {
    return std::any_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::string withoutControls(const std::string& s) {
    std::string out;
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)
            out += c;
    return out;
}

std::string format3(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

// A number typed into a field: the whole text (spaces around allowed), finite,
// not negative. False for anything else.
bool parseAmount(const std::string& text, double& out) {
    const std::string t = trimmed(text);
    if (t.empty())
        return false;
    char* end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size() || !std::isfinite(v) || v < 0)
        return false;
    out = v;
    return true;
}

// The folder part of a picked path (up to its last slash), "" for a bare name.
std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool isColorText(const std::string& c) {
    for (const char* name : kColorEntries)
        if (strcasecmp(c.c_str(), name) == 0)
            return true;
    // The KML writer also takes a colour as eight hex digits, aabbggrr.
    return c.size() == 8 &&
           std::all_of(c.begin(), c.end(), [](char ch) { return std::isxdigit(ch & 0xff); });
}

// The local midnight of a calendar day, in UTC seconds.
bool localMidnight(const CalendarDate& d, int64_t& utc) {
    struct tm f {};
    f.tm_year = d.year - 1900;
    f.tm_mon = d.month - 1;
    f.tm_mday = d.day;
    f.tm_isdst = -1;
    const time_t t = mktime(&f);
    if (t == static_cast<time_t>(-1))
        return false;
    utc = t;
    return true;
}

CalendarDate nextDay(const CalendarDate& d, int delta) {
    struct tm f {};
    f.tm_year = d.year - 1900;
    f.tm_mon = d.month - 1;
    f.tm_mday = d.day + delta;
    f.tm_hour = 12;
    f.tm_isdst = -1;
    mktime(&f);
    return {f.tm_year + 1900, f.tm_mon + 1, f.tm_mday};
}

} // namespace

std::vector<std::string> portEntries(const std::vector<std::string>& devices) {
    std::vector<std::string> out{kGpsSourceGpsd};
    out.insert(out.end(), devices.begin(), devices.end());
    for (int n = 1; n <= kComPorts; ++n)
        out.push_back("COM" + std::to_string(n) + ":");
    return out;
}

int64_t dayStartFixTime(const CalendarDate& date) {
    if (date.year < 1970 || date.year > 2037 || date.month < 1 || date.month > 12 || date.day < 1 ||
        date.day > 31)
        return -1;
    int64_t utc = 0;
    if (!localMidnight(date, utc))
        return -1;
    // Track point times are UTC plus the zone's standard offset (summer or
    // not), so the day starts with the point taken at local midnight.
    const int64_t fix = utcToFixTime(utc);
    if (fix < 0 || fix + kDaySeconds - 1 > INT32_MAX)
        return -1;
    return fix;
}

CalendarDate fixTimeDate(int64_t fixTime) {
    // The local date of the UTC moment, checked against the day's bounds.
    const time_t t = static_cast<time_t>(fixTimeToUtc(fixTime));
    struct tm f {};
    localtime_r(&t, &f);
    CalendarDate guess{f.tm_year + 1900, f.tm_mon + 1, f.tm_mday};
    for (int i = 0; i < 3; ++i) {
        const int64_t start = dayStartFixTime(guess);
        if (start > fixTime && start >= 0) {
            guess = nextDay(guess, -1);
            continue;
        }
        const int64_t next = dayStartFixTime(nextDay(guess, 1));
        if (next >= 0 && next <= fixTime) {
            guess = nextDay(guess, 1);
            continue;
        }
        break;
    }
    return guess;
}

COptionsLogic::COptionsLogic(COptionsView& view, COptionsDlg& options, CClients& clients,
                             CSubsystems& sys)
    : m_view(view), m_o(options), m_clients(clients), m_sys(sys), m_ports(portEntries({})) {}

COptionsLogic::COptionsLogic(COptionsView& view, CSubsystems& sys)
    : COptionsLogic(view, sys.options(), sys.clients(), sys) {}

// Every change reaches the parts with threads of their own at once, and the
// dialog shows it.
void COptionsLogic::changed() {
    m_sys.settingsChanged();
    m_view.refresh();
}

// --- opening, timer, closing --------------------------------------------------

void COptionsLogic::open() {
    m_entering = false;
    m_firstTickDone = false;
    m_view.setTimer(kOptionsFirstTickMs);
    showRecordingState();
    m_playOn = m_sys.playback() && !m_o.DemoMode;
    m_o.debugLogging = debugLoggingOn() ? 1 : 0;
    m_status = m_o.statusText;
    fillList();
    m_selector.selectKey(m_o.Name, m_clients);
    loadPage();
    changed();
}

void COptionsLogic::onTimer() {
    if (!m_firstTickDone)
        m_view.setTimer(kOptionsTickMs);
    m_firstTickDone = true;
    m_status = m_o.statusText;
    m_view.showStatus(m_status);
}

void COptionsLogic::onClose() {
    // A vehicle half entered is not added; the settings keep the shown one.
    if (m_entering) {
        endEntering();
        loadPage();
    }
    if (m_page.loaded) {
        m_o.uName = m_page.name;
        m_o.Host = m_page.host;
    }
    m_view.endDialog();
}

void COptionsLogic::showRecordingState() {
    CRecording& recording = m_sys.recording();
    if (m_o.ContinuousLog) {
        if (recording.recording())
            recording.stop();
        m_recordStatus = kContinuousStatus;
        m_recordOn = false;
    } else if (recording.recording()) {
        m_recordOn = true;
        m_recordStatus = "Recording: " + recording.recordFileName();
    } else {
        m_recordOn = false;
    }
}

bool COptionsLogic::recordEnabled() const {
    return !m_o.ContinuousLog;
}

bool COptionsLogic::playbackEnabled() const {
    return !m_o.DemoMode;
}

std::string COptionsLogic::serverCaption() const {
    return m_o.mapFactor ? kMapFactorServerCaption : kServerCaption;
}

bool COptionsLogic::webSiteShown() const {
    return !m_o.mapFactor;
}

// --- the vehicle page ---------------------------------------------------------

void COptionsLogic::fillList() {
    m_selector.fill(m_clients);
}

void COptionsLogic::selectFirst() {
    m_selector.pick(0);
    m_o.Name = m_selector.readKey(m_clients);
}

CClient* COptionsLogic::shownVehicle() const {
    if (!m_page.loaded)
        return nullptr;
    if (m_page.local)
        return m_clients.localVehicle();
    return m_clients.find(m_o.Name);
}

std::string COptionsLogic::shownVehicleKey() const {
    const CClient* v = m_entering ? nullptr : shownVehicle();
    if (!v)
        return std::string();
    TrackLockGuard lock; // a rename writes it under the lock
    return v->name;
}

double COptionsLogic::speedFactor() const {
    if (m_o.SpeedInKnots)
        return 1.0;
    return m_o.Units == 1 ? kKnotsToKmh : kKnotsToMph;
}

void COptionsLogic::loadPage() {
    const std::string text = m_selector.currentText();
    if (text.empty())
        return;
    const bool local = text.find('@') == std::string::npos;
    const std::string key = m_selector.readKey(m_clients);
    CClient* v = local ? m_clients.localVehicle() : m_clients.find(key);
    if (!v)
        return; // removed meanwhile: the page stays as it was
    m_o.Name = key;
    VehiclePage p;
    p.loaded = true;
    p.local = local;
    p.name = v->uName;
    p.host = v->host;
    m_o.uName = v->uName;
    m_o.Host = v->host;
    m_o.Color = v->color;
    p.color = v->color;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d", v->maxPts);
    p.maxPoints = buf;
    p.cursorType = v->cursorType;
    p.cursorFile = v->cursorType == 1 ? v->imageFile : v->cursorType == 2 ? v->modelFile : "";
    p.radius = format3(m_o.Units == 1 ? v->trackWidth : v->trackWidth * kMetresToFeet);
    p.maxSpeed = format3(v->maxSpd * speedFactor());
    v->setTodaySpan();
    p.startDate = fixTimeDate(v->startTime);
    p.endDate = fixTimeDate(v->endTime);
    {
        TrackLockGuard lock; // the phone port reads these meanwhile
        p.phone = v->remoteType == remotePhone;
        p.phoneShare = v->phoneShare != 0;
    }
    m_page = p;
}

void COptionsLogic::onVehiclePicked(int index) {
    if (m_entering)
        return;
    m_selector.pick(index);
    loadPage();
    changed();
}

bool COptionsLogic::checkVehicleId(const std::string& name, const std::string& host, bool adding) {
    std::string problem;
    if (name.empty())
        problem = kMsgEnterName;
    else if (adding && host.empty())
        problem = kMsgEnterHost;
    else if (adding && host == "localhost")
        problem = kMsgOneLocal;
    else if (hasControl(name) || hasControl(host))
        problem = "A vehicle name or host cannot hold control characters.";
    else if (name.find_first_of("@\\") != std::string::npos ||
             host.find_first_of("@\\") != std::string::npos)
        problem = "A vehicle name or host cannot hold '@' or '\\'.";
    else if (name.size() + 1 + host.size() > kMaxVehicleKey)
        problem = "The vehicle name and host together may have at most " +
                  std::to_string(kMaxVehicleKey - 1) + " characters.";
    else if (adding && m_clients.find(name, host))
        problem = kMsgIdUsed;
    if (problem.empty())
        return true;
    NTRACE("vehicle refused: %s", problem.c_str());
    m_view.message(problem);
    return false;
}

void COptionsLogic::commitPage(const std::string& name, const std::string& host) {
    m_o.Name = name + "@" + host;
    CClient* v = m_clients.add(name, host);
    TrackLockGuard lock; // the KML writers read the vehicle meanwhile
    std::string color = trimmed(m_page.color);
    if (!isColorText(color))
        color = v->color;
    m_o.Color = color;
    v->color = color;
    v->changed = 1;
    // Trackers and phones stay what they are; the rest is told by its host.
    if (v->remoteType != remoteDevice && v->remoteType != remotePhone)
        v->remoteType = v->remoteTypeFromHost();
    v->visible = 1;
}

bool COptionsLogic::givePhoneKey(CClient& v, int kind) {
    const PhoneKind k = static_cast<PhoneKind>(std::clamp(kind, 0, 2));
    const std::string key = newPhoneKey();
    const std::string hash = key.empty() ? std::string() : hashPhoneKey(key);
    if (hash.empty()) {
        m_view.message("No key could be made: the system's random source failed.");
        return false;
    }
    editVehicle(v, [&](CClient& c) {
        c.remoteType = remotePhone;
        c.phoneKey = hash;
        c.phoneSpeedUnit = phoneKindSpeedUnit(k);
    });
    if (!m_clients.save(false))
        NTRACE("the vehicle list was not saved");
    loadPage();
    const int port = m_o.PhonePort > 0 && m_o.PhonePort <= 65535 ? m_o.PhonePort : kPhonePort;
    m_page.phoneUrl = phoneSetupUrl(k, phoneUrlHost(m_o), port, key, v.host);
    m_page.phoneQr = qrModules(m_page.phoneUrl);
    return true;
}

void COptionsLogic::onAddPhone(const std::string& nameText, int kind) {
    const std::string name = trimmed(nameText);
    const std::string id = phoneIdFromName(name);
    if (name.empty() || id.empty()) {
        m_view.message("Type the phone's name first (letters or digits).");
        return;
    }
    for (const CClient* c : m_clients.vehicles(true)) {
        if (c->host == id && (c->remoteType == remotePhone || c->remoteType == remoteDevice)) {
            m_view.message("A phone or tracker with the identifier " + id + " exists already.");
            return;
        }
    }
    if (!checkVehicleId(name, id, true))
        return;
    CClient* v = m_clients.add(name, id);
    editVehicle(*v, [](CClient& c) { c.visible = 1; });
    m_entering = false;
    m_selector.fill(m_clients);
    m_selector.selectKey(v->name, m_clients);
    if (!givePhoneKey(*v, kind))
        loadPage();
    changed();
}

void COptionsLogic::onNewPhoneKey(int kind) {
    CClient* v = shownVehicle();
    if (!v || m_entering || !m_page.phone)
        return;
    givePhoneKey(*v, kind);
    changed();
}

void COptionsLogic::onPhoneShare(bool on) {
    CClient* v = shownVehicle();
    if (!v || !m_page.phone)
        return;
    editVehicle(*v, [on](CClient& c) { c.phoneShare = on ? 1 : 0; });
    m_page.phoneShare = on;
    if (!m_clients.save(false))
        NTRACE("the vehicle list was not saved");
    changed();
}

void COptionsLogic::endEntering() {
    m_entering = false;
    m_selector.fill(m_clients);
    m_selector.selectKey(m_o.Name, m_clients);
}

void COptionsLogic::onNewOrAdd(const std::string& nameText, const std::string& hostText) {
    if (!m_entering) {
        m_entering = true;
        m_page.name.clear();
        m_page.host.clear();
        changed();
        m_view.focusName();
        return;
    }
    const std::string name = trimmed(nameText);
    const std::string host = trimmed(hostText);
    m_page.name = name;
    m_page.host = host;
    if (!checkVehicleId(name, host, true)) {
        changed();
        return;
    }
    commitPage(name, host);
    if (!m_clients.save(false))
        NTRACE("the vehicle list was not saved");
    endEntering();
    loadPage();
    changed();
}

void COptionsLogic::onDeleteOrCancel() {
    if (m_entering) {
        endEntering();
        loadPage();
        changed();
        return;
    }
    CClient* v = m_clients.find(m_o.Name);
    if (!v || v == m_clients.localVehicle() || v == m_clients.realLocalVehicle() || m_page.local)
        return;
    m_clients.remove(m_o.Name);
    if (!m_clients.save(false))
        NTRACE("the vehicle list was not saved");
    fillList();
    selectFirst();
    loadPage();
    changed();
}

void COptionsLogic::onNameEdited(const std::string& nameText, const std::string& hostText) {
    if (m_entering || !m_page.local)
        return;
    const std::string name = trimmed(nameText);
    const std::string host = trimmed(hostText);
    if (host != "localhost")
        return;
    CClient* local = m_clients.localVehicle();
    if (!local)
        return;
    if (name.empty()) {
        m_page.name = local->uName;
        changed();
        return;
    }
    if (name == local->uName)
        return;
    if (!checkVehicleId(name, host, false)) {
        m_page.name = local->uName;
        changed();
        return;
    }
    const std::string key = name + "@" + host;
    if (!m_clients.rename(local->name, key)) {
        m_view.message(kMsgIdUsed);
        m_page.name = local->uName;
        changed();
        return;
    }
    m_page.name = name;
    commitPage(name, host); // names the renamed vehicle under the track lock
    if (!m_clients.save(false))
        NTRACE("the vehicle list was not saved");
    fillList();
    m_selector.selectKey(m_o.Name, m_clients);
    loadPage();
    changed();
}

// The KML writers read a vehicle's fields under the track lock: every edit
// of the page is made under it too (and never while a message box is open).
void COptionsLogic::editVehicle(CClient& v, const std::function<void(CClient&)>& write) {
    TrackLockGuard lock;
    write(v);
    v.changed = 1;
    v.track.m_newPt = 1;
}

bool COptionsLogic::vehicleFlag(VehicleFlag flag) const {
    CClient* v = shownVehicle();
    return v && v->*vehicleMember(flag) != 0;
}

bool COptionsLogic::dateRangeOn() const {
    CClient* v = shownVehicle();
    return v && v->useTimeSpan != 0;
}

void COptionsLogic::onVehicleFlag(VehicleFlag flag, bool on) {
    CClient* v = shownVehicle();
    if (!v || m_entering)
        return;
    editVehicle(*v, [&](CClient& c) { c.*vehicleMember(flag) = on ? 1 : 0; });
    if (flag == VehicleFlag::Fly)
        loadPage();
    changed();
}

void COptionsLogic::onCursorType(int type) {
    CClient* v = shownVehicle();
    if (!v || m_entering || type < 0 || type > 2)
        return;
    editVehicle(*v, [&](CClient& c) { c.cursorType = type; });
    loadPage();
    changed();
}

void COptionsLogic::onCursorFileEdited(const std::string& text) {
    CClient* v = shownVehicle();
    if (!v || m_entering || v->cursorType == 0)
        return;
    std::string file = trimmed(withoutControls(text));
    if (file.size() > kMaxPathText)
        file.resize(kMaxPathText);
    editVehicle(*v, [&](CClient& c) { (c.cursorType == 1 ? c.imageFile : c.modelFile) = file; });
    m_page.cursorFile = file;
}

void COptionsLogic::onCursorFilePicked(const std::string& path) {
    if (path.empty() || path.size() > kMaxPathText || hasControl(path)) {
        if (!path.empty())
            m_view.message("That file name is too long or holds control characters.");
        return;
    }
    CClient* v = shownVehicle();
    if (!v || m_entering || v->cursorType == 0)
        return;
    m_o.ModelDir = folderOf(path);
    editVehicle(*v, [&](CClient& c) { (c.cursorType == 1 ? c.imageFile : c.modelFile) = path; });
    m_page.cursorFile = path;
    changed();
}

std::string COptionsLogic::cursorPickerFolder() const {
    return m_o.ModelDir.empty() ? g_startDir : m_o.ModelDir;
}

std::string COptionsLogic::cursorPickerFilter() const {
    if (m_page.cursorType == 1)
        return "Image Files (*.img *.jpg *.gif *.png);;All Files (*)";
    return "Model Files (*.dae);;All Files (*)";
}

void COptionsLogic::onColor(const std::string& text) {
    CClient* v = shownVehicle();
    const std::string color = trimmed(text);
    if (!v || m_entering) {
        m_page.color = color; // a new vehicle takes it when added
        return;
    }
    if (!isColorText(color)) {
        // Appended piece by piece: GCC 12 at -O3 takes "literal" + substr() for
        // an overlapping copy (-Wrestrict).
        std::string msg = "\"";
        msg += color.substr(0, 40);
        msg += "\" is not a colour: choose one from the list, or give eight hex digits "
               "(aabbggrr).";
        m_view.message(msg);
        loadPage();
        changed();
        return;
    }
    editVehicle(*v, [&](CClient& c) { c.color = color; });
    m_o.Color = color;
    m_page.color = color;
}

void COptionsLogic::onMaxSpeed(const std::string& text) {
    CClient* v = shownVehicle();
    if (!v || m_entering)
        return;
    double entered = 0;
    if (!parseAmount(text, entered)) {
        m_view.message("Enter the maximum speed as a number, 0 or more.");
    } else {
        const double knots = std::min(entered / speedFactor(), kMaxSpeedKnots);
        editVehicle(*v, [&](CClient& c) { c.maxSpd = knots; });
    }
    loadPage();
    changed();
}

void COptionsLogic::onMaxPoints(const std::string& text) {
    CClient* v = shownVehicle();
    if (!v || m_entering)
        return;
    double entered = 0;
    if (!parseAmount(text, entered)) {
        m_view.message("Enter the maximum number of points as a whole number from 0 to " +
                       std::to_string(kMaxPointsLimit) + ".");
    } else {
        const auto points = static_cast<int32_t>(std::min(entered, double(kMaxPointsLimit)));
        editVehicle(*v, [&](CClient& c) { c.maxPts = points; });
    }
    loadPage();
    changed();
}

void COptionsLogic::onRadius(const std::string& text) {
    CClient* v = shownVehicle();
    if (!v || m_entering)
        return;
    double entered = 0;
    if (!parseAmount(text, entered)) {
        m_view.message("Enter the marker radius as a number, 0 or more.");
    } else {
        const double metres = m_o.Units == 1 ? entered : entered / kMetresToFeet;
        editVehicle(*v, [&](CClient& c) { c.trackWidth = std::min(metres, kMaxRadiusMetres); });
    }
    loadPage();
    changed();
}

void COptionsLogic::onDateRange(bool on) {
    CClient* v = shownVehicle();
    if (!v || m_entering)
        return;
    editVehicle(*v, [&](CClient& c) {
        c.useTimeSpan = on ? 1 : 0;
        c.setTodaySpan();
    });
    loadPage();
    changed();
}

// Both date pickers: a date outside the fix times is refused with a message;
// otherwise `apply` sets the shown vehicle's span from the day's first second.
void COptionsLogic::pickDate(const CalendarDate& date, void (*apply)(CClient&, int64_t)) {
    CClient* v = shownVehicle();
    if (!v || m_entering)
        return;
    const int64_t start = dayStartFixTime(date);
    if (start < 0) {
        m_view.message("Choose a date from 1970 to 2037.");
    } else {
        editVehicle(*v, [&](CClient& c) { apply(c, start); });
    }
    loadPage();
    changed();
}

void COptionsLogic::onStartDate(const CalendarDate& date) {
    pickDate(date, [](CClient& v, int64_t start) {
        v.startTime = static_cast<int32_t>(start);
        if (v.endTime < v.startTime)
            v.endTime = static_cast<int32_t>(start + kDaySeconds - 1);
    });
}

// A picked end date always means the end of that day, extrude or not.
void COptionsLogic::onEndDate(const CalendarDate& date) {
    pickDate(date, [](CClient& v, int64_t start) {
        v.endTime = static_cast<int32_t>(start + kDaySeconds - 1);
        if (v.startTime > v.endTime)
            v.startTime = static_cast<int32_t>(start);
    });
}

// --- GPS group ------------------------------------------------------------------

void COptionsLogic::applySerial() {
    m_sys.configureSerial(m_o.AutoFind, m_o.Port, m_o.RateNumber, m_o.FlowControl);
}

void COptionsLogic::startReader() {
    applySerial();
    m_sys.startSerial();
    if (m_o.AutoStartGE == 1)
        m_sys.loadServer();
}

void COptionsLogic::onPort(const std::string& text) {
    const std::string port = trimmed(text);
    std::string problem;
    if (port.empty())
        problem = "Enter a port such as COM1: or a device path such as /dev/ttyUSB0.";
    else if (port.size() > kMaxPortText)
        problem = "A port name has at most " + std::to_string(kMaxPortText) +
                  " characters; this one has " + std::to_string(port.size()) + ".";
    else if (hasControl(port))
        problem = "A port name cannot hold control characters.";
    if (!problem.empty()) {
        m_view.message(problem);
        changed();
        return;
    }
    // "gpsd" picks gpsd as the source; any other entry is a serial port.
    if (port == kGpsSourceGpsd) {
        m_o.GpsSource = kGpsSourceGpsd;
    } else {
        m_o.GpsSource = "serial";
        m_o.Port = port;
    }
    applySerial();
    changed();
}

std::string COptionsLogic::portShown() const {
    return m_o.GpsSource == kGpsSourceGpsd ? std::string(kGpsSourceGpsd) : m_o.Port;
}

bool COptionsLogic::gpsdServerEditable() const {
    return m_o.GpsSource == kGpsSourceGpsd;
}

void COptionsLogic::onGpsdServer(const std::string& text) {
    if (!gpsdServerEditable())
        return;
    GpsdServer server;
    std::string why;
    if (!parseGpsdServer(trimmed(text), server, why)) {
        NTRACE("gpsd address refused: %s", why.c_str());
        // Appended piece by piece: GCC 12 at -O3 takes "literal" + substr() for
        // an overlapping copy (-Wrestrict).
        std::string msg = "\"";
        msg += trimmed(text).substr(0, 60);
        msg += "\" is no gpsd address (";
        msg += why;
        msg += "). Enter a host and, if gpsd does not listen on 2947, a port: 127.0.0.1:2947.";
        m_view.message(msg);
        changed();
        return;
    }
    // Stored in full, so the field shows which port is used.
    m_o.GpsdServer = server.text();
    applySerial();
    changed();
}

void COptionsLogic::onRate(int index) {
    if (index < 0 || index >= static_cast<int>(kRateEntries.size()))
        return;
    m_o.Rate = kRateEntries[static_cast<size_t>(index)];
    m_o.RateNumber = std::atoi(m_o.Rate.c_str());
    applySerial();
}

void COptionsLogic::onFlowControl(int index) {
    if (index < 0 || index >= static_cast<int>(kFlowEntries.size()))
        return;
    m_o.FlowControl = index;
    applySerial();
}

void COptionsLogic::onConnect() {
    startReader();
    m_sys.waitMs(1);
}

void COptionsLogic::onDisconnect() {
    m_sys.closeSerial();
}

void COptionsLogic::onAutoConnect(bool on) {
    m_o.AutoConnect = on ? 1 : 0;
    if (on)
        startReader();
}

void COptionsLogic::onAutoFind(bool on) {
    m_o.AutoFind = on ? 1 : 0;
    applySerial();
    if (on)
        m_sys.startSerial();
    else
        m_sys.closeSerial();
}

// --- playback and recording -------------------------------------------------------

// Until a log has been picked, the picker starts where the program keeps
// its files (the start directory), not wherever the process was started.
std::string COptionsLogic::logPickerFolder() const {
    return m_o.PlayDir.empty() ? g_startDir : m_o.PlayDir;
}

std::string COptionsLogic::logPickerFile() const {
    return trimmed(m_o.LogFile);
}

void COptionsLogic::onLogFilePicked(const std::string& path) {
    if (path.empty())
        return;
    if (path.size() > kMaxPathText || hasControl(path)) {
        m_view.message("That file name is too long or holds control characters.");
        return;
    }
    m_o.PlayDir = folderOf(path);
    m_o.LogFile = path;
    if (m_sys.playback())
        m_sys.setPaused(false);
    changed();
}

void COptionsLogic::onPlay() {
    if (m_sys.playback() || m_o.DemoMode)
        return;
    const std::string file = trimmed(m_o.LogFile);
    struct stat st {};
    if (file.empty() || stat(FullPath(file).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        const std::string problem = file.empty() ? std::string("Choose a log file to play first.")
                                                 : "The log file " + file + " cannot be found.";
        NTRACE("play refused: %s", problem.c_str());
        m_view.message(problem);
        m_playOn = false;
        changed();
        return;
    }
    m_playOn = true;
    m_sys.setPlayback(true);
    switchGpsSource(m_sys, m_o, m_clients, 1);
    changed();
}

void COptionsLogic::onStop() {
    m_playOn = false;
    if (!m_sys.playback()) {
        changed();
        return;
    }
    m_sys.setPlayback(false);
    switchGpsSource(m_sys, m_o, m_clients, 0);
    fillList();
    m_selector.selectKey(m_o.Name, m_clients);
    applyCameraSelection(m_sys, m_o, m_clients, m_o.Name);
    changed();
}

void COptionsLogic::onRecord() {
    CRecording& recording = m_sys.recording();
    CClient* local = m_clients.localVehicle();
    std::string started;
    const std::string status =
        recording.start(local ? local->uName : m_o.uName, true, time(nullptr), &started);
    if (!status.empty())
        m_recordStatus = status;
    // The new log is what Play plays when no other was chosen.
    if (!started.empty() && m_o.LogFile.empty())
        m_o.LogFile = started;
    m_recordOn = recording.recording();
    changed();
}

void COptionsLogic::onStopRecord() {
    CRecording& recording = m_sys.recording();
    if (recording.recording())
        m_recordStatus = recording.stop();
    m_recordOn = false;
    changed();
}

void COptionsLogic::onContinuous(bool on) {
    m_o.ContinuousLog = on ? 1 : 0;
    m_recordStatus = m_sys.recording().setContinuous(on);
    m_recordOn = false;
    changed();
}

// --- right-hand column --------------------------------------------------------------

bool COptionsLogic::flag(OptionFlag flag) const {
    return m_o.*flagMember(flag) != 0;
}

void COptionsLogic::onFlag(OptionFlag flag, bool on) {
    m_o.*flagMember(flag) = on ? 1 : 0;
    m_sys.settingsChanged();
}

void COptionsLogic::onDemoMode(bool on) {
    m_o.DemoMode = on ? 1 : 0;
    if (on) {
        switchGpsSource(m_sys, m_o, m_clients, 0);
        m_playOn = false;
        m_sys.setPlayback(false);
    }
    switchGpsSource(m_sys, m_o, m_clients, m_o.DemoMode == 1 ? 1 : 0);
    fillList();
    selectFirst();
    loadPage();
    changed();
}

void COptionsLogic::onUnits(int units) {
    if (units != 0 && units != 1)
        return;
    m_o.Units = units;
    loadPage();
    changed();
}

void COptionsLogic::onSpeedInKnots(bool on) {
    m_o.SpeedInKnots = on ? 1 : 0;
    loadPage();
    changed();
}

int COptionsLogic::slider(Slider s) const {
    return m_o.*sliderMember(s).member;
}

void COptionsLogic::onSlider(Slider s, int position) {
    const SliderMember& m = sliderMember(s);
    const int pos = std::clamp(position, m.range.low, m.range.high);
    m_o.*m.member = pos;
    if (s == Slider::DemoSpeed)
        m_sys.setPace(pos >= kDemoSpeedRange.high ? 0 : (kDemoSpeedRange.high + 1 - pos) / 2);
    m_sys.settingsChanged();
}

void COptionsLogic::onRotation(int index) {
    if (index < 0 || index >= static_cast<int>(kRotationEntries.size()))
        return;
    m_o.AutoHdg = index;
    setAutoViewHeadingMode(index);
}

void COptionsLogic::onDebugLog(bool on) {
    setDebugLogging(on);
    m_o.debugLogging = on ? 1 : 0;
    m_sys.settingsChanged();
}

void COptionsLogic::onFtpButton() {
    m_view.runFtpDialog();
    m_sys.settingsChanged();
}

void COptionsLogic::onServerButton() {
    m_view.runExternalServerDialog(m_o.mapFactor != 0);
    m_sys.settingsChanged();
}

// --- the browser globe and the history ---------------------------------------

void COptionsLogic::onGlobeTiles(const std::string& text) {
    const std::string url = trimmed(text);
    const std::string problem = url.empty() ? std::string() : globeTilesProblem(url);
    if (!problem.empty()) {
        std::string msg = "\"";
        msg += withoutControls(url.substr(0, 60));
        msg += "\" is no tile server address (";
        msg += problem;
        msg += "). Enter an address with {z}, {x} and {y} in it, such as "
               "https://tile.example.org/{z}/{x}/{y}.png, or nothing for the globe's own map.";
        m_view.message(msg);
    } else {
        m_o.GlobeTiles = url;
    }
    changed();
}

void COptionsLogic::onGlobeTilesAttribution(const std::string& text) {
    // As the globe shows it: control bytes and broken characters replaced,
    // cut to the longest credit it shows.
    const std::string credit =
        cleanText(std::string_view(trimmed(text)).substr(0, kGlobeAttributionMax));
    m_o.GlobeTilesAttribution = credit;
    changed();
}

void COptionsLogic::onHistory(bool on) {
    m_o.History = on ? 1 : 0;
    changed();
}

namespace {

// A whole number in `range` typed into a field; false for anything else.
bool parseWhole(const std::string& text, SliderRange range, int32_t& out) {
    double v = 0;
    if (!parseAmount(text, v) || v != std::floor(v) || v < range.low || v > range.high)
        return false;
    out = static_cast<int32_t>(v);
    return true;
}

std::string wholeNumberWanted(const char* what, SliderRange range) {
    return std::string("Enter ") + what + " as a whole number from " + std::to_string(range.low) +
           " to " + std::to_string(range.high) + ".";
}

} // namespace

void COptionsLogic::onHistoryDays(const std::string& text) {
    if (!parseWhole(text, kHistoryDaysRange, m_o.HistoryDays))
        m_view.message(wholeNumberWanted("how many days the history keeps", kHistoryDaysRange));
    changed();
}

void COptionsLogic::onHistoryMaxMB(const std::string& text) {
    if (!parseWhole(text, kHistoryMaxMBRange, m_o.HistoryMaxMB))
        m_view.message(wholeNumberWanted("the history's largest size in MB", kHistoryMaxMBRange));
    changed();
}
