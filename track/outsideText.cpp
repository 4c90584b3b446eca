#include "track/outsideText.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

size_t utf8SequenceAt(std::string_view text, char32_t& codePoint) {
    if (text.empty())
        return 0;
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    size_t length;
    char32_t value;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0; // a continuation byte, an overlong lead (C0, C1) or beyond U+10FFFF
    }
    if (text.size() < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(i) & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and values past the last plane.
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF)
        return 0;
    codePoint = value;
    return length;
}

void appendCleanText(std::string& out, std::string_view text, bool keepLineBreaks) {
    while (!text.empty()) {
        // A run of printable ASCII, most of any name, goes in whole.
        size_t plain = 0;
        while (plain < text.size() && static_cast<unsigned char>(text[plain]) - 0x20u < 0x5Fu)
            ++plain;
        if (plain > 0) {
            out.append(text.data(), plain);
            text.remove_prefix(plain);
            continue;
        }
        char32_t cp = 0;
        size_t n = utf8SequenceAt(text, cp);
        bool lineBreak = cp == '\t' || cp == '\n' || cp == '\r';
        bool control = cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
        if (n == 0 || (control && !(lineBreak && keepLineBreaks)) || cp == 0xFFFE || cp == 0xFFFF) {
            out += kReplacedChar;
            text.remove_prefix(n == 0 ? 1 : n);
            continue;
        }
        out.append(text.substr(0, n));
        text.remove_prefix(n);
    }
}

std::string cleanText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    appendCleanText(out, text);
    return out;
}

std::string logText(std::string_view text, size_t max) {
    static const char kHex[] = "0123456789abcdef";
    const bool cut = text.size() > max;
    std::string_view rest = text.substr(0, max);
    std::string out;
    out.reserve(rest.size() + 3);
    while (!rest.empty()) {
        char32_t cp = 0;
        const size_t n = utf8SequenceAt(rest, cp);
        if (n == 0) {
            out += kReplacedChar;
            rest.remove_prefix(1);
            continue;
        }
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
            for (unsigned char byte : rest.substr(0, n)) {
                out += "\\x";
                out += kHex[byte >> 4];
                out += kHex[byte & 15];
            }
        } else {
            out.append(rest.substr(0, n));
        }
        rest.remove_prefix(n);
    }
    if (cut)
        out += "...";
    return out;
}

namespace {

bool safeAscii(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    return std::string_view(" @._-+,()").find(c) != std::string_view::npos;
}

// 32-bit FNV-1a: small, and stable from one version to the next, which file
// names need.
uint32_t keyHash(std::string_view key) {
    uint32_t h = 2166136261u;
    for (char c : key) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;
    }
    return h;
}

} // namespace

std::string cleanKey(std::string_view key) {
    std::string clean = cleanText(key);
    if (clean != key) {
        char hash[16];
        std::snprintf(hash, sizeof hash, "~%08x", keyHash(key));
        clean += hash;
    }
    return clean;
}

std::string safeFileStem(std::string_view key) {
    std::string stem;
    bool changed = false;
    std::string_view rest = key;
    while (!rest.empty()) {
        char32_t cp = 0;
        size_t n = utf8SequenceAt(rest, cp);
        if (n == 1 && safeAscii(rest[0])) {
            stem += rest[0];
        } else if (n > 1 && cp > 0x9F && cp != 0xFFFE && cp != 0xFFFF) {
            if (stem.size() + n > kSafeStemMax)
                break;
            stem.append(rest.substr(0, n));
        } else {
            stem += rest[0] == '/' ? '.' : '_';
            changed = true;
        }
        rest.remove_prefix(n == 0 ? 1 : n);
        if (stem.size() >= kSafeStemMax)
            break;
    }
    if (!rest.empty())
        changed = true; // cut
    if (stem.empty() || stem[0] == '.') {
        stem.insert(stem.begin(), '_');
        changed = true;
    }
    if (changed) {
        char hash[16];
        std::snprintf(hash, sizeof hash, "~%08x", keyHash(key));
        stem += hash;
    }
    return stem;
}

void appendJsonString(std::string& out, std::string_view raw) {
    static const char kHex[] = "0123456789abcdef";
    // Most names and labels are printable ASCII without a character to
    // escape: they go in as they are.
    if (std::all_of(raw.begin(), raw.end(), [](char c) {
            const unsigned char u = static_cast<unsigned char>(c);
            return u >= 0x20 && u < 0x7f && c != '"' && c != '\\' && c != '<' && c != '>' &&
                   c != '&';
        })) {
        out += '"';
        out.append(raw);
        out += '"';
        return;
    }
    // Names come from outside (trackers, peers, a registry file written by
    // an older version): bytes that are not UTF-8 become '?', as in the KML.
    std::string text;
    appendCleanText(text, raw, true);
    out += '"';
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7f || c == '<' || c == '>' || c == '&') {
            out += "\\u00";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
    out += '"';
}
