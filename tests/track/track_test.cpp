// The track store: rejection, ordering and repair, compression, the ring,
// reading points back, and the shared lock.
#include "track_test_util.h"

#include "platform/runtime.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>

using tt::fixAt;

namespace {

// The coords text add() writes, computed here on its own.
std::string coordsOf(double lon, double lat, double alt) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.5f,%.5f,%.1f\n", lon, lat, alt);
    return buf;
}

std::string coordsAt(const CTrack& t, int index) {
    const TrackPoint* p = t.point(index);
    return p ? std::string(p->coords) : std::string("<invalid>");
}

int32_t timeAt(const CTrack& t, int index) {
    const TrackPoint* p = t.point(index);
    return p ? p->time : -1;
}

// Lays points straight into the ring, newest first: (speed in mph x 10, time).
void layPoints(CTrack& t, const std::vector<std::pair<int, int32_t>>& newestFirst) {
    int n = static_cast<int>(newestFirst.size());
    t.slots.assign(static_cast<size_t>(n), TrackPoint{});
    t.capacity = kTrackCapacity;
    t.head = n - 1;
    t.m_nPts = n;
    for (int i = 0; i < n; ++i) {
        TrackPoint& p = t.slots[n - 1 - i];
        std::snprintf(p.coords, sizeof p.coords, "%d.00000,1.00000,0.0\n", i);
        p.spd = newestFirst[i].first;
        p.time = newestFirst[i].second;
        p.lat = 100000;
        p.lon = i * 100000;
    }
}

} // namespace

// --- rejection -----------------------------------------------------------------

TEST(TrackAdd, SpeedAndAltitudeLimits) {
    CTrack t;
    TraceCapture cap;
    t.add(fixAt(0, 48, 11, -1), 2);
    t.add(fixAt(1, 48, 11, 10001), 2);
    t.add(fixAt(2, 48, 11, 0, 0, -10001), 2);
    EXPECT_EQ(t.pointCount(), 0);
    EXPECT_EQ(t.m_seqNum, 0);
    EXPECT_TRUE(cap.contains("CTrack::add")) << cap.all();
    EXPECT_TRUE(cap.contains("rejecting point, invalid speed or altitude")) << cap.all();
    t.add(fixAt(3, 48, 11, 10000), 2);
    t.add(fixAt(4, 48, 11, 0, 0, -10000), 2);
    EXPECT_EQ(t.pointCount(), 2);
}

TEST(TrackAdd, NanValuesAreRejected) {
    CTrack t;
    t.add(fixAt(0, 48, 11, std::nan("")), 2);
    t.add(fixAt(1, 48, 11, 0, 0, std::nan("")), 2);
    t.add(fixAt(2, std::nan(""), 11), 2);
    t.add(fixAt(3, 48, std::nan("")), 2);
    EXPECT_EQ(t.pointCount(), 0);
}

TEST(TrackAdd, ImpossiblePositionsAreRejected) {
    CTrack t;
    TraceCapture cap;
    t.add(fixAt(0, 90.5, 11), 2);
    t.add(fixAt(1, 48, -180.5), 2);
    t.add(fixAt(2, 1e12, 11), 2); // would overflow the scaled integers
    EXPECT_EQ(t.pointCount(), 0);
    EXPECT_TRUE(cap.contains("rejecting point, invalid lat,lon")) << cap.all();
    t.add(fixAt(3, -90, -180), 2);
    EXPECT_EQ(t.pointCount(), 1);
}

TEST(TrackAdd, ZeroPositionIsRejected) {
    CTrack t;
    TraceCapture cap;
    t.add(fixAt(0, 0, 0), 2);
    EXPECT_EQ(t.pointCount(), 0);
    EXPECT_TRUE(cap.contains("rejecting point, zero lat,lon")) << cap.all();
    t.add(fixAt(0, 0, 1), 2);
    t.add(fixAt(1, 1, 0), 2);
    EXPECT_EQ(t.pointCount(), 2);
}

TEST(TrackAdd, MoreThanSevenDaysAheadOfTheClockIsRejected) {
    CTrack t;
    TraceCapture cap;
    GpsFix f = fixAt(0);
    f.time = nowFixTime() + 604800 + 120;
    t.add(f, 2);
    EXPECT_EQ(t.pointCount(), 0);
    EXPECT_TRUE(cap.contains("rejecting point, GPS time greater than 7 days in the future"))
        << cap.all();
    f.time = nowFixTime() + 604800;
    t.add(f, 2);
    EXPECT_EQ(t.pointCount(), 1);
}

TEST(TrackAdd, AltitudeRuleKeepsTheCoordsTextWithin31Characters) {
    CTrack t;
    TraceCapture cap;
    t.add(fixAt(0, -90, -180, 0, 0, 999999.9), 2);
    ASSERT_EQ(t.pointCount(), 1);
    std::string c = coordsAt(t, 0);
    EXPECT_EQ(c, "-180.00000,-90.00000,999999.9\n");
    EXPECT_EQ(c.size(), 30u);
    t.add(fixAt(1, -90, -180, 0, 0, 999999.96), 2); // rounds up to 1000000.0: still fits
    ASSERT_EQ(t.pointCount(), 2);
    EXPECT_EQ(coordsAt(t, 0), "-180.00000,-90.00000,1000000.0\n");
    EXPECT_EQ(coordsAt(t, 0).size(), 31u);
    // A million metres and more: rejected, never cut or clamped.
    t.add(fixAt(2, -90, -180, 0, 0, 1000000), 2);
    t.add(fixAt(3, 48, 11, 0, 0, 5e9), 2);
    EXPECT_EQ(t.pointCount(), 2);
    EXPECT_TRUE(cap.contains("rejecting point, invalid speed or altitude")) << cap.all();
}

// --- the slot ---------------------------------------------------------------------

TEST(TrackAdd, SlotHoldsBothForms) {
    CTrack t;
    GpsFix f = fixAt(0, 48.1173, 11.516666, 22.4, 84.9, 545.46);
    t.add(f, 2);
    const TrackPoint* p = t.point(0);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->coords, "11.51667,48.11730,545.5\n");
    // The integers come from the text, scaled and truncated.
    EXPECT_EQ(p->lat, static_cast<int32_t>(48.1173 * 100000));
    EXPECT_EQ(p->lon, static_cast<int32_t>(11.51667 * 100000));
    EXPECT_EQ(p->alt, static_cast<int32_t>(545.5 * 10));
    EXPECT_EQ(p->spd, static_cast<int32_t>(22.4 * kKnotsToMph * 10));
    EXPECT_EQ(p->spd, 257);
    EXPECT_EQ(p->hdg, 84);
    EXPECT_EQ(p->time, static_cast<int32_t>(f.time));
    EXPECT_EQ(t.m_newPt, 1);
}

