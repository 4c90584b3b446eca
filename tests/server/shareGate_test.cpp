// The network-link port's door: this machine comes in freely; another
// address needs a live share's key (query or cookie), and each refusal past
// the first few pauses that address alone.
#include "net/shareGate.h"
#include "platform/sha256.h"

#include "common/traceCapture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

using Kind = ShareDecision::Kind;

// `token` with its first character percent-encoded.
std::string percentFirst(const std::string& token) {
    char escaped[4];
    snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(token[0]));
    return escaped + token.substr(1);
}

class ShareGateTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = ::testing::TempDir() + "/" + std::to_string(getpid()) + "-gate-shares.txt";
        std::vector<ShareLink> links;
        for (std::string* t : {&all, &truck, &ended}) {
            ShareLink l;
            ASSERT_TRUE(newShareSecret(links, *t, l.id));
            l.tokenHash = sha256Hex(*t);
            l.created = 100;
            links.push_back(l);
        }
        links[1].grant = {false, {"Truck@h1"}};
        links[2].until = 1000;
        save(links);
        gate.setPath(path);
        gate.utcClock = [this] { return utc; };
        gate.steadyClock = [this] { return steady; };
    }
    void TearDown() override { std::remove(path.c_str()); }

    void save(const std::vector<ShareLink>& links) {
        std::string why;
        ASSERT_TRUE(saveShareFile(path, links, why)) << why;
    }
    static std::string get(const std::string& target, const std::string& headers = "") {
        return "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n";
    }
    // Lets the gate look at the file again.
    void later(std::chrono::milliseconds ms = std::chrono::milliseconds(1100)) { steady += ms; }

    std::string path;
    std::string all, truck, ended;
    ShareGate gate;
    int64_t utc = 500;
    ShareGate::SteadyClock::time_point steady{std::chrono::hours(1)};
};

