// The tracker engine, Cn2k: the one object of the program that turns incoming
// lines into positions (the line intake), answers Google Earth's network-link
// polls and steers its camera, and runs the demo and playback source. The
// composition root (app/appContext.h) builds it; its methods are kept in one
// file per concern:
//   earth/lineIntake.cpp   the line intake: local GPS lines and tracker messages
//                          (on the serial reader's and the tracker port's threads)
//   earth/n2k.cpp          engine start, the network-link handler, the camera
//                          (on the network-link listener's thread)
//   earth/demoSource.cpp   demo and playback (on the demo thread)
#pragma once

#include "earth/globeConfig.h"
#include "earth/kml.h"
#include "earth/kmlFragments.h"
#include "earth/replyBudget.h"
#include "earth/vehiclesJson.h"
#include "net/server.h"
#include "net/shareGate.h"
#include "phones/pointSink.h"
#include "platform/liveSettings.h"
#include "trace/throttle.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class CClient;
class CClients;
class Ccomm;
class CRecording;

// The name of the network link in Google Earth's Places, and the path its
// polls ask for ("/NivraServers").
inline constexpr const char* kNetworkLinkName = "NivraServers";

// The settings the engine's threads read, handed over whole by the
// user-interface thread (LiveSettings) whenever one of them changes.
struct EngineSettings {
    bool logLines = false;      // debugLogging: every local line goes to the trace log
    bool flightTracker = false; // flightTracker: the flight path follows the local vehicle
    int maxDeviceVehicles = 500;
    std::string localGpsHosts;           // LocalGpsHosts
    bool selectedTrackOnly = false;      // SelTrackOnly
    int flyToSpeed = 200;                // FlyToSpeed, hundredths
    bool loopPlayback = false;           // LoopPlayback
    int maxReplyMB = kDefaultMaxReplyMB; // MaxReplyMB: the largest network-link document
    KmlOptions kml;
    GlobeSettings globe; // GlobeTiles, GlobeTilesAttribution: the browser globe's tile server
};

// What one tracker port address may post: lines a second, sustained, and the
// burst it may send at once (a unit that was out of reach sending what it kept).
constexpr double kTrackerLinesPerSecond = 50;
constexpr double kTrackerLineBurst = 500;
// Addresses whose budgets are kept at once; the oldest idle ones go first.
constexpr size_t kTrackerAddressesKept = 1024;

class HistoryStore;

class Cn2k : public PhonePointSink {
public:
    // The engine works on `clients` and hands the local receiver's accepted
    // lines to `recording` (tests hand in their own, or none); the network
    // link's /history.json and /export.gpx read `history`'s file (none: the
    // requests get a 404).
    explicit Cn2k(CClients& clients, CRecording* recording = nullptr,
                  HistoryStore* history = nullptr);
    Cn2k(const Cn2k&) = delete;
    Cn2k& operator=(const Cn2k&) = delete;

    // The settings in force; replaced whole, read by every thread.
    void setSettings(EngineSettings settings) { m_settings.set(std::move(settings)); }
    std::shared_ptr<const EngineSettings> settings() const { return m_settings.get(); }

    // ---- line intake (earth/lineIntake.cpp) ---------------------------------

    CClients* m_clients;
    HistoryStore* m_history = nullptr;
    // The vehicle that the local GPS lines update: the list's local vehicle,
    // taken when the engine starts; the demo and playback source stands a
    // vehicle of its own in for it while it runs.
    std::atomic<CClient*> m_local{nullptr};
    // The serial reader, handed over at start-up. Local GPS lines posted to
    // the tracker port (isLocalGpsLine) go through its socket path; without
    // one they go straight to parseLine.
    std::atomic<Ccomm*> m_comm{nullptr};
    // Whether the last local sentence reported a valid fix; the main window
    // shows fixState() and clears it when the reader stops receiving.
    std::atomic<bool> m_fixLocked{false};
    // Points accepted into any track by the intake and the demo source.
    std::atomic<int32_t> m_nPoints{0};

    // Gets every local line that parsed (result 1 or 2) and decides whether a
    // log is being written; none: nothing is recorded.
    CRecording* m_recording;
    // The flight path, updated for the local vehicle after each point added
    // to its track while the flight tracker is on (none until handed over).
    std::atomic<FlightPathHook*> m_flightPath{nullptr};

    // "Locked" while the local GPS reports a valid fix, otherwise "".
    const char* fixState() const { return m_fixLocked ? "Locked" : ""; }
    void clearFixState() { m_fixLocked = false; }

