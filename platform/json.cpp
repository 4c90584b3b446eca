#include "platform/json.h"

#include "platform/numeric.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The length of the well-formed UTF-8 sequence at `p` (its first byte at or
// above 0x80), or 0: no overlong forms, no surrogates, nothing past U+10FFFF.
size_t utf8Sequence(const unsigned char* p, const unsigned char* end) {
    auto cont = [&](size_t i, unsigned char lo, unsigned char hi) {
        return p + i < end && p[i] >= lo && p[i] <= hi;
    };
    const unsigned char c = p[0];
    if (c >= 0xC2 && c <= 0xDF)
        return cont(1, 0x80, 0xBF) ? 2 : 0;
    if (c == 0xE0)
        return cont(1, 0xA0, 0xBF) && cont(2, 0x80, 0xBF) ? 3 : 0;
    if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF)
        return cont(1, 0x80, 0xBF) && cont(2, 0x80, 0xBF) ? 3 : 0;
    if (c == 0xED) // U+D800..U+DFFF are no characters
        return cont(1, 0x80, 0x9F) && cont(2, 0x80, 0xBF) ? 3 : 0;
    if (c == 0xF0)
        return cont(1, 0x90, 0xBF) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF) ? 4 : 0;
    if (c >= 0xF1 && c <= 0xF3)
        return cont(1, 0x80, 0xBF) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF) ? 4 : 0;
    if (c == 0xF4)
        return cont(1, 0x80, 0x8F) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF) ? 4 : 0;
    return 0;
}

} // namespace

// One pass over the text, recursive descent. The recursion is bounded by
// maxDepth, so a document of ten thousand '[' cannot exhaust the stack.
class JsonReader {
public:
    JsonReader(std::string_view text, const JsonLimits& limits)
        : m_p(text.data()), m_begin(text.data()), m_end(text.data() + text.size()),
          m_limits(limits) {}

    bool document(JsonValue& out) {
        skipBlanks();
        if (!value(out, 0))
            return false;
        skipBlanks();
        if (m_p != m_end)
            return fail("text after the document");
        return true;
    }

    JsonError error() const { return m_error; }

private:
    bool fail(const char* reason) {
        if (m_error.reason.empty()) {
            m_error.offset = static_cast<size_t>(m_p - m_begin);
            m_error.reason = reason;
        }
        return false;
    }

    void skipBlanks() {
        while (m_p < m_end && isBlank(*m_p))
            ++m_p;
    }

    bool literal(std::string_view word) {
        if (static_cast<size_t>(m_end - m_p) < word.size() ||
            std::string_view(m_p, word.size()) != word)
            return fail("unexpected character");
        m_p += word.size();
        return true;
    }

    bool value(JsonValue& out, unsigned depth) {
        if (++m_values > m_limits.maxValues)
            return fail("too many values");
        if (m_p == m_end)
            return fail("the document ends early");
        switch (*m_p) {
        case '{':
            return object(out, depth + 1);
        case '[':
            return array(out, depth + 1);
        case '"':
            out.m_kind = JsonValue::Kind::string;
            return string(out.m_text);
        case 't':
            out.m_kind = JsonValue::Kind::boolean;
            out.m_bool = true;
            return literal("true");
        case 'f':
            out.m_kind = JsonValue::Kind::boolean;
            return literal("false");
        case 'n':
            return literal("null");
        default:
            out.m_kind = JsonValue::Kind::number;
            return number(out.m_number);
        }
    }

    bool enter(unsigned depth) {
        if (depth > m_limits.maxDepth)
            return fail("nested too deeply");
        ++m_p; // the opening bracket
        skipBlanks();
        return true;
    }

    bool array(JsonValue& out, unsigned depth) {
        out.m_kind = JsonValue::Kind::array;
        if (!enter(depth))
            return false;
        if (m_p < m_end && *m_p == ']') {
            ++m_p;
            return true;
        }
        for (;;) {
            out.m_items.emplace_back();
            if (!value(out.m_items.back(), depth))
                return false;
            skipBlanks();
            if (m_p == m_end)
                return fail("the document ends early");
            if (*m_p == ']') {
                ++m_p;
                return true;
            }
            if (*m_p != ',')
                return fail("',' or ']' expected");
            ++m_p;
            skipBlanks();
        }
    }

    bool object(JsonValue& out, unsigned depth) {
        out.m_kind = JsonValue::Kind::object;
        if (!enter(depth))
            return false;
        if (m_p < m_end && *m_p == '}') {
            ++m_p;
            return true;
        }
        for (;;) {
            if (m_p == m_end || *m_p != '"')
                return fail("a member name expected");
            out.m_members.emplace_back();
            JsonMember& m = out.m_members.back();
            if (!string(m.name))
                return false;
            skipBlanks();
            if (m_p == m_end || *m_p != ':')
                return fail("':' expected");
            ++m_p;
            skipBlanks();
            if (!value(m.value, depth))
                return false;
            skipBlanks();
            if (m_p == m_end)
                return fail("the document ends early");
            if (*m_p == '}') {
                if (!uniqueNames(out.m_members))
                    return false;
                ++m_p;
                return true;
            }
            if (*m_p != ',')
                return fail("',' or '}' expected");
            ++m_p;
            skipBlanks();
        }
    }

    bool uniqueNames(const std::vector<JsonMember>& members) {
        if (members.size() < 2)
            return true;
        std::vector<std::string_view> names;
        names.reserve(members.size());
        for (const JsonMember& m : members)
            names.push_back(m.name);
        std::sort(names.begin(), names.end());
        if (std::adjacent_find(names.begin(), names.end()) != names.end())
            return fail("a member name given twice");
        return true;
    }

