// nivra --share: create prints a link whose key opens the share it stored
// (and only its hash is stored), list shows no key, revoke withdraws; every
// wrong use says why and ends non-zero without touching the file.
#include "app/shareCommands.h"
#include "app/shareLinksPage.h"
#include "app/testApp.h"
#include "net/shareStore.h"
#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

constexpr int64_t kNow = 1800000000; // 2027-01-15 08:00 UTC

class ShareCommand : public ::testing::Test {
protected:
    void SetUp() override {
        path = ::testing::TempDir() + "/" + std::to_string(getpid()) + "-cmd-shares.txt";
        std::remove(path.c_str());
    }
    void TearDown() override { std::remove(path.c_str()); }

    int run(const std::vector<std::string>& args, bool localOnly = false) {
        out.str("");
        err.str("");
        return shareCommand(args, path, "http://192.0.2.1:51233", localOnly, kNow, out, err);
    }
    std::string fileText() {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The key and id a create printed.
    bool created(std::string& token, std::string& id) {
        std::smatch m;
        const std::string text = out.str();
        if (!std::regex_search(text, m,
                               std::regex("http://192\\.0\\.2\\.1:51233/\\?key=([A-Za-z0-9_-]+)")))
            return false;
        token = m[1];
        if (text.find("http://192.0.2.1:51233/globe/?key=" + token) == std::string::npos)
            return false;
        if (!std::regex_search(text, m, std::regex("Share link ([0-9a-f]{8})")))
            return false;
        id = m[1];
        return true;
    }

    std::string path;
    std::ostringstream out, err;
};

TEST_F(ShareCommand, CreateListRevoke) {
    ASSERT_EQ(
        run({"create", "--vehicle", "Truck@h1", "--vehicle", "Bus@h2", "--until", "2027-02-01"}), 0)
        << err.str();
    std::string token, id;
    ASSERT_TRUE(created(token, id)) << out.str();
    EXPECT_NE(out.str().find("vehicles Truck@h1, Bus@h2, until 2027-02-02 00:00 UTC"),
              std::string::npos)
        << out.str();
    ASSERT_EQ(run({"create"}), 0) << err.str();
    std::string token2, id2;
    ASSERT_TRUE(created(token2, id2));
    EXPECT_NE(token, token2);
    EXPECT_NE(id, id2);

    // The file has the hashes, never the keys, and the keys open their shares.
    const std::string text = fileText();
    EXPECT_EQ(text.find(token), std::string::npos);
    EXPECT_NE(text.find(sha256Hex(token)), std::string::npos);
    std::vector<ShareLink> links;
    std::string why;
    ASSERT_TRUE(loadShareFile(path, links, why)) << why;
    const ShareLink* share = findShare(links, token, kNow);
    ASSERT_NE(share, nullptr);
    EXPECT_EQ(share->id, id);
    EXPECT_EQ(share->grant.keys, (std::vector<std::string>{"Truck@h1", "Bus@h2"}));
    EXPECT_EQ(share->until, 1801526400); // the end of 2027-02-01, UTC
    EXPECT_EQ(share->created, kNow);
    EXPECT_EQ(findShare(links, token, 1801526400), nullptr);
    ASSERT_NE(findShare(links, token2, kNow), nullptr);
    EXPECT_TRUE(findShare(links, token2, kNow)->grant.all);

    ASSERT_EQ(run({"list"}), 0) << err.str();
    EXPECT_NE(out.str().find(id + "  2027-01-15 08:00 UTC  2027-02-02 00:00 UTC  Truck@h1, Bus@h2"),
              std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find(id2 + "  2027-01-15 08:00 UTC  -"), std::string::npos) << out.str();
    EXPECT_EQ(out.str().find(token), std::string::npos);

    ASSERT_EQ(run({"revoke", id}), 0) << err.str();
    ASSERT_TRUE(loadShareFile(path, links, why)) << why;
    EXPECT_EQ(findShare(links, token, kNow), nullptr);
    EXPECT_NE(findShare(links, token2, kNow), nullptr);
    EXPECT_EQ(run({"revoke", id}), 1);
    EXPECT_NE(err.str().find("no share link has the id " + id), std::string::npos);
    ASSERT_EQ(run({"revoke", id2}), 0);
    ASSERT_EQ(run({"list"}), 0);
    EXPECT_EQ(out.str(), "No share links.\n");
}

TEST_F(ShareCommand, WrongUseIsRefusedAndLeavesTheFile) {
    ASSERT_EQ(run({"create"}), 0);
    const std::string before = fileText();
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } cases[] = {
        {{}, 2, "--share takes create, list or revoke"},
        {{"make"}, 2, "not \"make\""},
        {{"create", "--frob"}, 2, "unknown option \"--frob\""},
        {{"create", "--vehicle"}, 2, "--vehicle needs a value"},
        {{"create", "--vehicle", ""}, 2, "--vehicle needs a vehicle's key"},
        {{"create", "--vehicle", std::string(256, 'k')}, 2, "--vehicle needs a vehicle's key"},
        {{"create", "--vehicle", "a\nb"}, 2, "no control characters"},
        {{"create", "--until"}, 2, "--until needs a value"},
        {{"create", "--until", "tomorrow"}, 2, "not \"tomorrow\""},
        {{"create", "--until", "2027-13-01"}, 2, "--until takes"},
        {{"create", "--until", "2027-01-14"}, 2, "is not in the future"},
        {{"create", "--until", "2027-01-15T08:00"}, 2, "is not in the future"},
        {{"list", "x"}, 2, "takes nothing more"},
        {{"revoke"}, 2, "takes one id"},
        {{"revoke", "a", "b"}, 2, "takes one id"},
        {{"revoke", "XYZ"}, 2, "not a share link's id"},
        {{"revoke", "0000000g"}, 2, "not a share link's id"},
        {{"revoke", "00000000"}, 1, "no share link has the id"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        EXPECT_EQ(run(c.args), c.status);
        EXPECT_NE(err.str().find(c.says), std::string::npos) << err.str();
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(fileText(), before);
    }
    // More than the share's bound of vehicles.
    std::vector<std::string> many{"create"};
    for (size_t i = 0; i <= kMaxShareVehicles; ++i) {
        many.push_back("--vehicle");
        many.push_back("v" + std::to_string(i) + "@h");
    }
    EXPECT_EQ(run(many), 2);
    EXPECT_NE(err.str().find("at most 64 vehicles"), std::string::npos);
    EXPECT_EQ(fileText(), before);
}

TEST_F(ShareCommand, DamagedFileIsNeitherReadNorReplaced) {
    const std::string damaged = "nivra-shares 1\nhalf a line\n";
    std::ofstream(path) << damaged;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"create"}, {"list"}, {"revoke", "0123abcd"}}) {
        EXPECT_EQ(run(args), 1);
        EXPECT_NE(err.str().find("is damaged (line 2"), std::string::npos) << err.str();
        EXPECT_EQ(fileText(), damaged);
    }
}

