// Share links on the network-link port: a client of another machine gets
// every reply kind (the document, a Google Earth poll, the globe's data) for
// the vehicles its share grants and nothing else, or a 403; a refused
// address is paused alone; the Google Earth of this machine keeps its polls.
#include "earth/globe.h"
#include "net/shareStore.h"
#include "netlink/netlinkFixture.h"
#include "platform/sha256.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class ShareLinks : public NetLinkFixture {
protected:
    void SetUp() override {
        NetLinkFixture::SetUp();
        root = fs::temp_directory_path() / ("nivra-share-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "page");
        std::ofstream(root / "page/index.html") << "<!DOCTYPE html><title>globe</title>";
        ::setenv("NIVRA_GLOBE_DIR", (root / "page").c_str(), 1);
        ::setenv("NIVRA_CESIUM_DIR", (root / "cesium").c_str(), 1);

        std::vector<ShareLink> links;
        for (std::string* t : {&allToken, &alphaToken, &endedToken}) {
            ShareLink l;
            ASSERT_TRUE(newShareSecret(links, *t, l.id));
            l.tokenHash = sha256Hex(*t);
            links.push_back(l);
        }
        links[1].grant = {false, {"Alpha@h1"}};
        links[2].until = 1000; // long ended
        std::string why;
        ASSERT_TRUE(saveShareFile((root / "shares.txt").string(), links, why)) << why;
        engine.m_shareGate.setPath((root / "shares.txt").string());

        addPoint(alpha, 48.101, 11.501);
        addPoint(bravo, 48.202, 11.602);
        addPoint(charlie, 48.303, 11.703);
        track(bravo, 0); // followed, but not granted by alphaToken
    }
    void TearDown() override {
        ::unsetenv("NIVRA_GLOBE_DIR");
        ::unsetenv("NIVRA_CESIUM_DIR");
        fs::remove_all(root);
        NetLinkFixture::TearDown();
    }

    // One request through the handler, as from `peer`.
    std::string ask(const std::string& peer, const std::string& target,
                    const std::string& headers = "", const std::string& method = "GET") {
        std::string text = method + " " + target + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n";
        std::vector<char> request(text.begin(), text.end());
        request.push_back('\0');
        ServerReply reply;
        const int32_t n = Cn2k::processTrackerFunc(
            std::span<char>(request.data(), request.size() - 1), peer.c_str(), reply, &engine);
        return std::string(reply.bytes(n));
    }
    static bool shows(const std::string& reply, const char* name) {
        return reply.find(name) != std::string::npos;
    }

    fs::path root;
    std::string allToken, alphaToken, endedToken;
};

