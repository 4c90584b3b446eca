// The real program, headless: the demo on a fresh start, the network link as
// Google Earth and a browser see it, SIGTERM with everything saved, and the
// local track in "Nivra.trk" across runs.
#include "fixText.h"
#include "nivraProcess.h"

#include "platform/runtime.h"
#include "track/nmea.h"
#include "track/track.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sys/wait.h>
#include <thread>

using namespace itest;

namespace {

constexpr int kLinkPort = 51233;
constexpr int kTrackerPort = 51234;
const char* const kRootGet = "GET / HTTP/1.1\r\nHost: nivra\r\n\r\n";

// Ends the run with SIGTERM; it must end cleanly within 5 seconds.
void stopWithin5s(NivraProcess& nivra) {
    int status = 0;
    const long ms = nivra.terminate(status, 10000);
    ASSERT_GE(ms, 0) << "still running 10 s after SIGTERM";
    EXPECT_LE(ms, 5000);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

std::string settingsOnly(int demoMode) {
    char value[16];
    snprintf(value, sizeof value, "%08x", demoMode);
    return std::string("Windows Registry Editor Version 5.00\r\n\r\n[Software]\r\n\r\n"
                       "[Software\\Nivra]\r\n\"DemoMode\"=dword:") +
           value + "\r\n\r\n";
}

} // namespace

TEST(Headless, FreshStartRunsTheDemoAndGoogleEarthSeesTheFiveVehicles) {
    TempDir dir;
    const std::string address = uniqueLoopbackAddress();
    NivraProcess nivra(dir.path(), address, {"--start"});
    ASSERT_TRUE(nivra.started());
    ASSERT_TRUE(nivra.waitForPort(kLinkPort)) << nivra.out();

    // Each vehicle's folder is named after it: the peers by key, the demo's
    // stand-in for the local vehicle by its user name.
    const std::vector<std::string> vehicles{
        "<name>Demo A@demo1</name>", "<name>Demo B@demo2</name>", "<name>Demo C@demo3</name>",
        "<name>Demo D@demo4</name>", "<name>Me(demo)</name>"};
    const std::string reply = pollUntil(address, vehicles);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\n", 0), 0u) << reply.substr(0, 200);
    EXPECT_NE(reply.find("Content-Type: application/vnd.google-earth.kml+xml"), std::string::npos);
    EXPECT_NE(reply.find("<kml xmlns=\"http://earth.google.com/kml/2.0\">"), std::string::npos);
    for (const std::string& v : vehicles)
        EXPECT_NE(reply.find(v), std::string::npos) << v;
    // Content-Length is the length of the document after the blank line.
    const size_t body = reply.find("\n\n");
    ASSERT_NE(body, std::string::npos);
    const size_t lengthAt = reply.find("Content-Length: ");
    ASSERT_NE(lengthAt, std::string::npos);
    EXPECT_EQ(std::stoul(reply.substr(lengthAt + 16)), reply.size() - body - 2);

    // The program told the user where Google Earth finds it and how to stop.
    EXPECT_TRUE(nivra.waitForOutput("http://" + address + ":51233/NivraServers")) << nivra.out();
    EXPECT_NE(nivra.out().find("Stop with Ctrl+C"), std::string::npos);

    stopWithin5s(nivra);
    const std::string reg = readFile(dir.file("registry.reg"));
    EXPECT_NE(reg.find("[Software\\Nivra]"), std::string::npos) << reg;
    EXPECT_NE(reg.find("\"DemoMode\"=dword:00000001"), std::string::npos);
    EXPECT_NE(reg.find("\"Tracking\"=dword:0000002f"), std::string::npos);
    // The vehicle list holds the real local vehicle, never the demo's.
    EXPECT_NE(reg.find("[Software\\Nivra\\servers0]"), std::string::npos);
    EXPECT_NE(reg.find("\"name\"=\"Me@localhost\""), std::string::npos);
    EXPECT_EQ(reg.find("demo5"), std::string::npos);
}

TEST(Headless, ADemoRunLeavesTheStoredLocalTrackAsItWas) {
    TempDir dir;
    CTrack before;
    before.add(fixAt(48.10, 11.50, 10, 300), 2);
    before.add(fixAt(48.11, 11.52, 80, 200), 2);
    before.add(fixAt(48.12, 11.55, 150, 100), 2);
    ASSERT_EQ(before.pointCount(), 3);
    ASSERT_TRUE(before.save(dir.file("Nivra.trk")));

    const std::string address = uniqueLoopbackAddress();
    NivraProcess nivra(dir.path(), address, {"--start"});
    ASSERT_TRUE(nivra.waitForPort(kLinkPort)) << nivra.out();
    // Let the demo drive long enough to have written its own points.
    pollUntil(address, {"<name>Me(demo)</name>"});
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stopWithin5s(nivra);

    CTrack after;
    ASSERT_TRUE(after.load(dir.file("Nivra.trk")));
    ASSERT_EQ(after.pointCount(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_STREQ(after.point(i)->coords, before.point(i)->coords) << i;
        EXPECT_EQ(after.point(i)->time, before.point(i)->time) << i;
    }
}

TEST(Headless, LocalTrackFromTheTrackerPortIsSavedAndComesBack) {
    TempDir dir;
    writeFile(dir.file("registry.reg"), settingsOnly(0));
    const std::vector<GpsFix> fixes{fixAt(51.50, -0.12, 0, 40), fixAt(51.51, -0.10, 90, 30),
                                    fixAt(51.52, -0.08, 180, 20)};
    const std::string address = uniqueLoopbackAddress();
    {
        NivraProcess nivra(dir.path(), address, {});
        ASSERT_TRUE(nivra.waitForPort(kTrackerPort)) << nivra.out();
        for (const GpsFix& f : fixes)
            exchange(address, kTrackerPort, makeRmcSentence(f));
        // Google Earth (here: a root request) sees the newest position.
        const std::string reply = pollUntil(address, {lonLat(fixes.back())});
        EXPECT_NE(reply.find(lonLat(fixes.back())), std::string::npos) << reply.substr(0, 400);
        stopWithin5s(nivra);
    }

    CTrack saved;
    ASSERT_TRUE(saved.load(dir.file("Nivra.trk")));
    ASSERT_EQ(saved.pointCount(), 3);
    GpsFix newest;
    CTrack::toFix(*saved.point(0), newest);
    EXPECT_NEAR(newest.lat, 51.52, 1e-5);
    EXPECT_NEAR(newest.lon, -0.08, 1e-5);

    // A second start shows the same track again.
    NivraProcess again(dir.path(), address, {});
    ASSERT_TRUE(again.waitForPort(kLinkPort)) << again.out();
    const std::string reply = pollUntil(address, {lonLat(fixes[0]), lonLat(fixes[2])});
    EXPECT_NE(reply.find(lonLat(fixes[0])), std::string::npos);
    EXPECT_NE(reply.find(lonLat(fixes[2])), std::string::npos);
    stopWithin5s(again);
}
