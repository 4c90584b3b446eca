// The demo and playback thread, run for real on its own vehicle list with a
// pace of a few milliseconds per step.
#include "earth/n2k.h"
#include "platform/paths.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "sources/demo.h"
#include "sources/demoScripts.h"
#include "track/nmea.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Waits up to 20 s for a condition that the thread brings about.
bool eventually(const std::function<bool()>& condition) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

// A short log: `n` RMC+GGA fixes heading north from (lat, lon) one second
// apart, the course swinging so that no fix is compressed away.
std::string makeLog(int n, double lat, double lon) {
    std::string log;
    for (int i = 0; i < n; ++i) {
        GpsFix f;
        f.lat = lat + i * 0.0002;
        f.lon = lon;
        f.alt = 100 + i;
        f.spd = 20;
        f.hdg = i % 2 ? 10 : 20;
        struct tm utc {};
        utc.tm_year = 109; // 14 June 2009, 12:00:00 + i seconds
        utc.tm_mon = 5;
        utc.tm_mday = 14;
        utc.tm_hour = 12;
        utc.tm_sec = i;
        f.time = fixTimeFromUtcFields(utc);
        log += makeRmcSentence(f);
        log += makeGgaSentence(f);
    }
    return log;
}

class DemoSource : public ::testing::Test {
protected:
    void SetUp() override {
        m_savedStartDir = g_startDir;
        m_dir = fs::temp_directory_path() /
                ("nivra-demo-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        setStartDir(m_dir.string());
        m_local = m_clients.add("Me", "localhost");
        m_local->fly = 1;
        m_local->showAlt = 1;
        m_clients.designateLocal();
        m_engine.resetDemo();
        m_engine.setPace(4);
    }
    void TearDown() override {
        stopAndWait();
        g_startDir = m_savedStartDir;
        fs::remove_all(m_dir);
    }

    void stopAndWait() {
        m_engine.stop();
        ASSERT_TRUE(eventually([&] { return !m_engine.demoRunning(); }));
    }
    // Starts the source and waits until its thread has run `steps` steps.
    void startAndRun(const std::string& name, int64_t steps) {
        int64_t target = m_engine.m_demoSteps + steps;
        m_engine.start(name);
        ASSERT_TRUE(eventually([&] { return m_engine.m_demoSteps >= target; }));
    }
    // Waits until the running thread has run `steps` more steps.
    void runSteps(int64_t steps) {
        int64_t target = m_engine.m_demoSteps + steps;
        ASSERT_TRUE(eventually([&] { return m_engine.m_demoSteps >= target; }));
    }
    void writeFile(const std::string& name, const std::string& text) {
        std::ofstream(m_dir / name, std::ios::binary) << text;
    }
    CClient* vehicle(const char* uName, const char* host) { return m_clients.find(uName, host); }

    fs::path m_dir;
    std::string m_savedStartDir;
    CClients m_clients{"demotest"};
    CClient* m_local = nullptr;
    Cn2k m_engine{m_clients};
};

} // namespace