// The slot's text is printf's "%.5f,%.5f,%.1f\n" and its integers are
// that text read back, scaled and truncated, for any position: random ones,
// ones a hair beside a rounding half, exact halves, receivers' degrees and
// minutes, tiny negatives that print as "-0.00000", and the extremes.
TEST(TrackAdd, SlotTextAndIntegersMatchPrintfForAnyPosition) {
    std::vector<std::array<double, 3>> positions; // lon, lat, alt
    std::mt19937_64 rng(35);
    std::uniform_real_distribution<double> lonD(-180, 180), latD(-90, 90), altD(-9999, 999999);
    for (int i = 0; i < 20000; ++i)
        positions.push_back({lonD(rng), latD(rng), altD(rng)});
    std::uniform_int_distribution<int> unitsD(-17999999, 17999999), altUnitsD(-99990, 9999990);
    for (int i = 0; i < 5000; ++i) {
        // (k + 1/2) / 10^5 and its neighbours: the rounding halves.
        const double half = (unitsD(rng) + 0.5) / 1e5;
        const double altHalf = (altUnitsD(rng) + 0.5) / 10;
        for (int step : {-2, -1, 0, 1, 2}) {
            positions.push_back({std::nextafter(half, step < 0 ? -1e9 : 1e9) * (step != 0),
                                 std::clamp(half / 2 + step * 1e-12, -90.0, 90.0),
                                 altHalf + step * 1e-9});
        }
    }
    // Positions as receivers give them, degrees and minutes with four
    // decimals: a sixth of them lie a hair beside a half.
    std::uniform_int_distribution<int> degreesD(0, 179), minutesD(0, 599999);
    for (int i = 0; i < 5000; ++i) {
        const double lon = degreesD(rng) + minutesD(rng) / 1e4 / 60;
        const double lat = (degreesD(rng) / 2) + minutesD(rng) / 1e4 / 60;
        positions.push_back({i % 2 ? -lon : lon, i % 3 ? lat : -lat, minutesD(rng) / 1e3});
    }
    for (double lon : {-180.0, 180.0, -1e-7, -0.0, 0.0, 1e-7, -4e-6, 4e-6, -6e-6, 6e-6})
        positions.push_back({lon, lon == 0 ? 45.0 : -lon / 2, -lon});
    positions.push_back({-180, -90, 999999.94});
    positions.push_back({-180, -90, 999999.96});

    CTrack t;
    int64_t second = 0;
    for (const auto& [lon, lat, alt] : positions) {
        SCOPED_TRACE(coordsOf(lon, lat, alt));
        t.add(fixAt(second, lat, lon, 0, 0, alt), 2);
        const TrackPoint* p = t.point(0);
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(p->time, static_cast<int32_t>(fixAt(second).time)) << "the fix became a point";
        ++second;
        const std::string text = coordsOf(lon, lat, alt);
        ASSERT_EQ(p->coords, text);
        double back[3];
        char* at = const_cast<char*>(text.c_str());
        for (double& v : back) {
            v = std::strtod(at, &at);
            ++at; // the ',' or '\n'
        }
        ASSERT_EQ(p->lon, static_cast<int32_t>(back[0] * 100000));
        ASSERT_EQ(p->lat, static_cast<int32_t>(back[1] * 100000));
        ASSERT_EQ(p->alt, static_cast<int32_t>(back[2] * 10));
    }
}

TEST(TrackAdd, NegativeCoordinatesTruncateTowardZero) {
    CTrack t;
    t.add(fixAt(0, -33.868812, -151.209299, 0, -12.7, -3.25), 2);
    const TrackPoint* p = t.point(0);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->coords, "-151.20930,-33.86881,-3.2\n");
    EXPECT_EQ(p->lat, static_cast<int32_t>(-33.86881 * 100000));
    EXPECT_EQ(p->lon, static_cast<int32_t>(-151.2093 * 100000));
    EXPECT_EQ(p->alt, -32);
    EXPECT_EQ(p->hdg, -12);
}

TEST(TrackAdd, ToFixConvertsBack) {
    CTrack t;
    t.add(fixAt(0, 48.1173, 11.5167, 22.4, 84.9, 545.4), 2);
    GpsFix f;
    f.rmcSeen = 1;
    f.status = 1;
    CTrack::toFix(*t.point(0), f);
    EXPECT_NEAR(f.lat, 48.1173, 1e-5);
    EXPECT_NEAR(f.lon, 11.5167, 1e-5);
    EXPECT_NEAR(f.alt, 545.4, 1e-9);
    EXPECT_NEAR(f.spd, 25.7 / kKnotsToMph, 1e-9);
    EXPECT_EQ(f.hdg, 84);
    EXPECT_EQ(f.time, fixAt(0).time);
    EXPECT_EQ(f.rmcSeen, 1);
    EXPECT_EQ(f.status, 1);
}

TEST(TrackAdd, TimeIsStoredAsLow32BitsAndSignExtended) {
    TrackPoint p{};
    p.time = -2;
    GpsFix f;
    CTrack::toFix(p, f);
    EXPECT_EQ(f.time, -2);
}

TEST(TrackAdd, SamePositionTruncatesToFiveDecimals) {
    GpsFix a, b;
    a.lat = 48.123456;
    b.lat = 48.123459;
    a.lon = b.lon = 11;
    EXPECT_TRUE(CTrack::samePosition(a, b));
    b.lat = 48.12346;
    EXPECT_FALSE(CTrack::samePosition(a, b));
    b.lat = a.lat;
    b.lon = 11.00001;
    EXPECT_FALSE(CTrack::samePosition(a, b));
    b.lon = std::nan("");
    EXPECT_FALSE(CTrack::samePosition(a, b));
}

// --- ordering and repair --------------------------------------------------------

TEST(TrackOrder, LaterFixesAppend) {
    CTrack t;
    for (int i = 0; i < 5; ++i)
        t.add(fixAt(i, 48 + i * 0.001), 2);
    EXPECT_EQ(t.pointCount(), 5);
    EXPECT_EQ(t.head, 4);
    EXPECT_EQ(t.m_seqNum, 5);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(timeAt(t, i), static_cast<int32_t>(fixAt(4 - i).time));
}

