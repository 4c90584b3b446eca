// The bounded JSON reader: documents it reads and what it gives back, and the
// hostile ones it refuses with the place and the reason, within its limits.
#include "platform/json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

JsonValue read(const std::string& text, const JsonLimits& limits = JsonLimits()) {
    JsonValue v;
    JsonError e;
    EXPECT_TRUE(parseJson(text, v, e, limits)) << text << ": " << e.reason << " at " << e.offset;
    return v;
}

} // namespace

TEST(Json, ReadsWhatGpsdAndPhonesSend) {
    const JsonValue tpv =
        read(R"({"class":"TPV","device":"/dev/ttyACM0","mode":3,"time":"2024-06-12T14:31:09.000Z",)"
             R"("lat":47.377065,"lon":-8.5423,"altMSL":-12.5e0,"speed":1E1,"used":true,)"
             R"("fix":false,"none":null,"sats":[{"PRN":4,"used":true},{"PRN":5}]})");
    ASSERT_TRUE(tpv.isObject());
    std::string text;
    double number = 0;
    bool flag = false;
    EXPECT_TRUE(tpv.textMember("class", text));
    EXPECT_EQ(text, "TPV");
    EXPECT_TRUE(tpv.numberMember("lat", number));
    EXPECT_DOUBLE_EQ(number, 47.377065);
    EXPECT_TRUE(tpv.numberMember("lon", number));
    EXPECT_DOUBLE_EQ(number, -8.5423);
    EXPECT_TRUE(tpv.numberMember("altMSL", number));
    EXPECT_DOUBLE_EQ(number, -12.5);
    EXPECT_TRUE(tpv.numberMember("speed", number));
    EXPECT_DOUBLE_EQ(number, 10);
    EXPECT_TRUE(tpv.booleanMember("used", flag));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(tpv.booleanMember("fix", flag));
    EXPECT_FALSE(flag);
    ASSERT_NE(tpv.member("none"), nullptr);
    EXPECT_EQ(tpv.member("none")->kind(), JsonValue::Kind::null);
    // A member of another kind, or none, is not taken.
    EXPECT_FALSE(tpv.numberMember("class", number));
    EXPECT_FALSE(tpv.textMember("mode", text));
    EXPECT_FALSE(tpv.numberMember("absent", number));
    const JsonValue* sats = tpv.member("sats");
    ASSERT_NE(sats, nullptr);
    ASSERT_TRUE(sats->isArray());
    ASSERT_EQ(sats->items().size(), 2u);
    EXPECT_TRUE(sats->items()[0].booleanMember("used", flag));
    EXPECT_FALSE(sats->items()[1].booleanMember("used", flag));
    EXPECT_EQ(tpv.members().size(), 12u);
}

