// Keeps a complaint that outsiders can repeat at will (refused connections,
// refused lines) from flooding the trace log: one line per period, with a
// count of the ones held back.
#pragma once

#include <chrono>

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

private:
    Clock::duration m_period;
    Clock::time_point m_last{};
    bool m_started = false;
    int m_heldBack = 0;
};