    // The local vehicle's line handler (serial reader, tracker port). Returns
    // parseNmea's result: 0 nothing usable, 1 updated, 2 a point was added.
    int parseLine(const std::string& line);
    // The tracker port's handler: splits the request into lines; lines that
    // begin with "$" and a talker are the local GPS's (from this machine or
    // LocalGpsHosts), every other line goes through the device table. Always
    // answers nothing.
    static int32_t processTrackerDataFunc(std::span<char> request, const char* peerAddress,
                                          ServerReply& reply, void* engine);
    // One decoded tracker message: finds the device's vehicle, or creates it
    // when the sentence gives a complete fix and the MaxDeviceVehicles cap
    // allows, and applies the sentence. Model and identifier are cleaned of
    // invalid bytes and controls first; a message that would name a local
    // vehicle (host "localhost") is refused. Returns parseNmea's result (0
    // for a refused message).
    int deviceLine(const std::string& model, const std::string& identifier,
                   const std::string& sentence);
    // A phone's accepted position (the phone port's thread): newer than the
    // vehicle's newest, it becomes the position and a point of the track as
    // a tracker's fix does; otherwise it goes to keepOlderPoint.
    PointTaken takePhonePoint(CClient& vehicle, const GpsFix& fix) override;
    // A point that arrived after newer ones (a phone's backlog, sent late).
    // The track is a ring in arrival order and draws it as one line, so such
    // a point is not put into it; it goes to the history alone, by its own
    // time. Track lock held. Counts it.
    PointTaken keepOlderPoint(CClient& vehicle, const GpsFix& fix);
    std::atomic<int64_t> m_olderPoints{0};
    // The end of every accepted device fix (trackers and phones): `curPos`
    // into the track, the vehicle marked online as `type`, the point counted.
    // Track lock held.
    void addDevicePoint(CClient& vehicle, int32_t type);
    // Refusals that a poster can repeat at will, logged once a minute. Used
    // only on the tracker port's thread.
    TraceThrottle m_refusedGpsLog;
    TraceThrottle m_refusedDeviceLog;
    KeyedTraceThrottle m_floodLog;

    // What the tracker port keeps to slow a flood (its thread only): the
    // second of arrival of each device vehicle's last fix, and each address's
    // budget of lines (a token bucket).
    using SteadyClock = std::chrono::steady_clock;
    struct LineBudget {
        double tokens = kTrackerLineBurst;
        SteadyClock::time_point refilled;
        int64_t dropped = 0;
    };
    std::map<const CClient*, int64_t> m_lastFixSecond;
    std::map<std::string, LineBudget, std::less<>> m_lineBudgets;
    int64_t m_fixesDropped = 0;
    // The clock of both (a test seam).
    std::function<SteadyClock::time_point()> m_intakeClock = [] { return SteadyClock::now(); };
    // Takes one line off `address`'s budget; false when it is spent.
    bool takeLine(const std::string& address, SteadyClock::time_point now);
    // True when the device vehicle may take a fix now (one per second of arrival).
    bool fixDue(const CClient& vehicle, SteadyClock::time_point now);

    // ---- listeners (started by the engine start, earth/n2k.cpp) -------------

    int32_t m_basePort = kBasePort;        // nullPortHandler
    int32_t m_linkPort = kNetworkLinkPort; // 80 when FixBlur is set at start-up
    int32_t m_trackerPort = kTrackerPort;  // processTrackerDataFunc
    CServer m_baseServer;
    CServer m_linkServer;
    CServer m_trackerServer;

    // ---- network link and camera (earth/n2k.cpp) ---------------------------

    // The main window's pause state. A paused engine answers Google Earth with
    // the unchanged reply unless the user moved the camera; the demo and
    // playback thread idles while it is set.
    std::atomic<int32_t> m_paused{0};
    // The vehicle the camera follows; none until the tracking options are applied.
    std::atomic<CClient*> m_tracked{nullptr};

    // Engine start: remembers the local vehicle, starts the listeners of the
    // base, network-link and tracker ports (m_basePort, m_linkPort,
    // m_trackerPort, each on the bindAddress its CServer was given) with the
    // engine as their context and resets the demo source. Returns 1.
    int startEngine();
    // Installs the network link in Google Earth unless a feature of that name
    // is already in Places. 1 when it was there (nothing added), 0 when it was
    // added or Google Earth could not be reached. Its waits end early, with 0,
    // when the program shuts down or m_stopAsked says a stop was asked for.
    int loadServer(const std::string& name, const std::string& linkName, const std::string& host,
                   int port);
    // Set by a front end whose stop request (a signal) comes before the
    // shutdown flag: installing the link then gives up instead of holding
    // the way out for its retries. Safe to call from any thread.
    std::atomic<bool (*)()> m_stopAsked{nullptr};
    // The host Google Earth is to poll: the address the network-link listener
    // binds, or 127.0.0.1 when it listens on every address.
    std::string linkHost() const;
    // The link document: a NetworkLink polling http://host:port/name twice a
    // second with the view appended. `carriesView` adds what a backend that
    // reads the view from the poll needs (viewRefreshMode, flyToView).
    // `query` (such as "key=TOKEN" of a share link) goes into the polled
    // address, so that every poll carries it.
    static std::string networkLinkKml(const std::string& name, const std::string& linkName,
                                      const std::string& host, int port, bool carriesView,
                                      const std::string& query = std::string());
    // The network-link port's handler. A poll of the link's path is Google
    // Earth's: it takes the new-point flags, exchanges the camera and carries
    // the view computed for it, or gets the unchanged reply. Any other request
    // (a browser's GET /) gets the whole document and changes nothing; it
    // always gets an HTTP reply: while paused the last whole one, and "503"
    // with the reason when there is none (starting, paused before the first,
    // stopping).
    // Before any of it the share gate (net/shareGate.h) decides: a client
    // from another machine needs a share link's key and sees only the
    // vehicles it grants; its polls of the link's path get the whole
    // document, as a browser's do, and leave the flags and the camera to the
    // Google Earth of this machine.
    static int32_t processTrackerFunc(std::span<char> request, const char* peerAddress,
                                      ServerReply& reply, void* engine);
    // The network-link port's door: the shares file (kShareFileName in the
    // start directory, set by the engine start unless set before) and the
    // pauses of refused addresses. The link listener's thread only.
    ShareGate m_shareGate;
    // Opens a saved file in Google Earth. 0 when Google Earth took it.
    int openInEarth(const std::string& path);

