// Addresses that keep failing wait, alone: the pause starts after the
// tolerated failures, doubles up to its longest, ends on its own, and a
// success or a quiet hour forgets; the remembered addresses stay bounded.
#include "net/refusalPauses.h"

#include <gtest/gtest.h>

namespace {

using Clock = RefusalPauses::Clock;
using std::chrono::seconds;

TEST(RefusalPauses, PausesStartLateDoubleAndStopGrowing) {
    const struct {
        int tolerated;
        int failures;  // in a row, a second apart
        int pauseLeft; // seconds of pause right after the last one
    } cases[] = {
        {3, 1, 0},    {3, 3, 0},     {3, 4, 1}, {3, 5, 2}, {3, 6, 4}, {3, 12, 256},
        {3, 13, 300}, {3, 900, 300}, {4, 4, 0}, {4, 5, 1}, {0, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.tolerated) + " tolerated, " + std::to_string(c.failures) +
                     " failures");
        RefusalPauses pauses({c.tolerated, seconds(1), seconds(300), 16});
        Clock::time_point t{std::chrono::hours(5)};
        int count = 0;
        for (int i = 0; i < c.failures; ++i) {
            t += seconds(1);
            count = pauses.fail("192.0.2.1", t);
        }
        EXPECT_EQ(count, std::min(c.failures, 1000));
        EXPECT_EQ(pauses.pausedFor("192.0.2.1", t), seconds(c.pauseLeft));
        EXPECT_EQ(pauses.paused("192.0.2.1", t), c.pauseLeft > 0);
        // The pause ends on its own, and is this address's alone.
        EXPECT_FALSE(pauses.paused("192.0.2.1", t + seconds(c.pauseLeft)));
        EXPECT_FALSE(pauses.paused("192.0.2.2", t));
    }
}

TEST(RefusalPauses, SuccessOrAQuietHourForgets) {
    RefusalPauses pauses({2, seconds(2), seconds(60), 16});
    Clock::time_point t{std::chrono::hours(5)};
    pauses.fail("a", t);
    pauses.fail("a", t);
    pauses.forgive("a");
    EXPECT_EQ(pauses.fail("a", t), 1) << "a success starts the count again";
    pauses.fail("a", t);
    EXPECT_EQ(pauses.fail("a", t), 3);
    EXPECT_TRUE(pauses.paused("a", t));
    t += std::chrono::hours(1) + seconds(1);
    EXPECT_EQ(pauses.fail("a", t), 1) << "an hour without failures";
    EXPECT_FALSE(pauses.paused("a", t));
}

TEST(RefusalPauses, TheAddressThatFailedLongestAgoMakesRoom) {
    RefusalPauses pauses({0, seconds(10), seconds(10), 3});
    Clock::time_point t{std::chrono::hours(5)};
    for (const char* a : {"a", "b", "c"}) {
        t += seconds(1);
        pauses.fail(a, t);
    }
    t += seconds(1);
    pauses.fail("a", t); // now "b" failed longest ago
    pauses.fail("d", t);
    EXPECT_EQ(pauses.remembered(), 3u);
    EXPECT_FALSE(pauses.paused("b", t));
    for (const char* a : {"a", "c", "d"})
        EXPECT_TRUE(pauses.paused(a, t)) << a;
}

} // namespace
