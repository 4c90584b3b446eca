// The phone port: phones report their positions over HTTP, in the OsmAnd /
// Traccar Client protocol (parameters in the query or a form body, or Traccar
// Client's JSON) or the OwnTracks HTTP mode (a JSON body). A phone is a
// vehicle of the list (remotePhone) with an identifier (its host) and a
// device key, kept as a salted hash; unknown identifiers and wrong keys are
// refused with 400 and the reason, and an address that keeps failing is
// refused unheard for a while. Accepted positions go to the engine
// (PhonePointSink) by their own timestamps. The listener's thread runs every
// request; the settings arrive by hand-over.
#pragma once

#include "net/httpRequest.h"
#include "net/refusalPauses.h"
#include "net/server.h"
#include "phones/phoneReport.h"
#include "phones/pointSink.h"
#include "platform/liveSettings.h"
#include "trace/throttle.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <string>
#include <string_view>

class CClient;
class CClients;

// The phone port's default.
constexpr int kPhonePort = 5055;
// Failed keys an address may present before it is refused unheard; the
// pause then doubles with each further failure, up to kPhoneMaxPause.
constexpr int kPhoneFailuresAllowed = 5;
constexpr std::chrono::seconds kPhoneFirstPause{2};
constexpr std::chrono::seconds kPhoneMaxPause{300};
// Addresses whose failures are remembered at once (the oldest go first).
constexpr size_t kPhoneAddressesKept = 4096;
// Friends an OwnTracks reply carries at most.
constexpr size_t kPhoneMaxFriends = 200;

// The address a request's failures are counted against: the peer, or, when
// the peer is a reverse proxy on this machine (127.x), the client it names in
// X-Real-IP (a valid IPv4 or IPv6 address).
std::string clientAddress(const HttpRequest& request, const std::string& peer);

// What the phone port reads of the settings.
struct PhoneSettings {
    bool enrolment = false;      // PhoneEnrolment: unknown identifiers become vehicles
    int maxDeviceVehicles = 500; // MaxDeviceVehicles: trackers and phones together
};

// One answer: the status and the body.
struct PhoneAnswer {
    int status = 200;
    std::string contentType = "text/plain";
    std::string body;
    std::string httpText() const;
};

class CPhoneListener {
public:
    CPhoneListener(CClients& clients, PhonePointSink& sink);
    CPhoneListener(const CPhoneListener&) = delete;
    CPhoneListener& operator=(const CPhoneListener&) = delete;
    ~CPhoneListener();

    void setSettings(PhoneSettings s) { m_settings.set(std::move(s)); }

    // The listener; its owner sets bindAddress before start.
    CServer server;
    // Starts the listener on `port` (0: the system chooses). 1 when started.
    int start(int port);
    void stop();

    // One whole request from `peer`; the listener's thread only.
    PhoneAnswer answer(std::string_view request, const std::string& peer);
    static int32_t handler(std::span<char> request, const char* peerAddress, ServerReply& reply,
                           void* self);

    // Test seams: the wall clock (UTC seconds) and the steady clock of the
    // failure pauses.
    std::function<int64_t()> utcClock;
    std::function<std::chrono::steady_clock::time_point()> steadyClock;

    // Counts, for the curious and the tests (listener thread).
    int64_t accepted() const { return m_accepted; }
    int64_t refused() const { return m_refused; }

private:
    using SteadyTime = std::chrono::steady_clock::time_point;

    PhoneAnswer refuse(std::string why);
    CClient* findPhone(const std::string& identifier);
    CClient* enrol(const PhoneReport& report, const PhoneSettings& settings, std::string& why);
    bool keyMatches(CClient& phone, const std::string& secret);
    void noteFailure(const std::string& peer, SteadyTime now, const std::string& what);
    std::string friendsJson(CClient& phone);

    CClients& m_clients;
    PhonePointSink& m_sink;
    LiveSettings<PhoneSettings> m_settings;
    std::map<std::string, CClient*> m_byId;
    // The hash and secret last verified for each phone: a phone sends every
    // few seconds, and deriving the hash each time would cost a core.
    struct Verified {
        std::string hash;
        std::string secret;
    };
    std::map<const CClient*, Verified> m_verified;
    // Failed keys: the fifth in a row pauses an address.
    RefusalPauses m_pauses{
        {kPhoneFailuresAllowed - 1, kPhoneFirstPause, kPhoneMaxPause, kPhoneAddressesKept}};
    // The friends whose card each phone was sent.
    std::map<const CClient*, std::set<const CClient*>> m_cardsSent;
    TraceThrottle m_unknownLog;
    KeyedTraceThrottle m_failureLog;
    TraceThrottle m_olderLog;
    int64_t m_accepted = 0;
    int64_t m_refused = 0;
    int64_t m_older = 0;
};
