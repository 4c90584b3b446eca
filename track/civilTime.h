// Dates of the proleptic Gregorian calendar as day counts from 1970-01-01,
// and the ISO 8601 date-time texts that phones, gpsd and stored files carry.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Days from 1970-01-01 to a date. Linear in the day, so a day past the
// month's end rolls over as timegm rolls it.
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day);

// The date `days` after 1970-01-01 (negative: before it).
void civilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day);

// 28 to 31; `month` is 1 to 12.
unsigned daysInMonth(int64_t year, unsigned month);

// "YYYY-MM-DD", then optionally a time "THH:MM[:SS[.fraction]]" ('T', 't'
// or a space before it; '.' or ',' before the fraction, which is dropped),
// then optionally "Z"/"z" or an offset "+HH[[:]MM]"/"-HH[[:]MM]". Every field
// is checked against the calendar; a second of 60 (a leap second) is read as
// the next minute's first. Nothing may follow.
struct IsoDateTime {
    int64_t utc = 0; // seconds since 1970-01-01T00:00:00Z, the offset applied
    int year = 0;
    bool hasTime = false;    // hours and minutes are given
    bool hasSeconds = false; // and seconds
    bool leapSecond = false; // the seconds read 60
    char zone = 0;           // 0: none given, 'Z': Z, '+': a numeric offset
};
std::optional<IsoDateTime> readIsoDateTime(std::string_view text);
