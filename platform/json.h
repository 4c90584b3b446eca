// Reading JSON documents that come from outside (gpsd's reports, phones'
// posts) into a small tree of values. Every input is hostile until read: the
// document's size, its nesting depth and its number of values are bounded
// before anything is kept, numbers are checked against the JSON grammar and
// must fit a double, strings must be valid UTF-8 without NUL characters, and
// an object may not name a member twice (two readers of the same document
// would otherwise see different values). Pure: no I/O, no logging, no
// locale; a refused document comes back with the offset and the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct JsonLimits {
    size_t maxBytes = 65536; // the whole document
    unsigned maxDepth = 16;  // arrays and objects inside each other
    size_t maxValues = 4096; // every value, members and items included
};

struct JsonError {
    size_t offset = 0;  // where in the document reading stopped
    std::string reason; // "nesting deeper than 16 levels", ...
};

struct JsonMember;

class JsonValue {
public:
    enum class Kind : uint8_t { null, boolean, number, string, array, object };

    Kind kind() const { return m_kind; }
    bool isObject() const { return m_kind == Kind::object; }
    bool isArray() const { return m_kind == Kind::array; }

    // The value of each kind; a value of another kind gives false, 0 or empty.
    bool boolean() const { return m_kind == Kind::boolean && m_bool; }
    double number() const { return m_kind == Kind::number ? m_number : 0; }
    const std::string& text() const { return m_text; }
    const std::vector<JsonValue>& items() const { return m_items; }
    const std::vector<JsonMember>& members() const { return m_members; }

    // The member called `name` of an object, or nullptr.
    const JsonValue* member(std::string_view name) const;
    // A member of that name and kind: true with `out` set, false otherwise.
    bool numberMember(std::string_view name, double& out) const;
    bool textMember(std::string_view name, std::string& out) const;
    bool booleanMember(std::string_view name, bool& out) const;

private:
    friend class JsonReader;

    Kind m_kind = Kind::null;
    bool m_bool = false;
    double m_number = 0;
    std::string m_text;
    std::vector<JsonValue> m_items;
    std::vector<JsonMember> m_members;
};

struct JsonMember {
    std::string name;
    JsonValue value;
};

// Reads one JSON document (RFC 8259; blanks around it allowed, nothing else
// after it) into `out`. False when the text is not JSON or breaks a limit;
// `error` then says where and why, and `out` is left as it was.
bool parseJson(std::string_view text, JsonValue& out, JsonError& error,
               const JsonLimits& limits = JsonLimits());
