// Calendar arithmetic and the ISO 8601 reader that phones, gpsd and the
// history file share.
#include "track/civilTime.h"

#include "track_test_util.h"

#include <gtest/gtest.h>

#include <string>

// Every day from 1600 to 2500 goes to its count and back, and agrees with the
// C library's timegm; month lengths follow the leap-year rule of 100 and 400.
TEST(CivilTime, DayCountsRoundTripAndAgreeWithTimegm) {
    int64_t expected = daysFromCivil(1600, 1, 1);
    for (int64_t year = 1600; year <= 2500; ++year)
        for (unsigned month = 1; month <= 12; ++month)
            for (unsigned day = 1; day <= daysInMonth(year, month); ++day, ++expected) {
                const int64_t days = daysFromCivil(year, month, day);
                ASSERT_EQ(days, expected) << year << '-' << month << '-' << day;
                int64_t y;
                unsigned m, d;
                civilFromDays(days, y, m, d);
                ASSERT_TRUE(y == year && m == month && d == day) << days;
            }
    EXPECT_EQ(daysFromCivil(1970, 1, 1), 0);
    EXPECT_EQ(daysFromCivil(2024, 6, 12) * 86400, tt::utcEpoch(2024, 6, 12, 0, 0, 0));
    EXPECT_EQ(daysFromCivil(1969, 12, 31), -1);
    EXPECT_EQ(daysInMonth(1900, 2), 28u);
    EXPECT_EQ(daysInMonth(2000, 2), 29u);
    EXPECT_EQ(daysInMonth(2024, 2), 29u);
    EXPECT_EQ(daysInMonth(2025, 2), 28u);
}

TEST(CivilTime, IsoDateTimeForms) {
    struct Case {
        const char* text;
        bool ok;
        int64_t utc;
        bool hasTime, hasSeconds;
        char zone;
    };
    const int64_t noon = tt::utcEpoch(2024, 6, 12, 12, 30, 15);
    const Case cases[] = {
        {"2024-06-12T12:30:15Z", true, noon, true, true, 'Z'},
        {"2024-06-12t12:30:15z", true, noon, true, true, 'Z'},
        {"2024-06-12 12:30:15", true, noon, true, true, 0},
        {"2024-06-12T12:30:15.123456789Z", true, noon, true, true, 'Z'},
        {"2024-06-12T12:30:15,5Z", true, noon, true, true, 'Z'},
        {"2024-06-12T14:30:15+02:00", true, noon, true, true, '+'},
        {"2024-06-12T14:30:15+0200", true, noon, true, true, '+'},
        {"2024-06-12T10:00:15-0230", true, noon, true, true, '+'},
        {"2024-06-12T13:30:15+01", true, noon, true, true, '+'},
        {"2024-06-12T12:30Z", true, noon - 15, true, false, 'Z'},
        {"2024-06-12", true, tt::utcEpoch(2024, 6, 12, 0, 0, 0), false, false, 0},
        {"2016-12-31T23:59:60Z", true, tt::utcEpoch(2017, 1, 1, 0, 0, 0), true, true, 'Z'},
        {"2024-02-29T00:00:00Z", true, tt::utcEpoch(2024, 2, 29, 0, 0, 0), true, true, 'Z'},
        // Refused: a day the calendar does not have, fields out of range,
        // broken separators, a fraction without digits, anything after the end.
        {"2025-02-29T00:00:00Z", false, 0, false, false, 0},
        {"2024-04-31", false, 0, false, false, 0},
        {"2024-13-01", false, 0, false, false, 0},
        {"2024-00-10", false, 0, false, false, 0},
        {"2024-06-12T24:00:00Z", false, 0, false, false, 0},
        {"2024-06-12T12:60:00Z", false, 0, false, false, 0},
        {"2024-06-12T12:30:61Z", false, 0, false, false, 0},
        {"2024-06-12T12:30:15.Z", false, 0, false, false, 0},
        {"2024-06-12T12:30:15+24:00", false, 0, false, false, 0},
        {"2024-06-12T12:30:15+02:", false, 0, false, false, 0},
        {"2024-06-12T12:30:15+02:7", false, 0, false, false, 0},
        {"2024-06-12T12:30:15Zx", false, 0, false, false, 0},
        {"2024-06-12T12", false, 0, false, false, 0},
        {"2024-6-12", false, 0, false, false, 0},
        {"20240612", false, 0, false, false, 0},
        {"", false, 0, false, false, 0},
        {"2024-06-1", false, 0, false, false, 0},
    };
    for (const Case& c : cases) {
        const auto read = readIsoDateTime(c.text);
        ASSERT_EQ(read.has_value(), c.ok) << c.text;
        if (!c.ok)
            continue;
        EXPECT_EQ(read->utc, c.utc) << c.text;
        EXPECT_EQ(read->hasTime, c.hasTime) << c.text;
        EXPECT_EQ(read->hasSeconds, c.hasSeconds) << c.text;
        EXPECT_EQ(read->zone, c.zone) << c.text;
    }
    // A cut text is refused at every length short of the full form.
    const std::string full = "2024-06-12T12:30:15+02:00";
    for (size_t n = 0; n < full.size(); ++n) {
        const auto read = readIsoDateTime(full.substr(0, n));
        const bool complete = n == 10 || n == 16 || n == 19 || n == 22;
        EXPECT_EQ(read.has_value(), complete) << full.substr(0, n);
    }
}
