// The reader fed by gpsfake's pseudo-terminal player (gps.fake, the code the
// gpsfake program runs), replaying a recorded drive as it would to gpsd.
#include "commTestSupport.h"
#include "common/gpsfake.h"

#include "sources/comm.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char* const kPython = "/usr/bin/python3";

// A child process with its stdin and stdout on pipes.
class Child {
public:
    explicit Child(std::vector<std::string> argv) {
        int in[2];
        int out[2];
        if (pipe(in) != 0 || pipe(out) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char*> args;
        for (std::string& a : argv) {
            args.push_back(a.data());
        }
        args.push_back(nullptr);
        if (posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        m_in = fdopen(in[1], "w");
        m_out = fdopen(out[0], "r");
    }
    ~Child() {
        if (m_in != nullptr) {
            fclose(m_in);
        }
        if (m_out != nullptr) {
            fclose(m_out);
        }
        if (m_pid > 0) {
            int status = 0;
            waitpid(m_pid, &status, 0);
        }
    }
    bool ok() const { return m_pid > 0 && m_in != nullptr && m_out != nullptr; }
    std::string readLine() {
        char buf[512];
        return fgets(buf, sizeof buf, m_out) != nullptr ? std::string(buf) : std::string();
    }
    void sendLine() {
        fputs("go\n", m_in);
        fflush(m_in);
    }

private:
    pid_t m_pid = -1;
    FILE* m_in = nullptr;
    FILE* m_out = nullptr;
};

} // namespace

TEST(CommGpsfake, RecordedDriveArrivesSentenceBySentence) {
    if (!gpsfake::available()) {
        GTEST_SKIP() << "gpsfake (gpsd-clients) is not installed";
    }
    const std::string capture = NIVRA_TEST_DATA "/comm/zurich-drive.nmea";
    std::vector<std::string> expected = gpsfake::captureLines(capture);
    ASSERT_GT(expected.size(), 50u);

    Child feeder({kPython, NIVRA_SOURCE_DIR "/tests/comm/gpsfake_feed.py", capture});
    ASSERT_TRUE(feeder.ok());
    std::istringstream header(feeder.readLine());
    std::string device;
    size_t count = 0;
    header >> device >> count;
    ASSERT_EQ(device.rfind("/dev/", 0), 0u) << device;
    EXPECT_EQ(count, expected.size());

    std::mutex lock;
    std::vector<std::string> got;
    Ccomm comm;
    comm.configure(device, 4800, kFlowNone, 0, 0);
    ASSERT_EQ(comm.start([&](const std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        got.push_back(line);
        return 1;
    }),
              1);
    ASSERT_TRUE(waitFor([&] { return comm.status() == "Opening " + device; }));
    sleepMs(100);
    feeder.sendLine();
    EXPECT_EQ(feeder.readLine(), "done\n");
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> guard(lock);
        return got.size() >= expected.size();
    }));
    comm.stop();
    ASSERT_TRUE(waitFor([&] { return !comm.running(); }, 2000));
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(got, expected);
}
