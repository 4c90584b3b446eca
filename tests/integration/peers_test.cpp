// Two real copies of the program following each other over the peer
// protocol: copy B lists copy A as a peer vehicle; A's local positions come
// from its tracker port.
#include "fixText.h"
#include "nivraProcess.h"

#include "platform/runtime.h"
#include "track/nmea.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sys/wait.h>
#include <thread>

using namespace itest;

namespace {

constexpr int kControlPort = 51231;
constexpr int kLinkPort = 51233;
constexpr int kTrackerPort = 51234;
const char* const kRootGet = "GET / HTTP/1.1\r\nHost: nivra\r\n\r\n";

// The settings and vehicle list of a copy: no demo, and, when `peerHost` is
// given, a peer vehicle "Alpha" at that address.
std::string registryText(const std::string& peerHost) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[Software]\r\n\r\n"
                       "[Software\\Nivra]\r\n\"DemoMode\"=dword:00000000\r\n\r\n"
                       "[Software\\Nivra\\servers0]\r\n\"name\"=\"Me@localhost\"\r\n"
                       "\"uName\"=\"Me\"\r\n\"host\"=\"localhost\"\r\n\r\n";
    if (!peerHost.empty())
        text += "[Software\\Nivra\\servers1]\r\n\"name\"=\"Alpha@" + peerHost +
                "\"\r\n\"uName\"=\"Alpha\"\r\n\"host\"=\"" + peerHost +
                "\"\r\n\"remoteType\"=dword:00000000\r\n\r\n";
    return text;
}

// Polls B's network link until `done` holds for its reply (at most `ms`).
std::string pollUntil(const std::string& address,
                      const std::function<bool(const std::string&)>& done, int ms = 30000) {
    std::string reply;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        reply = exchange(address, kLinkPort, kRootGet);
        if (!reply.empty() && done(reply))
            return reply;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return reply;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void postFixes(const std::string& address, const std::vector<GpsFix>& fixes) {
    for (const GpsFix& f : fixes)
        exchange(address, kTrackerPort, makeRmcSentence(f));
}

void stop(NivraProcess& nivra) {
    int status = 0;
    ASSERT_GE(nivra.terminate(status, 15000), 0) << "still running after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace

TEST(Peers, ACopyFollowsAnotherAcrossItsRestartAndItsEnd) {
    TempDir dirA1, dirA2, dirB;
    const std::string addressA = uniqueLoopbackAddress();
    const std::string addressB = uniqueLoopbackAddress();
    writeFile(dirA1.file("registry.reg"), registryText(""));
    writeFile(dirA2.file("registry.reg"), registryText(""));
    writeFile(dirB.file("registry.reg"), registryText(addressA));

    // Whole binary fractions of a degree survive every conversion on the way
    // (NMEA minutes, the packed integers) unchanged; a zigzag 1000 s apart
    // is kept whole by the track store.
    const std::vector<GpsFix> first{fixAt(51.5, -0.125, 10, 5000), fixAt(51.5625, -0.25, 100, 4000),
                                    fixAt(51.625, -0.125, 200, 3000),
                                    fixAt(51.6875, -0.25, 300, 2000)};
    auto a = std::make_unique<NivraProcess>(dirA1.path(), addressA, std::vector<std::string>{});
    NivraProcess b(dirB.path(), addressB, {});
    ASSERT_TRUE(a->waitForPort(kTrackerPort)) << a->out();
    ASSERT_TRUE(a->waitForPort(kControlPort)) << a->out();
    ASSERT_TRUE(b.waitForPort(kLinkPort)) << b.out();

    // A's positions appear in B's track and in B's reply to Google Earth.
    postFixes(addressA, first);
    std::string reply = pollUntil(addressB, [&](const std::string& r) {
        for (const GpsFix& f : first)
            if (!has(r, lonLat(f)))
                return false;
        return has(r, "Alpha@" + addressA) && !has(r, "Alpha!");
    });
    for (const GpsFix& f : first)
        EXPECT_TRUE(has(reply, lonLat(f))) << lonLat(f) << "\n" << reply.substr(0, 2000);
    EXPECT_FALSE(has(reply, "Alpha!")) << "A is online";

    // A restarts with a shorter track: B drops its copy and takes A's points.
    stop(*a);
    a.reset();
    const std::vector<GpsFix> second{fixAt(40.5, -74.0, 45, 1000), fixAt(40.5625, -74.125, 90, 10)};
    a = std::make_unique<NivraProcess>(dirA2.path(), addressA, std::vector<std::string>{});
    ASSERT_TRUE(a->waitForPort(kTrackerPort)) << a->out();
    postFixes(addressA, second);
    reply = pollUntil(addressB, [&](const std::string& r) {
        return has(r, lonLat(second[0])) && has(r, lonLat(second[1])) && !has(r, lonLat(first[0]));
    });
    EXPECT_TRUE(has(reply, lonLat(second[0])) && has(reply, lonLat(second[1])))
        << reply.substr(0, 2000);
    for (const GpsFix& f : first)
        EXPECT_FALSE(has(reply, lonLat(f))) << "the copy of the old track is gone: " << lonLat(f);

    // A ends: B marks it offline and keeps what it has.
    stop(*a);
    reply = pollUntil(addressB, [&](const std::string& r) { return has(r, "Alpha!"); });
    EXPECT_TRUE(has(reply, "Alpha!")) << reply.substr(0, 2000);
    EXPECT_TRUE(has(reply, lonLat(second[0])) && has(reply, lonLat(second[1])));
    stop(b);
}

TEST(Peers, AColourWithBlanksStillGetsItsReply) {
    TempDir dir;
    const std::string address = uniqueLoopbackAddress();
    writeFile(dir.file("registry.reg"), registryText(""));
    NivraProcess nivra(dir.path(), address, {});
    ASSERT_TRUE(nivra.waitForPort(kTrackerPort)) << nivra.out();
    ASSERT_TRUE(nivra.waitForPort(kControlPort)) << nivra.out();
    postFixes(address, {fixAt(51.5, -0.125, 10, 60)});
    struct Case {
        const char* color;
        bool answered;
    };
    const Case cases[] = {
        {"Red", true},
        {"light blue", true}, // a copy whose vehicle has this colour must be answered
        {"  ff4080FF", true},
        {" \t", false}, // no colour at all
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.color);
        const std::string request =
            std::string("CONTROL=Beta@elsewhere,1,2000,0,0,0,") + c.color + "\n";
        std::string reply;
        // The first fix may take a moment to reach the local track.
        for (int i = 0; i < 40 && reply.empty(); ++i) {
            reply = exchange(address, kControlPort, request, 3000);
            if (reply.empty() && c.answered)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            else
                break;
        }
        if (c.answered) {
            EXPECT_EQ(reply.rfind("1,51.50000,-0.12500,", 0), 0u) << reply.substr(0, 60);
        } else {
            EXPECT_TRUE(reply.empty()) << reply.substr(0, 60);
        }
    }
    stop(nivra);
}
