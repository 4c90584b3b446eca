#include "platform/runtime.h"

#include <chrono>
#include <thread>

std::atomic<int> g_bShutdown{0};

uint32_t tickCountMs() {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(ms);
}

void sleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

long tzOffset() {
    // tzset() reads TZ every call, so tests that change TZ see the new zone.
    tzset();
    return timezone;
}

int64_t nowFixTime() { return static_cast<int64_t>(time(nullptr)) + tzOffset(); }
