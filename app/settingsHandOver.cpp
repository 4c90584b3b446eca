#include "app/settingsHandOver.h"

#include "app/OptionsDlg.h"

#include <algorithm>

KmlOptions kmlOptions(const COptionsDlg& o, FlightPathHook* flightPath) {
    KmlOptions opt;
    opt.cursorSize = o.CursorSize;
    opt.speedInKnots = o.SpeedInKnots != 0;
    opt.metric = o.Units != 0;
    opt.debugLogging = o.debugLogging != 0;
    opt.statusText = o.statusText;
    opt.flightPath = flightPath;
    return opt;
}

EngineSettings engineSettings(const COptionsDlg& o, FlightPathHook* flightPath) {
    EngineSettings s;
    s.logLines = o.debugLogging != 0;
    s.flightTracker = o.flightTracker != 0;
    s.maxDeviceVehicles = o.MaxDeviceVehicles;
    s.localGpsHosts = o.LocalGpsHosts;
    s.selectedTrackOnly = o.SelTrackOnly != 0;
    s.flyToSpeed = o.FlyToSpeed;
    s.loopPlayback = o.LoopPlayback != 0;
    s.maxReplyMB = o.MaxReplyMB;
    s.kml = kmlOptions(o, flightPath);
    s.globe.tiles = o.GlobeTiles;
    s.globe.tilesAttribution = o.GlobeTilesAttribution;
    return s;
}

PhoneSettings phoneSettings(const COptionsDlg& o) {
    PhoneSettings s;
    s.enrolment = o.PhoneEnrolment != 0;
    s.maxDeviceVehicles = o.MaxDeviceVehicles;
    return s;
}

namespace {

WebAccountSettings webAccount(const COptionsDlg& o, const std::string& server) {
    WebAccountSettings s;
    s.server = server;
    s.name = o.moloName;
    s.password = o.moloPass;
    s.freq = o.moloFreq;
    s.enable = o.moloEnable;
    s.tlsVerify = o.TlsVerify != 0;
    return s;
}

} // namespace

ServiceSettings serviceSettings(const COptionsDlg& o) {
    ServiceSettings s;
    s.mologogo = webAccount(o, o.MologogoServer);
    s.mapFactor = webAccount(o, o.MapFactorServer);
    s.gpsgate.server = o.gpsgServerName;
    s.gpsgate.name = o.gpsgName;
    s.gpsgate.password = o.gpsgPass;
    s.gpsgate.freq = o.gpsgFreq;
    s.gpsgate.enable = o.gpsgEnable;
    s.gpsgate.upload = o.gpsgUpdate;
    s.useMapFactor = o.mapFactor != 0;
    return s;
}

FtpPublishing ftpPublishing(const COptionsDlg& o, FlightPathHook* flightPath) {
    FtpPublishing p;
    p.saveAll = o.pftpSaveAll != 0;
    p.forceUpdates = o.pftpForceUpdates != 0;
    p.copyThenRename = o.pftpCopyThenRename != 0;
    p.maxPts = std::max(0, static_cast<int>(o.pftpMaxPts));
    p.kml = kmlOptions(o, flightPath);
    return p;
}

HistorySettings historySettings(const COptionsDlg& o) {
    HistorySettings s;
    s.enabled = o.History != 0;
    s.retention.days = o.HistoryDays;
    s.retention.maxMB = o.HistoryMaxMB;
    return s;
}
