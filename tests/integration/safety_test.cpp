// The real program keeps the user's track through the ends that are not
// clean: two stop signals in a row, saves that fail (a full disk, a directory
// that cannot be written, a folder where the track file belongs), and SIGKILL
// at any moment while it saves periodically.
#include "nivraProcess.h"

#include "platform/runtime.h"
#include "track/nmea.h"
#include "track/track.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>

using namespace itest;

namespace {

constexpr int kTrackerPort = 51234;

std::string registryWith(int autoSavePeriod) {
    char value[16];
    snprintf(value, sizeof value, "%08x", autoSavePeriod);
    return std::string("Windows Registry Editor Version 5.00\r\n\r\n[Software]\r\n\r\n"
                       "[Software\\Nivra]\r\n\"DemoMode\"=dword:00000000\r\n"
                       "\"AutoSavePeriod\"=dword:") +
           value + "\r\n\r\n";
}

// Fix number `i` of a drive: one per second, the course turning by a degree
// each time so that no fix is compressed away.
GpsFix driveFix(int i, int64_t firstTime) {
    GpsFix f;
    f.lat = 47.0 + i * 0.0001;
    f.lon = 8.0 + i * 0.0001;
    f.hdg = i % 360;
    f.spd = 20;
    f.status = 1;
    f.time = firstTime + i;
    return f;
}

// Posts fixes to the tracker port until the program accepted `count` more;
// returns the next fix number.
int feed(const std::string& address, int next, int count, int64_t firstTime) {
    for (int k = 0; k < count; ++k, ++next)
        exchange(address, kTrackerPort, makeRmcSentence(driveFix(next, firstTime)), 2000);
    return next;
}

// A small file system of its own for the directory, when the test may mount one.
class SmallFileSystem {
public:
    SmallFileSystem(const std::string& dir, const char* options, bool readOnly) : m_dir(dir) {
        m_mounted =
            ::mount("nivra-test", dir.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options) == 0;
    }
    ~SmallFileSystem() {
        if (m_mounted)
            ::umount2(m_dir.c_str(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }

private:
    std::string m_dir;
    bool m_mounted = false;
};

// Polls `text()` until it holds `wanted` (false after 20 s).
template <typename Text> bool waitForText(Text text, const std::string& wanted) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (text().find(wanted) == std::string::npos) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

} // namespace

TEST(Safety, ASecondStopSignalDoesNotCutTheSaveShort) {
    TempDir dir;
    writeFile(dir.file("registry.reg"), registryWith(0));
    const std::string address = uniqueLoopbackAddress();
    NivraProcess nivra(dir.path(), address, {});
    ASSERT_TRUE(nivra.waitForPort(kTrackerPort)) << nivra.out();
    const int64_t first = nowFixTime() - 600;
    feed(address, 0, 5, first);
    // What some service managers and `timeout` do: two signals, 5 ms apart.
    nivra.signal(SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    nivra.signal(SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    nivra.signal(SIGINT);
    int status = 0;
    ASSERT_GE(nivra.waitForEnd(status, 20000), 0) << "still running";
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << nivra.err();
    EXPECT_NE(nivra.out().find("Nivra: stopped."), std::string::npos) << nivra.out();
    EXPECT_NE(nivra.err().find("another stop signal"), std::string::npos) << nivra.err();
    CTrack saved;
    ASSERT_TRUE(saved.load(dir.file("Nivra.trk")));
    EXPECT_EQ(saved.pointCount(), 5);
}

TEST(Safety, FailedSavesAreReportedWithANonZeroExit) {
    struct Case {
        const char* what;
        const char* mountOptions; // nullptr: no file system of its own
        bool readOnly;
        bool folderAtTrackPath;
        const char* startUpWarning; // expected on stderr before the stop, or nullptr
    };
    const Case cases[] = {
        {"a folder where Nivra.trk belongs", nullptr, false, true, nullptr},
        {"a full disk", "size=1m", false, false, nullptr},
        {"a read-only directory", "size=1m", true, false, "cannot be written"},
    };
    for (const Case& c : cases) {
        TempDir outside; // output and registry live outside the directory under test
        TempDir dir;
        std::unique_ptr<SmallFileSystem> fs;
        if (c.mountOptions)
            fs = std::make_unique<SmallFileSystem>(dir.path(), c.mountOptions, c.readOnly);
        if (fs && !fs->mounted()) {
            // Without the right to mount, a full disk cannot be made here;
            // the track store's own tests cover it with /dev/full.
            std::cerr << "skipping " << c.what << ": cannot mount a tmpfs\n";
            continue;
        }
        if (c.folderAtTrackPath)
            std::filesystem::create_directory(dir.file("Nivra.trk"));
        if (fs && !c.readOnly) {
            // A track file takes a block per few dozen points (the unused
            // part of its ring is a hole), so the disk is filled up first.
            std::ofstream filler(dir.file("filler"), std::ios::binary);
            const std::string block(64 * 1024, 'f');
            while (filler.write(block.data(), std::streamsize(block.size())) && filler.flush()) {
            }
        }
        writeFile(outside.file("registry.reg"), registryWith(0));
        const std::string address = uniqueLoopbackAddress();
        NivraProcess nivra(dir.path(), address, {}, outside.path(), outside.file("registry.reg"));
        ASSERT_TRUE(nivra.waitForPort(kTrackerPort)) << c.what << nivra.out() << nivra.err();
        if (c.startUpWarning) {
            EXPECT_TRUE(waitForText([&] { return nivra.err(); }, c.startUpWarning))
                << c.what << ": " << nivra.err();
        }
        feed(address, 0, 3, nowFixTime() - 600);
        int status = 0;
        ASSERT_GE(nivra.terminate(status, 20000), 0) << c.what;
        ASSERT_TRUE(WIFEXITED(status)) << c.what;
        EXPECT_NE(WEXITSTATUS(status), 0) << c.what << ": a lost track is not a success";
        const std::string err = nivra.err();
        EXPECT_NE(err.find("Saving failed"), std::string::npos) << c.what << ": " << err;
        EXPECT_NE(err.find("Nivra.trk"), std::string::npos) << c.what << ": " << err;
        EXPECT_EQ(nivra.out().find("Nivra: stopped.\n"), std::string::npos) << c.what;
        // No leftovers of the failed saves.
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos)
                << c.what << ": " << e.path();
    }
}

TEST(Safety, KilledAtRandomMomentsEveryFileLoadsAndAtMostOnePeriodIsLost) {
    // Saves every tick (2 s); SIGKILL at a random moment of the feeding, ten
    // times. Each restart must load every file undamaged, leave no temporary
    // files behind, and hold every point fed more than a save period (plus
    // the tick and a margin for a loaded machine) before the kill.
    constexpr int kKills = 10;
    constexpr int kSavePeriodS = 1;
    constexpr int kLossBoundS = kSavePeriodS + 2 + 2;
    TempDir dir;
    writeFile(dir.file("registry.reg"), registryWith(kSavePeriodS));
    const std::string address = uniqueLoopbackAddress();
    const int64_t first = nowFixTime() - 3600;
    std::mt19937 random(20261208);
    int next = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        NivraProcess nivra(dir.path(), address, {});
        ASSERT_TRUE(nivra.waitForPort(kTrackerPort)) << nivra.out() << nivra.err();
        // The previous run's files loaded cleanly: nothing was set aside.
        EXPECT_EQ(nivra.err().find("damaged"), std::string::npos) << nivra.err();
        const auto start = std::chrono::steady_clock::now();
        const auto killAt = start + std::chrono::milliseconds(3000 + random() % 6000);
        std::vector<std::pair<int, std::chrono::steady_clock::time_point>> fed;
        while (std::chrono::steady_clock::now() < killAt) {
            next = feed(address, next, 1, first);
            fed.emplace_back(next - 1, std::chrono::steady_clock::now());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        nivra.signal(SIGKILL);
        int status = 0;
        ASSERT_GE(nivra.waitForEnd(status, 10000), 0);
        const auto killed = std::chrono::steady_clock::now();

        // Every file loads, undamaged.
        for (const char* name : {"Nivra.trk", "Me@localhost.trk"}) {
            if (!std::filesystem::exists(dir.file(name)))
                continue;
            CTrack t;
            TrackLoadReport r;
            ASSERT_TRUE(t.load(dir.file(name), &r)) << name << " after kill " << kill;
            EXPECT_FALSE(r.damaged) << name << ": " << r.problem;
        }
        CTrack local;
        int newest = -1;
        if (local.load(dir.file("Nivra.trk")) && local.pointCount() > 0)
            newest = static_cast<int>(local.point(0)->time - first);
        for (const auto& [fix, when] : fed) {
            if (killed - when <= std::chrono::seconds(kLossBoundS))
                continue; // may still have been waiting for the next save
            EXPECT_LE(fix, newest)
                << "fix " << fix << " fed "
                << std::chrono::duration_cast<std::chrono::milliseconds>(killed - when).count()
                << " ms before kill " << kill << " is lost";
        }
    }
    // The last start removes what the killed saves left behind.
    NivraProcess last(dir.path(), address, {});
    ASSERT_TRUE(last.waitForPort(kTrackerPort)) << last.out();
    int status = 0;
    ASSERT_GE(last.terminate(status, 20000), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << last.err();
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        const std::string name = e.path().filename().string();
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
        EXPECT_EQ(name.find(".bad"), std::string::npos) << name;
    }
}

TEST(Safety, DebugLogSwitchAndHeadlessWarningsOnStderr) {
    // Without --debug-log no trace log file appears; with it the log is
    // written. Either way a warning (here: a damaged track file set aside)
    // reaches stderr in headless mode.
    for (bool debugLog : {false, true}) {
        TempDir dir;
        writeFile(dir.file("registry.reg"), registryWith(0));
        writeFile(dir.file("Nivra.trk"), "garbage, not a track\n");
        const std::string address = uniqueLoopbackAddress();
        std::vector<std::string> extra;
        if (debugLog)
            extra.push_back("--debug-log");
        NivraProcess nivra(dir.path(), address, extra);
        ASSERT_TRUE(nivra.waitForPort(kTrackerPort)) << nivra.out() << nivra.err();
        EXPECT_TRUE(waitForText([&] { return nivra.err(); }, "Nivra.trk is damaged"))
            << nivra.err();
        EXPECT_NE(nivra.err().find("Nivra.trk.bad"), std::string::npos) << nivra.err();
        int status = 0;
        ASSERT_GE(nivra.terminate(status, 20000), 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << nivra.err();
        EXPECT_EQ(std::filesystem::exists(dir.file("nivraDebug.log")), debugLog);
        if (debugLog) {
            EXPECT_NE(readFile(dir.file("nivraDebug.log")).find("is not a track file"),
                      std::string::npos);
        }
        // Told once, not on every tick.
        const std::string err = nivra.err();
        EXPECT_EQ(err.find("Nivra.trk is damaged"), err.rfind("Nivra.trk is damaged")) << err;
    }
}