    bool hex4(uint32_t& out) {
        if (m_end - m_p < 4)
            return fail("bad \\u escape");
        out = 0;
        for (int i = 0; i < 4; ++i) {
            const int d = hexDigit(m_p[i]);
            if (d < 0)
                return fail("bad \\u escape");
            out = out * 16 + static_cast<uint32_t>(d);
        }
        m_p += 4;
        return true;
    }

    bool escape(std::string& out) {
        ++m_p; // the backslash
        if (m_p == m_end)
            return fail("the document ends early");
        const char c = *m_p++;
        switch (c) {
        case '"':
        case '\\':
        case '/':
            out += c;
            return true;
        case 'b':
            out += '\b';
            return true;
        case 'f':
            out += '\f';
            return true;
        case 'n':
            out += '\n';
            return true;
        case 'r':
            out += '\r';
            return true;
        case 't':
            out += '\t';
            return true;
        case 'u':
            break;
        default:
            --m_p;
            return fail("bad escape");
        }
        uint32_t cp;
        if (!hex4(cp))
            return false;
        if (cp >= 0xDC00 && cp <= 0xDFFF)
            return fail("a lone surrogate in a \\u escape");
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            // A character beyond U+FFFF comes as a pair of escapes.
            uint32_t low;
            if (m_end - m_p < 2 || m_p[0] != '\\' || m_p[1] != 'u')
                return fail("a lone surrogate in a \\u escape");
            m_p += 2;
            if (!hex4(low))
                return false;
            if (low < 0xDC00 || low > 0xDFFF)
                return fail("a lone surrogate in a \\u escape");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        // Every reader of the text takes a NUL for its end: a name could
        // hide what follows it.
        if (cp == 0)
            return fail("a NUL character in a string");
        appendUtf8(out, cp);
        return true;
    }

    bool string(std::string& out) {
        ++m_p; // the opening quote
        for (;;) {
            const char* run = m_p;
            while (m_p < m_end && *m_p != '"' && *m_p != '\\' &&
                   static_cast<unsigned char>(*m_p) >= 0x20 &&
                   static_cast<unsigned char>(*m_p) < 0x80)
                ++m_p;
            out.append(run, static_cast<size_t>(m_p - run));
            if (m_p == m_end)
                return fail("a string without its closing quote");
            const auto c = static_cast<unsigned char>(*m_p);
            if (c == '"') {
                ++m_p;
                return true;
            }
            if (c == '\\') {
                if (!escape(out))
                    return false;
            } else if (c < 0x20) {
                return fail("a control character in a string");
            } else {
                const auto* p = reinterpret_cast<const unsigned char*>(m_p);
                const size_t n = utf8Sequence(p, reinterpret_cast<const unsigned char*>(m_end));
                if (n == 0)
                    return fail("invalid UTF-8 in a string");
                out.append(m_p, n);
                m_p += n;
            }
        }
    }

    // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    bool number(double& out) {
        const char* start = m_p;
        if (m_p < m_end && *m_p == '-')
            ++m_p;
        if (m_p == m_end || !isDigit(*m_p))
            return fail("unexpected character");
        if (*m_p == '0') {
            ++m_p;
        } else {
            while (m_p < m_end && isDigit(*m_p))
                ++m_p;
        }
        if (m_p < m_end && *m_p == '.') {
            ++m_p;
            if (m_p == m_end || !isDigit(*m_p))
                return fail("a digit expected after '.'");
            while (m_p < m_end && isDigit(*m_p))
                ++m_p;
        }
        if (m_p < m_end && (*m_p == 'e' || *m_p == 'E')) {
            ++m_p;
            if (m_p < m_end && (*m_p == '+' || *m_p == '-'))
                ++m_p;
            if (m_p == m_end || !isDigit(*m_p))
                return fail("a digit expected in the exponent");
            while (m_p < m_end && isDigit(*m_p))
                ++m_p;
        }
        double v = 0;
        const std::from_chars_result r = std::from_chars(start, m_p, v);
        if (r.ec != std::errc() || r.ptr != m_p || !std::isfinite(v)) {
            m_p = start;
            return fail("a number beyond the range of a double");
        }
        out = v;
        return true;
    }

    const char* m_p;
    const char* const m_begin;
    const char* const m_end;
    const JsonLimits& m_limits;
    size_t m_values = 0;
    JsonError m_error;
};

bool parseJson(std::string_view text, JsonValue& out, JsonError& error, const JsonLimits& limits) {
    if (text.size() > limits.maxBytes) {
        error.offset = limits.maxBytes;
        error.reason = "larger than " + std::to_string(limits.maxBytes) + " bytes";
        return false;
    }
    JsonReader reader(text, limits);
    JsonValue value;
    if (!reader.document(value)) {
        error = reader.error();
        return false;
    }
    out = std::move(value);
    return true;
}

const JsonValue* JsonValue::member(std::string_view name) const {
    for (const JsonMember& m : m_members)
        if (m.name == name)
            return &m.value;
    return nullptr;
}

bool JsonValue::numberMember(std::string_view name, double& out) const {
    const JsonValue* v = member(name);
    if (!v || v->m_kind != Kind::number)
        return false;
    out = v->m_number;
    return true;
}

bool JsonValue::textMember(std::string_view name, std::string& out) const {
    const JsonValue* v = member(name);
    if (!v || v->m_kind != Kind::string)
        return false;
    out = v->m_text;
    return true;
}

bool JsonValue::booleanMember(std::string_view name, bool& out) const {
    const JsonValue* v = member(name);
    if (!v || v->m_kind != Kind::boolean)
        return false;
    out = v->m_bool;
    return true;
}
