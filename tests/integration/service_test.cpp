// The real program as systemd starts it: stderr a stream into the journal
// (JOURNAL_STREAM names it), a notify socket (NOTIFY_SOCKET). Every stderr
// line must carry its priority and no time stamp; readiness must come once
// every port listens, and the stop before the program ends.
#include "common/notifySocket.h"
#include "nivraProcess.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace itest;

namespace {

// Sets a variable for the life of the object (the program inherits it).
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        if (const char* old = getenv(name))
            m_old = old;
        m_had = getenv(name) != nullptr;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (m_had)
            setenv(m_name, m_old.c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    std::string m_old;
    bool m_had = false;
};

} // namespace

TEST(Service, UnderSystemdStderrCarriesPrioritiesAndReadinessWaitsForThePorts) {
    TempDir dir;
    const std::string address = uniqueLoopbackAddress();
    // stderr.txt exists before the start, so JOURNAL_STREAM can name it.
    writeFile(dir.file("stderr.txt"), "");
    struct stat st {};
    ASSERT_EQ(stat(dir.file("stderr.txt").c_str(), &st), 0);
    NotifySocket manager("@nivra-itest-notify-" + std::to_string(getpid()));
    ASSERT_TRUE(manager.bound());
    ScopedEnv journal("JOURNAL_STREAM",
                      std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
    ScopedEnv notify("NOTIFY_SOCKET", manager.name());
    // No CesiumJS: a warning at start-up, and one when the page asks for it.
    ScopedEnv cesium("NIVRA_CESIUM_DIR", dir.file("no-cesium"));

    NivraProcess nivra(dir.path(), address, {"--start"});
    ASSERT_TRUE(nivra.started());
    const std::string ready = manager.receive(20000);
    ASSERT_EQ(ready.rfind("READY=1\n", 0), 0u) << ready << nivra.err();
    // Ready means every port answers now.
    for (int port : {51230, 51231, 51232, 51233, 51234}) {
        const int fd = connectFrom("", address, port);
        EXPECT_GE(fd, 0) << "port " << port << " not listening at READY=1";
        if (fd >= 0)
            close(fd);
    }
    const std::string page =
        exchange(address, 51233, "GET /globe/cesium/Cesium.js HTTP/1.1\r\n\r\n");
    EXPECT_NE(page.find("404"), std::string::npos) << page.substr(0, 200);

    int status = 0;
    ASSERT_GE(nivra.terminate(status), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string stopping = manager.receive(5000);
    EXPECT_EQ(stopping.rfind("STOPPING=1\n", 0), 0u) << stopping;

    const std::string err = nivra.err();
    std::istringstream lines(err);
    std::string line;
    int warnings = 0;
    const std::regex priority("^<[0-7]>.*");
    const std::regex timeStamp("[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3}\\[");
    while (std::getline(lines, line)) {
        EXPECT_TRUE(std::regex_match(line, priority)) << "no priority: " << line;
        EXPECT_FALSE(std::regex_search(line, timeStamp)) << "a time stamp: " << line;
        if (line.rfind("<4>", 0) == 0 && line.find("CesiumJS is not installed in '" +
                                                   dir.file("no-cesium")) != std::string::npos)
            ++warnings;
    }
    // The same fix, at start-up and for the page.
    EXPECT_EQ(warnings, 2) << err;
    EXPECT_NE(page.find("set NIVRA_CESIUM_DIR to the Build/Cesium folder"), std::string::npos)
        << page.substr(0, 400);
}

TEST(Service, AJournalStreamNamingAnotherFileLeavesStderrAsItWas) {
    TempDir dir;
    const std::string address = uniqueLoopbackAddress();
    // An inherited value: stderr goes to a file, JOURNAL_STREAM names another.
    writeFile(dir.file("other.txt"), "");
    struct stat st {};
    ASSERT_EQ(stat(dir.file("other.txt").c_str(), &st), 0);
    ScopedEnv journal("JOURNAL_STREAM",
                      std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
    ScopedEnv cesium("NIVRA_CESIUM_DIR", dir.file("no-cesium"));
    NivraProcess nivra(dir.path(), address, {});
    ASSERT_TRUE(nivra.started());
    ASSERT_TRUE(nivra.waitForOutput("running without a window")) << nivra.err();
    int status = 0;
    ASSERT_GE(nivra.terminate(status), 0);
    const std::string err = nivra.err();
    EXPECT_NE(err.find("CesiumJS is not installed"), std::string::npos) << err;
    EXPECT_EQ(err.find("<4>"), std::string::npos) << err;
    EXPECT_TRUE(std::regex_search(err, std::regex("[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3}\\[")))
        << err;
}
