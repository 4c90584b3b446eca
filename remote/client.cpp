#include "remote/client.h"

#include "platform/paths.h"
#include "platform/runtime.h"
#include "trace/trace.h"

#include <cctype>
#include <ctime>

// The services' server host names. A vehicle whose host begins with one of them
// is an account on that service rather than a peer.
const char* const kMologogoDomain = "mologogo.com";
const char* const kMapFactorDomain = "mapfactor.com";
const char* const kGpsGateDomain = "gpsgate.com";

namespace {

// A text field of N bytes holds at most N-1 characters.
std::string cutToField(const std::string& s, size_t fieldBytes) {
    return s.size() < fieldBytes ? s : s.substr(0, fieldBytes - 1);
}

bool startsWithNoCase(const std::string& s, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= s.size())
            return false;
        if (std::tolower(static_cast<unsigned char>(s[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

} // namespace

void CClient::reset(const std::string& key) {
    name = cutToField(key, kClientTextField);
    uName.clear();
    host.clear();
    image.clear();
    camLat = camLon = camHdg = camAlt = camRange = camTilt = 0;
    color = "Orange";
    tracking = 0;
    speedTrack = 1;
    maxPts = 2000;
    camTime = 0;
    online = 0;
    changed = 1;
    removed = 0;
    isLocal = 0;
    speedBandIndex = 99;
    bandSpeed = 0;
    // A fresh vehicle's track is already empty; only a reused one needs the lock.
    if (track.pointCount() > 0 || track.head != -1)
        track.clear();
    curPos = GpsFix{};
    shownPos = GpsFix{};
    if (recordFile) {
        std::fclose(recordFile);
        recordFile = nullptr;
    }
    demoIndex = 0;
    demoOffset = 0;
    fly = 0;
    extrude = 0;
    timestamps = 1;
    startTime = 0;
    endTime = 0;
    useTimeSpan = 0;
    remoteType = remotePeer;
    visible = 1;
    maxSpd = 61.0;
    showAlt = 0;
    showHdg = 0;
    showName = 1;
    showHost = 0;
    showSpeed = 1;
    showTime = 1;
    trackWidth = 0.0;
    compress = 1;
    modelFile.clear();
    imageFile.clear();
    cursorType = 0;
    lastLine.clear();
    isDemo = 0;
}

int CClient::remoteTypeFromHost() const {
    if (startsWithNoCase(host, kMologogoDomain) || startsWithNoCase(host, kMapFactorDomain))
        return remoteWeb;
    if (startsWithNoCase(host, kGpsGateDomain))
        return remoteGpsGate;
    return remotePeer;
}

GpsFix CClient::displayPosition() {
    if (!useTimeSpan)
        return curPos;
    TrackLockGuard guard;
    if (!guard.ok())
        return curPos;
    int n = track.pointCount();
    for (int i = 0; i < n; ++i) {
        const TrackPoint* p = track.point(i);
        if (p && p->time < endTime) {
            CTrack::toFix(*p, shownPos);
            return shownPos;
        }
    }
    return curPos;
}

void CClient::setTodaySpan() {
    if (startTime != 0)
        return;
    time_t now = time(nullptr);
    struct tm fields {};
    localtime_r(&now, &fields);
    fields.tm_hour = 0;
    fields.tm_min = 0;
    fields.tm_sec = 0;
    fields.tm_isdst = -1;
    // Track point times are on the fix-time scale (UTC plus the zone offset).
    startTime = static_cast<int32_t>(static_cast<int64_t>(mktime(&fields)) + tzOffset());
    endTime = startTime + 86399;
}

std::string CClient::trackFileName() const {
    std::string file = name;
    for (char& c : file)
        if (c == '/')
            c = '.';
    return file + ".trk";
}

CClients::CClients(const std::string& prefix) : m_prefix(prefix) {}

CClient* CClients::add(const std::string& key) {
    std::string k = cutToField(key, kClientTextField);
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto it = m_clients.find(k);
    if (it == m_clients.end())
        it = m_clients.emplace(k, std::make_unique<CClient>(k)).first;
    else
        it->second->removed = 0;
    return it->second.get();
}

CClient* CClients::add(const std::string& uName, const std::string& host) {
    CClient* c = add(uName + "@" + host);
    c->uName = cutToField(uName, kClientTextField);
    c->host = cutToField(host, kClientTextField);
    return c;
}

void CClients::remove(const std::string& key) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    CClient* c = find(key);
    if (!c)
        return;
    c->removed = 1;
    if (c->recordFile) {
        std::fclose(c->recordFile);
        c->recordFile = nullptr;
    }
}

void CClients::remove(const std::string& uName, const std::string& host) {
    remove(uName + "@" + host);
}

CClient* CClients::find(const std::string& key) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto it = m_clients.find(cutToField(key, kClientTextField));
    if (it == m_clients.end() || it->second->removed)
        return nullptr;
    return it->second.get();
}

CClient* CClients::find(const std::string& uName, const std::string& host) const {
    return find(uName + "@" + host);
}

std::vector<CClient*> CClients::vehicles(bool includeRemoved) const {
    std::vector<CClient*> out;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    out.reserve(m_clients.size());
    for (const auto& [key, c] : m_clients)
        if (includeRemoved || !c->removed)
            out.push_back(c.get());
    return out;
}

void CClients::forEach(const std::function<void(CClient&)>& fn, bool includeRemoved) const {
    // Walk a snapshot so the callback may take other locks (the track lock) or
    // add vehicles without holding up the threads that insert.
    for (CClient* c : vehicles(includeRemoved))
        fn(*c);
}

CClient* CClients::designateLocal() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_realLocal)
        return m_realLocal;
    for (CClient* c : vehicles()) {
        if (c->host == "localhost") {
            c->isLocal = 1;
            c->online = 1;
            m_realLocal = c;
            m_local = c;
            return c;
        }
    }
    return nullptr;
}

CClients& theClients() {
    static CClients clients("servers");
    return clients;
}
