// The vehicle list. A vehicle (CClient) is one thing whose positions are
// tracked: the local vehicle, a peer, a hardware tracker, a service account, a
// demo vehicle. The list (CClients) owns every vehicle for its own life (the
// program has one, built by the composition root), keeps them in key order and
// persists them under Software\Nivra.
#pragma once

#include "history/historyPoint.h"
#include "platform/liveSettings.h"
#include "remote/serviceSettings.h"
#include "trace/throttle.h"
#include "track/nmea.h"
#include "track/track.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

class RegistryStore;
struct ServerReply;
struct BindOutcome;

enum RemoteType : int32_t {
    remotePeer = 0,    // another copy of the program (and the local vehicle)
    remoteFtp = 1,     // reserved
    remoteDevice = 2,  // a hardware tracker posting to the tracker port
    remoteWeb = 3,     // Mologogo or MapFactor account
    remoteGpsGate = 4, // GpsGate buddy
    remotePhone = 5,   // a phone reporting to the phone port (OsmAnd / Traccar Client, OwnTracks)
};

// Tracking bits of a vehicle.
enum : int32_t {
    kTrackFollow = 1,
    kTrackHeading = 2,
    kTrackRange = 4,
    kTrackTilt = 8,
    kTrackViewControl = 0x20,
};

// Field sizes (a field of N bytes holds at most N-1 characters).
constexpr size_t kClientTextField = 256;
constexpr size_t kClientColorField = 32;

class CClient {
public:
    CClient() { reset(""); }
    explicit CClient(const std::string& key) { reset(key); }
    CClient(const CClient&) = delete;
    CClient& operator=(const CClient&) = delete;

    std::string name;  // the key "uName@host"; only CClients::rename changes it
    std::string uName; // user/display name, account name, or device model
    std::string host;  // peer host, "localhost", service domain, or device id
    std::string image;
    // camera view kept for following this vehicle (metres and degrees)
    double camLat = 0, camLon = 0, camHdg = 0, camAlt = 0, camRange = 0, camTilt = 0;
    std::string color = "Orange";
    int32_t tracking = 0;
    int32_t speedTrack = 1;
    int32_t maxPts = 2000;
    uint32_t camTime = 0; // tick of the last camera read
    // Set by the threads that hear from the vehicle (intake, peers, services,
    // demo) and read by every other: atomic.
    std::atomic<int32_t> online{0};
    std::atomic<int32_t> changed{1};
    std::atomic<int32_t> removed{0};
    int32_t isLocal = 0;
    int32_t speedBandIndex = 99; // 99: no band chosen yet
    int32_t bandSpeed = 0;
    CTrack track;
    // The latest position. Written by the one thread that feeds the vehicle,
    // under the track lock when others may be reading (setPosition); read
    // by the others under the track lock (position, displayPosition).
    GpsFix curPos;
    GpsFix shownPos;
    FILE* recordFile = nullptr; // NMEA recording file of this vehicle
    uint32_t demoIndex = 0;
    double demoOffset = 0;
    int32_t fly = 0;
    int32_t extrude = 0;
    int32_t timestamps = 1;
    int32_t startTime = 0;
    int32_t endTime = 0;
    int32_t useTimeSpan = 0;
    int32_t remoteType = remotePeer;
    int32_t visible = 1;
    double maxSpd = 61.0; // knots
    int32_t showAlt = 0;
    int32_t showHdg = 0;
    int32_t showName = 1;
    int32_t showHost = 0;
    int32_t showSpeed = 1;
    int32_t showTime = 1;
    double trackWidth = 0.0; // metres
    int32_t compress = 1;
    std::string modelFile;
    std::string imageFile;
    int32_t cursorType = 0;
    std::string lastLine; // at most 255 characters
    int32_t isDemo = 0;
    // Created in this run by a message on the tracker port. Such a vehicle is
    // not saved until it has had two points: a stranger posting one fix each
    // for many identifiers leaves nothing on disk.
    int32_t createdByTracker = 0;
    // Phones (remotePhone): the salted hash of the device key (phones/phoneKey.h),
    // the unit of the OsmAnd speed parameter (0 knots, 1 m/s, 2 km/h) and
    // whether the phone is sent the other vehicles' positions (OwnTracks
    // friends). Read and written under the track lock: the phone port's
    // thread reads them while the options dialog may change them.
    std::string phoneKey;
    int32_t phoneSpeedUnit = 0;
    int32_t phoneShare = 0;
    // The battery level a phone last reported, percent; -1 unknown. Under the
    // track lock; not saved.
    int32_t battery = -1;

