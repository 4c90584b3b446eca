#include "platform/runtime.h"

#include <chrono>
#include <cstdlib>
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

long tzOffset() {
    // tzset() is costly when TZ is unset (glibc stats /etc/localtime every
    // time), and parsing and adding points ask for the offset per fix. Keep it
    // until TZ changes, so that tests switching zones still see the new one.
    static std::mutex mutex;
    static std::string lastTz;
    static bool known = false;
    static long offset = 0;
    const char* tz = getenv("TZ");
    std::string current = tz ? std::string("=") + tz : std::string();
    std::lock_guard<std::mutex> lock(mutex);
    if (!known || current != lastTz) {
        tzset();
        offset = timezone;
        lastTz = std::move(current);
        known = true;
    }
    return offset;
}

int64_t nowFixTime() {
    return static_cast<int64_t>(time(nullptr)) + tzOffset();
}
