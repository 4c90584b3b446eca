#include "remote/client.h"

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "trace/trace.h"
#include "track/outsideText.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string_view>

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

// Text values are read through a 1024-byte buffer.
constexpr size_t kTextValueMax = 1024;

// The persisted fields of a vehicle, in the order the save writes them. Text
// fields carry their size; numbers are REG_DWORD; the two doubles are stored
// times 10000.
struct ClientValue {
    const char* name;
    std::string CClient::*text = nullptr;
    size_t field = 0;
    int32_t CClient::*number = nullptr;
    double CClient::*scaled = nullptr;
};

constexpr ClientValue txt(const char* name, std::string CClient::*m, size_t field) {
    return {name, m, field, nullptr, nullptr};
}
constexpr ClientValue num(const char* name, int32_t CClient::*m) {
    return {name, nullptr, 0, m, nullptr};
}
constexpr ClientValue dbl(const char* name, double CClient::*m) {
    return {name, nullptr, 0, nullptr, m};
}

const ClientValue kClientValues[] = {
    txt("name", &CClient::name, kClientTextField),
    txt("uName", &CClient::uName, kClientTextField),
    txt("host", &CClient::host, kClientTextField),
    txt("color", &CClient::color, kClientColorField),
    num("maxPts", &CClient::maxPts),
    num("tracking", &CClient::tracking),
    num("speedTrack", &CClient::speedTrack),
    txt("image", &CClient::image, kClientTextField),
    num("fly", &CClient::fly),
    num("extrude", &CClient::extrude),
    num("timestamps", &CClient::timestamps),
    num("useTimeSpan", &CClient::useTimeSpan),
    num("startTime", &CClient::startTime),
    num("endTime", &CClient::endTime),
    num("visible", &CClient::visible),
    dbl("maxSpd", &CClient::maxSpd),
    num("showHdg", &CClient::showHdg),
    num("showAlt", &CClient::showAlt),
    num("showSpeed", &CClient::showSpeed),
    num("showTime", &CClient::showTime),
    num("showName", &CClient::showName),
    num("showHost", &CClient::showHost),
    dbl("trackWidth", &CClient::trackWidth),
    num("cursorType", &CClient::cursorType),
    num("compress", &CClient::compress),
    txt("modelFile", &CClient::modelFile, kTextValueMax),
    txt("imageFile", &CClient::imageFile, kTextValueMax),
    num("remoteType", &CClient::remoteType),
    txt("phoneKey", &CClient::phoneKey, kTextValueMax),
    num("phoneSpeedUnit", &CClient::phoneSpeedUnit),
    num("phoneShare", &CClient::phoneShare),
};

int writeClient(RegTransaction& tx, const std::string& key, CClient& c) {
    int err = tx.createKey(key);
    for (const ClientValue& v : kClientValues) {
        if (err != 0)
            break;
        // Only phones carry the phone values; other vehicles' keys stay as they were.
        if (c.remoteType != remotePhone && std::string_view(v.name).starts_with("phone"))
            continue;
        if (v.text)
            err = tx.setString(key, v.name, c.*v.text);
        else if (v.number)
            err = tx.setDword(key, v.name, static_cast<uint32_t>(c.*v.number));
        else
            err = tx.setDword(key, v.name, scaledDword(c.*v.scaled));
    }
    return err;
}

// Missing, empty or negative values leave the defaults.
void readClient(const RegKey& key, CClient& c) {
    for (const ClientValue& v : kClientValues) {
        if (v.text) {
            if (v.text == &CClient::name)
                continue; // the key, fixed when the vehicle was added
            std::string s;
            if (key.queryString(v.name, s, kTextValueMax) && !s.empty())
                c.*v.text = cutToField(s, v.field);
            continue;
        }
        uint32_t raw = 0;
        int32_t n = key.queryDword(v.name, raw) ? static_cast<int32_t>(raw) : -1;
        if (n < 0)
            continue;
        if (v.number)
            c.*v.number = n;
        else
            c.*v.scaled = n / 10000.0;
    }
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
    createdByTracker = 0;
    phoneKey.clear();
    phoneSpeedUnit = 0;
    phoneShare = 0;
    battery = -1;
}

int CClient::remoteTypeFromHost() const {
    if (startsWithNoCase(host, kMologogoDomain) || startsWithNoCase(host, kMapFactorDomain))
        return remoteWeb;
    if (startsWithNoCase(host, kGpsGateDomain))
        return remoteGpsGate;
    return remotePeer;
}

