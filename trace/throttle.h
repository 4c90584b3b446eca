// Keeps a complaint that outsiders can repeat at will (refused connections,
// refused lines, connections reset by the client) from flooding the trace log:
// one line per period, with a count of the ones held back.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

class TraceThrottle {
public:
    using Clock = std::chrono::steady_clock;

    explicit TraceThrottle(Clock::duration period = std::chrono::minutes(1)) : m_period(period) {}

    // True when a line may be written at `now`; `heldBack` then receives how
    // many were refused since the last line. False counts one more.
    bool allow(Clock::time_point now, int& heldBack) {
        if (m_started && now - m_last < m_period) {
            ++m_heldBack;
            return false;
        }
        heldBack = m_heldBack;
        m_heldBack = 0;
        m_last = now;
        m_started = true;
        return true;
    }
    // True when the period of the last line has run out at `now`.
    bool idle(Clock::time_point now) const { return !m_started || now - m_last >= m_period; }

private:
    Clock::duration m_period;
    Clock::time_point m_last{};
    bool m_started = false;
    int m_heldBack = 0;
};

// One throttle per key: a kind of complaint and the address it came from
// ("recv error:104 127.0.0.4"), so that one noisy stranger neither floods the
// log nor hides what another one does. The table is bounded: when it is full,
// keys whose period ran out make room, and when none has, new keys share one
// throttle ("other addresses"). Not thread-safe: one per thread or per lock.
class KeyedTraceThrottle {
public:
    using Clock = TraceThrottle::Clock;
    static constexpr size_t kDefaultMaxKeys = 256;

    explicit KeyedTraceThrottle(Clock::duration period = std::chrono::minutes(1),
                                size_t maxKeys = kDefaultMaxKeys)
        : m_period(period), m_maxKeys(maxKeys < 1 ? 1 : maxKeys), m_overflow(period) {}

    // As TraceThrottle::allow, for the throttle of `kind` and `address`.
    bool allow(std::string_view kind, std::string_view address, Clock::time_point now,
               int& heldBack) {
        std::string key(kind);
        key += ' ';
        key += address;
        auto it = m_keys.find(key);
        if (it == m_keys.end()) {
            if (m_keys.size() >= m_maxKeys)
                std::erase_if(m_keys, [now](const auto& entry) { return entry.second.idle(now); });
            if (m_keys.size() >= m_maxKeys)
                return m_overflow.allow(now, heldBack);
            it = m_keys.emplace(std::move(key), TraceThrottle(m_period)).first;
        }
        return it->second.allow(now, heldBack);
    }
    size_t keys() const { return m_keys.size(); }

private:
    Clock::duration m_period;
    size_t m_maxKeys;
    std::map<std::string, TraceThrottle, std::less<>> m_keys;
    TraceThrottle m_overflow;
};
