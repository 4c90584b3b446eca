// The door of the network-link port. Clients on this machine (127.x) come
// in freely, as they always did. Any other client needs a live share's
// token: in the target's query as "key=" (a Google Earth network link or a
// bookmark carries it) or in the "nivra_share" cookie that the globe's page
// is given when it is opened with one. A request a proxy on this machine
// forwards (X-Real-IP, X-Forwarded-For or Forwarded) counts as another
// client's. A refused request gets 403; each refusal from an address past
// the first few pauses that address (1 s, doubling to 5 minutes), and while
// it is paused its requests are refused unheard: the listener never waits
// for it, so nobody else does either.
//
// The shares file is read again when it changes (looked at once a second at
// most); a damaged one is reported once and refused: then no share opens.
// One gate per listener, used on its thread only.
#pragma once

#include "net/refusalPauses.h"
#include "net/shareStore.h"
#include "trace/throttle.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The cookie the globe's page keeps its share token in.
inline constexpr std::string_view kShareCookie = "nivra_share";

// Refusals an address may have before it is paused, the first pause and
// the longest; addresses remembered at once (the oldest go first).
constexpr int kShareFailuresAllowed = 3;
constexpr std::chrono::seconds kShareFirstPause{1};
constexpr std::chrono::seconds kShareMaxPause{300};
constexpr size_t kShareAddressesKept = 4096;

struct ShareDecision {
    enum class Kind { local, granted, refused };
    Kind kind = Kind::refused;
    VehicleGrant grant; // what a local or granted request may see
    std::string why;    // for a refusal: what the client is told
    bool tokenInQuery = false;
    std::string token; // the token that opened it (granted only)
    bool allowed() const { return kind != Kind::refused; }
};

// The share token a request presents: the first "key=" of the query that has
// a token's form, else the cookie's. Empty when there is none. `sawKey`
// tells that a "key=" or the cookie was there at all.
std::string presentedShareToken(std::string_view request, bool& fromQuery, bool& sawKey);

class ShareGate {
public:
    using SteadyClock = std::chrono::steady_clock;

    // `path`: the shares file (empty: no shares, every stranger refused).
    void setPath(std::string path);
    const std::string& path() const { return m_path; }

    // Decides on one whole request from `peer` (dotted IPv4).
    ShareDecision check(std::string_view request, const std::string& peer);

    // Test seams: the wall clock (UTC seconds) and the clock of the pauses.
    std::function<int64_t()> utcClock;
    std::function<SteadyClock::time_point()> steadyClock;

    // Shares in force (as last read), for the curious and the tests.
    const std::vector<ShareLink>& shares() const { return m_links; }

private:
    void reloadIfChanged(SteadyClock::time_point now);
    ShareDecision refuse(const std::string& address, SteadyClock::time_point now, std::string why);

    std::string m_path;
    std::vector<ShareLink> m_links;
    bool m_fileBad = false;
    bool m_looked = false;
    SteadyClock::time_point m_lookedAt{};
    struct FileStamp {
        int64_t sec = -1, nsec = 0, size = -1;
        uint64_t inode = 0;
        bool operator==(const FileStamp&) const = default;
    } m_stamp;
    bool m_stampKnown = false;
    RefusalPauses m_pauses{
        {kShareFailuresAllowed, kShareFirstPause, kShareMaxPause, kShareAddressesKept}};
    KeyedTraceThrottle m_refusedLog;
};