void CClient::setPosition(const GpsFix& fix) {
    TrackLockGuard guard;
    curPos = fix; // even without the lock: the writer's own copy must not go stale
}

GpsFix CClient::position() const {
    TrackLockGuard guard;
    return curPos;
}

GpsFix CClient::displayPosition() {
    TrackLockGuard guard;
    if (!useTimeSpan || !guard.ok())
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
    return safeFileStem(name) + ".trk";
}

std::string CClient::legacyTrackFileName() const {
    std::string stem = name;
    std::replace(stem.begin(), stem.end(), '/', '.');
    if (stem == name || safeFileStem(stem) != stem)
        return std::string();
    return stem + ".trk";
}

CClients::CClients(const std::string& prefix, HistorySink* history)
    : m_prefix(prefix), m_history(history) {}

const char* vehicleSource(const CClient& c) {
    if (c.isLocal)
        return "local";
    switch (c.remoteType) {
    case remoteDevice:
        return "device";
    case remoteWeb:
        return "service";
    case remoteGpsGate:
        return "gpsgate";
    case remotePhone:
        return "phone";
    default:
        return "peer";
    }
}

namespace {

HistoryPoint historyPointOf(const CClient& c, const GpsFix& fix) {
    HistoryPoint p;
    p.key = c.name;
    p.source = vehicleSource(c);
    p.fix.utc = fixTimeToUtc(fix.time);
    p.fix.lat = fix.lat;
    p.fix.lon = fix.lon;
    p.fix.alt = fix.alt;
    p.fix.speedKnots = fix.spd;
    p.fix.course = fix.hdg;
    return p;
}

} // namespace

void CClients::keepHistoryOf(CClient* c) {
    if (!m_history)
        return;
    HistorySink* history = m_history;
    // Runs inside CTrack::add with the track lock held, which also guards
    // the name (rename takes it) and the options read here.
    c->track.setObserver([c, history](const GpsFix& fix, bool replacesNewest) {
        // The demo's made-up drives and replays of logs are not a history.
        if (c->isDemo || fix.time == 0)
            return;
        history->add(historyPointOf(*c, fix), replacesNewest);
    });
}

void CClients::keepInHistory(const CClient& c, const GpsFix& fix) {
    if (m_history && !c.isDemo && fix.time != 0)
        m_history->add(historyPointOf(c, fix), false);
}

CClient* CClients::add(const std::string& key) {
    std::string k = cutToField(key, kClientTextField);
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto it = m_clients.find(k);
    if (it == m_clients.end()) {
        it = m_clients.emplace(k, std::make_unique<CClient>(k)).first;
        keepHistoryOf(it->second.get());
    } else
        it->second->removed = 0;
    return it->second.get();
}

