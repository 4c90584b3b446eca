// The shares file: what it keeps comes back whole, and every damaged or
// oversized file is refused whole with a reason, never half read. Tokens
// open only their own live share.
#include "net/shareStore.h"
#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

const std::string kHash(64, 'a');

std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "/" + std::to_string(getpid()) + "-" + name;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(ShareStore, FileRoundTripKeepsEveryField) {
    std::vector<ShareLink> links(3);
    links[0] = {"0123abcd", sha256Hex("one"), 1700000000, 0, {}};
    links[1] = {"ffffffff", sha256Hex("two"), 1, 1800000000, {false, {"Truck@h1", "Bus@h2"}}};
    // Keys with the file's separators, a percent sign and non-ASCII bytes.
    links[2] = {"00000000",
                sha256Hex("three"),
                42,
                43,
                {false, {"a b,c%d@x", "Zo\xc3\xab@h\xe2\x82\xac", "50%@25"}}};
    const std::string path = tempPath("roundtrip.txt");
    std::string why;
    ASSERT_TRUE(saveShareFile(path, links, why)) << why;
    std::vector<ShareLink> back;
    ASSERT_TRUE(loadShareFile(path, back, why)) << why;
    ASSERT_EQ(back.size(), links.size());
    for (size_t i = 0; i < links.size(); ++i) {
        EXPECT_EQ(back[i].id, links[i].id);
        EXPECT_EQ(back[i].tokenHash, links[i].tokenHash);
        EXPECT_EQ(back[i].created, links[i].created);
        EXPECT_EQ(back[i].until, links[i].until);
        EXPECT_EQ(back[i].grant.all, links[i].grant.all);
        EXPECT_EQ(back[i].grant.keys, links[i].grant.keys);
    }
    // One line per share, nothing on it but the fields.
    const std::string text = formatShareFile(links);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
    std::remove(path.c_str());
}

TEST(ShareStore, MissingFileIsNoSharesAndEmptyListSavesAndLoads) {
    std::vector<ShareLink> links{{"0123abcd", kHash, 1, 0, {}}};
    std::string why;
    EXPECT_TRUE(loadShareFile(tempPath("never-written.txt"), links, why));
    EXPECT_TRUE(links.empty());
    const std::string path = tempPath("empty.txt");
    ASSERT_TRUE(saveShareFile(path, {}, why));
    links.push_back({"0123abcd", kHash, 1, 0, {}});
    EXPECT_TRUE(loadShareFile(path, links, why)) << why;
    EXPECT_TRUE(links.empty());
    std::remove(path.c_str());
}

