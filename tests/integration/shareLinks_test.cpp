// The real program with its ports opened to a second address (10.77.0.1 on
// loopback, in a network of the test's own): a client from that address is
// another machine. It needs a share link's key, sees only the vehicles the
// link grants, Google Earth's polls with the key keep working, and a revoked
// key stops working while the program runs.
#include "nivraProcess.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <set>
#include <thread>

using namespace itest;

namespace {

constexpr int kLinkPort = 51233;
const std::string kOpen = "10.77.0.1";

// Runs a command, returning its stdout and exit status.
std::string runCommand(const std::string& command, int& status) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) {
        status = -1;
        return out;
    }
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        out.append(buf.data(), n);
    status = pclose(p);
    return out;
}

std::set<std::string> vehicleKeys(const std::string& reply) {
    std::set<std::string> keys;
    static const std::regex key("\"key\":\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(reply.begin(), reply.end(), key);
         it != std::sregex_iterator(); ++it)
        keys.insert((*it)[1]);
    return keys;
}

std::string get(const std::string& source, const std::string& target) {
    return exchangeFrom(source, kOpen, kLinkPort,
                        "GET " + target + " HTTP/1.1\r\nHost: " + kOpen + "\r\n\r\n");
}

// The body of the test, on a thread that moved into a network of its own.
void strangerSeesOnlyItsShare(std::string& skip) {
    if (!enterOwnNetwork()) {
        skip = "no network namespace of our own (needs root)";
        return;
    }
    if (std::system(("ip addr add " + kOpen + "/32 dev lo 2>/dev/null").c_str()) != 0) {
        skip = "cannot add an address to loopback";
        return;
    }
    TempDir dir;
    const std::string share = "NIVRA_REGISTRY=" + dir.file("registry.reg") + " " + NIVRA_EXE +
                              " --dir " + dir.path() + " --share ";
    NivraProcess nivra(dir.path(), kOpen, {"--start"});
    ASSERT_TRUE(nivra.started());
    ASSERT_TRUE(nivra.waitForPort(kLinkPort)) << nivra.err();

    // This machine needs no key and sees the demo's vehicles.
    std::set<std::string> all;
    for (int i = 0; i < 100 && all.size() < 2; ++i) {
        all = vehicleKeys(get("127.0.0.1", "/vehicles.json"));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_GE(all.size(), 2u);
    const std::string granted = *all.begin();

    // Another machine without a key, or with a wrong one: 403.
    EXPECT_EQ(get(kOpen, "/vehicles.json").rfind("HTTP/1.1 403", 0), 0u);
    EXPECT_EQ(get(kOpen, "/?key=" + std::string(43, 'Z')).rfind("HTTP/1.1 403", 0), 0u);

    int status = 0;
    const std::string made = runCommand(share + "create --vehicle '" + granted + "'", status);
    ASSERT_EQ(status, 0) << made;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(made, m, std::regex("/\\?key=([A-Za-z0-9_-]{43})"))) << made;
    const std::string key = m[1];
    ASSERT_TRUE(std::regex_search(made, m, std::regex("Share link ([0-9a-f]{8})"))) << made;
    const std::string id = m[1];

    // Within a second the running program takes the new link. (The pause the
    // two refusals above began has passed by then: three are free.)
    // The key's reply once it has the status wanted, or after six seconds.
    const auto replyOnceItIs = [&](const char* status) {
        std::string r;
        for (int i = 0; i < 30; ++i) {
            r = get(kOpen, "/vehicles.json?key=" + key);
            if (r.rfind(status, 0) == 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return r;
    };
    std::string reply = replyOnceItIs("HTTP/1.1 200");
    ASSERT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply.substr(0, 300);
    EXPECT_EQ(vehicleKeys(reply), std::set<std::string>{granted});

    // Google Earth with the key, poll after poll.
    for (int i = 0; i < 3; ++i) {
        reply = get(kOpen, "/NivraServers?key=" + key + "&&LOOKAT=0,0,1000,0,0");
        EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply.substr(0, 300);
        EXPECT_NE(reply.find("<kml"), std::string::npos);
    }
    EXPECT_FALSE(nivra.err().find(key) != std::string::npos) << "the key is never logged";

    // Revoked: refused within a second or so.
    runCommand(share + "revoke " + id, status);
    ASSERT_EQ(status, 0);
    reply = replyOnceItIs("HTTP/1.1 403");
    EXPECT_EQ(reply.rfind("HTTP/1.1 403", 0), 0u) << reply.substr(0, 300);
    // This machine is still served.
    EXPECT_EQ(get("127.0.0.1", "/vehicles.json").rfind("HTTP/1.1 200", 0), 0u);
    int ended = 0;
    nivra.terminate(ended);
}

TEST(ShareLinksLive, AStrangerSeesOnlyWhatItsLinkGrants) {
    std::string skip;
    std::thread t([&] { strangerSeesOnlyItsShare(skip); });
    t.join();
    if (!skip.empty())
        GTEST_SKIP() << skip;
}

} // namespace
