// The zone pin of a log conversion: while it lives the offset stays that of
// the zone it found, whatever TZ says; afterwards TZ counts again.
#include "platform/runtime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// Restores TZ as the test found it.
class TzGuard {
public:
    TzGuard() {
        const char* tz = std::getenv("TZ");
        m_had = tz != nullptr;
        if (tz)
            m_old = tz;
    }
    ~TzGuard() {
        if (m_had)
            ::setenv("TZ", m_old.c_str(), 1);
        else
            ::unsetenv("TZ");
        tzOffset();
    }

private:
    bool m_had = false;
    std::string m_old;
};

} // namespace

TEST(TimeZonePin, KeepsTheOffsetItFoundUntilItEnds) {
    TzGuard guard;
    struct Step {
        const char* pinnedZone;
        const char* laterZone;
        long whilePinned; // seconds west of UTC
        long afterwards;
    };
    const Step steps[] = {
        {"UTC0", "EST5", 0, 5 * 3600},
        {"EST5", "UTC0", 5 * 3600, 0},
        {"XXX-2", "XXX+3", -2 * 3600, 3 * 3600},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.pinnedZone);
        ::setenv("TZ", s.pinnedZone, 1);
        {
            const TimeZonePin pin;
            ::setenv("TZ", s.laterZone, 1);
            EXPECT_EQ(tzOffset(), s.whilePinned);
            const int64_t shift = nowFixTime() - static_cast<int64_t>(time(nullptr));
            EXPECT_NEAR(static_cast<double>(shift), static_cast<double>(s.whilePinned), 1.0);
        }
        EXPECT_EQ(tzOffset(), s.afterwards);
    }
}

TEST(TimeZonePin, WithoutAPinEveryChangeOfTzIsNoticed) {
    TzGuard guard;
    ::setenv("TZ", "EST5", 1);
    EXPECT_EQ(tzOffset(), 5 * 3600);
    ::setenv("TZ", "UTC0", 1);
    EXPECT_EQ(tzOffset(), 0);
    ::setenv("TZ", "EST5", 1);
    EXPECT_EQ(tzOffset(), 5 * 3600);
}
