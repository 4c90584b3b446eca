#include "net/refusalPauses.h"

#include <algorithm>

namespace {
// Failures counted at most: the pause is long since at its longest.
constexpr int kMaxCounted = 1000;
constexpr auto kForgiven = std::chrono::hours(1);
} // namespace

RefusalPauses::Clock::duration RefusalPauses::pausedFor(const std::string& address,
                                                        Clock::time_point now) const {
    const auto it = m_failures.find(address);
    if (it == m_failures.end() || now >= it->second.pausedUntil)
        return Clock::duration::zero();
    return it->second.pausedUntil - now;
}

int RefusalPauses::fail(const std::string& address, Clock::time_point now) {
    auto it = m_failures.find(address);
    if (it == m_failures.end()) {
        if (m_failures.size() >= m_rules.kept && !m_failures.empty()) {
            const auto oldest = std::min_element(
                m_failures.begin(), m_failures.end(),
                [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
            m_failures.erase(oldest);
        }
        it = m_failures.emplace(address, Failures{}).first;
    }
    Failures& f = it->second;
    if (f.count > 0 && now - f.last > kForgiven)
        f.count = 0;
    f.count = std::min(f.count + 1, kMaxCounted);
    f.last = now;
    if (f.count > m_rules.tolerated) {
        // 2^20 first pauses are far beyond any longest pause.
        const int doublings = std::min(f.count - m_rules.tolerated - 1, 20);
        const auto pause =
            std::min<Clock::duration>(m_rules.first * (int64_t{1} << doublings), m_rules.longest);
        f.pausedUntil = now + pause;
    }
    return f.count;
}