TEST(TrackOrder, WithOnePointAnEarlierFixReplacesIt) {
    CTrack t;
    t.add(fixAt(100, 48), 2);
    TraceCapture cap;
    t.add(fixAt(50, 49), 2);
    EXPECT_TRUE(cap.contains("erasing bogus point!")) << cap.all();
    EXPECT_EQ(t.pointCount(), 1);
    EXPECT_EQ(t.head, 0);
    EXPECT_EQ(timeAt(t, 0), static_cast<int32_t>(fixAt(50).time));
    EXPECT_EQ(coordsAt(t, 0), coordsOf(11.5166, 49, 500));
    EXPECT_EQ(t.m_seqNum, 2); // the replacement is an append
}

TEST(TrackOrder, WithOnePointTheSameTimeIsRejected) {
    CTrack t;
    t.add(fixAt(100, 48), 2);
    TraceCapture cap;
    t.add(fixAt(100, 49), 2);
    EXPECT_TRUE(cap.contains("rejecting point")) << cap.all();
    EXPECT_FALSE(cap.contains("erasing")) << cap.all();
    EXPECT_EQ(t.pointCount(), 1);
    EXPECT_EQ(coordsAt(t, 0), coordsOf(11.5166, 48, 500));
}

TEST(TrackOrder, WithTwoPointsTheSameTimeAsTheNewestReplacesIt) {
    CTrack t;
    t.add(fixAt(100, 48), 2);
    t.add(fixAt(200, 48.5), 2);
    TraceCapture cap;
    t.add(fixAt(200, 49), 2);
    EXPECT_TRUE(cap.contains("erasing bogus point!")) << cap.all();
    EXPECT_EQ(t.pointCount(), 2);
    EXPECT_EQ(coordsAt(t, 0), coordsOf(11.5166, 49, 500));
    EXPECT_EQ(coordsAt(t, 1), coordsOf(11.5166, 48, 500));
}

TEST(TrackOrder, WithTwoPointsBetweenPointOneAndTheNewestIsRejected) {
    CTrack t;
    t.add(fixAt(100, 48), 2);
    t.add(fixAt(200, 48.5), 2);
    TraceCapture cap;
    t.add(fixAt(150, 49), 2);
    t.add(fixAt(100, 49), 2); // equal to point 1: not earlier than it
    EXPECT_TRUE(cap.contains("rejecting point")) << cap.all();
    EXPECT_FALSE(cap.contains("erasing")) << cap.all();
    EXPECT_EQ(t.pointCount(), 2);
    EXPECT_EQ(coordsAt(t, 0), coordsOf(11.5166, 48.5, 500));
}

TEST(TrackOrder, WithTwoPointsEarlierThanPointOneReplacesTheNewest) {
    // The newest point was a receiver's time jump into the future; the track
    // repairs itself one point per fix.
    CTrack t;
    t.add(fixAt(100, 48), 2);
    t.add(fixAt(99999, 48.5), 2); // bogus: far ahead
    TraceCapture cap;
    t.add(fixAt(50, 49), 2);
    EXPECT_TRUE(cap.contains("erasing bogus point!")) << cap.all();
    EXPECT_EQ(t.pointCount(), 2);
    EXPECT_EQ(timeAt(t, 0), static_cast<int32_t>(fixAt(50).time));
    EXPECT_EQ(timeAt(t, 1), static_cast<int32_t>(fixAt(100).time));
    EXPECT_EQ(t.m_seqNum, 3);
}

TEST(TrackOrder, RepairInAFullRingAtSlotZeroWrapsBack) {
    CTrack t;
    for (int i = 0; i <= kTrackCapacity; ++i) // 28801 points: head wraps to 0
        t.add(fixAt(i, 40 + i * 1e-4), 0);
    ASSERT_EQ(t.head, 0);
    ASSERT_EQ(t.pointCount(), kTrackCapacity);
    std::string previous = coordsAt(t, 1);
    TraceCapture cap;
    t.add(fixAt(kTrackCapacity, 10), 0); // same time as the newest: replaces it
    EXPECT_TRUE(cap.contains("erasing bogus point!")) << cap.all();
    EXPECT_EQ(t.head, 0);
    EXPECT_EQ(t.pointCount(), kTrackCapacity);
    EXPECT_EQ(t.m_seqNum, kTrackCapacity + 2);
    EXPECT_EQ(coordsAt(t, 0), coordsOf(11.5166, 10, 500));
    EXPECT_EQ(coordsAt(t, 1), previous);
}

TEST(TrackOrder, TimeZeroFixesStoreTheFirstOnly) {
    // A receiver that sends GGA but never RMC gives fixes without time.
    CTrack t;
    GpsFix a = fixAt(0, 48), b = fixAt(0, 49), c = fixAt(0, 50);
    a.time = b.time = c.time = 0;
    t.add(a, 2);
    TraceCapture cap;
    t.add(b, 2);
    t.add(c, 2);
    EXPECT_EQ(t.pointCount(), 1);
    EXPECT_EQ(coordsAt(t, 0), coordsOf(11.5166, 48, 500));
    EXPECT_TRUE(cap.contains("rejecting point")) << cap.all();
}

TEST(TrackOrder, SmallTimesAfterATimedPointAreNotInOrder) {
    // Below 1000 a time only follows a point without time.
    CTrack t;
    GpsFix a = fixAt(0, 48), b = fixAt(0, 49), c = fixAt(0, 50);
    a.time = 0;
    b.time = 500;
    c.time = 600;
    t.add(a, 2);
    t.add(b, 2);
    EXPECT_EQ(t.pointCount(), 2);
    t.add(c, 2); // later than 500 but below 1000, with point 1 at time 0: rejected
    EXPECT_EQ(t.pointCount(), 2);
    EXPECT_EQ(timeAt(t, 0), 500);
    GpsFix d = fixAt(0, 51);
    d.time = 1000;
    t.add(d, 2);
    EXPECT_EQ(t.pointCount(), 3);
}

TEST(TrackOrder, WithOnePointASmallLaterTimeReplacesIt) {
    // 600 after 500 is not "in order" (below 1000 only a point without time
    // may be followed), but with a single point any other time replaces it.
    CTrack t;
    GpsFix a = fixAt(0, 48), b = fixAt(0, 49);
    a.time = 500;
    b.time = 600;
    t.add(a, 2);
    TraceCapture cap;
    t.add(b, 2);
    EXPECT_TRUE(cap.contains("erasing bogus point!")) << cap.all();
    EXPECT_EQ(t.pointCount(), 1);
    EXPECT_EQ(timeAt(t, 0), 600);
}

