// The line intake: NMEA lines of the local GPS and messages posted by hardware
// trackers become positions of a vehicle.
#include "track/intake.h"

#include "app/OptionsDlg.h"
#include "earth/n2k.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "sources/comm.h"
#include "sources/recording.h"
#include "trace/trace.h"
#include "track/nmea.h"
#include "track/outsideText.h"
#include "track/track.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace {

std::string_view cut(std::string_view text, size_t max) {
    return text.substr(0, max);
}

// "imei=352024020000000&rmc=$GPRMC,053740.000,A,2503.6319,N,12136.0099,E,2.69,79.65,100106,,,A*53,AUTO"
// The unit posts a web form; the identifier is the first field's value and
// the sentence follows in a later field.
bool decodeSanav(std::string_view line, TrackerMessage& out) {
    size_t eq = line.find('=');
    size_t amp = eq == std::string_view::npos ? eq : line.find('&', eq + 1);
    if (amp == std::string_view::npos)
        return false;
    size_t g = line.find("$G", amp + 1);
    if (g == std::string_view::npos)
        return false;
    out.identifier = cut(line.substr(eq + 1, amp - eq - 1), kDeviceTextMax);
    out.sentence = line.substr(g);
    return true;
}

// "$AVRMC,80000551,144049,A,4351.3853,N,07923.5408,W,0.00,0.00,010907,0,0,0*6D"
// An RMC sentence under its own label with the unit's id as the first field.
// The relabelled sentence is "$GPRMC" followed by everything from the second
// ',' on (the fields after the identifier): "$GPRMC" takes the place of the
// six characters just before that ','. The unit's checksum covered its own
// label and id, so a fresh one replaces it.
bool decodeLaipac(std::string_view line, TrackerMessage& out) {
    size_t first = line.find(',');
    size_t second = first == std::string_view::npos ? first : line.find(',', first + 1);
    if (second == std::string_view::npos)
        return false;
    out.identifier = cut(line.substr(first + 1, second - first - 1), kDeviceTextMax);
    out.sentence = "$GPRMC";
    out.sentence.append(line.substr(second));
    refreshChecksum(out.sentence);
    return true;
}

// A binary frame: "$$", a 16-bit big-endian length of the whole frame, the
// unit's phone number as 7 BCD bytes (offsets 4-10, padded with 0xF), a 16-bit
// command (11-12), then the RMC fields from offset 13 without their label,
// followed by the frame's own checksum and "\r\n".
bool decodeFpi(std::string_view line, TrackerMessage& out) {
    if (line.size() < 4)
        return false;
    // Each length byte is taken as signed, as the units' own firmware does;
    // lengths outside 30..100 are not position frames.
    int length = int(static_cast<int8_t>(line[2])) * 256 + int(static_cast<int8_t>(line[3]));
    if (length < 30 || length > 100)
        return false;
    line = line.substr(0, size_t(length));
    constexpr size_t kIdAt = 4, kIdBytes = 7, kFieldsAt = 13;
    if (line.size() <= kFieldsAt)
        return false;
    // Each byte as "%2x" of its unsigned value: two lower-case hex digits, a
    // blank before a single one. The 14 characters are cut to 13.
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    for (size_t i = 0; i < kIdBytes; ++i) {
        auto b = static_cast<unsigned char>(line[kIdAt + i]);
        id += b >> 4 ? kHex[b >> 4] : ' ';
        id += kHex[b & 15];
    }
    out.identifier = id.substr(0, 2 * kIdBytes - 1);
    out.sentence = "$GPRMC,";
    out.sentence.append(line.substr(kFieldsAt));
    refreshChecksum(out.sentence);
    return true;
}

// "Car 7@unit42:$GPRMC,..." - a poster that names itself: model before the
// '@', identifier up to the ':', the sentence after it.
bool decodeNamed(std::string_view line, TrackerMessage& out) {
    size_t at = line.find('@');
    size_t colon = line.find(':', at + 1);
    size_t g = line.find("$G", colon + 1);
    if (g == std::string_view::npos)
        return false;
    out.model = cut(line.substr(0, at), kDeviceTextMax);
    out.identifier = cut(line.substr(at + 1, colon - at - 1), kDeviceTextMax);
    out.sentence = line.substr(g);
    return true;
}

bool hasNamedForm(std::string_view line) {
    size_t at = line.find('@');
    return at != std::string_view::npos && line.find(':', at + 1) != std::string_view::npos;
}

struct DeviceRow {
    const char* model; // nullptr: the poster names itself
    bool (*recognise)(std::string_view line);
    bool (*decode)(std::string_view line, TrackerMessage& out);
};

