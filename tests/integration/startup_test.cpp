// The real program's start as a newcomer and a packager meet it: a second
// copy whose ports are taken, --start, what a browser gets in every state, a
// display that does not answer, and where the files go without --dir.
#include "fixText.h"
#include "nivraProcess.h"

#include "track/track.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using namespace itest;
namespace fs = std::filesystem;

namespace {

constexpr int kLinkPort = 51233;
constexpr int kTrackerPort = 51234;
const char* const kRootGet = "GET / HTTP/1.1\r\nHost: nivra\r\n\r\n";
const char* const kEarthPoll =
    "GET /NivraServers?&LOOKAT=8.5,47.3,1000,0,0 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

std::string settings(int demoMode) {
    return std::string("Windows Registry Editor Version 5.00\r\n\r\n[Software]\r\n\r\n"
                       "[Software\\Nivra]\r\n\"DemoMode\"=dword:0000000") +
           std::to_string(demoMode) + "\r\n\r\n";
}

int stopAndStatus(NivraProcess& nivra) {
    int status = 0;
    if (nivra.terminate(status, 15000) < 0)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// A track file of three points, as an older version left it.
void writeTrack(const std::string& path) {
    CTrack track;
    track.add(fixAt(46.25, 7.5, 10, 300), 2);
    track.add(fixAt(46.375, 7.625, 80, 200), 2);
    track.add(fixAt(46.5, 7.75, 150, 100), 2);
    ASSERT_TRUE(track.save(path));
}

} // namespace

TEST(StartUp, ASecondCopySaysWhichPortsAreTakenAndEndsWithAFailure) {
    TempDir dirA, dirB;
    const std::string address = uniqueLoopbackAddress();
    writeFile(dirA.file("registry.reg"), settings(0));
    writeFile(dirB.file("registry.reg"), settings(0));
    NivraProcess first(dirA.path(), address, {});
    ASSERT_TRUE(first.waitForPort(kLinkPort)) << first.out();
    ASSERT_TRUE(first.waitForOutput("Stop with Ctrl+C")) << first.out();

    NivraProcess second(dirB.path(), address, {});
    int status = 0;
    ASSERT_GE(second.waitForEnd(status, 15000), 0) << "the second copy kept running";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << "a service manager must see the failure";
    const std::string err = second.err();
    for (const char* port : {"51230 (base)", "51231 (peer control)", "51232 (peer ping)",
                             "51233 (network link)", "51234 (tracker lines)", "5055 (phones)"})
        EXPECT_TRUE(has(err, std::string("cannot open port ") + port + " on " + address +
                                 ": Address already in use"))
            << port << "\n"
            << err;
    // No banner claiming ports that do not listen, and no line repeated.
    EXPECT_FALSE(has(second.out(), "listens on")) << second.out();
    EXPECT_LE(count(err, "ERROR binding:98"), 6u) << err;
    // It changed nothing: the settings as written, no track file.
    EXPECT_EQ(readFile(dirB.file("registry.reg")), settings(0));
    EXPECT_FALSE(fs::exists(dirB.file("Nivra.trk")));

    // The first copy serves on, undisturbed.
    EXPECT_EQ(exchange(address, kLinkPort, kRootGet).rfind("HTTP/1.1 200 OK", 0), 0u);
    EXPECT_EQ(stopAndStatus(first), 0);
}

TEST(StartUp, StartNeverPausesAndEveryClientButGoogleEarthGetsHttp) {
    struct Case {
        const char* what;
        int demoMode;
        bool start;
        const char* rootStatus; // the status line a browser at / gets
        const char* rootSays;   // in that reply
    };
    const Case cases[] = {
        {"demo, not started", 1, false, "HTTP/1.1 503 Service Unavailable", "Nivra is paused"},
        {"demo, --start", 1, true, "HTTP/1.1 200 OK", "<name>Me(demo)</name>"},
        {"receiver, --start", 0, true, "HTTP/1.1 200 OK", "<Document>"},
        {"receiver", 0, false, "HTTP/1.1 200 OK", "<Document>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        writeFile(dir.file("registry.reg"), settings(c.demoMode));
        const std::string address = uniqueLoopbackAddress();
        std::vector<std::string> extra;
        if (c.start)
            extra.push_back("--start");
        NivraProcess nivra(dir.path(), address, extra);
        ASSERT_TRUE(nivra.waitForPort(kLinkPort)) << nivra.out();
        ASSERT_TRUE(nivra.waitForOutput("Stop with Ctrl+C")) << nivra.out();
        // Ask until the reply settles (the demo takes a moment to appear).
        std::string reply;
        for (int i = 0; i < 60; ++i) {
            reply = exchange(address, kLinkPort, kRootGet);
            if (has(reply, c.rootSays))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        EXPECT_EQ(reply.rfind(c.rootStatus, 0), 0u) << reply.substr(0, 300);
        EXPECT_TRUE(has(reply, c.rootSays)) << reply.substr(0, 300);
        // Asked again, a running engine stays running: --start never paused it.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(exchange(address, kLinkPort, kRootGet).rfind(c.rootStatus, 0), 0u);
        // A request that is not HTTP at all gets an HTTP reply too.
        EXPECT_EQ(exchange(address, kLinkPort, "hello\r\n\r\n").rfind("HTTP/1.1 ", 0), 0u);
        // Google Earth's own poll gets a KML document, with or without news.
        const std::string poll = exchange(address, kLinkPort, kEarthPoll);
        EXPECT_TRUE(poll.rfind("<?xml", 0) == 0 || poll.rfind("HTTP/1.1 200 OK", 0) == 0)
            << poll.substr(0, 200);
        EXPECT_EQ(stopAndStatus(nivra), 0);
    }
}

TEST(StartUp, ADisplayThatDoesNotAnswerMeansHeadless) {
    // No --headless: the window would be tried. Nothing listens on these
    // displays in the test's network.
    const int n = 700 + static_cast<int>(getpid() % 200);
    const std::string number = std::to_string(n);
    const std::vector<std::string> displays{":" + number, "unix:" + number + ".0",
                                            "127.0.0.1:" + number};
    for (const std::string& display : displays) {
        SCOPED_TRACE(display);
        TempDir dir;
        writeFile(dir.file("registry.reg"), settings(0));
        const std::string address = uniqueLoopbackAddress();
        Launch launch;
        launch.args = {"--dir", dir.path(), "--bind", address, "--earth", "none"};
        launch.home = dir.path();
        launch.env = {"DISPLAY=" + display, "QT_QPA_PLATFORM="};
        launch.address = address;
        NivraProcess nivra(launch);
        ASSERT_TRUE(nivra.waitForPort(kTrackerPort)) << nivra.out() << nivra.err();
        ASSERT_TRUE(nivra.waitForOutput("is running without a window")) << nivra.out();
        if (has(nivra.err(), "nivra: this build has no window"))
            GTEST_SKIP() << "the program was built without its window (NIVRA_UI=OFF)";
        EXPECT_TRUE(has(nivra.err(), "nivra: the X display " + display + " does not answer"))
            << nivra.err();
        EXPECT_TRUE(has(nivra.err(), "; running headless")) << nivra.err();
        EXPECT_EQ(stopAndStatus(nivra), 0) << nivra.err();
    }
}

TEST(StartUp, WithoutDirTheFilesGoToTheDataFolderAndAnOldSetupIsCarriedOverOnce) {
    TempDir home;
    const std::string old = home.file("old");
    fs::create_directories(old);
    writeTrack(old + "/Nivra.trk");
    writeFile(old + "/AutoView.cfg", "0 1000 45\n");
    const std::string oldTrack = readFile(old + "/Nivra.trk");
    writeFile(home.file("registry.reg"), settings(0));
    const std::string data = home.file("data/nivra");
    const std::string address = uniqueLoopbackAddress();

    Launch launch;
    launch.args = {"--headless", "--bind", address, "--earth", "none"};
    launch.home = home.path();
    launch.cwd = old;
    launch.outputDir = home.path();
    launch.address = address;
    const std::string notice = "Nivra keeps its files in " + data + " now";
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "first start" : "second start");
        NivraProcess nivra(launch);
        ASSERT_TRUE(nivra.waitForPort(kLinkPort)) << nivra.out() << nivra.err();
        ASSERT_TRUE(nivra.waitForOutput("Start directory: " + data + "\n")) << nivra.out();
        // The old track is the new folder's: Google Earth sees its points.
        const std::string reply = pollUntil(address, {lonLat(fixAt(46.375, 7.625, 0, 0))});
        EXPECT_TRUE(has(reply, lonLat(fixAt(46.375, 7.625, 0, 0)))) << reply.substr(0, 300);
        std::this_thread::sleep_for(std::chrono::milliseconds(600)); // the first tick's notices
        EXPECT_EQ(stopAndStatus(nivra), 0) << nivra.err();
    }
    // Told once, on the first start only.
    const std::string err = readFile(home.file("stderr.txt"));
    EXPECT_EQ(count(err, notice), 1u) << err;
    EXPECT_TRUE(has(err, "Nivra.trk and AutoView.cfg were copied there from " + old)) << err;
    struct stat st {};
    ASSERT_EQ(stat(data.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "tracks are private";
    CTrack saved;
    ASSERT_TRUE(saved.load(data + "/Nivra.trk"));
    EXPECT_EQ(saved.pointCount(), 3);
    EXPECT_TRUE(fs::exists(data + "/AutoView.cfg"));
    EXPECT_EQ(readFile(old + "/Nivra.trk"), oldTrack) << "the old folder is left as it was";

    // A --dir that does not exist yet is made.
    const std::string given = home.file("a/b");
    Launch withDir = launch;
    withDir.args.insert(withDir.args.end(), {"--dir", given});
    NivraProcess nivra(withDir);
    ASSERT_TRUE(nivra.waitForOutput("Start directory: " + given + "\n")) << nivra.err();
    EXPECT_EQ(stopAndStatus(nivra), 0);
    EXPECT_TRUE(fs::is_directory(given));
}
