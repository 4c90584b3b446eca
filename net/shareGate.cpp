#include "net/shareGate.h"

#include "net/http.h"
#include "net/httpRequest.h"
#include "trace/trace.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>

namespace {

// Longest "key=" value looked at (a token percent-encoded whole).
constexpr size_t kMaxKeyValue = kShareTokenChars * 3;

bool isLoopback(std::string_view peer) {
    return peer.substr(0, 4) == "127.";
}

// The target of the request line, as sent.
std::string_view requestTarget(std::string_view request) {
    std::string_view line = httpRequestLine(request);
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos)
        return {};
    line.remove_prefix(blank + 1);
    return line.substr(0, line.find(' '));
}

// Whether the raw request has header `lowerName` (any case); its value,
// blanks before it removed, goes to `value`.
bool findHeader(std::string_view request, std::string_view lowerName, std::string_view& value) {
    size_t at = request.find('\n');
    while (at != std::string_view::npos && at + 1 < request.size()) {
        std::string_view line = request.substr(at + 1);
        const size_t end = line.find('\n');
        line = line.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            return false; // the end of the headers
        const size_t colon = line.find(':');
        if (colon == lowerName.size() &&
            std::equal(lowerName.begin(), lowerName.end(), line.begin(), [](char a, char b) {
                return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
            })) {
            value = line.substr(colon + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
                value.remove_prefix(1);
            return true;
        }
        at = end == std::string_view::npos ? end : at + 1 + end;
    }
    return false;
}

std::string_view headerValue(std::string_view request, std::string_view lowerName) {
    std::string_view value;
    return findHeader(request, lowerName, value) ? value : std::string_view();
}

bool hasHeader(std::string_view request, std::string_view lowerName) {
    std::string_view value;
    return findHeader(request, lowerName, value);
}

// The address a request's refusals are counted against: the peer, or, for a
// proxy on this machine, the client its X-Real-IP names when that is an
// address (else all such requests share one count).
std::string countedAddress(std::string_view request, const std::string& peer, bool proxied) {
    if (!proxied)
        return peer;
    const std::string_view named = headerValue(request, "x-real-ip");
    std::string text(named.substr(0, 64));
    unsigned char buf[16];
    if (!text.empty() &&
        (inet_pton(AF_INET, text.c_str(), buf) == 1 || inet_pton(AF_INET6, text.c_str(), buf) == 1))
        return text;
    return "proxied by " + peer;
}

std::string tokenFromValue(std::string_view raw) {
    if (raw.empty() || raw.size() > kMaxKeyValue)
        return {};
    std::string value;
    if (!percentDecode(raw, value) || !isShareTokenShape(value))
        return {};
    return value;
}

} // namespace

std::string presentedShareToken(std::string_view request, bool& fromQuery, bool& sawKey) {
    fromQuery = false;
    sawKey = false;
    const std::string_view target = requestTarget(request);
    const size_t question = target.find('?');
    if (question != std::string_view::npos) {
        std::string_view query = target.substr(question + 1);
        for (size_t params = 0; !query.empty() && params < kMaxRequestParams; ++params) {
            const size_t amp = query.find('&');
            const std::string_view entry = query.substr(0, amp);
            query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
            if (entry.substr(0, 4) != "key=")
                continue;
            sawKey = true;
            if (std::string token = tokenFromValue(entry.substr(4)); !token.empty()) {
                fromQuery = true;
                return token;
            }
        }
    }
    std::string_view cookies = headerValue(request, "cookie");
    cookies = cookies.substr(0, 4096);
    while (!cookies.empty()) {
        const size_t semi = cookies.find(';');
        std::string_view c = cookies.substr(0, semi);
        cookies = semi == std::string_view::npos ? std::string_view() : cookies.substr(semi + 1);
        while (!c.empty() && c.front() == ' ')
            c.remove_prefix(1);
        if (c.size() > kShareCookie.size() && c.substr(0, kShareCookie.size()) == kShareCookie &&
            c[kShareCookie.size()] == '=') {
            sawKey = true;
            if (std::string token = tokenFromValue(c.substr(kShareCookie.size() + 1));
                !token.empty())
                return token;
        }
    }
    return {};
}

