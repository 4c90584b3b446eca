// libFuzzer target: any bytes as a JSON document (a line from gpsd, a phone's
// post), through the bounded reader and gpsd's report readers. Checks what
// must hold for every input: a document read stays within the limits, its
// strings are UTF-8 without NUL and its numbers finite, it reads back the same
// once written out again; a fix gpsd's readers take is a position, and its
// sentences parse back to it.
#include "fuzzCheck.h"
#include "platform/json.h"
#include "platform/runtime.h"
#include "sources/gpsdReports.h"
#include "track/outsideText.h"

#include <charconv>
#include <cstdint>
#include <string>

namespace {

constexpr JsonLimits kLimits{4096, 6, 256};

// The document as JSON again: one form per value, so two reads can be compared.
void write(const JsonValue& v, std::string& out);

void writeString(const std::string& s, std::string& out) {
    out += '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            static const char kHex[] = "0123456789abcdef";
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

void write(const JsonValue& v, std::string& out) {
    switch (v.kind()) {
    case JsonValue::Kind::null:
        out += "null";
        break;
    case JsonValue::Kind::boolean:
        out += v.boolean() ? "true" : "false";
        break;
    case JsonValue::Kind::number: {
        char buf[64];
        const auto r = std::to_chars(buf, buf + sizeof buf, v.number());
        out.append(buf, r.ptr);
        break;
    }
    case JsonValue::Kind::string:
        writeString(v.text(), out);
        break;
    case JsonValue::Kind::array:
        out += '[';
        for (size_t i = 0; i < v.items().size(); ++i) {
            if (i)
                out += ',';
            write(v.items()[i], out);
        }
        out += ']';
        break;
    case JsonValue::Kind::object:
        out += '{';
        for (size_t i = 0; i < v.members().size(); ++i) {
            if (i)
                out += ',';
            writeString(v.members()[i].name, out);
            out += ':';
            write(v.members()[i].value, out);
        }
        out += '}';
        break;
    }
}

// UTF-8 throughout, and no NUL.
bool validText(const std::string& s) {
    char32_t cp;
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8SequenceAt(std::string_view(s).substr(i), cp);
        if (n == 0 || cp == 0)
            return false;
        i += n;
    }
    return true;
}

// Counts the values of a document read and checks the nesting (`outer`
// containers around `v`), its strings and its numbers.
void walk(const JsonValue& v, unsigned outer, size_t& values) {
    ++values;
    switch (v.kind()) {
    case JsonValue::Kind::number:
        check(std::isfinite(v.number()));
        break;
    case JsonValue::Kind::string:
        check(validText(v.text()));
        break;
    case JsonValue::Kind::array:
        check(outer + 1 <= kLimits.maxDepth);
        for (const JsonValue& item : v.items())
            walk(item, outer + 1, values);
        break;
    case JsonValue::Kind::object:
        check(outer + 1 <= kLimits.maxDepth);
        for (const JsonMember& m : v.members()) {
            check(validText(m.name));
            walk(m.value, outer + 1, values);
        }
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    JsonValue doc;
    JsonError error;
    if (!parseJson(text, doc, error, kLimits)) {
        check(!error.reason.empty());
        check(error.offset <= size || size > kLimits.maxBytes);
        return 0;
    }
    size_t values = 0;
    walk(doc, 0, values);
    check(values <= kLimits.maxValues);

    std::string once;
    write(doc, once);
    JsonValue again;
    JsonLimits roomy = kLimits;
    roomy.maxBytes = 1 << 20; // escapes written out may make it longer
    check(parseJson(once, again, error, roomy));
    std::string twice;
    write(again, twice);
    check(once == twice);

    // As a gpsd report.
    GpsdFix state;
    int mode = -1;
    std::string why;
    if (readTpv(doc, state, mode, why) == TpvOutcome::fix) {
        checkPosition(state.fix.lat, state.fix.lon);
        check(mode == 2 || mode == 3);
        GpsFix back;
        int last = 0;
        for (const std::string& sentence : fixSentences(state))
            last = parseNmea(sentence, back);
        // The RMC makes the point, unless the fix lies beyond the parser's
        // seven days into the future, or so near 0,0 that its sentence says
        // 0,0, which no receiver means.
        const bool nearZero = std::fabs(state.fix.lat) < 1e-5 && std::fabs(state.fix.lon) < 1e-5;
        check(last == 2 || state.fix.time > nowFixTime() || nearZero);
    }
    GpsdStatus status;
    if (readSky(doc, status))
        check(status.used >= -1 && status.seen >= -1 && (status.used >= 0 || status.seen >= 0));
    return 0;
}
