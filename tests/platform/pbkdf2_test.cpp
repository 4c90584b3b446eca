// HMAC-SHA256 against the published examples of RFC 4231 (a short key, a
// key shorter than its data, a key longer than a block), and
// PBKDF2-HMAC-SHA256 against RFC 7914's two examples, with outputs cut
// short, longer than one digest, and the refusal of a count below one.
#include "platform/pbkdf2.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string hex(std::span<const uint8_t> bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

TEST(HmacSha256, PublishedExamples) {
    struct Case {
        std::string key;
        std::string data;
        const char* mac;
    };
    const Case cases[] = {
        {std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data);
        EXPECT_EQ(hex(hmacSha256(c.key, c.data)), c.mac);
    }
}

TEST(Pbkdf2HmacSha256, PublishedExamplesAndLengths) {
    const std::string first = "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
                              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783";
    const std::string second = "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
                               "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d";
    struct Case {
        const char* secret;
        const char* salt;
        int iterations;
        size_t length;
        std::string derived;
    };
    const Case cases[] = {
        {"passwd", "salt", 1, 64, first},
        {"Password", "NaCl", 80000, 64, second},
        // A shorter output is the start of the longer one; one beyond a
        // digest takes the first byte of the second block.
        {"passwd", "salt", 1, 20, first.substr(0, 40)},
        {"passwd", "salt", 1, 32, first.substr(0, 64)},
        {"passwd", "salt", 1, 33, first.substr(0, 66)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.secret) + " " + std::to_string(c.length));
        std::vector<uint8_t> out(c.length);
        ASSERT_TRUE(pbkdf2HmacSha256(c.secret, c.salt, c.iterations, out));
        EXPECT_EQ(hex(out), c.derived);
    }
    std::vector<uint8_t> untouched(8, 0x5a);
    EXPECT_FALSE(pbkdf2HmacSha256("passwd", "salt", 0, untouched));
    EXPECT_EQ(untouched, std::vector<uint8_t>(8, 0x5a));
}

} // namespace