// Tried in this order; the first row that recognises a line decides it.
const DeviceRow kDevices[] = {
    {"SANAV GC101", [](std::string_view l) { return l.find("imei=") != std::string_view::npos; },
     decodeSanav},
    {"Laipac S-911", [](std::string_view l) { return l.find("$AVRMC") != std::string_view::npos; },
     decodeLaipac},
    {"FPI GT20", [](std::string_view l) { return l.starts_with("$$"); }, decodeFpi},
    {nullptr, hasNamedForm, decodeNamed},
};

} // namespace

void refreshChecksum(std::string& sentence) {
    size_t star = sentence.find('*');
    if (sentence.size() <= 12 || star == std::string::npos)
        return;
    sentence.resize(star);
    char sum[8];
    std::snprintf(sum, sizeof sum, "*%.2X", nmeaChecksum(sentence.c_str()) & 0xff);
    sentence += sum;
}

bool decodeTrackerLine(std::string_view line, TrackerMessage& out) {
    for (const DeviceRow& row : kDevices) {
        if (!row.recognise(line))
            continue;
        if (row.model)
            out.model = row.model;
        if (!row.decode(line, out))
            return false;
        // A vehicle needs a name and an identity to be told apart.
        return !out.model.empty() && !out.identifier.empty();
    }
    return false;
}

bool isLocalGpsPeer(std::string_view peer, std::string_view localGpsHosts) {
    if (peer.empty())
        return false;
    if (peer == "127.0.0.1")
        return true;
    constexpr std::string_view kSeparators = " \t,;";
    while (!localGpsHosts.empty()) {
        size_t start = localGpsHosts.find_first_not_of(kSeparators);
        if (start == std::string_view::npos)
            break;
        localGpsHosts.remove_prefix(start);
        size_t end = std::min(localGpsHosts.find_first_of(kSeparators), localGpsHosts.size());
        if (localGpsHosts.substr(0, end) == peer)
            return true;
        localGpsHosts.remove_prefix(end);
    }
    return false;
}

std::vector<std::string_view> splitTrackerLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t lf = text.find('\n');
        if (lf == std::string_view::npos) {
            lines.push_back(text);
            break;
        }
        lines.push_back(text.substr(0, lf));
        text.remove_prefix(lf + 1);
    }
    return lines;
}

Cn2k::Cn2k(CClients& clients) : m_clients(&clients) {
    m_recordLine = &appendLogLine;
}

Cn2k& theEngine() {
    // Built after (and so destroyed before) the vehicle list it works on: its
    // listener threads are gone before the list goes.
    static Cn2k engine(theClients());
    return engine;
}

int Cn2k::parseLine(const std::string& line) {
    if (theOptions().debugLogging)
        NTRACE("%s", line.c_str());
    CClient* local = m_local;
    if (!local)
        return 0;
    int result = parseNmea(line.c_str(), local->curPos, 0, 0);
    if (result == 0)
        return 0;
    m_fixLocked = local->curPos.status == 1;
    if (result == 2) {
        local->track.add(local->curPos, local->compress ? 1 : 2);
        ++m_nPoints;
        if (auto flightPath = m_flightPath.load(); flightPath && theOptions().flightTracker)
            flightPath(*local);
        // Readers of lastLine (the GPS data window) take the track lock too.
        TrackLockGuard lock;
        if (lock.ok())
            local->lastLine = cut(line, kLastLineMax);
    }
    if (auto record = m_recordLine.load())
        record(line);
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
        const size_t cap = static_cast<size_t>(std::max(0, theOptions().MaxDeviceVehicles));
        if (deviceVehicleCount(*m_clients) >= cap) {
            if (m_refusedDeviceLog.allow(TraceThrottle::Clock::now(), heldBack))
                NTRACE("refused new tracker %s@%s: %zu device vehicles is the limit "
                       "(MaxDeviceVehicles) (%d more refusals held back)",
                       model.c_str(), identifier.c_str(), cap, heldBack);
            return 0;
        }
        v = m_clients->add(model, identifier);
        v->visible = 1;
        v->changed = 1;
        v->speedTrack = 1;
        v->timestamps = 1;
        v->remoteType = remoteDevice;
        v->curPos = first;
        NTRACE("new tracker %s@%s", model.c_str(), identifier.c_str());
    } else {
        int result = parseNmea(sentence.c_str(), v->curPos, 0, 0);
        if (result != 2)
            return result;
    }
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
        if (line.starts_with("$G")) {
            // The local GPS, posted over the network: it takes over from the
            // serial port as if the receiver had sent it. Only from this
            // machine or the hosts the user named.
            const std::string peer = peerAddress ? peerAddress : "";
            if (!isLocalGpsPeer(peer, theOptions().LocalGpsHosts)) {
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
