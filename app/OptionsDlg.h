// The settings object: every option of the program is a member of the one
// COptionsDlg of a run (built by the composition root, app/appContext.h),
// named by its registry value name. It loads from and saves to
// Software\Nivra. The options dialog and the window edit the members in place
// on the user-interface thread; the parts that run on threads of their own
// never read it: they get the values they need handed over
// (CSubsystems::settingsChanged, app/settingsHandOver.h).
#pragma once

#include <cstdint>
#include <string>

class CSubsystems;
class RegistryStore;

class COptionsDlg {
public:
    COptionsDlg();
    COptionsDlg(const COptionsDlg&) = delete;
    COptionsDlg& operator=(const COptionsDlg&) = delete;

    int32_t AlwaysOnTop = 1;
    std::string Port = "COM3:";
    int32_t RateNumber = 4800; // the number of `Rate`
    std::string Rate = "4800";
    int32_t AutoHdg = 1;
    int32_t FlowControl = 0;
    int32_t Tracking = 47;
    int32_t Left = 0;
    int32_t Top = 0;
    int32_t Right = 0;  // main window right edge, not persisted
    int32_t Bottom = 0; // main window bottom edge, not persisted
    int32_t GpsDataLeft = 0;
    int32_t GpsDataTop = 0;
    int32_t GpsDataRight = 0;
    int32_t GpsDataBottom = 0;
    int32_t DemoMode = 1;
    int32_t DemoSpeed = 1800;
    int32_t CursorSize = 100;
    int32_t FlyToSpeed = 200;
    int32_t ServerMode = 0;
    int32_t AutoConnect = 0;
    int32_t AutoFind = 1;
    int32_t AutoStartGE = 1;
    int32_t FixBlur = 0;
    int32_t SaveToGE = 1;
    int32_t Units = 0;
    int32_t SpeedInKnots = 0;
    double RotateDelta = 0.0;
    int32_t ShowGpsData = 0;
    int32_t LoopPlayback = 0;
    std::string pftpUserName = "anonymous";
    std::string pftpPassword;
    std::string pftpServerName; // placeholder host, set in the constructor
    std::string pftpFileName = "Me.kml";
    int32_t pftpEnabled = 0;
    int32_t pftpCopyThenRename = 1;
    int32_t pftpUseFtp = 1;
    int32_t pftpSavePeriod = 7;
    int32_t pftpMaxPts = 20000;
    int32_t pftpSaveAll = 0;
    int32_t pftpForceUpdates = 0;
    int32_t debugLogging = 0; // not persisted
    int32_t ClearTrackOnStartup = 0;
    int32_t RunInTray = 0;
    int32_t SelTrackOnly = 0;
    std::string moloName;
    std::string moloPass;
    int32_t moloFreq = 60;
    int32_t moloEnable = 0;
    std::string gpsgServerName; // default set in the constructor
    std::string gpsgName;
    std::string gpsgPass;
    int32_t gpsgFreq = 60;
    int32_t gpsgEnable = 0;
    int32_t gpsgUpdate = 0;
    int32_t flightTracker = 0;
    int32_t mapFactor = 0;
    // Read-only: the Mologogo and MapFactor servers, "host[:port]".
    std::string MologogoServer = "mologogo.com";
    std::string MapFactorServer = "mapfactor.com";
    std::string LogFile;
    // The program's parts (engine, serial reader, vehicle list), handed over
    // at start-up for applyTracking and setGpsSource.
    CSubsystems* m_sys = nullptr;
    std::string PlayDir;
    std::string ModelDir;
    int32_t ContinuousLog = 0;
    std::string Name = "Me@localhost";
    std::string uName = "Me";
    std::string Host = "localhost";
    std::string Color = "ff4080FF";
    // Seconds between saves of the changed tracks and the vehicle list while
    // running (0: only at exit), so a crash or power cut loses little.
    int32_t AutoSavePeriod = 300;
    // Where the local position comes from: "serial" (the port above) or
    // "gpsd", the gpsd at GpsdServer (host[:port]).
    std::string GpsSource = "serial";
    std::string GpsdServer = "127.0.0.1:2947";
    // The largest document the network link sends, in megabytes: beyond it
    // the oldest points are left out (earth/replyBudget.h).
    int32_t MaxReplyMB = 16;
    // The history file (history.gpkg): kept when History is 1; points older
    // than HistoryDays days, and the earliest points beyond HistoryMaxMB
    // megabytes, are removed.
    int32_t History = 1;
    int32_t HistoryDays = 365;
    int32_t HistoryMaxMB = 1024;
    // The browser globe's optional imagery: an XYZ tile URL template
    // ("https://tile.example.org/{z}/{x}/{y}.png"; empty: the offline imagery
    // only, no outside request) and the credit shown with its tiles.
    std::string GlobeTiles;
    std::string GlobeTilesAttribution;
    // The main window's status line, copied on every tick and handed to the
    // threads that write KML with the other settings.
    std::string statusText; // not persisted
    // Not written by the program; read by the KML snapshot.
    std::string SaveDirectory;
    // Listeners bind to this address when set (empty: any address).
    std::string BindAddress;
    // Without BindAddress the network-link and base listeners bind here, so
    // that only this machine reads the vehicles; "0.0.0.0" opens them to all.
    std::string LinkBindAddress = "127.0.0.1";
    // Without BindAddress the peer control and ping listeners bind here. They
    // hand the local vehicle's position and track to whoever reaches them, so
    // only this machine does until the user shares ("0.0.0.0": every network).
    std::string PeerBindAddress = "127.0.0.1";
    // Addresses (besides 127.0.0.1) whose NMEA sentences on the tracker port are
    // taken as the local GPS; separated by blanks, ',' or ';'.
    std::string LocalGpsHosts;
    // Device vehicles the tracker port may create; new identifiers beyond it
    // are refused. Phones count against it too.
    int32_t MaxDeviceVehicles = 500;
    // The phone port (OsmAnd / Traccar Client, OwnTracks) and its address:
    // every interface unless PhoneBindAddress (or --bind) narrows it, since
    // phones come from outside. PhoneEnrolment 1 lets an unknown identifier
    // with a key become a phone vehicle.
    int32_t PhonePort = 5055;
    std::string PhoneBindAddress;
    int32_t PhoneEnrolment = 0;
    // 0 relaxes the checks of HTTPS server certificates (for a self-signed
    // server of the user's own); not written by the program.
    int32_t TlsVerify = 1;
    // Google Earth backend: "none", "gepro" or empty for automatic (not written by the program).
    std::string EarthBackend;