TEST_F(DemoSource, DemoVehiclesStandInForTheLocalVehicleUntilStopped) {
    m_engine.setPace(60000); // pre-roll and one step, then a long wait
    startAndRun("", kDemoPreRollSteps + 1);
    EXPECT_EQ(m_engine.m_demoState, 2);
    EXPECT_EQ(m_local->removed, 1);

    struct Expect {
        const char* uName;
        const char* host;
        const char* color;
        double courseOffset;
        int fly, extrude, showAlt, showSpeed;
    };
    const Expect expected[] = {
        {"Demo A", "demo1", "lightblue", 0, 0, 0, 0, 1},
        {"Demo B", "demo2", "red", -17.5, 0, 0, 0, 1},
        {"Demo C", "demo3", "purple", 0, 0, 0, 0, 1},
        {"Demo D", "demo4", "yellow", 0, 1, 1, 1, 0},
        {"Me(demo)", "demo5", "orange", 0, 0, 0, 0, 1},
    };
    for (const Expect& x : expected) {
        CClient* v = vehicle(x.uName, x.host);
        ASSERT_NE(v, nullptr) << x.uName;
        EXPECT_EQ(v->name, std::string(x.uName) + "@" + x.host);
        EXPECT_EQ(v->color, x.color);
        EXPECT_EQ(v->demoOffset, x.courseOffset) << x.uName;
        EXPECT_EQ(v->fly, x.fly) << x.uName;
        EXPECT_EQ(v->extrude, x.extrude) << x.uName;
        EXPECT_EQ(v->showAlt, x.showAlt) << x.uName;
        EXPECT_EQ(v->showSpeed, x.showSpeed) << x.uName;
        EXPECT_EQ(v->isDemo, 1);
        EXPECT_EQ(v->online, 1);
        EXPECT_EQ(v->speedTrack, 1);
        EXPECT_EQ(v->timestamps, 1);
        EXPECT_EQ(v->showName, 1);
        EXPECT_GT(v->track.pointCount(), 0) << x.uName;
    }
    CClient* standIn = vehicle("Me(demo)", "demo5");
    EXPECT_EQ(m_clients.localVehicle(), standIn);
    EXPECT_EQ(m_engine.m_local.load(), standIn);
    EXPECT_EQ(standIn->isLocal, 1);
    EXPECT_EQ(vehicle("Demo A", "demo1")->isLocal, 0);
    // The aircraft flies 2000 m above its recorded altitude.
    EXPECT_GT(vehicle("Demo D", "demo4")->position().alt, 10668.0 + 1000.0);
    EXPECT_GT(m_engine.m_nPoints, 0);
    EXPECT_FALSE(standIn->lastLine.empty());

    m_local->track.m_newPt = 0;
    stopAndWait();
    EXPECT_EQ(m_engine.m_demoState, 0);
    EXPECT_EQ(m_local->removed, 0);
    EXPECT_EQ(m_clients.localVehicle(), m_local);
    EXPECT_EQ(m_engine.m_local.load(), m_local);
    EXPECT_EQ(m_engine.m_demoCurrent.load(), m_local);
    EXPECT_EQ(m_local->track.m_newPt, 1);
    for (const Expect& x : expected)
        EXPECT_EQ(vehicle(x.uName, x.host), nullptr) << x.uName << " still listed";
}

TEST_F(DemoSource, FirstStartShowsTwoMinutesOfTrackAndASecondStartDoesNot) {
    m_engine.setPace(60000);
    startAndRun("", kDemoPreRollSteps + 1);
    CClient* a = vehicle("Demo A", "demo1");
    ASSERT_NE(a, nullptr);
    int64_t now = nowFixTime();
    {
        TrackLockGuard lock;
        ASSERT_TRUE(lock.ok());
        int n = a->track.pointCount();
        ASSERT_GE(n, 20);
        GpsFix newest, oldest;
        CTrack::toFix(*a->track.point(0), newest);
        CTrack::toFix(*a->track.point(n - 1), oldest);
        // The pre-roll starts 242 s back, two seconds per step.
        EXPECT_NEAR(static_cast<double>(now - oldest.time), 242.0, 5.0);
        EXPECT_NEAR(static_cast<double>(now - newest.time), 0.0, 5.0);
    }
    EXPECT_EQ(m_engine.m_firstStart, 0);
    stopAndWait();

    int64_t before = m_engine.m_demoSteps;
    startAndRun("", 1);
    EXPECT_EQ(m_engine.m_demoSteps - before, 1) << "a second start ran a pre-roll";
    a = vehicle("Demo A", "demo1");
    ASSERT_NE(a, nullptr);
    // The trip starts again on a cleared track; its first line, a GGA, only
    // updates the position.
    EXPECT_EQ(a->track.pointCount(), 0);
}

TEST_F(DemoSource, ADemoVehicleReplaysItsOwnRecordingInsteadOfItsScript) {
    writeFile("Demo B.nme", makeLog(20, 10.0, 20.0));
    startAndRun("", kDemoPreRollSteps + 10);
    CClient* b = vehicle("Demo B", "demo2");
    ASSERT_NE(b, nullptr);
    EXPECT_NEAR(b->position().lat, 10.0, 0.01);
    EXPECT_NEAR(b->position().lon, 20.0, 0.01);
    // The recording's course is true: no offset, and its own times are kept.
    EXPECT_EQ(b->demoOffset, 0.0);
    EXPECT_TRUE(b->position().hdg == 10.0 || b->position().hdg == 20.0);
    EXPECT_LT(b->position().time, nowFixTime() - 86400);
    // The other vehicles still run their trips around the bay.
    CClient* c = vehicle("Demo C", "demo3");
    ASSERT_NE(c, nullptr);
    EXPECT_NEAR(c->position().lat, 37.86, 0.1);
}

