// Process-wide run state and clocks.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

// The process-wide stop flag: 0 until the main window goes away, then 1 for good.
// Every worker loop polls it between passes.
extern std::atomic<int> g_bShutdown;

// Milliseconds from an arbitrary start, monotonic, wrapping like a 32-bit tick count.
uint32_t tickCountMs();

// Sleeps `ms` milliseconds.
void sleepMs(unsigned ms);

// Hands memory that was freed back to the system. The allocator keeps freed
// heap pages for reuse; after a reply of many megabytes goes, they would stay
// in the process's resident size for good.
void releaseFreedMemory();

// Seconds west of UTC of the process's standard time (POSIX `timezone` after
// tzset()). Fix times are UTC seconds plus this offset, so every comparison
// with the clock adds it to time(nullptr), and every conversion back to
// calendar fields first subtracts it.
long tzOffset();

// While alive, tzOffset() answers the offset of the zone at construction
// without looking at TZ again: for a run that converts many fix times and
// does not change the zone meanwhile (a log conversion). Not nested.
class TimeZonePin {
public:
    TimeZonePin();
    ~TimeZonePin();
    TimeZonePin(const TimeZonePin&) = delete;
    TimeZonePin& operator=(const TimeZonePin&) = delete;
};

// The current time on the fix-time scale: time(nullptr) + tzOffset().
int64_t nowFixTime();
