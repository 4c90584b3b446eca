// The period of a service link: the update thread calls every 2 seconds, and
// an exchange goes ahead only when more than the user's period has passed
// since the last one. The first call always goes ahead.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>

class UpdatePeriod {
public:
    // True when an exchange is due at `now` (seconds); it then counts as the
    // last exchange. With a period of 60 and calls every 2 s, exchanges come
    // 61 to 63 s apart.
    bool due(int64_t now, int32_t periodSeconds) {
        if (!m_started) {
            m_last = now - periodSeconds - 1;
            m_started = true;
        }
        if (now <= m_last + periodSeconds)
            return false;
        m_last = now;
        return true;
    }

private:
    bool m_started = false;
    int64_t m_last = 0;
};

// Seconds since 1970; the links take it as a parameter so tests can hand in
// a manual clock.
using SecondsClock = std::function<int64_t()>;
inline int64_t wallClockSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}
