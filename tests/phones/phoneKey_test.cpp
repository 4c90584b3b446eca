// Device keys and the phone setup: hashes, comparisons, identifiers, QR codes.
#include "phones/phoneKey.h"
#include "phones/phoneSetup.h"
#include "platform/secrets.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(PhoneKeys, AStoredHashMatchesItsSecretOnly) {
    const std::string stored = hashPhoneKey("correct horse", 1000);
    ASSERT_EQ(stored.rfind("pbkdf2-sha256$1000$", 0), 0u) << stored;
    EXPECT_EQ(stored.find("correct horse"), std::string::npos);
    EXPECT_NE(hashPhoneKey("correct horse", 1000), stored) << "a fresh salt each time";
    struct Case {
        const char* what;
        std::string stored;
        std::string secret;
        bool match;
    };
    std::string flipped = stored;
    flipped.back() = flipped.back() == '0' ? '1' : '0';
    const Case cases[] = {
        {"its secret", stored, "correct horse", true},
        {"another secret", stored, "correct horsE", false},
        {"a prefix of it", stored, "correct hors", false},
        {"empty", stored, "", false},
        {"a changed hash", flipped, "correct horse", false},
        {"no hash at all", "", "correct horse", false},
        {"another scheme", "md5$1$00$00", "correct horse", false},
        {"iterations beyond the cap", "pbkdf2-sha256$99999999$00$" + std::string(64, '0'), "x",
         false},
        {"a hash of the wrong size", "pbkdf2-sha256$1$0011$0011", "x", false},
        {"not hex", "pbkdf2-sha256$1$zz$" + std::string(64, '0'), "x", false},
        {"too many parts", stored + "$00", "correct horse", false},
        {"a secret beyond the limit", hashPhoneKey(std::string(200, 'a'), 1), std::string(200, 'a'),
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(phoneKeyMatches(c.stored, c.secret), c.match);
    }
}

// Hashes as the vehicle list already holds them, written before the
// program derived keys itself: they keep verifying, and only with their key.
TEST(PhoneKeys, KeysStoredEarlierStillVerify) {
    struct Case {
        const char* stored;
        const char* secret;
    };
    const Case cases[] = {
        {"pbkdf2-sha256$20000$86cabe7ddfddec65714f80933dc12d17$"
         "f3ad13ba359de1ae42414185d901543f7acc60bce5258419cd4e88cfb967eab3",
         "correct horse battery staple"},
        {"pbkdf2-sha256$1$125467725d4cd086a2bff61ee2b64604$"
         "d5e2e3afce12211960bc3635454db018495a8b3d96faf1a8ceea4c0850ac2780",
         "abcdefghijklmnopqrstuvwx"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.secret);
        EXPECT_TRUE(phoneKeyMatches(c.stored, c.secret));
        std::string other = c.secret;
        other.back() ^= 1;
        EXPECT_FALSE(phoneKeyMatches(c.stored, other));
    }
}

TEST(PhoneKeys, NewKeysAreRandomAndPlain) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        const std::string k = newPhoneKey();
        ASSERT_EQ(k.size(), kPhoneKeyChars);
        EXPECT_EQ(k.find_first_not_of("abcdefghijklmnopqrstuvwxyz234567"), std::string::npos) << k;
        seen.insert(k);
    }
    EXPECT_EQ(seen.size(), 50u);
    EXPECT_TRUE(equalInConstantTime("abc", "abc"));
    EXPECT_FALSE(equalInConstantTime("abc", "abd"));
    EXPECT_FALSE(equalInConstantTime("abc", "abcd"));
}

TEST(PhoneSetup, IdentifiersUrlsAndKinds) {
    struct Case {
        const char* name;
        const char* id;
    };
    const Case ids[] = {
        {"Ann", "Ann"}, {"Ann's phone", "Ann-s-phone"}, {"a/b\\c", "a-b-c"}, {"...", ""},
        {"", ""},       {"\xc3\xa9t\xc3\xa9", "--t--"},
    };
    for (const Case& c : ids) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(phoneIdFromName(c.name), c.id);
        if (*c.id) {
            EXPECT_TRUE(validPhoneId(phoneIdFromName(c.name)));
        }
    }
    EXPECT_EQ(phoneIdFromName(std::string(100, 'x')).size(), kPhoneIdMax);

    EXPECT_EQ(phoneServerUrl("192.0.2.1", 5055, "kk"), "http://192.0.2.1:5055/kk");
    EXPECT_EQ(phoneSetupUrl(PhoneKind::osmand, "h", 1, "kk", "ann"),
              "http://h:1/kk?id=ann&lat={0}&lon={1}&timestamp={2}&hdop={3}&altitude={4}&speed={5}");
    EXPECT_EQ(phoneSetupUrl(PhoneKind::owntracks, "h", 1, "kk", "ann"), "http://h:1/kk");
    EXPECT_EQ(phoneKindSpeedUnit(PhoneKind::osmand), speedMetresPerSecond);
    EXPECT_EQ(phoneKindSpeedUnit(PhoneKind::traccar), speedKnots);
    for (PhoneKind k : {PhoneKind::traccar, PhoneKind::osmand, PhoneKind::owntracks}) {
        PhoneKind back{};
        ASSERT_TRUE(phoneKindFromName(phoneKindName(k), back));
        EXPECT_EQ(back, k);
    }
    PhoneKind none{};
    EXPECT_FALSE(phoneKindFromName("gpslogger", none));
}

TEST(PhoneSetup, TheQrCodeIsSquareWithItsFinderPatterns) {
    const auto m = qrModules("http://192.0.2.1:5055/abcdefghijklmnopqrstuvwx");
    ASSERT_GE(m.size(), 21u);
    const size_t w = m.size();
    for (const auto& row : m)
        ASSERT_EQ(row.size(), w);
    // The three finder patterns: a dark 7x7 ring around a light ring around a 3x3 core.
    for (auto [x0, y0] : {std::pair<size_t, size_t>{0, 0}, {w - 7, 0}, {0, w - 7}}) {
        for (size_t i = 0; i < 7; ++i) {
            EXPECT_TRUE(m[y0][x0 + i] && m[y0 + 6][x0 + i] && m[y0 + i][x0] && m[y0 + i][x0 + 6]);
        }
        EXPECT_FALSE(m[y0 + 1][x0 + 1]);
        EXPECT_TRUE(m[y0 + 3][x0 + 3]);
    }
    const std::string text = qrTerminalText(m);
    size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    EXPECT_EQ(lines, (w + 4 + 1) / 2) << "two rows a line, with the quiet zone";
    EXPECT_TRUE(qrModules(std::string(5000, 'x')).empty()) << "too long for any QR code";
}

} // namespace