TEST_F(ShareLinks, EachReplyKindShowsWhatTheShareGrants) {
    const std::string look = "&&LOOKAT=11.5,48.1,1000,45,0";
    const struct {
        const char* name;
        std::string peer;
        std::string target;
        std::string headers;
        const char* status;
        bool alpha, others;
    } cases[] = {
        {"this machine, document", "127.0.0.1", "/", "", "HTTP/1.1 200", true, true},
        {"this machine, data", "127.0.0.1", "/vehicles.json", "", "HTTP/1.1 200", true, true},
        {"stranger without key", "192.0.2.1", "/", "", "HTTP/1.1 403", false, false},
        {"stranger without key, data", "192.0.2.2", "/vehicles.json", "", "HTTP/1.1 403", false,
         false},
        {"stranger without key, poll", "192.0.2.3", "/NivraServers?" + look, "", "HTTP/1.1 403",
         false, false},
        {"stranger, wrong key", "192.0.2.4", "/?key=" + std::string(43, 'Z'), "", "HTTP/1.1 403",
         false, false},
        {"stranger, ended key", "192.0.2.5", "/?key=" + endedToken, "", "HTTP/1.1 403", false,
         false},
        {"stranger, all vehicles", "192.0.2.6", "/?key=" + allToken, "", "HTTP/1.1 200", true,
         true},
        {"stranger, Alpha: document", "192.0.2.7", "/?key=" + alphaToken, "", "HTTP/1.1 200", true,
         false},
        {"stranger, Alpha: Google Earth's poll", "192.0.2.8",
         "/NivraServers?key=" + alphaToken + look, "", "HTTP/1.1 200", true, false},
        {"stranger, Alpha: globe data", "192.0.2.9", "/vehicles.json?key=" + alphaToken, "",
         "HTTP/1.1 200", true, false},
        {"stranger, Alpha: globe data by cookie", "192.0.2.10", "/vehicles.json",
         "Cookie: nivra_share=" + alphaToken + "\r\n", "HTTP/1.1 200", true, false},
        {"stranger, all: globe data", "192.0.2.11", "/vehicles.json?key=" + allToken, "",
         "HTTP/1.1 200", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string reply = ask(c.peer, c.target, c.headers);
        EXPECT_EQ(reply.rfind(c.status, 0), 0u) << reply.substr(0, 300);
        EXPECT_EQ(shows(reply, "Alpha"), c.alpha);
        EXPECT_EQ(shows(reply, "Bravo"), c.others);
        EXPECT_EQ(shows(reply, "Charlie"), c.others);
        // Never the key itself in a reply (the cookie below is the one place).
        EXPECT_EQ(reply.find(alphaToken), std::string::npos);
        EXPECT_EQ(reply.find(allToken), std::string::npos);
    }
    // A HEAD with a limited key gets the head of that document only.
    const std::string head = ask("192.0.2.12", "/?key=" + alphaToken, "", "HEAD");
    EXPECT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << head;
    EXPECT_FALSE(shows(head, "Alpha"));
    EXPECT_EQ(head.substr(head.size() - 2), "\n\n");
}

// A document for one share's vehicles keeps the other vehicles' folders for
// the next whole document: nothing is written again that did not change.
TEST_F(ShareLinks, ALimitedDocumentKeepsTheOthersFolders) {
    ASSERT_EQ(ask("127.0.0.1", "/").rfind("HTTP/1.1 200", 0), 0u);
    const uint64_t afterWhole = engine.m_fragments.written();
    const size_t kept = engine.m_fragments.size();
    ASSERT_GE(kept, 2u);
    ASSERT_EQ(ask("192.0.2.7", "/?key=" + alphaToken).rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(engine.m_fragments.size(), kept);
    addPoint(charlie, 48.304, 11.704); // the next whole document differs
    const std::string whole = ask("127.0.0.1", "/");
    ASSERT_TRUE(shows(whole, "Charlie"));
    EXPECT_EQ(engine.m_fragments.written(), afterWhole + 1) << "only Charlie's folder is new";
}

TEST_F(ShareLinks, TheGlobesPageKeepsTheKeyInACookie) {
    std::string reply = ask("192.0.2.1", "/globe/?key=" + alphaToken);
    ASSERT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply.substr(0, 300);
    EXPECT_NE(reply.find("\r\nSet-Cookie: nivra_share=" + alphaToken +
                         "; Path=/; HttpOnly; SameSite=Strict\r\n"),
              std::string::npos)
        << reply.substr(0, 400);
    EXPECT_NE(reply.find("<title>globe</title>"), std::string::npos);
    // Only the page sets it, and only for a key given in the address.
    reply = ask("192.0.2.1", "/vehicles.json?key=" + alphaToken);
    EXPECT_EQ(reply.find("Set-Cookie"), std::string::npos);
    reply = ask("192.0.2.1", "/globe/", "Cookie: nivra_share=" + alphaToken + "\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(reply.find("Set-Cookie"), std::string::npos);
    reply = ask("127.0.0.1", "/globe/?key=" + alphaToken);
    EXPECT_EQ(reply.find("Set-Cookie"), std::string::npos);
}

TEST_F(ShareLinks, RemoteGoogleEarthPollsWithTheKeyAcrossPollsAndLeavesTheLocalOnesFlags) {
    // The link as Nivra writes it for a share, and the address Google Earth
    // polls from it: the href, then the view after '&'.
    const std::string link = Cn2k::networkLinkKml(kNetworkLinkName, "Nivra", "203.0.113.1", 51233,
                                                  true, "key=" + alphaToken);
    const size_t at = link.find("<href>http://203.0.113.1:51233");
    ASSERT_NE(at, std::string::npos) << link;
    const size_t from = at + std::string("<href>http://203.0.113.1:51233").size();
    const std::string href = link.substr(from, link.find("</href>") - from);
    EXPECT_EQ(href, "/NivraServers?key=" + alphaToken);

    bravo->track.m_newPt = 1;
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        addPoint(alpha, 48.11 + i * 0.01, 11.51);
        char view[96];
        snprintf(view, sizeof view, "&&LOOKAT=11.5,48.1,%d,45,0", 1000 + i);
        const std::string reply = ask("198.51.100.7", href + view);
        ASSERT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply.substr(0, 300);
        char newest[32];
        snprintf(newest, sizeof newest, "%.6f", 48.11 + i * 0.01);
        EXPECT_NE(reply.find(std::string(newest).substr(0, 5)), std::string::npos);
        EXPECT_FALSE(shows(reply, "Bravo"));
        EXPECT_FALSE(shows(reply, "Charlie"));
    }
    // The local Google Earth's flag is still there for it to take.
    EXPECT_EQ(bravo->track.m_newPt.load(), 1);
    EXPECT_EQ(poll().find(unchangedReply()), std::string::npos) << "the local poll sees the news";
}

TEST_F(ShareLinks, APausedAddressHoldsUpNobodyElse) {
    const std::string wrong = "/?key=" + std::string(43, 'Z');
    for (int i = 0; i <= kShareFailuresAllowed; ++i)
        EXPECT_EQ(ask("192.0.2.50", wrong).rfind("HTTP/1.1 403", 0), 0u);
    // Paused: refused at once, even with the good key.
    std::string reply = ask("192.0.2.50", "/?key=" + allToken);
    EXPECT_EQ(reply.rfind("HTTP/1.1 403", 0), 0u);
    EXPECT_NE(reply.find("try again in"), std::string::npos);
    // Everyone else is answered meanwhile, over a real connection too.
    EXPECT_EQ(ask("192.0.2.51", "/?key=" + allToken).rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(ask("127.0.0.1", "/").rfind("HTTP/1.1 200", 0), 0u);
    reply = poll("/?key=" + alphaToken);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << "this machine needs no key, and may give one";
    EXPECT_TRUE(shows(reply, "Charlie")) << "this machine sees every vehicle";
}

} // namespace