TEST(TrackOrder, SmallRepeatedTimeIsRejectedNotRepaired) {
    // A repeated time replaces the newest only above 1000.
    CTrack t;
    GpsFix a = fixAt(0, 48), b = fixAt(0, 49), c = fixAt(0, 50);
    a.time = 0;
    b.time = 500;
    c.time = 500;
    t.add(a, 2);
    t.add(b, 2);
    TraceCapture cap;
    t.add(c, 2);
    EXPECT_FALSE(cap.contains("erasing")) << cap.all();
    EXPECT_EQ(t.pointCount(), 2);
    EXPECT_EQ(coordsAt(t, 0), coordsOf(11.5166, 49, 500));
}

// --- compression ------------------------------------------------------------------

TEST(TrackCompress, SamePositionStoresOnceInModeOneTwiceInModeTwo) {
    CTrack one, two;
    one.add(fixAt(0), 1);
    one.add(fixAt(1), 1);
    two.add(fixAt(0), 2);
    two.add(fixAt(1), 2);
    EXPECT_EQ(one.pointCount(), 1);
    EXPECT_EQ(one.m_seqNum, 1);
    EXPECT_EQ(timeAt(one, 0), static_cast<int32_t>(fixAt(0).time)); // not even overwritten
    EXPECT_EQ(two.pointCount(), 2);
}

TEST(TrackCompress, FirstTwoFixesAreNeverCompressed) {
    CTrack t;
    TraceCapture cap;
    t.add(fixAt(0, 48.0), 1);
    t.add(fixAt(1, 48.0001), 1);
    EXPECT_EQ(t.pointCount(), 2);
    EXPECT_EQ(cap.count("timed out\r\n"), 2) << cap.all(); // both fixes count as timed out
    EXPECT_FALSE(cap.contains("compressed point")) << cap.all();
}

TEST(TrackCompress, StationaryVehicleOverwritesForUpTo600Seconds) {
    CTrack t;
    t.add(fixAt(0, 48.0), 1);
    t.add(fixAt(1, 48.0001), 1); // lastAdded: time 1
    TraceCapture cap;
    // Jitter in position, speed 0, same course: one point overwritten in place.
    for (int s = 2; s <= 601; ++s)
        t.add(fixAt(s, 48.0001 + (s % 2 ? 0.00002 : 0.00004)), 1);
    EXPECT_TRUE(cap.contains("compressed point")) << cap.all();
    EXPECT_EQ(t.pointCount(), 2);
    EXPECT_EQ(t.m_seqNum, 2);
    EXPECT_EQ(timeAt(t, 0), static_cast<int32_t>(fixAt(601).time)); // the newest one shows
    EXPECT_EQ(t.lastAdded.time, fixAt(1).time);
    t.add(fixAt(602, 48.0002), 1); // 601 s after the last append: timed out
    EXPECT_EQ(t.pointCount(), 3);
    EXPECT_EQ(t.m_seqNum, 3);
    EXPECT_EQ(t.lastAdded.time, fixAt(602).time);
}

TEST(TrackCompress, MovingVehicleOverwritesForUpTo10Seconds) {
    CTrack t;
    // 20.5 kn is 23.5 mph, stored as 235 and read back as 20.42 kn: band 15
    // either way (a speed near a band edge would not survive the round trip).
    const double kn = 20.5;
    t.add(fixAt(0, 48.0, 11, kn, 90), 1);
    t.add(fixAt(1, 48.001, 11, kn, 90), 1);
    for (int s = 2; s <= 11; ++s)
        t.add(fixAt(s, 48.001 + s * 0.001, 11, kn, 90), 1);
    EXPECT_EQ(t.pointCount(), 2);
    EXPECT_EQ(timeAt(t, 0), static_cast<int32_t>(fixAt(11).time));
    t.add(fixAt(12, 48.2, 11, kn, 90), 1); // 11 s after the last append
    EXPECT_EQ(t.pointCount(), 3);
}

TEST(TrackCompress, ConstantSpeedOnAStraightCourseGivesAPointEvery10Seconds) {
    // 12.0 and 40.0 kn sit where the speed, truncated to mph x 10 in the
    // stored point, falls into the band below; 22.4 kn does not. A straight
    // course at any of them is one point per 10 s: 60 fixes, about 6 points.
    for (double kn : {12.0, 40.0, 22.4, 5.0, 99.9}) {
        CTrack t;
        const double degreesPerSecond = kn * 1852.0 / 3600.0 / 111320.0;
        for (int s = 0; s < 61; ++s)
            t.add(fixAt(s, 48.0 + s * degreesPerSecond, 11.5, kn, 0), 1);
        EXPECT_GE(t.pointCount(), 6) << kn;
        EXPECT_LE(t.pointCount(), 8) << kn;
    }
}

TEST(TrackCompress, AParkedReceiverGivesOnePoint) {
    // The same RMC sentence over and over, at positions whose stored (rounded)
    // coordinates differ from the truncated fix: one point each, not one per fix.
    for (const char* lat : {"4807.038", "4807.0389", "0012.3456", "8959.9999", "3351.5791"}) {
        for (const char* lon : {"01131.000", "01131.0047", "17959.9999", "00000.0013"}) {
            CTrack t;
            GpsFix fix;
            for (int s = 0; s < 30; ++s) {
                char body[160];
                std::snprintf(body, sizeof body, "$GPRMC,1235%02d,A,%s,S,%s,W,000.0,000.0,230309,,",
                              19 + s, lat, lon);
                ASSERT_EQ(parseNmea(tt::withChecksum(body).c_str(), fix, 0, 0), 2) << body;
                t.add(fix, 1);
            }
            EXPECT_EQ(t.pointCount(), 1) << lat << " " << lon;
        }
    }
}

TEST(TrackCompress, ModeTwoAndZeroNeverCompress) {
    for (int mode : {0, 2}) {
        CTrack t;
        for (int s = 0; s < 20; ++s)
            t.add(fixAt(s, 48.0 + s * 0.0001), mode);
        EXPECT_EQ(t.pointCount(), 20) << "mode " << mode;
    }
}

TEST(TrackCompress, CourseChangeAppends) {
    CTrack t;
    t.add(fixAt(0, 48.0, 11, 0, 90), 1);
    t.add(fixAt(1, 48.001, 11, 0, 90), 1);
    t.add(fixAt(2, 48.002, 11, 0, 90.9), 1); // same whole degree: compressed
    EXPECT_EQ(t.pointCount(), 2);
    t.add(fixAt(3, 48.003, 11, 0, 91), 1);
    EXPECT_EQ(t.pointCount(), 3);
}