TEST(ShareStore, DamagedFilesAreRefusedWhole) {
    const std::string good = "0123abcd " + kHash + " 10 - *\n";
    std::string manyVehicles = "0123abcd " + kHash + " 10 - v0";
    for (int i = 1; i <= 64; ++i)
        manyVehicles += ",v" + std::to_string(i);
    std::string manyShares = "nivra-shares 1\n";
    for (int i = 0; i <= 1000; ++i) {
        char id[9];
        snprintf(id, sizeof id, "%08x", i);
        manyShares += std::string(id) + " " + kHash + " 10 - *\n";
    }
    const struct {
        const char* name;
        std::string text;
        const char* why;
    } cases[] = {
        {"empty", "", "empty"},
        {"no magic", good, "line 1"},
        {"other version", "nivra-shares 2\n" + good, "line 1"},
        {"four fields", "nivra-shares 1\n0123abcd " + kHash + " 10 -\n", "line 2: 5 fields"},
        {"six fields", "nivra-shares 1\n0123abcd " + kHash + " 10 - * x\n", "line 2: 5 fields"},
        {"short id", "nivra-shares 1\n0123abc " + kHash + " 10 - *\n", "bad id"},
        {"upper-case id", "nivra-shares 1\n0123ABCD " + kHash + " 10 - *\n", "bad id"},
        {"short hash", "nivra-shares 1\n0123abcd " + kHash.substr(1) + " 10 - *\n",
         "bad token hash"},
        {"hash not hex", "nivra-shares 1\n0123abcd " + std::string(64, 'g') + " 10 - *\n",
         "bad token hash"},
        {"created negative", "nivra-shares 1\n0123abcd " + kHash + " -10 - *\n",
         "bad creation time"},
        {"created huge", "nivra-shares 1\n0123abcd " + kHash + " 99999999999999 - *\n",
         "bad creation time"},
        {"until zero", "nivra-shares 1\n0123abcd " + kHash + " 10 0 *\n", "bad end time"},
        {"until text", "nivra-shares 1\n0123abcd " + kHash + " 10 soon *\n", "bad end time"},
        {"empty vehicle", "nivra-shares 1\n0123abcd " + kHash + " 10 - a,,b\n", "bad vehicle key"},
        {"bad escape", "nivra-shares 1\n0123abcd " + kHash + " 10 - a%zz\n", "bad vehicle key"},
        {"control escape", "nivra-shares 1\n0123abcd " + kHash + " 10 - a%0A\n", "bad vehicle key"},
        {"too many vehicles", "nivra-shares 1\n" + manyVehicles + "\n", "more than 64 vehicles"},
        {"same id twice", "nivra-shares 1\n" + good + good, "twice"},
        {"second line bad", "nivra-shares 1\n" + good + "junk\n", "line 3"},
        {"NUL byte", "nivra-shares 1\n" + good + std::string(1, '\0'), "NUL"},
        {"too many shares", manyShares, "more than 1000 shares"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<ShareLink> links{{"0123abcd", kHash, 1, 0, {}}};
        std::string why;
        EXPECT_FALSE(parseShareFile(c.text, links, why));
        EXPECT_TRUE(links.empty());
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
        // The same through the file.
        const std::string path = tempPath("damaged.txt");
        writeFile(path, c.text);
        links.push_back({"0123abcd", kHash, 1, 0, {}});
        EXPECT_FALSE(loadShareFile(path, links, why));
        EXPECT_TRUE(links.empty());
        std::remove(path.c_str());
    }
}

TEST(ShareStore, OversizedFileAndDirectoryAreRefusedUnread) {
    const std::string path = tempPath("huge.txt");
    writeFile(path, "nivra-shares 1\n" + std::string(kMaxShareFileBytes, '#'));
    std::vector<ShareLink> links;
    std::string why;
    EXPECT_FALSE(loadShareFile(path, links, why));
    EXPECT_NE(why.find("larger than"), std::string::npos) << why;
    std::remove(path.c_str());
    EXPECT_FALSE(loadShareFile(::testing::TempDir(), links, why));
    EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
}

TEST(ShareStore, CommentsAndCarriageReturnsAreRead) {
    std::vector<ShareLink> links;
    std::string why;
    ASSERT_TRUE(parseShareFile("nivra-shares 1\r\n# made by hand\r\n\r\n0123abcd " + kHash +
                                   " 10 20 Truck@h\r\n",
                               links, why))
        << why;
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].until, 20);
    EXPECT_EQ(links[0].grant.keys, std::vector<std::string>{"Truck@h"});
}

TEST(ShareStore, TokenOpensOnlyItsOwnLiveShare) {
    std::vector<ShareLink> links;
    std::string tokenA, tokenB, tokenC;
    for (std::string* t : {&tokenA, &tokenB, &tokenC}) {
        ShareLink l;
        ASSERT_TRUE(newShareSecret(links, *t, l.id));
        EXPECT_TRUE(isShareTokenShape(*t)) << *t;
        EXPECT_TRUE(isShareIdShape(l.id)) << l.id;
        l.tokenHash = sha256Hex(*t);
        links.push_back(l);
    }
    links[1].until = 1000; // ends at 1000
    links[2].grant = {false, {"Truck@h"}};
    EXPECT_EQ(findShare(links, tokenA, 5000), &links[0]);
    EXPECT_EQ(findShare(links, tokenB, 999), &links[1]);
    EXPECT_EQ(findShare(links, tokenB, 1000), nullptr) << "expired";
    EXPECT_EQ(findShare(links, tokenC, 5000), &links[2]);
    std::string wrong = tokenA;
    wrong.back() = wrong.back() == 'A' ? 'B' : 'A';
    EXPECT_EQ(findShare(links, wrong, 5000), nullptr);
    EXPECT_EQ(findShare(links, tokenA.substr(1), 5000), nullptr);
    EXPECT_EQ(findShare(links, "", 5000), nullptr);
    // A stored hash presented as the token opens nothing.
    EXPECT_EQ(findShare(links, links[0].tokenHash, 5000), nullptr);
    EXPECT_TRUE(links[2].grant.allows("Truck@h"));
    EXPECT_FALSE(links[2].grant.allows("Bus@h"));
    EXPECT_TRUE(links[0].grant.allows("Bus@h"));
}

TEST(ShareStore, TokenShape) {
    const std::string ok(43, 'A');
    EXPECT_TRUE(isShareTokenShape(ok));
    EXPECT_TRUE(isShareTokenShape("abcdefghijklmnopqrstuvwxyz-_0123456789ABCDE"));
    EXPECT_FALSE(isShareTokenShape(ok + "A"));
    EXPECT_FALSE(isShareTokenShape(ok.substr(1)));
    EXPECT_FALSE(isShareTokenShape(ok.substr(1) + "="));
    EXPECT_FALSE(isShareTokenShape(ok.substr(1) + "@"));
    EXPECT_FALSE(isShareTokenShape(ok.substr(1) + "%"));
}

} // namespace