    // Copies the key into `name` and sets every field to its default.
    void reset(const std::string& key);
    int remoteTypeFromHost() const;
    GpsFix displayPosition();
    // curPos replaced, and read, under the track lock.
    void setPosition(const GpsFix& fix);
    GpsFix position() const;
    void setTodaySpan();
    // The track file name: the key made safe as a file name (safeFileStem),
    // plus ".trk"; it always lies in the start directory.
    std::string trackFileName() const;
    // The name earlier versions gave a key with '/' in it (each '/' as '.'),
    // when that name is a safe one; empty otherwise. Loading falls back to it
    // so such a vehicle keeps its stored track.
    std::string legacyTrackFileName() const;

    // The peer protocol, client side (remote/peerExchange.cpp). sendMsg
    // connects to `host` at `port`, sends `msg` and, given a reply string,
    // reads the reply into it (at most `replySize` bytes); it returns the new
    // `online` flag, and without `force` does nothing for a peer offline.
    int sendMsg(const std::string& msg, int force, int port, std::string* reply, size_t replySize);
    // One CONTROL= exchange: asks for the points after our sequence number
    // and merges them. Non-zero when the request was sent.
    int update(int force);
    // "ping:" + host on the ping port, to learn whether the peer is reachable.
    void ping();
};

// Where a vehicle's points come from, as the history and the globe name it:
// "local", "peer", "device", "service", "gpsgate" or "phone".
const char* vehicleSource(const CClient& c);

// The three services' server host names, compared by remoteTypeFromHost.
extern const char* const kMologogoDomain;
extern const char* const kMapFactorDomain;
extern const char* const kGpsGateDomain;

class CClients {
public:
    // Every vehicle the list makes hands the points its track accepts to
    // `history` (when given), but demo and playback vehicles (isDemo).
    explicit CClients(const std::string& prefix = "servers", HistorySink* history = nullptr);
    CClients(const CClients&) = delete;
    CClients& operator=(const CClients&) = delete;

    // Find-or-create; a removed vehicle comes back with its options and track.
    CClient* add(const std::string& key);
    CClient* add(const std::string& uName, const std::string& host);
    void remove(const std::string& key);
    void remove(const std::string& uName, const std::string& host);
    CClient* find(const std::string& key) const;
    // Gives the vehicle with key `oldKey` the key `newKey` in place (same
    // object, options and track). False when there is no such vehicle or
    // `newKey` is taken, also by a removed vehicle that could come back.
    bool rename(const std::string& oldKey, const std::string& newKey);
    CClient* find(const std::string& uName, const std::string& host) const;

    // The vehicles in key order; removed ones only when asked. The pointers
    // stay valid for the life of the list.
    std::vector<CClient*> vehicles(bool includeRemoved = false) const;
    void forEach(const std::function<void(CClient&)>& fn, bool includeRemoved = false) const;

    // The vehicle that currently stands for the local one (the demo or a
    // playback vehicle while they run).
    CClient* localVehicle() const { return m_local; }
    // The real local vehicle, fed by the GPS; never changes once designated.
    CClient* realLocalVehicle() const { return m_realLocal; }
    // The first vehicle whose host is "localhost" becomes the local vehicle.
    CClient* designateLocal();
    // Hands the local role to another vehicle for a while (demo, playback);
    // nullptr gives it back to the real local vehicle.
    void setLocalVehicle(CClient* v) { m_local = v ? v : m_realLocal; }