TEST(TrackCompress, SpeedBandChangeAppends) {
    CTrack t;
    // Bands are compared against the stored point read back (20.5 kn -> 20.42).
    t.add(fixAt(0, 48.0, 11, 20.5, 90), 1);
    t.add(fixAt(1, 48.001, 11, 20.5, 90), 1);
    t.add(fixAt(2, 48.002, 11, 21, 90), 1); // 21 x 0.75 = 15.75: band 15, compressed
    EXPECT_EQ(t.pointCount(), 2);
    t.add(fixAt(3, 48.003, 11, 22, 90), 1); // 16.5: band 16
    EXPECT_EQ(t.pointCount(), 3);
}

TEST(TrackCompress, AnOlderFixThanLastAddedTimesOut) {
    // lastAdded ahead of the fix gives a huge unsigned difference: timed out.
    CTrack t;
    t.add(fixAt(0, 48.0), 1);
    t.add(fixAt(10, 48.001), 1);
    t.lastAdded.time = fixAt(1000).time;
    t.add(fixAt(11, 48.002), 1);
    EXPECT_EQ(t.pointCount(), 3);
}

TEST(TrackCompress, NoCompressionIntoSlotZero) {
    // With head at slot 0 (just wrapped) the newest point is never overwritten.
    CTrack t;
    for (int i = 0; i <= kTrackCapacity; ++i)
        t.add(fixAt(i, 40 + i * 1e-4), 0);
    ASSERT_EQ(t.head, 0);
    int32_t seq = t.m_seqNum;
    t.add(fixAt(kTrackCapacity + 1, 45.0), 1);
    EXPECT_EQ(t.m_seqNum, seq + 1);
    EXPECT_EQ(t.head, 1);
}

// --- the ring -----------------------------------------------------------------------

TEST(TrackRing, WrapsAt28800) {
    CTrack t;
    for (int i = 0; i < kTrackCapacity; ++i)
        t.add(fixAt(i, 40 + i * 1e-4), 2);
    EXPECT_EQ(t.pointCount(), kTrackCapacity);
    EXPECT_EQ(t.head, kTrackCapacity - 1);
    EXPECT_EQ(t.m_seqNum, kTrackCapacity);
    EXPECT_EQ(timeAt(t, kTrackCapacity - 1), static_cast<int32_t>(fixAt(0).time));

    t.add(fixAt(kTrackCapacity, 45.0), 2);
    EXPECT_EQ(t.pointCount(), kTrackCapacity);
    EXPECT_EQ(t.m_seqNum, kTrackCapacity + 1);
    EXPECT_EQ(t.head, 0);
    EXPECT_EQ(timeAt(t, 0), static_cast<int32_t>(fixAt(kTrackCapacity).time));
    // The oldest is now the second point ever added; the first is gone.
    EXPECT_EQ(timeAt(t, kTrackCapacity - 1), static_cast<int32_t>(fixAt(1).time));
    EXPECT_EQ(t.point(kTrackCapacity), nullptr);

    t.add(fixAt(kTrackCapacity + 1, 45.1), 2);
    EXPECT_EQ(t.head, 1);
    EXPECT_EQ(timeAt(t, 1), static_cast<int32_t>(fixAt(kTrackCapacity).time));
    EXPECT_EQ(timeAt(t, kTrackCapacity - 1), static_cast<int32_t>(fixAt(2).time));
}

TEST(TrackRing, MemoryGrowsWithThePointsUpToTheRing) {
    // A vehicle with one point must not cost the whole 1.6 MB ring; a full
    // ring holds exactly 28800 slots, never the 32768 that doubling reaches.
    struct Case {
        int points;
        size_t slotsAtMost;
    };
    for (Case c : {Case{1, 16}, Case{17, 32}, Case{1000, 2048}, Case{20000, kTrackCapacity},
                   Case{kTrackCapacity + 100, kTrackCapacity}}) {
        CTrack t;
        for (int i = 0; i < c.points; ++i)
            t.add(fixAt(i, 40 + i * 1e-4), 2);
        size_t held = std::min(c.points, kTrackCapacity);
        EXPECT_EQ(t.slots.size(), held) << c.points;
        EXPECT_LE(t.slots.capacity(), c.slotsAtMost) << c.points;
        EXPECT_EQ(t.pointCount(), static_cast<int>(held));
        EXPECT_EQ(timeAt(t, 0), static_cast<int32_t>(fixAt(c.points - 1).time)) << c.points;
        EXPECT_EQ(timeAt(t, static_cast<int>(held) - 1),
                  static_cast<int32_t>(fixAt(c.points - static_cast<int>(held)).time))
            << c.points;
    }
}

TEST(TrackRing, PointIndicesOutsideTheTrackAreInvalid) {
    CTrack t;
    EXPECT_EQ(t.point(0), nullptr);
    t.add(fixAt(0), 2);
    t.add(fixAt(1, 49), 2);
    EXPECT_NE(t.point(0), nullptr);
    EXPECT_NE(t.point(1), nullptr);
    EXPECT_EQ(t.point(2), nullptr);
    EXPECT_EQ(t.point(-1), nullptr);
}

TEST(TrackRing, ClearKeepsSeqNumAndTheRing) {
    CTrack t;
    t.add(fixAt(0), 2);
    t.add(fixAt(1, 49), 2);
    t.clear();
    EXPECT_EQ(t.pointCount(), 0);
    EXPECT_EQ(t.head, -1);
    EXPECT_EQ(t.m_seqNum, 2);
    EXPECT_EQ(t.m_newPt, 1);
    EXPECT_EQ(t.capacity, kTrackCapacity);
    EXPECT_TRUE(t.slots.empty()); // every slot empty, and the memory given back
    EXPECT_EQ(t.newest.time, 0);
    EXPECT_EQ(t.newest.lat, 0);
    EXPECT_EQ(t.lastAdded.time, 0);
    t.add(fixAt(0, 50), 2); // an older time is fine on an empty track
    EXPECT_EQ(t.pointCount(), 1);
    EXPECT_EQ(t.m_seqNum, 3);
}

TEST(TrackRing, ClearWithoutRingDoesNothing) {
    CTrack t;
    t.clear();
    EXPECT_EQ(t.capacity, 0);
    EXPECT_TRUE(t.slots.empty());
    EXPECT_FALSE(t.hasRing());
}

