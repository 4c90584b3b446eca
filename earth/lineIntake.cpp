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
#include <cstdint>
#include <ctime>
#include <string_view>

namespace {

std::string_view cut(std::string_view text, size_t max) {
    return text.substr(0, max);
}

} // namespace

Cn2k::Cn2k(CClients& clients, CRecording* recording)
    : m_clients(&clients), m_recording(recording) {}

int Cn2k::parseLine(const std::string& line) {
    const std::shared_ptr<const EngineSettings> settings = m_settings.get();
    if (settings->logLines)
        NTRACE("%s", line.c_str());
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
        TrackLockGuard lock; // the KML writers read the vehicle meanwhile
        v->visible = 1;
        v->changed = 1;
        v->speedTrack = 1;
        v->timestamps = 1;
        v->curPos = first;
        NTRACE("new tracker %s@%s", model.c_str(), identifier.c_str());
    } else {
        TrackLockGuard lock;
        int result = parseNmea(sentence, v->curPos, 0, 0);
        if (result != 2)
            return result;
    }
    TrackLockGuard lock;
    v->track.add(v->curPos, v->compress ? 1 : 2);
    v->online = 1;
    v->removed = 0;
    v->remoteType = remoteDevice;
    v->demoOffset = 0;
    ++m_nPoints;
    return 2;
}

int32_t Cn2k::processTrackerDataFunc(std::span<char> request, const char* peerAddress, ServerReply&,
                                     void* engine) {
    auto* self = static_cast<Cn2k*>(engine);
    if (!self)
        return 0;
    for (std::string_view line :
         splitTrackerLines(std::string_view(request.data(), request.size()))) {
        if (g_bShutdown)
            break;
        if (isLocalGpsLine(line)) {
            // The local GPS, posted over the network: it takes over from the
            // serial port as if the receiver had sent it. Only from this
            // machine or the hosts the user named.
            const std::string peer = peerAddress ? peerAddress : "";
            if (!isLocalGpsPeer(peer, self->m_settings.get()->localGpsHosts)) {
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