    // Writes the list (and, when asked, every saved vehicle's track file) to
    // `reg`. The servers keys are replaced as one change of the registry
    // file, so an interrupted save never leaves fewer vehicles stored than
    // before. Returns false when the registry refused the save or a track
    // file could not be written; `failures` then gets one line for each.
    bool save(RegistryStore& reg, bool withTracks, std::vector<std::string>* failures = nullptr);
    void load(RegistryStore& reg, const std::string& localUser, const std::string& localHost);
    // The same on the registry the list was last loaded from (false, nothing
    // written, before any load).
    bool save(bool withTracks, std::vector<std::string>* failures = nullptr);

    const std::string& prefix() const { return m_prefix; }

    // The remote side (remote/peerThreads.cpp): designates the local vehicle,
    // starts the control and ping servers on `bindAddress` ("" for every
    // address) and the ping, peer update, Mologogo/MapFactor and GpsGate
    // threads. Once; later calls do nothing.
    void start(const std::string& bindAddress = std::string());
    // Ends the threads and the servers (the shutdown flag ends them too).
    void stop();
    bool peersRunning() const;
    // How the control and ping servers' binds went, each after waiting up to
    // `ms` for its first attempt (empty before start).
    std::vector<BindOutcome> peerBinds(unsigned ms) const;
    // The vehicles the ping and update threads poll, in list order: peers
    // that are neither local nor demo.
    std::vector<CClient*> polledPeers() const;

    // The control and ping servers' handlers (remote/peerExchange.cpp); the
    // context is the list.
    static int32_t processCtlFunc(std::span<char> request, const char* peerAddress,
                                  ServerReply& reply, void* context);
    static int32_t processPingFunc(std::span<char> request, const char* peerAddress,
                                   ServerReply& reply, void* context);
    static void staticPingThreadFunc(CClients* self);
    static void staticServerUpdateThreadFunc(CClients* self);
    static void staticMoloUpdateThreadFunc(CClients* self);
    static void staticGPSGUpdateThreadFunc(CClients* self);

    // The service accounts the update threads use, replaced whole when the
    // user changes one; each pass takes the current ones.
    void setServiceSettings(ServiceSettings s) { m_services.set(std::move(s)); }
    std::shared_ptr<const ServiceSettings> serviceSettings() const { return m_services.get(); }

    // The servers and threads of a started list (remote/peerThreads.cpp).
    struct PeerService;

    // Whether the control port may log another refusal of `reason` from
    // `address`: once a minute for each; the line after a pause tells how
    // many were held back. Thread-safe.
    bool allowRefusalLine(const std::string& reason, const std::string& address);

    // A point older than the vehicle's newest (a phone's backlog): it is not
    // drawn, only kept in the history, by its own time. Call with the track
    // lock held.
    void keepInHistory(const CClient& c, const GpsFix& fix);

private:
    // Makes the track of `c` hand its accepted points to the history.
    void keepHistoryOf(CClient* c);
    // Ends the threads before the servers and threads go (defined with them).
    struct PeerServiceEnd {
        void operator()(PeerService* peers) const;
    };
    std::unique_ptr<PeerService, PeerServiceEnd> m_peers; // servers and threads once started
    std::string m_prefix;
    HistorySink* m_history = nullptr;
    std::atomic<CClient*> m_local{nullptr};
    CClient* m_realLocal = nullptr;
    mutable std::recursive_mutex m_mutex; // guards insertion and iteration
    std::map<std::string, std::unique_ptr<CClient>> m_clients;
    std::atomic<RegistryStore*> m_registry{nullptr}; // the last one loaded from
    LiveSettings<ServiceSettings> m_services;
    std::mutex m_refusalMutex;
    KeyedTraceThrottle m_refusals;
};