TEST_F(ShareCommand, ALinkForThisMachineOnlySaysSo) {
    ASSERT_EQ(run({"create"}, true), 0);
    EXPECT_NE(out.str().find("listens on this machine only"), std::string::npos);
    ASSERT_EQ(run({"create"}, false), 0);
    EXPECT_EQ(out.str().find("listens on this machine only"), std::string::npos);
}

// Commands that change the file at once take turns: none loses another's link.
TEST_F(ShareCommand, CreatesAtOnceLoseNoLink) {
    constexpr int kWriters = 4, kEach = 8;
    std::vector<std::thread> writers;
    std::vector<int> failures(kWriters, 0);
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < kEach; ++i) {
                std::ostringstream o, e;
                if (shareCommand({"create"}, path, "http://h:1", false, kNow, o, e) != 0)
                    ++failures[static_cast<size_t>(w)];
            }
        });
    for (std::thread& t : writers)
        t.join();
    EXPECT_EQ(failures, std::vector<int>(kWriters, 0));
    std::vector<ShareLink> links;
    std::string why;
    ASSERT_TRUE(loadShareFile(path, links, why)) << why;
    EXPECT_EQ(links.size(), static_cast<size_t>(kWriters * kEach));
    std::remove((path + ".lock").c_str());
}

// The options dialog's share links: the same file and steps as the command,
// the link shown once, the list without keys, a damaged file said and kept.
TEST_F(ShareCommand, TheDialogsPageMakesListsAndRevokes) {
    CShareLinksPage page(
        path,
        [] {
            return ShareTarget{"http://192.0.2.1:51233", false};
        },
        [] { return kNow; });
    ASSERT_TRUE(page.reload()) << page.problem();
    EXPECT_TRUE(page.rows().empty());

    std::string text;
    ASSERT_TRUE(page.create({"Truck@h1"}, "2027-02-01", text)) << text;
    out.str(text);
    std::string token, id;
    ASSERT_TRUE(created(token, id)) << text;
    ASSERT_TRUE(page.create({}, "", text)) << text;
    ASSERT_EQ(page.rows().size(), 2u);
    EXPECT_EQ(page.rows()[0], id + "  until 2027-02-02 00:00 UTC  Truck@h1");
    EXPECT_EQ(page.rows()[1].substr(8), "  no end  all vehicles");
    for (const std::string& row : page.rows())
        EXPECT_EQ(row.find(token), std::string::npos);

    // A refusal says why without the program's name and makes nothing.
    EXPECT_FALSE(page.create({""}, "", text));
    EXPECT_EQ(text.rfind("--vehicle needs a vehicle's key", 0), 0u) << text;
    EXPECT_EQ(page.rows().size(), 2u);

    ASSERT_TRUE(page.revoke(id, text)) << text;
    EXPECT_EQ(text, "Share link " + id + " revoked.");
    ASSERT_EQ(page.rows().size(), 1u);
    EXPECT_FALSE(page.revoke(id, text));
    EXPECT_EQ(text, "no share link has the id " + id);

    // An ended link says so.
    CShareLinksPage later(
        path, [] { return ShareTarget{}; }, [] { return int64_t{1801526400}; });
    ASSERT_TRUE(page.create({}, "2027-02-01", text)) << text;
    ASSERT_TRUE(later.reload());
    EXPECT_NE(later.rows().back().find("(ended)"), std::string::npos) << later.rows().back();

    const std::string damaged = "nivra-shares 1\nhalf a line\n";
    std::ofstream(path) << damaged;
    EXPECT_FALSE(page.reload());
    EXPECT_NE(page.problem().find("is damaged (line 2"), std::string::npos) << page.problem();
    EXPECT_TRUE(page.links().empty());
    std::remove((path + ".lock").c_str());
}

TEST(ShareCommandLine, ShareTakesTheRestOfTheWords) {
    CommandLine cmd;
    std::string error;
    ASSERT_TRUE(
        parseCommandLine({"--share", "create", "--vehicle", "a@b", "--headless"}, cmd, error))
        << error;
    EXPECT_TRUE(cmd.share);
    EXPECT_FALSE(cmd.headless);
    EXPECT_EQ(cmd.shareArgs,
              (std::vector<std::string>{"create", "--vehicle", "a@b", "--headless"}));
}

TEST(ShareUntil, DatesRunToTheEndOfTheDay) {
    const struct {
        const char* text;
        bool ok;
        int64_t until;
    } cases[] = {
        {"2027-02-01", true, 1801526400},
        {"2027-02-01T12:30", true, 1801485000},
        {"2027-02-01T12:30:15Z", true, 1801485015},
        {"1801485000", true, 1801485000},
        {"0", false, 0},
        {"2027-02-30x", false, 0},
        {"", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int64_t until = -1;
        EXPECT_EQ(parseShareUntil(c.text, until), c.ok);
        if (c.ok) {
            EXPECT_EQ(until, c.until);
        }
    }
}

} // namespace
