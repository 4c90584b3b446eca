#include "phones/phoneListener.h"

#include "net/http.h"
#include "net/httpRequest.h"
#include "phones/phoneKey.h"
#include "platform/secrets.h"
#include "platform/sha256.h"
#include "remote/client.h"
#include "trace/trace.h"
#include "track/outsideText.h"
#include "track/track.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

std::string statusLine(int status) {
    switch (status) {
    case 200:
        return "200 OK";
    case 400:
        return "400 Bad Request";
    default:
        return std::to_string(status) + (status == 503 ? " Service Unavailable" : " Error");
    }
}

// The cache keeps a digest of the secret, not the secret.
std::string digest(std::string_view secret) {
    const Sha256Digest d = sha256(secret);
    return std::string(d.begin(), d.end());
}

size_t phoneCount(const CClients& clients) {
    size_t n = 0;
    for (const CClient* c : clients.vehicles(true))
        n += c->remoteType == remoteDevice || c->remoteType == remotePhone;
    return n;
}

// OwnTracks shows a friend by a two-character tracker id.
std::string trackerId(const std::string& name) {
    std::string tid;
    for (char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)))
            tid += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (tid.size() == 2)
            break;
    }
    return tid.empty() ? "??" : tid;
}

void appendNumber(std::string& out, const char* name, double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, ",\"%s\":%.*f", name, decimals, value);
    out += buf;
}

} // namespace

std::string clientAddress(const HttpRequest& request, const std::string& peer) {
    // Only a proxy on this machine is believed; anyone else could name any address.
    if (peer.rfind("127.", 0) != 0)
        return peer;
    const std::string_view* real = request.header("x-real-ip");
    if (!real || real->size() >= INET6_ADDRSTRLEN)
        return peer;
    const std::string text(*real);
    unsigned char buf[sizeof(in6_addr)];
    if (inet_pton(AF_INET, text.c_str(), buf) != 1 && inet_pton(AF_INET6, text.c_str(), buf) != 1)
        return peer;
    return text;
}

std::string PhoneAnswer::httpText() const {
    return httpReply(statusLine(status), contentType, body);
}

CPhoneListener::CPhoneListener(CClients& clients, PhonePointSink& sink)
    : utcClock([] { return static_cast<int64_t>(std::time(nullptr)); }),
      steadyClock([] { return std::chrono::steady_clock::now(); }), m_clients(clients),
      m_sink(sink) {
    server.framing = RequestFraming::httpBody;
}

CPhoneListener::~CPhoneListener() {
    stop();
}

int CPhoneListener::start(int port) {
    return server.start(port, &CPhoneListener::handler, this);
}

void CPhoneListener::stop() {
    server.stop();
}

int32_t CPhoneListener::handler(std::span<char> request, const char* peerAddress,
                                ServerReply& reply, void* self) {
    auto* listener = static_cast<CPhoneListener*>(self);
    if (!listener)
        return 0;
    const PhoneAnswer a = listener->answer(std::string_view(request.data(), request.size()),
                                           peerAddress ? peerAddress : "");
    return reply.give(a.httpText());
}

PhoneAnswer CPhoneListener::refuse(std::string why) {
    ++m_refused;
    PhoneAnswer a;
    a.status = 400;
    a.body = std::move(why) + "\n";
    return a;
}

void CPhoneListener::noteFailure(const std::string& peer, SteadyTime now, const std::string& what) {
    const int count = m_pauses.fail(peer, now);
    int heldBack = 0;
    if (m_failureLog.allow("phone key", peer, TraceThrottle::Clock::now(), heldBack))
        NTRACE_WARN("phone port: %s from %s (%d failures in a row%s; %d more lines like this not "
                    "logged)",
                    what.c_str(), peer.c_str(), count,
                    m_pauses.paused(peer, now) ? ", address paused" : "", heldBack);
}

