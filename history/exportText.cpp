#include "history/exportText.h"

#include "track/outsideText.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

void appendFixed(std::string& out, double value, int decimals) {
    if (!std::isfinite(value))
        value = 0;
    if (value == 0)
        value = 0; // no "-0.0"
    char text[64];
    auto [end, ec] =
        std::to_chars(text, text + sizeof(text), value, std::chars_format::fixed, decimals);
    if (ec != std::errc()) {
        out += '0';
        return;
    }
    out.append(text, end);
}

bool nameEndsWith(std::string_view name, std::string_view ending) {
    if (name.size() < ending.size())
        return false;
    for (size_t i = 0; i < ending.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(name[name.size() - ending.size() + i])) !=
            ending[i])
            return false;
    return true;
}
