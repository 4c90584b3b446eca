// Addresses that keep failing wait. After `tolerated` failures in a row each
// further failure pauses the address: the first pause, doubled with every
// failure after it, up to the longest. While an address is paused its
// requests are refused unheard, so guessing keys costs the guesser time and
// nobody else: the listener never waits for it. A success, or an hour
// without failures, forgets an address's failures. At most `kept` addresses
// are remembered; the one that failed longest ago makes room. One per
// listener, used on its thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

class RefusalPauses {
public:
    using Clock = std::chrono::steady_clock;
    struct Rules {
        int tolerated;
        std::chrono::seconds first;
        std::chrono::seconds longest;
        size_t kept;
    };

    explicit RefusalPauses(Rules rules) : m_rules(rules) {}

    // What is left of `address`'s pause at `now`; zero when it is not paused.
    Clock::duration pausedFor(const std::string& address, Clock::time_point now) const;
    bool paused(const std::string& address, Clock::time_point now) const {
        return pausedFor(address, now) > Clock::duration::zero();
    }
    // Counts a failure of `address` at `now`; returns its failures in a row.
    int fail(const std::string& address, Clock::time_point now);
    // A success: `address`'s failures are forgotten.
    void forgive(const std::string& address) { m_failures.erase(address); }
    size_t remembered() const { return m_failures.size(); }

private:
    struct Failures {
        int count = 0;
        Clock::time_point last{};
        Clock::time_point pausedUntil{};
    };
    Rules m_rules;
    std::map<std::string, Failures, std::less<>> m_failures;
};
