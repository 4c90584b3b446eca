// The tracker engine's line intake: NMEA lines of the local GPS and messages
// posted by hardware trackers become positions of a vehicle. The decoding of
// the posted lines is pure and lives in track/intake.cpp; this is the side
// that finds the vehicle and adds the point.
#include "earth/n2k.h"

#include "platform/runtime.h"
#include "remote/client.h"
#include "sources/comm.h"
#include "sources/recording.h"
#include "trace/trace.h"
#include "track/intake.h"
#include "track/nmea.h"
#include "track/outsideText.h"
#include "track/track.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string_view>

namespace {

std::string_view cut(std::string_view text, size_t max) {
    return text.substr(0, max);
}

} // namespace

Cn2k::Cn2k(CClients& clients, CRecording* recording, HistoryStore* history)
    : m_clients(&clients), m_history(history), m_recording(recording) {}

int Cn2k::parseLine(const std::string& line) {
    const std::shared_ptr<const EngineSettings> settings = m_settings.get();
    if (settings->logLines)
        NTRACE("%s", logText(line).c_str());
    CClient* local = m_local;
    if (!local)
        return 0;
    int result;
    GpsFix pos;
    {
        // The KML writers and the window read the position meanwhile.
        TrackLockGuard lock;
        result = parseNmea(line, local->curPos, 0, 0);
        pos = local->curPos;
    }
    if (result == 0)
        return 0;
    m_fixLocked = pos.status == 1;
    if (result == 2) {
        local->track.add(pos, local->compress ? 1 : 2);
        ++m_nPoints;
        if (FlightPathHook* flightPath = m_flightPath.load(); flightPath && settings->flightTracker)
            flightPath->update(*local);
        // Readers of lastLine (the GPS data window) take the track lock too.
        TrackLockGuard lock;
        if (lock.ok())
            local->lastLine = cut(line, kLastLineMax);
    }
    if (m_recording)
        m_recording->appendLine(line, local->uName, pos.time, time(nullptr));
    return result;
}

namespace {

size_t deviceVehicleCount(const CClients& clients) {
    size_t n = 0;
    // Hidden ones too: they keep their memory.
    for (const CClient* c : clients.vehicles(true))
        n += c->remoteType == remoteDevice;
    return n;
}

} // namespace

int Cn2k::deviceLine(const std::string& rawModel, const std::string& rawIdentifier,
                     const std::string& sentence) {
    // Names become registry values, file names and KML text.
    const std::string model = cleanText(rawModel);
    const std::string identifier = cleanText(rawIdentifier);
    int heldBack = 0;
    if (identifier == "localhost") {
        // The list makes the first vehicle on "localhost" the local one: a
        // poster must not become it, nor feed it.
        if (m_refusedDeviceLog.allow(TraceThrottle::Clock::now(), heldBack))
            NTRACE("refused tracker %s@%s: host localhost is the local vehicle's (%d more "
                   "refusals held back)",
                   model.c_str(), identifier.c_str(), heldBack);
        return 0;
    }
    CClient* v = m_clients->find(model, identifier);
    if (!v) {
        // Only a device that gives a position gets a vehicle: posts of names
        // alone must not fill the list, the registry and every poll.
        GpsFix first;
        int result = parseNmea(sentence.c_str(), first, 0, 0);
        if (result != 2 || first.status != 1)
            return result == 2 ? 1 : result;
        const size_t cap = static_cast<size_t>(std::max(0, m_settings.get()->maxDeviceVehicles));
        if (deviceVehicleCount(*m_clients) >= cap) {
            if (m_refusedDeviceLog.allow(TraceThrottle::Clock::now(), heldBack))
                NTRACE("refused new tracker %s@%s: %zu device vehicles is the limit "
                       "(MaxDeviceVehicles) (%d more refusals held back)",
                       model.c_str(), identifier.c_str(), cap, heldBack);
            return 0;
        }
        v = m_clients->add(model, identifier);
        fixDue(*v, m_intakeClock());
        TrackLockGuard lock; // the KML writers read the vehicle meanwhile
        v->visible = 1;
        v->changed = 1;
        v->speedTrack = 1;
        v->timestamps = 1;
        v->createdByTracker = 1;
        v->curPos = first;
        NTRACE("new tracker %s@%s", model.c_str(), identifier.c_str());
    } else {
        TrackLockGuard lock;
        GpsFix next = v->curPos;
        const int result = parseNmea(sentence, next, 0, 0);
        if (result == 2 && !fixDue(*v, m_intakeClock())) {
            // A unit posting faster than once a second gains nothing but
            // costs every poll and save: the other fixes of its second go.
            ++m_fixesDropped;
            if (m_floodLog.allow("fixes", "", TraceThrottle::Clock::now(), heldBack))
                NTRACE_WARN("tracker %s@%s: more than one fix in a second; %lld such fixes "
                            "dropped so far (%d more lines like this not logged)",
                            model.c_str(), identifier.c_str(),
                            static_cast<long long>(m_fixesDropped), heldBack);
            return 0;
        }
        v->curPos = next;
        if (result != 2)
            return result;
    }
    TrackLockGuard lock;
    addDevicePoint(*v, remoteDevice);
    return 2;
}

