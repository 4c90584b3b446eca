// The real program with Google Earth Pro as a stand-in `google-earth-pro` on
// PATH that notes the file it was asked to open: where the installed link
// points, what Google Earth's first full reply shows, and how fast a SIGTERM
// ends a start-up that is still installing the link. And without any Google
// Earth: the cursor still has a size.
#include "nivraProcess.h"

#include "common/kmlCursor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sys/wait.h>
#include <thread>

using namespace itest;

namespace {

constexpr int kLinkPort = 51233;

bool waitFor(const std::function<bool()>& done, int ms = 30000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// Google Earth's poll of the link, with its view.
std::string linkPoll(const std::string& address) {
    return exchange(address, kLinkPort,
                    "GET /NivraServers?&LOOKAT=0.000000,0.000000,1000.000000,0.000000,0.000000 "
                    "HTTP/1.1\r\nHost: " +
                        address + "\r\n\r\n");
}

// Polls the link until a full reply comes.
std::string firstFullReply(const std::string& address) {
    std::string reply;
    waitFor([&] {
        reply = linkPoll(address);
        return reply.rfind("HTTP/1.1 200 OK", 0) == 0;
    });
    return reply;
}

// The name of the last vehicle folder of a document: the tracked vehicle's.
std::string lastFolderName(const std::string& kml) {
    const std::string tag = "<Folder>\n  <name>";
    const size_t at = kml.rfind(tag);
    if (at == std::string::npos)
        return std::string();
    const size_t start = at + tag.size();
    return kml.substr(start, kml.find("</name>", start) - start);
}

// A stand-in `google-earth-pro` first on PATH for the runs a test starts.
class EarthProOnPath : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(bin.path() + "/bin");
        const std::string script = bin.file("bin/google-earth-pro");
        writeFile(script,
                  "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + bin.file("started.txt") + "'\n");
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        const char* path = getenv("PATH");
        m_oldPath = path ? path : "";
        setenv("PATH", (bin.path() + "/bin:" + m_oldPath).c_str(), 1);
    }
    void TearDown() override { setenv("PATH", m_oldPath.c_str(), 1); }

    std::string started() const { return readFile(bin.file("started.txt")); }

    TempDir bin;

private:
    std::string m_oldPath;
};

} // namespace

TEST_F(EarthProOnPath, TheLinkNamesTheBoundAddressAndTheFirstReplyFollowsTheDemo) {
    TempDir dir;
    const std::string address = uniqueLoopbackAddress();
    NivraProcess nivra(dir.path(), address, {"--start", "--earth", "gepro"});
    ASSERT_TRUE(nivra.started());

    // Installing the link opens the link file in Google Earth, once.
    ASSERT_TRUE(waitFor([&] { return !started().empty(); })) << nivra.out();
    const std::string linkFile = dir.file("NivraServers.kml");
    EXPECT_EQ(started(), linkFile + "\n");
    const std::string link = readFile(linkFile);
    EXPECT_NE(link.find("<href>http://" + address + ":51233/NivraServers</href>"),
              std::string::npos)
        << link;

    // Google Earth's first full reply already follows the demo's stand-in
    // for the local vehicle, and flies the camera to where it is.
    const std::string reply = firstFullReply(address);
    ASSERT_EQ(reply.rfind("HTTP/1.1 200 OK", 0), 0u) << reply.substr(0, 200);
    EXPECT_EQ(lastFolderName(reply), "Me(demo)");
    const size_t lat = reply.find("<LookAt>\n<longitude>");
    ASSERT_NE(lat, std::string::npos) << reply.substr(0, 400);
    EXPECT_NE(reply.substr(lat + 20, 9), "0.000000<") << "not sent to 0, 0";

    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(started(), linkFile + "\n") << "installed once";
    int status = 0;
    EXPECT_GE(nivra.terminate(status), 0);
}

TEST_F(EarthProOnPath, SigtermWhileTheLinkIsBeingInstalledEndsWithin3sWithEverythingSaved) {
    TempDir dir;
    const std::string address = uniqueLoopbackAddress();
    NivraProcess nivra(dir.path(), address, {"--start", "--earth", "gepro"});
    ASSERT_TRUE(nivra.started());
    std::this_thread::sleep_for(std::chrono::seconds(1));

    int status = 0;
    const long ms = nivra.terminate(status, 10000);
    ASSERT_GE(ms, 0) << "still running 10 s after SIGTERM";
    EXPECT_LE(ms, 3000) << nivra.out();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string reg = readFile(dir.file("registry.reg"));
    EXPECT_NE(reg.find("[Software\\Nivra]"), std::string::npos) << reg;
    EXPECT_NE(reg.find("[Software\\Nivra\\servers0]"), std::string::npos) << reg;
    EXPECT_NE(nivra.out().find("Nivra: stopped."), std::string::npos) << nivra.out();
}

TEST(EarthNone, TheFirstFullReplyDrawsTheMovingDemoWithAnArrowOfSomeSize) {
    TempDir dir;
    const std::string address = uniqueLoopbackAddress();
    NivraProcess nivra(dir.path(), address, {"--start"});
    ASSERT_TRUE(nivra.started());
    ASSERT_TRUE(nivra.waitForPort(kLinkPort)) << nivra.out();
    std::string reply;
    ASSERT_TRUE(waitFor([&] {
        reply = firstFullReply(address);
        return lastFolderName(reply) == "Me(demo)";
    })) << reply.substr(0, 400);
    const std::vector<std::string> corners = lastCursorCorners(reply);
    ASSERT_GE(corners.size(), 4u) << reply;
    EXPECT_NE(corners[0], corners[1]);
    EXPECT_NE(corners[0], corners[2]);
    int status = 0;
    EXPECT_GE(nivra.terminate(status), 0);
}
