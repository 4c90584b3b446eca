// The demo and playback source of the tracker engine. One thread replays the
// five built-in demo trips at once (or a vehicle's own "<uName>.nme" recording
// in place of its trip), or plays a recorded log into a playback vehicle, one
// line per vehicle and step, while a demo vehicle stands in for the real local
// vehicle.
#include "earth/n2k.h"

#include "platform/paths.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "sources/demo.h"
#include "sources/demoScripts.h"
#include "trace/trace.h"
#include "track/nmea.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <vector>

namespace {

// The step of the pre-roll, in seconds of fix time.
constexpr int64_t kPreRollSecondsPerStep = 2;
// A paused thread looks again after this long.
constexpr unsigned kPausedWaitMs = 500;
// Waits are cut into slices this short so that a stop is seen at once.
constexpr int kWaitSliceMs = 20;

bool stopping(const Cn2k& e) {
    return e.m_stopDemo || g_bShutdown;
}

// Sleeps up to `ms`; true when the thread is to end.
bool demoWait(const Cn2k& e, int ms) {
    while (ms > 0) {
        if (stopping(e))
            return true;
        int slice = std::min(ms, kWaitSliceMs);
        sleepMs(static_cast<unsigned>(slice));
        ms -= slice;
    }
    return stopping(e);
}

// Set-up: the real local vehicle steps aside for the demo vehicles or the
// playback vehicle; the last one created takes its place.
void setUpDemo(Cn2k& e, std::vector<CClient*>& created) {
    TrackLockGuard lock; // the KML writers read the vehicles meanwhile
    CClients& clients = *e.m_clients;
    CClient* saved = clients.localVehicle();
    e.m_savedLocal = saved;
    if (saved)
        saved->removed = 1;
    if (!e.m_demoArg.empty()) {
        CClient* v = clients.add(e.m_demoArg, kPlaybackHost);
        setUpPlaybackVehicle(*v, e.m_demoArg, saved);
        created.push_back(v);
    } else {
        const bool flightPathMode = e.settings()->flightTracker;
        for (const DemoVehicle& d : demoVehicles()) {
            CClient* v = clients.add(d.uName, d.host);
            setUpDemoVehicle(*v, d, flightPathMode);
            created.push_back(v);
        }
    }
    CClient* stand = created.back();
    stand->isLocal = 1;
    stand->online = 1;
    clients.setLocalVehicle(stand);
    e.m_local = stand;
    e.m_demoCurrent = stand;
}

// End: the demo vehicles go, the real local vehicle comes back.
void endDemo(Cn2k& e, const std::vector<CClient*>& created) {
    TrackLockGuard lock; // the KML writers read the vehicles meanwhile
    e.m_demoState = 0;
    e.m_paused = 0;
    for (CClient* v : created)
        e.m_clients->remove(v->name); // also closes a log it was reading
    CClient* saved = e.m_savedLocal;
    if (saved)
        saved->removed = 0;
    e.m_clients->setLocalVehicle(saved);
    CClient* local = e.m_clients->localVehicle();
    e.m_local = local;
    e.m_demoCurrent = local;
    if (local)
        local->track.m_newPt = 1;
    e.m_demoArg.clear();
}

} // namespace

void Cn2k::start(const std::string& name) {
    if (m_demoRunning)
        return;
    if (m_demoThread.joinable())
        m_demoThread.join(); // the last run has ended; collect its thread
    m_stopDemo = 0;
    m_demoArg = name;
    m_demoRunning = true;
    try {
        m_demoThread = std::jthread([this](std::stop_token token) {
            // Destroying the engine ends the thread the way stop does.
            std::stop_callback onStop(token, [this] { m_stopDemo = 1; });
            staticDemoThreadFunc(this);
        });
    } catch (const std::exception& ex) {
        m_demoRunning = false;
        NTRACE("cannot start the demo/playback thread: %s", ex.what());
    }
}

void Cn2k::stop() {
    if (m_demoRunning)
        m_stopDemo = 1;
}

void Cn2k::setPlaybackLog(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_playbackLogMutex);
    m_playbackLog = path;
}

std::string Cn2k::playbackLog() const {
    std::lock_guard<std::mutex> lock(m_playbackLogMutex);
    return m_playbackLog;
}

void Cn2k::resetDemo() {
    m_demoState = 0;
    m_stopDemo = 0;
    m_pace = 1600;
    m_playback = 0;
    m_firstStart = 1;
    if (!m_demoRunning) {
        m_demoArg.clear();
        CClient* local = m_clients->localVehicle();
        m_savedLocal = local;
        m_demoCurrent = local;
    }
}