// --- addPts -------------------------------------------------------------------------

TEST(TrackAddPts, ConvertsPackedPointsAndAppendsInModeZero) {
    CTrack src;
    for (int i = 0; i < 5; ++i)
        src.add(fixAt(i * 10, 48 + i * 0.01, 11 - i * 0.01, 10 + i, 90, 100 + i), 2);
    std::string packed;
    ASSERT_EQ(src.getPts(packed, 5, true, 0), 5);
    CTrack dst;
    TraceCapture cap;
    dst.addPts(reinterpret_cast<const PackedPoint*>(packed.data()), 5);
    EXPECT_TRUE(cap.contains("adding 5 pts")) << cap.all();
    EXPECT_TRUE(cap.contains("added 5 pts")) << cap.all();
    ASSERT_EQ(dst.pointCount(), 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(coordsAt(dst, i), coordsAt(src, i)) << i;
        EXPECT_EQ(dst.point(i)->lat, src.point(i)->lat);
        EXPECT_EQ(dst.point(i)->lon, src.point(i)->lon);
        EXPECT_EQ(dst.point(i)->alt, src.point(i)->alt);
        EXPECT_EQ(dst.point(i)->time, src.point(i)->time);
        EXPECT_NEAR(dst.point(i)->spd, src.point(i)->spd, 1);
        EXPECT_EQ(dst.point(i)->hdg, 0);
    }
}

TEST(TrackAddPts, NothingForZeroOrNegativeCounts) {
    CTrack t;
    PackedPoint p{4800000, 1100000, 0, 0, 100000};
    TraceCapture cap;
    t.addPts(&p, 0);
    t.addPts(&p, -3);
    t.addPts(nullptr, 4);
    EXPECT_EQ(t.pointCount(), 0);
    t.addPts(&p, 1);
    EXPECT_EQ(t.pointCount(), 1);
    EXPECT_FALSE(cap.contains("adding")) << cap.all(); // one point: no message
}

TEST(TrackAddPts, HostilePeerPointsAreRejectedNotStored) {
    CTrack t;
    PackedPoint pts[] = {{INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, 100000},
                         {4800000, 1100000, INT32_MIN, 0, 100001},
                         {4800000, 1100000, 0, -1, 100002}};
    t.addPts(pts, 3);
    EXPECT_EQ(t.pointCount(), 0);
}

// --- getPts ---------------------------------------------------------------------------

TEST(TrackGetPts, CountAndSkipGiveOldestFirst) {
    CTrack t;
    for (int i = 0; i < 20; ++i)
        t.add(fixAt(i, 40 + i), 2);
    std::string out;
    EXPECT_EQ(t.getPts(out, 10, false, 2), 10);
    std::string expected;
    for (int i = 11; i >= 2; --i) // indices 11 .. 2
        expected += coordsAt(t, i);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(out.rfind(coordsAt(t, 2)), out.size() - coordsAt(t, 2).size());
}

TEST(TrackGetPts, BinaryGivesThePackedPoints) {
    CTrack t;
    for (int i = 0; i < 4; ++i)
        t.add(fixAt(i, 40 + i, 10, 5, 0, i), 2);
    std::string out;
    EXPECT_EQ(t.getPts(out, 3, true, 1), 3);
    ASSERT_EQ(out.size(), 3 * sizeof(PackedPoint));
    const auto* pts = reinterpret_cast<const PackedPoint*>(out.data());
    for (int k = 0; k < 3; ++k) {
        const TrackPoint* p = t.point(3 - k);
        EXPECT_EQ(pts[k].lat, p->lat);
        EXPECT_EQ(pts[k].lon, p->lon);
        EXPECT_EQ(pts[k].alt, p->alt);
        EXPECT_EQ(pts[k].spd, p->spd);
        EXPECT_EQ(pts[k].time, p->time);
    }
}