CClient* CClients::add(const std::string& uName, const std::string& host) {
    const std::string name = cutToField(uName, kClientTextField);
    const std::string from = cutToField(host, kClientTextField);
    const std::string k = cutToField(uName + "@" + host, kClientTextField);
    // The KML writers and the peer threads read the name and host under the
    // track lock: take it first, in the order rename takes both.
    TrackLockGuard trackLock;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto it = m_clients.find(k);
    if (it == m_clients.end()) {
        // Named before any other thread can find it.
        auto c = std::make_unique<CClient>(k);
        c->uName = name;
        c->host = from;
        it = m_clients.emplace(k, std::move(c)).first;
        keepHistoryOf(it->second.get());
        return it->second.get();
    }
    CClient* c = it->second.get();
    c->removed = 0;
    if (c->uName != name || c->host != from) {
        if (!trackLock.ok()) {
            NTRACE("vehicle %s keeps its old name and host: the track lock was busy", k.c_str());
            return c;
        }
        c->uName = name;
        c->host = from;
    }
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

bool CClients::rename(const std::string& oldKey, const std::string& newKey) {
    const std::string from = cutToField(oldKey, kClientTextField);
    const std::string to = cutToField(newKey, kClientTextField);
    // The KML writers read the name under the track lock, and threads that
    // hold it may look vehicles up: take it first.
    TrackLockGuard trackLock;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto it = m_clients.find(from);
    if (it == m_clients.end() || it->second->removed || m_clients.count(to) != 0)
        return false;
    auto node = m_clients.extract(it);
    node.key() = to;
    node.mapped()->name = to;
    m_clients.insert(std::move(node));
    return true;
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

bool CClients::save(bool withTracks, std::vector<std::string>* failures) {
    RegistryStore* reg = m_registry;
    if (!reg) {
        if (failures)
            failures->push_back("the vehicle list (never loaded)");
        return false;
    }
    return save(*reg, withTracks, failures);
}

bool CClients::save(RegistryStore& reg, bool withTracks, std::vector<std::string>* failures) {
    std::vector<CClient*> saved;
    for (CClient* c : vehicles(true)) {
        // The real local vehicle is hidden only while the demo or a
        // playback stands in for it; it keeps its place and its options.
        if (c->isDemo || (c->removed && c != m_realLocal))
            continue;
        if (c->createdByTracker && c->track.m_seqNum.load() <= 1)
            continue; // one fix so far: not worth a file yet (see createdByTracker)
        saved.push_back(c);
    }
    bool ok = false;
    std::string why = "the registry cannot be written";
    {
        // Deleting the old servers keys and writing the new ones reach the
        // file together when the transaction commits.
        RegTransaction tx(reg);
        if (openProgramKey(tx, "CClients::save")) {
            int err = 0;
            std::string base = std::string(kNivraKey) + "\\" + m_prefix;
            for (int n = 0; tx.deleteTree(base + std::to_string(n)) == 0; ++n) {
            }
            for (size_t n = 0; n < saved.size() && err == 0; ++n) {
                TrackLockGuard fields; // the vehicle's feed writes them meanwhile
                err = writeClient(tx, base + std::to_string(n), *saved[n]);
            }
            if (err == 0)
                err = tx.commit();
            if (err != 0) {
                NTRACE_ERROR("Can't create key - error %d", err);
                why = std::strerror(err);
            }
            ok = err == 0;
        }
    }
    if (!ok && failures)
        failures->push_back("the vehicle list in " + reg.path() + ": " + why);
    // Track files are separate files: they are written even when the
    // registry refused the list, so no points are lost with it. A file that
    // already holds a track's points is not written again.
    if (withTracks) {
        for (CClient* c : saved) {
            std::string why;
            if (c->track.hasRing() && !c->track.saveIfChanged(c->trackFileName(), &why)) {
                ok = false;
                if (failures)
                    failures->push_back(why);
            }
        }
    }
    return ok;
}

void CClients::load(RegistryStore& reg, const std::string& localUser,
                    const std::string& localHost) {
    m_registry = &reg;
    // Vehicles are never destroyed (other threads may hold them): emptying the
    // list hides them, and a vehicle stored again comes back under its key.
    for (CClient* c : vehicles())
        c->removed = 1;
    bool haveLocal = false;
    std::string base = std::string(kNivraKey) + "\\" + m_prefix;
    for (int n = 0;; ++n) {
        std::optional<RegKey> key = reg.openKey(base + std::to_string(n));
        if (!key)
            break;
        std::string name;
        if (!key->queryString("name", name, kTextValueMax) || name.empty())
            continue; // a vehicle without a key cannot be listed
        CClient* c = add(name);
        readClient(*key, *c);
        if (c->host == "localhost")
            haveLocal = true;
        std::string file = FullPath(c->trackFileName());
        if (!std::filesystem::exists(file) && !c->legacyTrackFileName().empty())
            file = FullPath(c->legacyTrackFileName());
        if (FILE* f = std::fopen(file.c_str(), "rb")) {
            std::fclose(f);
            if (c->track.loadOrSetAside(file)) {
                TrackLockGuard guard;
                const TrackPoint* newest = guard.ok() ? c->track.point(0) : nullptr;
                if (newest) {
                    CTrack::toFix(*newest, c->curPos);
                    c->track.m_newPt = 1;
                }
            }
        }
    }
    if (!haveLocal)
        add(localUser, localHost);
}

bool CClients::allowRefusalLine(const std::string& reason, const std::string& address) {
    std::lock_guard<std::mutex> lock(m_refusalMutex);
    int heldBack = 0;
    if (!m_refusals.allow(reason, address, TraceThrottle::Clock::now(), heldBack))
        return false;
    if (heldBack > 0)
        NTRACE("%d refusals from %s held back: %s", heldBack, address.c_str(), reason.c_str());
    return true;
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