TEST_F(ShareGateTest, WhoComesIn) {
    utc = 1500; // after the end of `ended`
    const struct {
        const char* name;
        std::string peer;
        std::string request;
        Kind kind;
    } cases[] = {
        {"this machine, no key", "127.0.0.1", get("/"), Kind::local},
        {"127.x, no key", "127.3.4.5", get("/vehicles.json"), Kind::local},
        {"stranger, no key", "192.0.2.1", get("/"), Kind::refused},
        {"stranger, good key", "192.0.2.2", get("/?key=" + all), Kind::granted},
        {"stranger, good key after another parameter", "192.0.2.3",
         get("/history.json?key=Truck%40h1&key=" + all + "&from=1"), Kind::granted},
        {"stranger, percent-encoded key", "192.0.2.4", get("/?key=" + percentFirst(all)),
         Kind::granted},
        {"stranger, key in the cookie", "192.0.2.5",
         get("/vehicles.json", "Cookie: a=b; nivra_share=" + all + "; c=d\r\n"), Kind::granted},
        {"stranger, key in the header only", "192.0.2.6", get("/", "key: " + all + "\r\n"),
         Kind::refused},
        {"stranger, wrong key", "192.0.2.7", get("/?key=" + std::string(43, 'Q')), Kind::refused},
        {"stranger, key too short", "192.0.2.8", get("/?key=" + all.substr(1)), Kind::refused},
        {"stranger, key too long", "192.0.2.9", get("/?key=" + all + "A"), Kind::refused},
        {"stranger, huge key", "192.0.2.10", get("/?key=" + std::string(5000, 'A')), Kind::refused},
        {"stranger, ended key", "192.0.2.11", get("/?key=" + ended), Kind::refused},
        {"stranger, key only in the path", "192.0.2.12", get("/key=" + all), Kind::refused},
        {"proxy on this machine, no key", "127.0.0.1",
         get("/", "X-Forwarded-For: 198.51.100.1\r\n"), Kind::refused},
        {"proxy on this machine, good key", "127.0.0.1",
         get("/?key=" + all, "X-Real-IP: 198.51.100.2\r\n"), Kind::granted},
        {"proxy by Forwarded header", "127.0.0.1", get("/", "forwarded: for=198.51.100.3\r\n"),
         Kind::refused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ShareDecision d = gate.check(c.request, c.peer);
        EXPECT_EQ(d.kind, c.kind) << d.why;
        EXPECT_EQ(d.allowed(), c.kind != Kind::refused);
        if (c.kind == Kind::refused) {
            EXPECT_FALSE(d.why.empty());
        }
    }
}

TEST_F(ShareGateTest, GrantIsTheShares) {
    ShareDecision d = gate.check(get("/?key=" + truck), "192.0.2.1");
    ASSERT_EQ(d.kind, Kind::granted);
    EXPECT_FALSE(d.grant.all);
    EXPECT_TRUE(d.grant.allows("Truck@h1"));
    EXPECT_FALSE(d.grant.allows("Bus@h2"));
    EXPECT_TRUE(d.tokenInQuery);
    EXPECT_EQ(d.token, truck);
    d = gate.check(get("/", "Cookie: nivra_share=" + all + "\r\n"), "192.0.2.1");
    ASSERT_EQ(d.kind, Kind::granted);
    EXPECT_TRUE(d.grant.all);
    EXPECT_FALSE(d.tokenInQuery);
    // This machine sees everything.
    d = gate.check(get("/?key=" + truck), "127.0.0.1");
    EXPECT_EQ(d.kind, Kind::local);
    EXPECT_TRUE(d.grant.all);
}

TEST_F(ShareGateTest, ExpiryAndRevocationTakeEffect) {
    // The gate asks its own clock (when a share ends: shareStore_test.cpp).
    utc = 1000;
    EXPECT_FALSE(gate.check(get("/?key=" + ended), "192.0.2.2").allowed());

    // Revoked: the file is written without the share; seen within a second.
    std::vector<ShareLink> links = gate.shares();
    ASSERT_EQ(links.size(), 3u);
    links.erase(links.begin());
    save(links);
    later();
    EXPECT_FALSE(gate.check(get("/?key=" + all), "192.0.2.3").allowed());
    EXPECT_TRUE(gate.check(get("/?key=" + truck), "192.0.2.3").allowed());
    // A share added is seen too.
    ShareLink added;
    std::string token;
    ASSERT_TRUE(newShareSecret(links, token, added.id));
    added.tokenHash = sha256Hex(token);
    links.push_back(added);
    save(links);
    later();
    EXPECT_TRUE(gate.check(get("/?key=" + token), "192.0.2.4").allowed());
}

TEST_F(ShareGateTest, DamagedFileOpensNothingAndIsReportedOnce) {
    TraceCapture trace;
    std::ofstream(path, std::ios::trunc) << "nivra-shares 1\nbroken line\n";
    later();
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(gate.check(get("/?key=" + all), "192.0.2." + std::to_string(i)).allowed());
        later();
    }
    EXPECT_EQ(trace.matching("refused (line 2").size(), 1u);
    // This machine is not shut out by it.
    EXPECT_TRUE(gate.check(get("/"), "127.0.0.1").allowed());
    // Mended: open again.
    std::vector<ShareLink> links;
    ShareLink l;
    std::string token;
    ASSERT_TRUE(newShareSecret(links, token, l.id));
    l.tokenHash = sha256Hex(token);
    save({l});
    later();
    EXPECT_TRUE(gate.check(get("/?key=" + token), "192.0.2.200").allowed());
}