TEST(TrackGetPts, ZeroCountAndZeroSkipGiveNothingWithoutLogging) {
    CTrack t;
    t.add(fixAt(0), 2);
    std::string out = "stale";
    TraceCapture cap;
    EXPECT_EQ(t.getPts(out, 0, false, 0), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(cap.lines().empty()) << cap.all();
}

TEST(TrackGetPts, EmptyTrackGivesNothing) {
    CTrack t;
    std::string out = "stale";
    EXPECT_EQ(t.getPts(out, 10, false, 0), 0);
    EXPECT_TRUE(out.empty());
}

TEST(TrackGetPts, LimitedToThePointsHeld) {
    CTrack t;
    for (int i = 0; i < 5; ++i)
        t.add(fixAt(i, 40 + i), 2);
    std::string out;
    TraceCapture cap;
    EXPECT_EQ(t.getPts(out, 100, false, 0), 5);
    EXPECT_TRUE(cap.contains("getting 100 pts")) << cap.all();
    EXPECT_TRUE(cap.contains("got 5 pts")) << cap.all();
    EXPECT_EQ(t.getPts(out, 100, false, 3), 2);
    EXPECT_EQ(out, coordsAt(t, 4) + coordsAt(t, 3));
    EXPECT_EQ(t.getPts(out, 100, false, 5), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(t.getPts(out, -4, false, 2), 0);
    EXPECT_EQ(t.getPts(out, INT32_MAX, false, INT32_MAX), 0); // no overflow
    EXPECT_EQ(t.getPts(out, INT32_MAX, true, 0), 5);
}

TEST(TrackGetPts, FullRingAfterWrapRunsOldestToNewest) {
    CTrack t;
    for (int i = 0; i < kTrackCapacity + 10; ++i)
        t.add(fixAt(i, 40 + i * 1e-4), 0);
    std::string out;
    EXPECT_EQ(t.getPts(out, kTrackCapacity, true, 0), kTrackCapacity);
    const auto* pts = reinterpret_cast<const PackedPoint*>(out.data());
    for (int k = 1; k < kTrackCapacity; ++k)
        ASSERT_EQ(pts[k].time - pts[k - 1].time, 1) << k;
    EXPECT_EQ(pts[kTrackCapacity - 1].time, static_cast<int32_t>(fixAt(kTrackCapacity + 9).time));
}

TEST(TrackGetPts, StopsAtAnEmptySlot) {
    CTrack t;
    for (int i = 0; i < 5; ++i)
        t.add(fixAt(i, 40 + i), 2);
    const_cast<TrackPoint*>(t.point(2))->coords[0] = '\0';
    std::string out;
    EXPECT_EQ(t.getPts(out, 5, false, 0), 2); // indices 4 and 3, then the hole
}

// --- getSpeedRun -------------------------------------------------------------------

TEST(TrackSpeedRun, InvalidStartGivesZero) {
    CTrack t;
    std::string out = "stale";
    int run = -1;
    int32_t last = 77;
    EXPECT_EQ(t.getSpeedRun(out, 0, 10, 10, run, last), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(last, 0);
    layPoints(t, {{100, 1000}});
    EXPECT_EQ(t.getSpeedRun(out, 1, 10, 10, run, last), 0);
    EXPECT_EQ(t.getSpeedRun(out, -1, 10, 10, run, last), 0);
}

TEST(TrackSpeedRun, OneBandThenThePointThatLeavesIt) {
    CTrack t;
    // Speeds in mph: 23, 25, 29, 30 (still in 20..30), 31 (leaves), 5.
    layPoints(t, {{230, 10000}, {250, 9990}, {290, 9980}, {300, 9970}, {310, 9960}, {50, 9950}});
    std::string out;
    int run = -1;
    int32_t last = 0;
    int step = t.getSpeedRun(out, 0, 100, 10, run, last);
    EXPECT_EQ(step, 4); // five copied, the next run starts at the point that left
    EXPECT_EQ(out,
              coordsAt(t, 0) + coordsAt(t, 1) + coordsAt(t, 2) + coordsAt(t, 3) + coordsAt(t, 4));
    EXPECT_EQ(run, 30);
    EXPECT_EQ(last, 9960);
    // Next run from index 4: band 30..40, leaves at 5 mph.
    step = t.getSpeedRun(out, 4, 100, 10, run, last);
    EXPECT_EQ(step, 1);
    EXPECT_EQ(out, coordsAt(t, 4) + coordsAt(t, 5));
    EXPECT_EQ(run, 31);
    EXPECT_EQ(last, 9950);
}

TEST(TrackSpeedRun, RunSpeedStartsAtTheBandFloor) {
    CTrack t;
    layPoints(t, {{270, 1000}, {500, 999}});
    std::string out;
    int run = -1;
    int32_t last = 0;
    EXPECT_EQ(t.getSpeedRun(out, 0, 100, 10, run, last), 1);
    EXPECT_EQ(run, 27);
    CTrack u;
    layPoints(u, {{270, 1000}});
    EXPECT_EQ(u.getSpeedRun(out, 0, 100, 25, run, last), 1); // runs off the end
    EXPECT_EQ(run, 27);
    EXPECT_EQ(out, coordsAt(u, 0));
    EXPECT_EQ(u.getSpeedRun(out, 0, 0, 25, run, last), 1);
    EXPECT_EQ(run, 25); // floor of 27 in bands of 25
    EXPECT_TRUE(out.empty());
}

TEST(TrackSpeedRun, CountLimitsTheRun) {
    CTrack t;
    layPoints(t, {{100, 1005}, {100, 1004}, {100, 1003}, {100, 1002}, {100, 1001}});
    std::string out;
    int run;
    int32_t last;
    EXPECT_EQ(t.getSpeedRun(out, 1, 3, 10, run, last), 2);
    EXPECT_EQ(out, coordsAt(t, 1) + coordsAt(t, 2) + coordsAt(t, 3));
    EXPECT_EQ(last, 1002);
}

TEST(TrackSpeedRun, GapOfMoreThanAnHourEndsTheRunBeforeTheGap) {
    CTrack t;
    layPoints(t, {{100, 20000}, {100, 19990}, {100, 19990 - 3601}, {100, 16000}, {100, 15999}});
    std::string out;
    int run;
    int32_t last;
    int step = t.getSpeedRun(out, 0, 100, 10, run, last);
    EXPECT_EQ(step, 2); // the copied count: the next run starts after the gap
    EXPECT_EQ(out, coordsAt(t, 0) + coordsAt(t, 1));
    EXPECT_EQ(last, 19990);
    step = t.getSpeedRun(out, 2, 100, 10, run, last);
    EXPECT_EQ(out, coordsAt(t, 2) + coordsAt(t, 3) + coordsAt(t, 4));
    EXPECT_EQ(step, 2);
}

TEST(TrackSpeedRun, GapOfExactlyAnHourIsNoGap) {
    CTrack t;
    layPoints(t, {{100, 20000}, {100, 16400}, {100, 16399}});
    std::string out;
    int run;
    int32_t last;
    EXPECT_EQ(t.getSpeedRun(out, 0, 100, 10, run, last), 2);
    EXPECT_EQ(last, 16399);
}

TEST(TrackSpeedRun, WalkingTheWholeTrackVisitsEveryPointAndTerminates) {
    CTrack t;
    std::vector<std::pair<int, int32_t>> pts;
    int32_t time = 100000;
    for (int i = 0; i < 200; ++i) {
        pts.push_back({(i * 37) % 700, time});
        time -= (i % 50 == 49) ? 4000 : 5; // a few hour-long gaps
    }
    layPoints(t, pts);
    std::string out;
    int run;
    int32_t last;
    int index = 0, runs = 0;
    while (index < t.pointCount() && runs < 1000) {
        int step = t.getSpeedRun(out, index, 100, 10, run, last);
        ASSERT_GE(step, 1);
        index += step;
        ++runs;
    }
    EXPECT_LT(runs, 1000);
}

TEST(TrackSpeedRun, BandBelowOneDoesNotDivideByZero) {
    CTrack t;
    layPoints(t, {{100, 1000}, {105, 999}});
    std::string out;
    int run;
    int32_t last;
    EXPECT_GE(t.getSpeedRun(out, 0, 10, 0, run, last), 1);
    EXPECT_GE(t.getSpeedRun(out, 0, 10, -5, run, last), 1);
}

// --- the lock -------------------------------------------------------------------------

TEST(TrackLock, IsRecursive) {
    CTrack t;
    ASSERT_TRUE(t.lock());
    t.add(fixAt(0), 2); // add takes the lock again on the same thread
    std::string out;
    EXPECT_EQ(t.getPts(out, 1, false, 0), 1);
    t.unlock();
    EXPECT_EQ(t.pointCount(), 1);
}

TEST(TrackLock, SharedByAllTracks) {
    CTrack a, b;
    ASSERT_TRUE(a.lock());
    std::atomic<bool> got{false};
    std::thread other([&] {
        setTrackLockWaitMs(50);
        got = b.lock();
        if (got)
            b.unlock();
    });
    other.join();
    a.unlock();
    setTrackLockWaitMs(0);
    EXPECT_FALSE(got);
}

TEST(TrackLock, AnExpiredWaitLogsAndTouchesNothing) {
    CTrack t;
    t.add(fixAt(0), 2);
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        TrackLockGuard g;
        held = g.ok();
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!held)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    setTrackLockWaitMs(30);
    {
        TraceCapture cap;
        t.add(fixAt(1, 49), 2);
        EXPECT_EQ(t.pointCount(), 1);
        EXPECT_EQ(t.m_seqNum, 1);
        EXPECT_TRUE(cap.contains("track lock not obtained within 30 ms")) << cap.all();
        std::string out;
        EXPECT_EQ(t.getPts(out, 1, false, 0), 0);
        int run;
        int32_t last;
        EXPECT_EQ(t.getSpeedRun(out, 0, 1, 10, run, last), 0);
        t.clear();
        EXPECT_EQ(t.pointCount(), 1);
        PackedPoint p{4900000, 1100000, 0, 0, static_cast<int32_t>(fixAt(5).time)};
        t.addPts(&p, 1);
        EXPECT_EQ(t.pointCount(), 1);
        TrackLockGuard g;
        EXPECT_FALSE(g.ok());
    }
    release = true;
    holder.join();
    setTrackLockWaitMs(0);
    t.add(fixAt(1, 49), 2);
    EXPECT_EQ(t.pointCount(), 2);
}

TEST(TrackLock, WritersAndReadersOnManyThreads) {
    // Sanitizer builds make this a race detector of sorts: any unlocked
    // access to the ring shows up as a corrupt read or an ASan report.
    CTrack a, b;
    std::atomic<bool> stop{false};
    auto writer = [&](CTrack& t, double lat) {
        for (int i = 0; i < 3000; ++i)
            t.add(fixAt(i, lat + i * 1e-4, 11, 5, i % 360), i % 2 ? 1 : 2);
    };
    std::thread w1(writer, std::ref(a), 40.0), w2(writer, std::ref(b), 50.0);
    std::thread reader([&] {
        std::string out;
        while (!stop) {
            std::this_thread::yield();
            TrackLockGuard g;
            ASSERT_TRUE(g.ok());
            int n = a.getPts(out, 50, false, 0);
            int lines = 0;
            for (char c : out)
                lines += c == '\n';
            ASSERT_EQ(lines, n);
            b.getPts(out, 50, true, 0);
            ASSERT_EQ(out.size() % sizeof(PackedPoint), 0u);
        }
    });
    w1.join();
    w2.join();
    stop = true;
    reader.join();
    EXPECT_GT(a.pointCount(), 100);
    EXPECT_GT(b.pointCount(), 100);
}

// --- dump -------------------------------------------------------------------------------

TEST(TrackDump, WritesAListingIntoTheStartDirectory) {
    tt::ScratchDir dir;
    std::string saved = g_startDir;
    g_startDir = dir.path.string();
    CTrack t;
    t.add(fixAt(0, 48.1173, 11.5167, 10, 90.5, 545.4), 2);
    t.add(fixAt(60, 48.1174, 11.5168, 0, 0, 545.5), 2);
    t.dump("Me/localhost.txt");
    g_startDir = saved;
    std::string text = tt::readFile(dir.file("Me.localhost.txt"));
    // Local wall-clock text of 23 March 2009 12:35:19 UTC, per zone.
    const char* tz = std::getenv("TZ");
    std::string zone = tz ? tz : "";
    std::string hm0 = zone == "America/New_York" ? "08:35"
                      : zone == "Europe/Berlin"  ? "13:35"
                                                 : "12:35";
    std::string hm1 = zone == "America/New_York" ? "08:36"
                      : zone == "Europe/Berlin"  ? "13:36"
                                                 : "12:36";
    char line0[200], line1[200];
    std::snprintf(line0, sizeof line0, "0:%lld(03/23/09 %s) %.5f %.5f 545.50 0.00 0.00\n",
                  static_cast<long long>(fixAt(60).time), hm1.c_str(), t.point(0)->lat / 1e5,
                  t.point(0)->lon / 1e5);
    std::snprintf(line1, sizeof line1, "1:%lld(03/23/09 %s) %.5f %.5f 545.40 %.2f 90.00\n",
                  static_cast<long long>(fixAt(0).time), hm0.c_str(), t.point(1)->lat / 1e5,
                  t.point(1)->lon / 1e5, 115 / 10.0 / kKnotsToMph);
    EXPECT_EQ(text, std::string("head:1 m_nPts:2 m_seqNum:2 m_newPt:1\n") + line0 + line1);
}

TEST(TrackDump, ANameWithSlashesStaysInTheStartDirectory) {
    namespace fs = std::filesystem;
    tt::ScratchDir dir;
    const fs::path start = dir.path / "start";
    fs::create_directories(start);
    std::string saved = g_startDir;
    const fs::path cwd = fs::current_path();
    // The program runs in its start directory.
    g_startDir = start.string();
    fs::current_path(start);
    CTrack t;
    t.add(fixAt(0, 48.1173, 11.5167), 2);
    // A tracker that names itself so: the key of its vehicle.
    t.dump("//../escaped@unit7.dbtrack");
    fs::current_path(cwd);
    g_startDir = saved;
    EXPECT_FALSE(fs::exists(dir.path / "escaped@unit7.dbtrack"));
    EXPECT_TRUE(fs::exists(start / ".....escaped@unit7.dbtrack"));
}

TEST(TrackDump, WithoutANameLinesGoToTheTraceLog) {
    CTrack t;
    t.add(fixAt(0, 48.1173, 11.5167), 2);
    GpsFix zero = fixAt(1, 49, 11);
    zero.time = 0;
    CTrack u;
    u.add(zero, 2);
    TraceCapture cap;
    t.dump(nullptr);
    u.dump(nullptr);
    const std::vector<std::string> lines = cap.lines();
    ASSERT_EQ(lines.size(), 2u) << cap.all();
    EXPECT_NE(lines[0].find("CTrack::dump("), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(") 0:"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[0].find("head:"), std::string::npos);
    EXPECT_NE(lines[1].find(" 0:0() 49.00000"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[0].substr(lines[0].size() - 2), "\r\n");
}

TEST(TrackDump, NothingWithoutARing) {
    tt::ScratchDir dir;
    CTrack t;
    t.dump(dir.file("x.txt").c_str());
    EXPECT_TRUE(dir.entries().empty());
}