void ShareGate::setPath(std::string path) {
    m_path = std::move(path);
    m_looked = false;
    m_stampKnown = false;
    m_stamp = FileStamp{};
    m_links.clear();
    m_fileBad = false;
}

void ShareGate::reloadIfChanged(SteadyClock::time_point now) {
    if (m_looked && now - m_lookedAt < std::chrono::seconds(1))
        return;
    m_looked = true;
    m_lookedAt = now;
    FileStamp stamp;
    struct stat st {};
    if (!m_path.empty() && stat(m_path.c_str(), &st) == 0)
        stamp = FileStamp{static_cast<int64_t>(st.st_mtim.tv_sec),
                          static_cast<int64_t>(st.st_mtim.tv_nsec),
                          static_cast<int64_t>(st.st_size), static_cast<uint64_t>(st.st_ino)};
    if (m_stampKnown && stamp == m_stamp)
        return;
    m_stampKnown = true;
    m_stamp = stamp;
    std::string why;
    std::vector<ShareLink> links;
    if (m_path.empty() || loadShareFile(m_path, links, why)) {
        m_links = std::move(links);
        if (m_fileBad)
            NTRACE_WARN("share links: %s read again, %zu shares", m_path.c_str(), m_links.size());
        m_fileBad = false;
        return;
    }
    m_links.clear();
    if (!m_fileBad)
        NTRACE_ERROR("share links: %s refused (%s): no share link opens the network-link port "
                     "until it is mended or removed",
                     m_path.c_str(), why.c_str());
    m_fileBad = true;
}

ShareDecision ShareGate::refuse(const std::string& address, SteadyClock::time_point now,
                                std::string why) {
    m_pauses.fail(address, now);
    int heldBack = 0;
    if (m_refusedLog.allow("share", address, now, heldBack))
        NTRACE_WARN("network link: refused %s: %s (%d more like it not logged)", address.c_str(),
                    why.c_str(), heldBack);
    ShareDecision d;
    d.kind = ShareDecision::Kind::refused;
    d.why = std::move(why);
    return d;
}

ShareDecision ShareGate::check(std::string_view request, const std::string& peer) {
    const bool proxied = hasHeader(request, "x-real-ip") || hasHeader(request, "x-forwarded-for") ||
                         hasHeader(request, "forwarded");
    if (isLoopback(peer) && !proxied) {
        ShareDecision d;
        d.kind = ShareDecision::Kind::local;
        return d;
    }
    const SteadyClock::time_point now = steadyClock ? steadyClock() : SteadyClock::now();
    // Only a proxy on this machine may name the client; anyone else is counted
    // by its own address, whatever it says.
    const std::string address = countedAddress(request, peer, proxied && isLoopback(peer));
    if (const auto rest = m_pauses.pausedFor(address, now); rest > SteadyClock::duration::zero()) {
        const auto left = std::chrono::ceil<std::chrono::seconds>(rest).count();
        ShareDecision d;
        d.why = "too many refused requests from this address; try again in " +
                std::to_string(left) + " s";
        return d;
    }
    reloadIfChanged(now);
    bool fromQuery = false, sawKey = false;
    const std::string token = presentedShareToken(request, fromQuery, sawKey);
    if (token.empty())
        return refuse(address, now,
                      sawKey ? "a share key that is not one"
                             : "a share link's key is needed from another machine");
    const int64_t utc = utcClock ? utcClock() : static_cast<int64_t>(std::time(nullptr));
    const ShareLink* share = findShare(m_links, token, utc);
    if (!share)
        return refuse(address, now, "the share key is unknown, revoked or expired");
    m_pauses.forgive(address);
    ShareDecision d;
    d.kind = ShareDecision::Kind::granted;
    d.grant = share->grant;
    d.tokenInQuery = fromQuery;
    d.token = token;
    return d;
}
