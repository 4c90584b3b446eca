// Waiting in real time for something another thread does.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

// Polls `done` every 10 ms for at most `ms`; returns its last value.
inline bool waitUntil(const std::function<bool()>& done, int ms = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