TEST_F(ShareGateTest, RefusalsPauseTheAddressAloneAndTheKeyIsNeverLogged) {
    TraceCapture trace;
    const std::string wrong = "/?key=" + std::string(43, 'Q');
    const std::string guesser = "203.0.113.9";
    for (int i = 0; i < kShareFailuresAllowed; ++i)
        EXPECT_FALSE(gate.check(get(wrong), guesser).allowed());
    // Not paused yet: the good key opens.
    EXPECT_TRUE(gate.check(get("/?key=" + all), guesser).allowed());
    for (int i = 0; i <= kShareFailuresAllowed; ++i)
        EXPECT_FALSE(gate.check(get(wrong), guesser).allowed());
    // Paused now: even the good key is refused unheard, for a second...
    ShareDecision d = gate.check(get("/?key=" + all), guesser);
    EXPECT_FALSE(d.allowed());
    EXPECT_NE(d.why.find("try again in 1 s"), std::string::npos) << d.why;
    // ...while other addresses and this machine go on as before.
    EXPECT_TRUE(gate.check(get("/?key=" + all), "203.0.113.10").allowed());
    EXPECT_TRUE(gate.check(get("/"), "127.0.0.1").allowed());
    // The pause ends on its own (how it grows: refusalPauses_test.cpp).
    later(std::chrono::milliseconds(1001));
    EXPECT_TRUE(gate.check(get("/?key=" + all), guesser).allowed());
    // After a success the count starts again.
    for (int i = 0; i < kShareFailuresAllowed; ++i)
        EXPECT_FALSE(gate.check(get(wrong), guesser).allowed());
    EXPECT_TRUE(gate.check(get("/?key=" + all), guesser).allowed());

    for (const std::string& line : trace.lines()) {
        EXPECT_EQ(line.find(all), std::string::npos) << line;
        EXPECT_EQ(line.find(std::string(43, 'Q')), std::string::npos) << line;
    }
    EXPECT_FALSE(trace.matching("refused 203.0.113.9").empty());
}

TEST_F(ShareGateTest, OnlyAProxyOnThisMachineNamesTheClient) {
    const std::string wrong = "/?key=" + std::string(43, 'Q');
    // A stranger that names another client in each request is still paused.
    for (int i = 0; i <= kShareFailuresAllowed; ++i)
        EXPECT_FALSE(gate.check(get(wrong, "X-Real-IP: 198.51.100." + std::to_string(i) + "\r\n"),
                                "203.0.113.20")
                         .allowed());
    EXPECT_NE(gate.check(get("/?key=" + all), "203.0.113.20").why.find("try again"),
              std::string::npos);
    // Through the proxy on this machine, each client it names is counted alone.
    for (int i = 0; i <= kShareFailuresAllowed; ++i)
        EXPECT_FALSE(gate.check(get(wrong, "X-Real-IP: 198.51.100.1\r\n"), "127.0.0.1").allowed());
    EXPECT_FALSE(
        gate.check(get("/?key=" + all, "X-Real-IP: 198.51.100.1\r\n"), "127.0.0.1").allowed());
    EXPECT_TRUE(
        gate.check(get("/?key=" + all, "X-Real-IP: 198.51.100.2\r\n"), "127.0.0.1").allowed());
}

TEST(ShareToken, FoundInQueryOrCookieOnly) {
    const std::string t(43, 'x');
    const struct {
        std::string request;
        std::string token;
        bool fromQuery, sawKey;
    } cases[] = {
        {"GET /?key=" + t + " HTTP/1.1\r\n\r\n", t, true, true},
        {"GET /?a=1&key=" + t + " HTTP/1.1\r\n\r\n", t, true, true},
        {"GET /NivraServers?key=" + t + "&&LOOKAT=1,2,3,4,5 HTTP/1.1\r\n\r\n", t, true, true},
        {"GET /?key=V%40h HTTP/1.1\r\n\r\n", "", false, true},
        {"GET /?keys=" + t + " HTTP/1.1\r\n\r\n", "", false, false},
        {"GET /?xkey=" + t + " HTTP/1.1\r\n\r\n", "", false, false},
        {"GET / HTTP/1.1\r\nCOOKIE: nivra_share=" + t + "\r\n\r\n", t, false, true},
        {"GET / HTTP/1.1\r\nCookie: nivra_sharex=" + t + "\r\n\r\n", "", false, false},
        {"GET / HTTP/1.1\r\n\r\nCookie: nivra_share=" + t + "\r\n", "", false, false},
        {"GET /?key=" + t + "\r\n\r\n", t, true, true},
        {"", "", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        bool fromQuery = true, sawKey = true;
        EXPECT_EQ(presentedShareToken(c.request, fromQuery, sawKey), c.token);
        EXPECT_EQ(fromQuery, c.fromQuery);
        EXPECT_EQ(sawKey, c.sawKey);
    }
}

} // namespace