std::string Cn2k::nextDemoLine(CClient& v, bool& fromScript) {
    fromScript = false;
    if (v.demoIndex == 0) {
        // The start of a cycle: a recording named after the vehicle (or, in
        // playback, the chosen log) replaces the built-in script.
        if (v.recordFile) {
            std::fclose(v.recordFile);
            v.recordFile = nullptr;
        }
        std::string file = m_playback ? playbackLog() : v.uName + ".nme";
        if (!file.empty())
            v.recordFile = std::fopen(FullPath(file).c_str(), "r");
        v.track.clear();
        {
            // The pass starts afresh: its first fix counts even when it repeats
            // the time the last pass ended on (a log of one fix, looped).
            TrackLockGuard lock;
            v.curPos.time = 0;
        }
        if (v.recordFile)
            v.demoOffset = 0; // a recording carries the true course
    }
    std::string line;
    if (v.recordFile) {
        char buf[kDemoLineMax + 1];
        // A piece that begins with a NUL byte (line noise in a capture) reads
        // as an empty text: that is no line, and not the end of the file
        // either, so it is passed over.
        bool got = false;
        while ((got = std::fgets(buf, sizeof buf, v.recordFile) != nullptr) && buf[0] == '\0') {
        }
        if (got) {
            line = buf;
        } else {
            std::fclose(v.recordFile);
            v.recordFile = nullptr;
        }
    } else if (const char* const* script = demoScriptFor(v)) {
        // A cycle that began on a file which has since been closed may have
        // an index past the script's end: that ends the cycle.
        if (static_cast<int64_t>(v.demoIndex) < demoScriptLines(script)) {
            line = script[v.demoIndex];
            fromScript = true;
        }
    }
    if (line.empty())
        v.demoIndex = 0;
    else
        ++v.demoIndex;
    return line;
}

void Cn2k::demoStep(int64_t offset) {
    ++m_demoSteps;
    const int64_t now = nowFixTime() + offset;
    const bool playback = m_playback != 0;
    const std::shared_ptr<const EngineSettings> settings = m_settings.get();
    for (CClient* v : m_clients->vehicles()) {
        if (!v->isDemo)
            continue;
        v->online = 1;
        bool fromScript = false;
        std::string line = nextDemoLine(*v, fromScript);
        if (playback && line.empty()) {
            // The end of the log: hold there, or start again next step.
            if (!settings->loopPlayback) {
                m_paused = 1;
                return;
            }
            continue;
        }
        double altOffset = 0;
        bool stamp = false;
        if (fromScript && !playback) {
            // Replayed trips move on the present day, aircraft well clear of the hills.
            altOffset = v->fly ? kDemoFlyAltitude : 0;
            if (line.size() > 12) {
                line.resize(line.size() - 3);
                std::string sum;
                appendNmeaChecksum(line.c_str(), sum);
                line += sum;
            }
            stamp = true;
        }
        if (playDemoLine(*v, line.c_str(), altOffset, stamp, now) == 2) {
            if (v == m_demoCurrent.load()) {
                if (settings->flightTracker)
                    if (FlightPathHook* flightPath = m_flightPath.load())
                        flightPath->update(*v);
                TrackLockGuard lock; // the GPS data window reads it meanwhile
                v->lastLine = line.substr(0, kDemoLineMax);
            }
            ++m_nPoints;
        }
        if (stopping(*this))
            return;
    }
}

void Cn2k::staticDemoThreadFunc(Cn2k* engine) {
    Cn2k& e = *engine;
    std::vector<CClient*> created;
    try {
        setUpDemo(e, created);
        e.m_demoState = 2;
        e.m_paused = 0;
        if (e.m_demoArg.empty() && e.m_firstStart && !e.settings()->flightTracker) {
            // Two seconds of fix time per step: the vehicles start with the
            // last minutes of their trips already drawn.
            for (int i = 0; i < kDemoPreRollSteps && !stopping(e); ++i)
                e.demoStep((i - kDemoPreRollSteps - 1) * kPreRollSecondsPerStep);
            e.m_firstStart = 0;
        }
        while (!stopping(e)) {
            if (e.m_paused) {
                if (demoWait(e, kPausedWaitMs))
                    break;
            } else {
                e.demoStep(0);
            }
            int half = std::max(0, static_cast<int>(e.m_pace)) / 2;
            if (demoWait(e, half) || demoWait(e, half))
                break;
        }
    } catch (...) {
        NTRACE("Unhandled exception in demo/playback thread");
    }
    // Whatever ended the run, the real local vehicle comes back.
    try {
        endDemo(e, created);
    } catch (...) {
        NTRACE("Unhandled exception in demo/playback thread");
    }
    e.m_demoRunning = false;
}