TEST(Json, StringEscapesAndCharacters) {
    struct Case {
        const char* json;
        std::string text;
    } cases[] = {
        {R"("plain")", "plain"},
        {R"("q\"b\\s\/")", "q\"b\\s/"},
        {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
        {R"("\u00e9\u20AC")", "\xC3\xA9\xE2\x82\xAC"},
        {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"}, // a pair of escapes: U+1F600
        {"\"Z\xC3\xBCrich \xE2\x82\xAC\"", "Z\xC3\xBCrich \xE2\x82\xAC"},
        {"\"\xF4\x8F\xBF\xBF\"", "\xF4\x8F\xBF\xBF"}, // U+10FFFF, the last character
        {R"("")", ""},
    };
    for (const Case& c : cases) {
        const JsonValue v = read(c.json);
        EXPECT_EQ(v.kind(), JsonValue::Kind::string) << c.json;
        EXPECT_EQ(v.text(), c.text) << c.json;
    }
}

TEST(Json, NumbersFollowTheGrammarAndFitADouble) {
    struct Case {
        const char* json;
        bool ok;
        double value;
    } cases[] = {
        {"0", true, 0},       {"-0", true, 0},
        {"12", true, 12},     {"-3.25", true, -3.25},
        {"1e3", true, 1000},  {"1E+3", true, 1000},
        {"25e-1", true, 2.5}, {"1.7976931348623157e308", true, 1.7976931348623157e308},
        {"01", false, 0},     // no leading zeros
        {"+1", false, 0},     // no plus sign
        {".5", false, 0},     // a digit before the point
        {"5.", false, 0},     // and after it
        {"1e", false, 0},     // an exponent needs digits
        {"1e400", false, 0},  // beyond a double
        {"-1e400", false, 0}, // beyond a double
        {"NaN", false, 0},    {"Infinity", false, 0},
        {"-", false, 0},      {"0x10", false, 0},
    };
    for (const Case& c : cases) {
        JsonValue v;
        JsonError e;
        EXPECT_EQ(parseJson(c.json, v, e), c.ok) << c.json;
        if (c.ok) {
            EXPECT_EQ(v.kind(), JsonValue::Kind::number) << c.json;
            EXPECT_DOUBLE_EQ(v.number(), c.value) << c.json;
        } else {
            EXPECT_FALSE(e.reason.empty()) << c.json;
        }
    }
}

TEST(Json, RefusesBrokenAndHostileDocumentsSayingWhereAndWhy) {
    struct Case {
        const char* what;
        std::string json;
        size_t offset;
        const char* reason;
    } cases[] = {
        {"empty", "", 0, "the document ends early"},
        {"blanks only", "  \r\n", 4, "the document ends early"},
        {"two documents", "{} {}", 3, "text after the document"},
        {"garbage after", "[1]x", 3, "text after the document"},
        {"unclosed object", R"({"a":1)", 6, "the document ends early"},
        {"unclosed array", "[1,2", 4, "the document ends early"},
        {"trailing comma", "[1,]", 3, "unexpected character"},
        {"missing colon", R"({"a" 1})", 5, "':' expected"},
        {"name not a string", "{a:1}", 1, "a member name expected"},
        {"single quotes", "{'a':1}", 1, "a member name expected"},
        {"a name twice", R"({"lat":1,"lon":2,"lat":3})", 24, "a member name given twice"},
        {"unterminated string", R"(["abc)", 5, "a string without its closing quote"},
        {"raw line feed in a string", "[\"a\nb\"]", 3, "a control character in a string"},
        {"bad escape", R"(["\x41"])", 3, "bad escape"},
        {"short unicode escape", R"(["\u12"])", 4, "bad \\u escape"},
        {"lone high surrogate", R"(["\ud800x"])", 8, "a lone surrogate in a \\u escape"},
        {"lone low surrogate", R"(["\udc00"])", 8, "a lone surrogate in a \\u escape"},
        {"escaped NUL", R"(["a\u0000b"])", 9, "a NUL character in a string"},
        {"overlong UTF-8", "[\"\xC0\xAF\"]", 2, "invalid UTF-8 in a string"},
        {"UTF-8 surrogate", "[\"\xED\xA0\x80\"]", 2, "invalid UTF-8 in a string"},
        {"beyond U+10FFFF", "[\"\xF4\x90\x80\x80\"]", 2, "invalid UTF-8 in a string"},
        {"cut UTF-8", "[\"\xE2\x82\"]", 2, "invalid UTF-8 in a string"},
        {"misspelt literal", "[tru]", 1, "unexpected character"},
        {"comment", "{} // x", 3, "text after the document"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        JsonValue v = read("\"kept\"");
        JsonError e;
        EXPECT_FALSE(parseJson(c.json, v, e));
        EXPECT_EQ(e.reason, c.reason);
        EXPECT_EQ(e.offset, c.offset);
        // A refused document leaves the value as it was.
        EXPECT_EQ(v.text(), "kept");
    }
}

TEST(Json, LimitsOnSizeDepthAndValuesHold) {
    JsonLimits small;
    small.maxBytes = 64;
    small.maxDepth = 3;
    small.maxValues = 6;
    struct Case {
        std::string json;
        bool ok;
        const char* reason;
    } cases[] = {
        {std::string(64, ' '), false, "the document ends early"},
        {std::string(65, ' '), false, "larger than 64 bytes"},
        {"[[[1]]]", true, ""},
        {"[[[[1]]]]", false, "nested too deeply"},
        {R"({"a":{"b":{"c":1}}})", true, ""},
        {R"({"a":{"b":{"c":{}}}})", false, "nested too deeply"},
        {"[1,2,3,4,5]", true, ""}, // the array and five numbers
        {"[1,2,3,4,5,6]", false, "too many values"},
        {R"({"a":1,"b":2,"c":[]})", true, ""},
    };
    for (const Case& c : cases) {
        JsonValue v;
        JsonError e;
        EXPECT_EQ(parseJson(c.json, v, e, small), c.ok) << c.json;
        EXPECT_EQ(e.reason, c.reason) << c.json;
    }
    // The default depth stops a deep document long before the stack would.
    std::string deep(100000, '[');
    JsonValue v;
    JsonError e;
    EXPECT_FALSE(parseJson(deep, v, e, JsonLimits{1 << 20, 16, 1 << 20}));
    EXPECT_EQ(e.reason, "nested too deeply");
    EXPECT_EQ(e.offset, 16u);
}