    // Fills the members from `reg` by the load rules, and remembers `reg`.
    void load(RegistryStore& reg);
    // Writes every value in table order, as one change of the registry file.
    // Returns false when the save failed (nothing of it was written then).
    bool save(RegistryStore& reg);
    // The same on the registry the settings were loaded from (false, nothing
    // written, before any load).
    bool save();

    // Camera selection and GPS source switching (app/sourceSwitch.cpp): give
    // the vehicle with key `selectedKey` the Tracking bits and make it the
    // engine's tracked vehicle; switch the local source between the serial
    // receiver (demo 0) and the demo or a playback (demo 1).
    void applyTracking(const std::string& selectedKey);
    void setGpsSource(int demo);

    // True once load() has run; only then does the exit save write the
    // settings back (defaults never overwrite settings that were not read).
    bool loaded() const { return m_registry != nullptr; }
    // The run ends without writing the settings back (a start-up that
    // failed): loaded() is false from now on.
    void forgetRegistry() { m_registry = nullptr; }

private:
    RegistryStore* m_registry = nullptr; // loaded from
};

// The address of the listeners that only this machine should reach (network
// link, base port): BindAddress when set (--bind), else LinkBindAddress,
// loopback unless the user opened it.
std::string linkListenAddress(const COptionsDlg& o);
// The address of the peer control and ping listeners: BindAddress when set,
// else PeerBindAddress, loopback unless the user shares the position.
std::string peerListenAddress(const COptionsDlg& o);
// The address of the phone listener: BindAddress when set, else
// PhoneBindAddress (empty: every interface).
std::string phoneListenAddress(const COptionsDlg& o);
// Whether other machines can reach the peer listeners, that is, follow the
// local vehicle: their address is not a loopback address.
bool positionShared(const COptionsDlg& o);