    // The documents of the network link (its thread only). Every client but
    // Google Earth gets the whole document; while nothing it shows changed,
    // the one built last is handed to all of them (the listener then holds
    // it once, however many wait for it).
    struct SharedDocument {
        uint64_t key = 0;
        SteadyClock::time_point built{};
        std::shared_ptr<const std::string> text;
    };
    SharedDocument m_rootDocument;
    ReplyBudget m_replyBudget;
    KmlFragmentCache m_fragments;   // each vehicle's last folder
    GlobeEntryCache m_globeEntries; // each vehicle's last globe entry head
    TraceThrottle m_budgetLog;
    // Appends the vehicles of a document to `body`: every shown vehicle,
    // under the budget. `body` begins with `headerRoom` bytes kept for the
    // reply's header, which the budget does not count. False when the program
    // shuts down meanwhile. `showTracked` false leaves the tracked vehicle out
    // (a share link that does not grant it); it still gives the scale.
    bool buildDocumentBody(std::string& body, size_t headerRoom,
                           const std::vector<CClient*>& vehicles, CClient& tracked,
                           const EngineSettings& settings, bool linkPoll, bool showTracked = true);
    // The size of the last document built, for the next one's buffer.
    size_t m_lastBodySize = 0;
    // The handler after the share gate let the request in.
    int32_t answerLinkRequest(std::span<char> request, const ShareDecision& door,
                              ServerReply& reply);

    // ---- demo and playback (earth/demoSource.cpp) ---------------------------

    // Starts the demo (empty name) or, with m_playback set, the playback of
    // the log into a vehicle of that name. Nothing while the thread runs.
    void start(const std::string& name = std::string());
    // Asks the thread to end; on its way out it shows the real local vehicle again.
    void stop();
    void setPaused(int32_t paused) { m_paused = paused; }
    // Milliseconds per step.
    void setPace(int32_t ms) { m_pace = ms; }
    void setPlayback(int32_t playback) { m_playback = playback; }
    // The log that playback plays (LogFile); read again at every pass through it.
    void setPlaybackLog(const std::string& path);
    std::string playbackLog() const;
    // Back to a fresh engine's demo state (engine start).
    void resetDemo();
    // True from start until the thread has ended and restored the local vehicle.
    bool demoRunning() const { return m_demoRunning; }

    static void staticDemoThreadFunc(Cn2k* engine);
    // One step: the next line of every demo vehicle, demo fix times `offset`
    // seconds from now.
    void demoStep(int64_t offset);
    // The next line of a demo or playback vehicle: from its log file when one
    // is open, else from its built-in script; "" at the end of the log.
    std::string nextDemoLine(CClient& v, bool& fromScript);

    std::atomic<int32_t> m_demoState{0};          // 2 while the demo thread runs
    std::atomic<int32_t> m_stopDemo{0};           // read by the thread between steps
    std::atomic<int32_t> m_pace{1600};            // ms per step
    std::atomic<int32_t> m_playback{0};           // play the log instead of each vehicle's own
    std::string m_demoArg;                        // set by start before the thread runs
    std::atomic<CClient*> m_demoCurrent{nullptr}; // stands in for the local vehicle
    std::atomic<CClient*> m_savedLocal{nullptr};  // the real one, hidden meanwhile
    std::atomic<int32_t> m_firstStart{1};         // until the first demo start
    std::atomic<int64_t> m_demoSteps{0};          // steps run, for the curious
    std::atomic<bool> m_demoRunning{false};
    mutable std::mutex m_playbackLogMutex;
    std::string m_playbackLog;
    LiveSettings<EngineSettings> m_settings;
    // Kept last: destroying the engine stops and joins the thread before any
    // member it uses goes away.
    std::jthread m_demoThread;
};

// Google Earth's major version, 0 until read (earth/n2k.cpp).
extern std::atomic<int> GoogleEarthVersion;
// Reads GoogleEarthVersion once; below 4 the user is told to upgrade.
void checkGoogleEarthVersion();
