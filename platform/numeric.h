// Number conversions that must not fail on the values a receiver, Google Earth
// or a settings file can hand over.
#pragma once

#include <cmath>
#include <cstdint>

// A double truncated toward zero into an int32, saturating at the int32 range
// instead of overflowing (a plain conversion of such a value is undefined);
// NaN gives 0.
inline int32_t truncInt32(double v) {
    if (std::isnan(v))
        return 0;
    if (v >= 2147483647.0)
        return INT32_MAX;
    if (v <= -2147483648.0)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

// The value of a hexadecimal digit in either case, -1 for anything else.
// No locale lookup: this runs on every checksum and escaped byte.
inline int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
