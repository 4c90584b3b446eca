#include "app/dialogFields.h"

#include <algorithm>

std::string trimBlanks(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::optional<int32_t> readWholeNumber(const std::string& text, int32_t low, int32_t high) {
    const std::string t = trimBlanks(text);
    size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+'))
        negative = t[i++] == '-';
    if (i == t.size())
        return std::nullopt;
    // Saturate while reading: anything past the limits only needs to be
    // known as "past them".
    constexpr int64_t kSaturated = int64_t{1} << 40;
    int64_t value = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9')
            return std::nullopt;
        value = std::min(kSaturated, value * 10 + (t[i] - '0'));
    }
    if (negative)
        value = -value;
    return static_cast<int32_t>(std::clamp<int64_t>(value, low, high));
}

std::string hostNameProblem(const std::string& host, const std::string& example) {
    if (host.empty())
        return std::string();
    const char* why = nullptr;
    if (host.find_first_of(" \t") != std::string::npos)
        why = "it has blanks inside";
    else if (host.find("://") != std::string::npos)
        why = "it starts with a scheme such as \"ftp://\"";
    else if (host.find_first_of("/\\") != std::string::npos)
        why = "it holds a path";
    else if (std::any_of(host.begin(), host.end(),
                         [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
        why = "it holds control characters";
    if (!why)
        return std::string();
    return "\"" + host + "\" is not a server name: " + why +
           ". Enter the host name alone, for example " + example + ".";
}