CClient* CPhoneListener::findPhone(const std::string& identifier) {
    auto isPhone = [&](CClient* c) {
        TrackLockGuard lock;
        return c->remoteType == remotePhone && c->host == identifier && !c->removed;
    };
    if (auto it = m_byId.find(identifier); it != m_byId.end()) {
        if (isPhone(it->second))
            return it->second;
        m_byId.erase(it);
    }
    for (CClient* c : m_clients.vehicles()) {
        if (isPhone(c)) {
            if (m_byId.size() >= 4 * kPhoneAddressesKept)
                m_byId.clear();
            m_byId[identifier] = c;
            return c;
        }
    }
    return nullptr;
}

CClient* CPhoneListener::enrol(const PhoneReport& report, const PhoneSettings& settings,
                               std::string& why) {
    if (report.secret.size() < 8) {
        why = "a new phone needs a key of at least 8 characters";
        return nullptr;
    }
    const size_t cap = static_cast<size_t>(std::max(0, settings.maxDeviceVehicles));
    if (phoneCount(m_clients) >= cap) {
        why = "no room for another device (MaxDeviceVehicles)";
        return nullptr;
    }
    if (CClient* taken = m_clients.find(report.identifier, report.identifier);
        taken && taken->remoteType != remotePhone) {
        why = "identifier taken by another vehicle";
        return nullptr;
    }
    const std::string hash = hashPhoneKey(report.secret);
    if (hash.empty()) {
        why = "could not make the key's hash";
        return nullptr;
    }
    CClient* v = m_clients.add(report.identifier, report.identifier);
    {
        TrackLockGuard lock;
        v->remoteType = remotePhone;
        v->phoneKey = hash;
        v->visible = 1;
        v->changed = 1;
        v->speedTrack = 1;
        v->timestamps = 1;
        v->createdByTracker = 1;
    }
    NTRACE("new phone %s (enrolled)", report.identifier.c_str());
    return v;
}

bool CPhoneListener::keyMatches(CClient& phone, const std::string& secret) {
    std::string stored;
    {
        TrackLockGuard lock;
        stored = phone.phoneKey;
    }
    if (stored.empty() || secret.empty())
        return false;
    const std::string d = digest(secret);
    if (auto it = m_verified.find(&phone); it != m_verified.end() && it->second.hash == stored)
        if (equalInConstantTime(it->second.secret, d))
            return true;
    if (!phoneKeyMatches(stored, secret))
        return false;
    if (m_verified.size() >= 4 * kPhoneAddressesKept)
        m_verified.clear();
    m_verified[&phone] = Verified{stored, d};
    return true;
}

std::string CPhoneListener::friendsJson(CClient& phone) {
    std::string out = "[";
    std::set<const CClient*>& sent = m_cardsSent[&phone];
    size_t n = 0;
    for (CClient* c : m_clients.vehicles()) {
        if (c == &phone || c->isDemo)
            continue;
        GpsFix pos;
        std::string name, host;
        {
            TrackLockGuard lock;
            if (!lock.ok() || !c->visible)
                continue;
            pos = c->curPos;
            name = c->uName;
            host = c->host;
        }
        if (pos.time == 0 || (pos.lat == 0 && pos.lon == 0))
            continue;
        if (++n > kPhoneMaxFriends)
            break;
        const std::string topic = "owntracks/nivra/" + cleanKey(name + "@" + host);
        if (out.size() > 1)
            out += ',';
        if (sent.insert(c).second) {
            out += "{\"_type\":\"card\",\"name\":";
            appendJsonString(out, name);
            out += ",\"tid\":";
            appendJsonString(out, trackerId(name));
            out += ",\"topic\":";
            appendJsonString(out, topic);
            out += "},";
        }
        out += "{\"_type\":\"location\",\"tid\":";
        appendJsonString(out, trackerId(name));
        out += ",\"topic\":";
        appendJsonString(out, topic);
        appendNumber(out, "lat", pos.lat, 6);
        appendNumber(out, "lon", pos.lon, 6);
        out += ",\"tst\":" + std::to_string(fixTimeToUtc(pos.time));
        appendNumber(out, "vel", std::round(pos.spd * 1.852), 0);
        appendNumber(out, "cog", std::round(pos.hdg), 0);
        appendNumber(out, "alt", std::round(pos.alt), 0);
        out += '}';
    }
    out += ']';
    return out;
}

