#include "history/exportText.h"

#include "track/outsideText.h"

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

void appendXmlText(std::string& out, std::string_view text) {
    for (char c : cleanText(text)) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += c;
        }
    }
}

void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (char c : cleanText(text)) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '<': // safe inside HTML too
            out += "\\u003c";
            break;
        case '>':
            out += "\\u003e";
            break;
        case '&':
            out += "\\u0026";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof(esc), "\\u%04x", static_cast<unsigned char>(c));
                out += esc;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}