TEST_F(DemoSource, PlaybackPausesAtTheEndOfTheLog) {
    writeFile("trip.nme", makeLog(15, 48.0, 11.0));
    m_engine.setPlaybackLog("trip.nme");
    m_engine.setPlayback(1);
    m_engine.start("Me");
    ASSERT_TRUE(eventually([&] { return m_engine.m_paused == 1; }));
    CClient* play = vehicle("Me", "play");
    ASSERT_NE(play, nullptr);
    EXPECT_EQ(m_clients.localVehicle(), play);
    EXPECT_EQ(play->track.pointCount(), 15);
    EXPECT_NEAR(play->position().lat, 48.0 + 14 * 0.0002, 1e-5);
    EXPECT_EQ(play->lastLine.rfind("$GPRMC", 0), 0u);
    // Display options come from the real local vehicle.
    EXPECT_EQ(play->fly, 1);
    EXPECT_EQ(play->showAlt, 1);
    EXPECT_EQ(play->color, "orange");
    // Paused, it stays at the end.
    int64_t steps = m_engine.m_demoSteps;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(m_engine.m_demoSteps, steps);
    EXPECT_EQ(play->track.pointCount(), 15);
}

TEST_F(DemoSource, ALineThatBeginsWithANulByteDoesNotEndThePlayback) {
    // A capture with line noise: a line made of a NUL byte and junk after the
    // fifth fix. The rest of the log still plays.
    std::string log = makeLog(15, 48.0, 11.0);
    size_t at = 0;
    for (int i = 0; i < 10; ++i)
        at = log.find('\n', at) + 1;
    log.insert(at, std::string("\0\x13junk\r\n", 8));
    writeFile("noisy.nme", log);
    m_engine.setPlaybackLog("noisy.nme");
    m_engine.setPlayback(1);
    m_engine.start("Me");
    ASSERT_TRUE(eventually([&] { return m_engine.m_paused == 1; }));
    CClient* play = vehicle("Me", "play");
    ASSERT_NE(play, nullptr);
    EXPECT_EQ(play->track.pointCount(), 15);
    EXPECT_NEAR(play->position().lat, 48.0 + 14 * 0.0002, 1e-5);
}

TEST_F(DemoSource, LoopPlaybackClearsTheTrackAndStartsTheLogAgain) {
    EngineSettings loop;
    loop.loopPlayback = true;
    m_engine.setSettings(loop);
    writeFile("trip.nme", makeLog(10, 48.0, 11.0));
    m_engine.setPlaybackLog("trip.nme");
    m_engine.setPlayback(1);
    m_engine.start("Me");
    ASSERT_TRUE(eventually([&] {
        CClient* p = m_clients.find("Me", "play");
        return p && p->track.m_seqNum >= 25;
    }));
    CClient* play = vehicle("Me", "play");
    ASSERT_NE(play, nullptr);
    EXPECT_EQ(m_engine.m_paused, 0);
    // Every pass starts on a cleared track: never more than one log's points.
    EXPECT_LE(play->track.pointCount(), 10);
    EXPECT_GE(play->track.pointCount(), 1);
    stopAndWait();
    EXPECT_EQ(m_clients.localVehicle(), m_local);
}

TEST_F(DemoSource, ALoopedLogOfOneFixShowsItOnEveryPass) {
    // The pass repeats the fix the last pass ended on; it is not taken for
    // a receiver repeating itself.
    EngineSettings loop;
    loop.loopPlayback = true;
    m_engine.setSettings(loop);
    writeFile("parked.nme", makeLog(1, 48.0, 11.0));
    m_engine.setPlaybackLog("parked.nme");
    m_engine.setPlayback(1);
    m_engine.start("Me");
    EXPECT_TRUE(eventually([&] {
        CClient* p = m_clients.find("Me", "play");
        return p && p->track.m_seqNum >= 4;
    })) << "each pass clears the track and must add its one point again";
}

TEST_F(DemoSource, PlaybackWithoutALogFallsBackToTheLocalDemoTrip) {
    m_engine.setPlaybackLog("missing.nme");
    m_engine.setPlayback(1);
    startAndRun("Me", 4);
    CClient* play = vehicle("Me", "play");
    ASSERT_NE(play, nullptr);
    EXPECT_NEAR(play->position().lat, 37.80, 0.05);
    // A played script keeps its recorded times: playback shows what was logged.
    EXPECT_LT(play->position().time, nowFixTime() - 86400);
}

TEST_F(DemoSource, PausedDemoIdlesAndStartWhileRunningDoesNothing) {
    startAndRun("", kDemoPreRollSteps + 2);
    m_engine.start("ignored"); // already running
    EXPECT_EQ(vehicle("ignored", "play"), nullptr);
    m_engine.setPaused(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int64_t steps = m_engine.m_demoSteps;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(m_engine.m_demoSteps, steps);
    m_engine.setPaused(0);
    runSteps(3);
}