PhoneAnswer CPhoneListener::answer(std::string_view text, const std::string& peer) {
    const std::shared_ptr<const PhoneSettings> settings = m_settings.get();
    const SteadyTime now = steadyClock();
    HttpRequest request;
    std::string why;
    const bool parsed = parseHttpRequest(text, request, why, kMaxRequest);
    const std::string client = parsed ? clientAddress(request, peer) : peer;
    if (m_pauses.paused(client, now))
        return refuse("too many failed keys from this address; try again later");
    if (!parsed)
        return refuse(why);
    PhoneReport report;
    if (!readPhoneReport(request, utcClock(), report, why))
        return refuse(why);

    CClient* phone = findPhone(report.identifier);
    if (!phone) {
        if (!settings->enrolment) {
            int heldBack = 0;
            if (m_unknownLog.allow(TraceThrottle::Clock::now(), heldBack))
                NTRACE("phone port: refused unknown phone %s from %s (enrolment is closed; %d "
                       "more refusals held back)",
                       report.identifier.c_str(), client.c_str(), heldBack);
            return refuse("unknown device " + report.identifier);
        }
        phone = enrol(report, *settings, why);
        if (!phone)
            return refuse(why);
    }
    if (report.secret.size() > kPhoneKeyMaxBytes || !keyMatches(*phone, report.secret)) {
        noteFailure(client, now,
                    (report.secret.empty() ? "no key for phone " : "wrong key for phone ") +
                        report.identifier);
        return refuse(report.secret.empty() ? "no key" : "wrong key");
    }
    m_pauses.forgive(client);
    if (report.battery >= 0 && report.battery <= 100) {
        TrackLockGuard lock;
        if (lock.ok())
            phone->battery = static_cast<int32_t>(std::lround(report.battery));
    }

    if (report.hasPosition && report.valid) {
        int32_t unit = speedKnots;
        {
            TrackLockGuard lock;
            unit = phone->phoneSpeedUnit;
        }
        GpsFix fix;
        fix.lat = report.lat;
        fix.lon = report.lon;
        fix.alt = report.altitude;
        fix.hdg = std::fmod(std::fmod(report.course, 360.0) + 360.0, 360.0);
        if (report.hasSpeed)
            fix.spd = speedInKnots(report.speed, report.speedInDeviceUnit
                                                     ? static_cast<PhoneSpeedUnit>(unit)
                                                     : report.speedUnit);
        fix.time = utcToFixTime(report.utcSeconds);
        fix.status = 1;
        fix.rmcSeen = 1;
        const PointTaken taken = m_sink.takePhonePoint(*phone, fix);
        if (taken == PointTaken::failed) {
            PhoneAnswer a;
            a.status = 503;
            a.body = "the track is busy; send again\n";
            return a;
        }
        if (taken == PointTaken::older) {
            ++m_older;
            int heldBack = 0;
            if (m_olderLog.allow(TraceThrottle::Clock::now(), heldBack))
                NTRACE("phone port: %lld points not newer than their phone's newest were not "
                       "drawn (%d more lines like this not logged)",
                       static_cast<long long>(m_older), heldBack);
        }
        ++m_accepted;
    }
    PhoneAnswer a;
    if (report.protocol == PhoneProtocol::owntracks) {
        int share = 0;
        {
            TrackLockGuard lock;
            share = phone->phoneShare;
        }
        a.contentType = "application/json";
        a.body = share ? friendsJson(*phone) : "[]";
    }
    return a;
}
