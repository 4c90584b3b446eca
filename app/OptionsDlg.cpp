#include "app/OptionsDlg.h"

#include "earth/autoViewState.h"
#include "platform/registry.h"
#include "trace/trace.h"

#include <climits>
#include <cstdlib>

namespace {

// Defaults the program chooses itself: the GpsGate service's public server,
// and a reserved example name so that nothing is uploaded until the user sets
// a real FTP server.
constexpr const char* kDefaultGpsGateServer = "online.gpsgate.com";
constexpr const char* kPlaceholderFtpServer = "ftp.example.com";

// Text values are read through a 1024-byte buffer.
constexpr size_t kTextValueMax = 1024;
constexpr size_t kSaveDirectoryMax = 512;

enum class Load {
    text,     // a non-empty value replaces the default
    atLeast0, // a value that is not negative replaces the default
    above0,   // only a positive value replaces the default
    scaled,   // RotateDelta: signed, divided by 10000
};

struct Setting {
    const char* name;
    Load rule;
    std::string COptionsDlg::*text = nullptr;
    int32_t COptionsDlg::*number = nullptr;
};

constexpr Setting txt(const char* name, std::string COptionsDlg::*m) {
    return {name, Load::text, m, nullptr};
}
constexpr Setting num(const char* name, int32_t COptionsDlg::*m, Load rule = Load::atLeast0) {
    return {name, rule, nullptr, m};
}

// Every persisted setting, in the order the save writes them. `mapFactor` and
// `flightTracker` are read back like the other numbers so that a user who sets
// them in the registry file reaches the MapFactor link and flight-path mode.
const Setting kSettings[] = {
    txt("Name", &COptionsDlg::Name),
    txt("uName", &COptionsDlg::uName),
    txt("Host", &COptionsDlg::Host),
    txt("Port", &COptionsDlg::Port),
    txt("Rate", &COptionsDlg::Rate),
    num("AutoHdg", &COptionsDlg::AutoHdg),
    num("ContinuousLog", &COptionsDlg::ContinuousLog),
    num("LoopPlayback", &COptionsDlg::LoopPlayback),
    num("FlowControl", &COptionsDlg::FlowControl),
    num("AlwaysOnTop", &COptionsDlg::AlwaysOnTop),
    num("Tracking", &COptionsDlg::Tracking),
    num("Top", &COptionsDlg::Top),
    num("Left", &COptionsDlg::Left),
    num("GpsDataTop", &COptionsDlg::GpsDataTop),
    num("GpsDataLeft", &COptionsDlg::GpsDataLeft),
    num("GpsDataBottom", &COptionsDlg::GpsDataBottom),
    num("GpsDataRight", &COptionsDlg::GpsDataRight),
    num("DemoMode", &COptionsDlg::DemoMode),
    num("ServerMode", &COptionsDlg::ServerMode),
    num("AutoConnect", &COptionsDlg::AutoConnect),
    num("AutoFind", &COptionsDlg::AutoFind),
    num("Units", &COptionsDlg::Units),
    num("SpeedInKnots", &COptionsDlg::SpeedInKnots),
    num("ShowGpsData", &COptionsDlg::ShowGpsData),
    {"RotateDelta", Load::scaled, nullptr, nullptr},
    num("SaveToGE", &COptionsDlg::SaveToGE),
    num("AutoStartGE", &COptionsDlg::AutoStartGE),
    txt("Color", &COptionsDlg::Color),
    num("DemoSpeed", &COptionsDlg::DemoSpeed),
    num("FixBlur", &COptionsDlg::FixBlur),
    num("RunInTray", &COptionsDlg::RunInTray),
    num("SelTrackOnly", &COptionsDlg::SelTrackOnly),
    num("pftpSavePeriod", &COptionsDlg::pftpSavePeriod),
    num("pftpMaxPts", &COptionsDlg::pftpMaxPts),
    num("pftpSaveAll", &COptionsDlg::pftpSaveAll),
    num("pftpForceUpdates", &COptionsDlg::pftpForceUpdates),
    num("pftpUseFtp", &COptionsDlg::pftpUseFtp),
    num("pftpEnabled", &COptionsDlg::pftpEnabled),
    num("pftpCopyThenRename", &COptionsDlg::pftpCopyThenRename),
    txt("pftpUserName", &COptionsDlg::pftpUserName),
    txt("pftpPassword", &COptionsDlg::pftpPassword),
    txt("pftpServerName", &COptionsDlg::pftpServerName),
    txt("pftpFileName", &COptionsDlg::pftpFileName),
    txt("moloName", &COptionsDlg::moloName),
    txt("moloPass", &COptionsDlg::moloPass),
    num("moloFreq", &COptionsDlg::moloFreq, Load::above0),
    num("moloEnable", &COptionsDlg::moloEnable, Load::above0),
    txt("gpsgServerName", &COptionsDlg::gpsgServerName),
    txt("gpsgName", &COptionsDlg::gpsgName),
    txt("gpsgPass", &COptionsDlg::gpsgPass),
    num("gpsgFreq", &COptionsDlg::gpsgFreq, Load::above0),
    num("gpsgEnable", &COptionsDlg::gpsgEnable, Load::above0),
    num("gpsgUpdate", &COptionsDlg::gpsgUpdate, Load::above0),
    num("mapFactor", &COptionsDlg::mapFactor),
    num("flightTracker", &COptionsDlg::flightTracker),
    num("CursorSize", &COptionsDlg::CursorSize),
    num("FlyToSpeed", &COptionsDlg::FlyToSpeed),
    num("ClearTrackOnStartup", &COptionsDlg::ClearTrackOnStartup),
    txt("LogFile", &COptionsDlg::LogFile),
    txt("PlayDir", &COptionsDlg::PlayDir),
    txt("ModelDir", &COptionsDlg::ModelDir),
    num("AutoSavePeriod", &COptionsDlg::AutoSavePeriod),
    txt("GpsSource", &COptionsDlg::GpsSource),
    txt("GpsdServer", &COptionsDlg::GpsdServer),
    num("MaxReplyMB", &COptionsDlg::MaxReplyMB, Load::above0),
    num("History", &COptionsDlg::History),
    num("HistoryDays", &COptionsDlg::HistoryDays, Load::above0),
    num("HistoryMaxMB", &COptionsDlg::HistoryMaxMB, Load::above0),
    num("PhonePort", &COptionsDlg::PhonePort, Load::above0),
    num("PhoneEnrolment", &COptionsDlg::PhoneEnrolment),
    txt("GlobeTiles", &COptionsDlg::GlobeTiles),
    txt("GlobeTilesAttribution", &COptionsDlg::GlobeTilesAttribution),
};

// Values the program reads but never writes: the user sets them in the file.
struct ReadOnlyText {
    const char* name;
    std::string COptionsDlg::*member;
    size_t maxBytes;
};
const ReadOnlyText kReadOnly[] = {
    {"SaveDirectory", &COptionsDlg::SaveDirectory, kSaveDirectoryMax},
    {"BindAddress", &COptionsDlg::BindAddress, kTextValueMax},
    {"LinkBindAddress", &COptionsDlg::LinkBindAddress, kTextValueMax},
    {"PeerBindAddress", &COptionsDlg::PeerBindAddress, kTextValueMax},
    {"PhoneBindAddress", &COptionsDlg::PhoneBindAddress, kTextValueMax},
    {"LocalGpsHosts", &COptionsDlg::LocalGpsHosts, kTextValueMax},
    {"EarthBackend", &COptionsDlg::EarthBackend, kTextValueMax},
    {"MologogoServer", &COptionsDlg::MologogoServer, kTextValueMax},
    {"MapFactorServer", &COptionsDlg::MapFactorServer, kTextValueMax},
};

// The number at the start of the text, as atoi reads it (0 when there is none).
int32_t decimalNumber(const std::string& text) {
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

} // namespace

COptionsDlg::COptionsDlg()
    : pftpServerName(kPlaceholderFtpServer), gpsgServerName(kDefaultGpsGateServer) {}

bool COptionsDlg::save() {
    return m_registry && save(*m_registry);
}

void COptionsDlg::load(RegistryStore& reg) {
    m_registry = &reg;
    std::optional<RegKey> key = reg.openKey(kNivraKey);
    if (key) {
        for (const Setting& s : kSettings) {
            if (s.rule == Load::text) {
                std::string v;
                if (key->queryString(s.name, v, kTextValueMax) && !v.empty())
                    this->*s.text = v;
                continue;
            }
            uint32_t raw = 0;
            const bool present = key->queryDword(s.name, raw);
            int32_t v = present ? static_cast<int32_t>(raw) : -1;
            if (s.rule == Load::scaled) {
                // Saved from a signed value: a view turned left is negative.
                if (present)
                    RotateDelta = v / 10000.0;
                continue;
            }
            bool take = s.rule == Load::above0 ? v > 0 : v >= 0;
            if (!take)
                continue;
            this->*s.number = v;
        }
        for (const ReadOnlyText& r : kReadOnly) {
            std::string v;
            if (key->queryString(r.name, v, r.maxBytes) && !v.empty())
                this->*r.member = v;
        }
        if (uint32_t raw = 0; key->queryDword("MaxDeviceVehicles", raw) && raw <= INT32_MAX)
            MaxDeviceVehicles = static_cast<int32_t>(raw);
        uint32_t verify = 1;
        if (key->queryDword("TlsVerify", verify))
            TlsVerify = verify == 0 ? 0 : 1;
    }
    RateNumber = decimalNumber(Rate);
    // The automatic view starts from the stored heading mode and offset; on a
    // first start these are the defaults, so the view and the settings agree.
    setAutoViewHeadingMode(AutoHdg);
    setAutoViewHeadingHold(true);
    setAutoViewHeadingOffset(RotateDelta);
}

bool COptionsDlg::save(RegistryStore& reg) {
    RegTransaction tx(reg);
    if (!openProgramKey(tx, "COptionsDlg::save"))
        return false;
    int err = 0;
    for (const Setting& s : kSettings) {
        if (s.rule == Load::text) {
            err = tx.setString(kNivraKey, s.name, this->*s.text);
        } else if (s.rule == Load::scaled) {
            // The user may have turned the view since the last save.
            RotateDelta = autoViewHeadingOffset();
            err = tx.setDword(kNivraKey, s.name, scaledDword(RotateDelta));
        } else {
            err = tx.setDword(kNivraKey, s.name, static_cast<uint32_t>(this->*s.number));
        }
        if (err != 0) {
            NTRACE("Can't create key - error %d", err);
            return false;
        }
    }
    err = tx.commit();
    if (err != 0) {
        NTRACE("Can't create key - error %d", err);
        return false;
    }
    return true;
}

std::string linkListenAddress(const COptionsDlg& o) {
    return o.BindAddress.empty() ? o.LinkBindAddress : o.BindAddress;
}

std::string phoneListenAddress(const COptionsDlg& o) {
    return o.BindAddress.empty() ? o.PhoneBindAddress : o.BindAddress;
}

std::string peerListenAddress(const COptionsDlg& o) {
    return o.BindAddress.empty() ? o.PeerBindAddress : o.BindAddress;
}

bool positionShared(const COptionsDlg& o) {
    return !peerListenAddress(o).starts_with("127.");
}
