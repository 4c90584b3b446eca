#include "platform/runtime.h"

#include <chrono>
#include <cstdlib>
#include <malloc.h>
#include <mutex>
#include <string>
#include <thread>

std::atomic<int> g_bShutdown{0};

uint32_t tickCountMs() {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(ms);
}

void sleepMs(unsigned ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void releaseFreedMemory() {
    ::malloc_trim(0);
}

namespace {
std::atomic<bool> g_zonePinned{false};
std::atomic<long> g_pinnedOffset{0};
} // namespace

long tzOffset() {
    if (g_zonePinned.load(std::memory_order_acquire))
        return g_pinnedOffset.load(std::memory_order_relaxed);
    // tzset() is costly when TZ is unset (glibc stats /etc/localtime every
    // time), and parsing and adding points ask for the offset per fix. Keep it
    // until TZ changes, so that tests switching zones still see the new one.
    static std::mutex mutex;
    static std::string lastTz;
    static bool lastSet = false;
    static bool known = false;
    static long offset = 0;
    const char* tz = getenv("TZ");
    std::lock_guard<std::mutex> lock(mutex);
    if (!known || (tz != nullptr) != lastSet || (tz && lastTz != tz)) {
        tzset();
        offset = timezone;
        lastSet = tz != nullptr;
        lastTz = tz ? tz : "";
        known = true;
    }
    return offset;
}

TimeZonePin::TimeZonePin() {
    g_pinnedOffset.store(tzOffset(), std::memory_order_relaxed);
    g_zonePinned.store(true, std::memory_order_release);
}

TimeZonePin::~TimeZonePin() {
    g_zonePinned.store(false, std::memory_order_release);
}

int64_t nowFixTime() {
    return static_cast<int64_t>(time(nullptr)) + tzOffset();
}
