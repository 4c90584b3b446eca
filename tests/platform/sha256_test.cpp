// SHA-256 against the published examples of its standard (FIPS 180-4: "abc",
// the empty text, the two-block texts, a million 'a'), the lengths around
// the padding's block boundary, and hashing in pieces; the kernel's random
// bytes as tokens; the comparison of secrets.
#include "platform/secrets.h"
#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

struct Vector {
    std::string input;
    const char* digest;
};

TEST(Sha256, PublishedVectorsAndPaddingBoundaries) {
    const Vector vectors[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        // 55 bytes leave room for the length in the block, 56 do not.
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(65, 'a'), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
        {std::string(119, 'a'), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
    };
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.input.size());
        EXPECT_EQ(sha256Hex(v.input), v.digest);
        // The same text in uneven pieces, and the object reused afterwards.
        Sha256 h;
        for (size_t at = 0, step = 1; at < v.input.size(); at += step, step = step * 3 % 97 + 1)
            h.add(std::string_view(v.input).substr(at, step));
        const Sha256Digest pieces = h.finish();
        EXPECT_EQ(pieces, sha256(v.input));
        h.add("abc");
        EXPECT_EQ(h.finish(), sha256("abc"));
    }
}

TEST(Secrets, RandomTokensAreBase64UrlOfTheirLengthAndDiffer) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        const std::string t = randomBase64Url(32);
        ASSERT_EQ(t.size(), 43u);
        for (char c : t)
            EXPECT_TRUE(isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') << t;
        seen.insert(t);
    }
    EXPECT_EQ(seen.size(), 50u);
    EXPECT_EQ(randomBase64Url(3).size(), 4u);
    EXPECT_EQ(randomBase64Url(1).size(), 2u);
}

TEST(Secrets, ConstantTimeComparisonTellsEqualFromDifferent) {
    const struct {
        std::string a, b;
        bool equal;
    } cases[] = {
        {"", "", true},
        {"abc", "abc", true},
        {"abc", "abd", false},
        {"abc", "ab", false},
        {"xbc", "abc", false},
        {std::string("a\0b", 3), "a", false},
        {std::string("a\0b", 3), std::string("a\0c", 3), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(equalInConstantTime(c.a, c.b), c.equal) << c.a << " / " << c.b;
}

} // namespace