void Cn2k::addDevicePoint(CClient& v, int32_t type) {
    v.track.add(v.curPos, v.compress ? 1 : 2);
    v.online = 1;
    v.removed = 0;
    v.remoteType = type;
    v.demoOffset = 0;
    ++m_nPoints;
}

PointTaken Cn2k::takePhonePoint(CClient& v, const GpsFix& fix) {
    TrackLockGuard lock; // the KML writers read the vehicle meanwhile
    if (!lock.ok())
        return PointTaken::failed;
    if (v.curPos.time != 0 && fix.time <= v.curPos.time)
        return keepOlderPoint(v, fix);
    v.curPos = fix;
    addDevicePoint(v, remotePhone);
    return PointTaken::drawn;
}

PointTaken Cn2k::keepOlderPoint(CClient& v, const GpsFix& fix) {
    ++m_olderPoints;
    m_clients->keepInHistory(v, fix);
    return PointTaken::older;
}

bool Cn2k::fixDue(const CClient& vehicle, SteadyClock::time_point now) {
    const int64_t second =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    auto [it, added] = m_lastFixSecond.try_emplace(&vehicle, second);
    if (added)
        return true;
    if (it->second == second)
        return false;
    it->second = second;
    return true;
}

bool Cn2k::takeLine(const std::string& address, SteadyClock::time_point now) {
    auto it = m_lineBudgets.find(address);
    if (it == m_lineBudgets.end()) {
        if (m_lineBudgets.size() >= kTrackerAddressesKept) {
            // Addresses whose budget has filled up again are like new ones.
            std::erase_if(m_lineBudgets, [&](const auto& entry) {
                const double idle =
                    std::chrono::duration<double>(now - entry.second.refilled).count();
                return entry.second.tokens + idle * kTrackerLinesPerSecond >= kTrackerLineBurst;
            });
        }
        // Beyond the table, the addresses not in it share one budget.
        const std::string key = m_lineBudgets.size() < kTrackerAddressesKept ? address : "*";
        it = m_lineBudgets.try_emplace(key).first;
        if (it->second.refilled == SteadyClock::time_point{})
            it->second.refilled = now;
    }
    LineBudget& b = it->second;
    const double elapsed = std::chrono::duration<double>(now - b.refilled).count();
    if (elapsed > 0) {
        b.tokens = std::min(kTrackerLineBurst, b.tokens + elapsed * kTrackerLinesPerSecond);
        b.refilled = now;
    }
    if (b.tokens >= 1) {
        b.tokens -= 1;
        return true;
    }
    ++b.dropped;
    int heldBack = 0;
    if (m_floodLog.allow("lines", address, TraceThrottle::Clock::now(), heldBack))
        NTRACE_WARN("tracker port: lines from %s beyond %.0f a second dropped (%lld so far, %d "
                    "more lines like this not logged)",
                    address.c_str(), kTrackerLinesPerSecond, static_cast<long long>(b.dropped),
                    heldBack);
    return false;
}

int32_t Cn2k::processTrackerDataFunc(std::span<char> request, const char* peerAddress, ServerReply&,
                                     void* engine) {
    auto* self = static_cast<Cn2k*>(engine);
    if (!self)
        return 0;
    const std::string peer = peerAddress ? peerAddress : "";
    const bool localGps = isLocalGpsPeer(peer, self->m_settings.get()->localGpsHosts);
    for (std::string_view line :
         splitTrackerLines(std::string_view(request.data(), request.size()))) {
        if (g_bShutdown)
            break;
        // The local GPS's lines from this machine (or the hosts the user
        // named) are taken as they come; every other line comes out of its
        // address's budget.
        if (line.empty() || line == "\r")
            continue; // nothing to take, nor to count
        const bool gpsLine = isLocalGpsLine(line);
        if (!(gpsLine && localGps) && !self->takeLine(peer, self->m_intakeClock()))
            continue;
        if (gpsLine) {
            // The local GPS, posted over the network: it takes over from the
            // serial port as if the receiver had sent it. Only from this
            // machine or the hosts the user named.
            if (!localGps) {
                int heldBack = 0;
                if (self->m_refusedGpsLog.allow(TraceThrottle::Clock::now(), heldBack))
                    NTRACE("refused a local GPS line from %s: not 127.0.0.1 nor in LocalGpsHosts "
                           "(%d more refusals held back)",
                           peer.c_str(), heldBack);
                continue;
            }
            std::string text(line);
            if (Ccomm* comm = self->m_comm)
                comm->processNmeaFunc(text);
            else
                self->parseLine(text);
            continue;
        }
        TrackerMessage msg;
        if (decodeTrackerLine(line, msg))
            self->deviceLine(msg.model, msg.identifier, msg.sentence);
    }
    return 0;
}
