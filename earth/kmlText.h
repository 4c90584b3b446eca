// Number and text pieces of the KML documents. Numbers are written with
// std::to_chars, which prints exactly what printf("%.*f") prints in the "C"
// locale: the documents stay valid whatever LC_NUMERIC the desktop toolkit
// installs, and no format string is parsed per number.
#pragma once

#include "track/outsideText.h"

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

// printf("%.*f", precision, value) in the "C" locale.
inline void appendFixed(std::string& out, double value, int precision) {
    char buf[400]; // the longest double in fixed notation has 309 digits before the point
    if (precision > 40)
        precision = 40;
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, precision);
    if (res.ec == std::errc())
        out.append(buf, res.ptr);
}

// printf("%d") / printf("%lld").
inline void appendInt(std::string& out, long long value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}
