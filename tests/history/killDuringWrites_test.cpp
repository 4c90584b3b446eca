// kill -9 at random moments while the store writes 500 vehicles' points at
// ten a second each (ten times the load of 500 vehicles at 1 Hz): the file opens afterwards,
// SQLite's integrity check says "ok", and every point the store had reported written is there.
#include "historyTestUtil.h"

#include "history/historyStore.h"
#include "history/historyWriter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <poll.h>
#include <random>
#include <sys/wait.h>
#include <thread>

namespace {

// The child: writes until it is killed, telling the parent after each
// commit how many points the file holds for sure.
[[noreturn]] void writeUntilKilled(const std::string& path, int out) {
    HistoryStore store(path);
    store.start();
    int64_t t = 1800000000;
    auto lastFlush = std::chrono::steady_clock::now();
    for (;;) {
        for (int v = 0; v < 500; ++v)
            store.add(
                HistoryPoint{"v" + std::to_string(v) + "@h", "device",
                             HistoryFix{t, 47 + v * 1e-3, 8 + (t % 1000) * 1e-5, 400, 10, 90}},
                false);
        ++t;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (std::chrono::steady_clock::now() - lastFlush > std::chrono::milliseconds(200)) {
            if (store.flush(10000)) {
                const uint64_t written = store.stats().written;
                if (::write(out, &written, sizeof written) != sizeof written)
                    ::_exit(3);
            }
            lastFlush = std::chrono::steady_clock::now();
        }
    }
}

} // namespace

TEST(KillDuringWrites, TheFileStaysSoundAndKeepsWhatWasCommitted) {
    TempDir dir;
    const std::string path = dir.file("history.gpkg");
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> pause(30, 900);
    uint64_t lastCommitted = 0;
    for (int attempt = 0; attempt < 20; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(fds[0]);
            writeUntilKilled(path, fds[1]);
        }
        ::close(fds[1]);
        // The kill comes at a random moment after the run's first commit, so
        // that every run has something it must not lose, however slow the
        // build (a sanitizer's) or the machine.
        uint64_t written = 0, committed = 0;
        pollfd first{fds[0], POLLIN, 0};
        if (::poll(&first, 1, 30000) == 1 &&
            ::read(fds[0], &written, sizeof written) == sizeof written)
            committed = written;
        std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended before it was killed";
        EXPECT_GT(committed, 0u) << "the run committed nothing in 30 s";
        // Every report is a count the file held after a commit of this run.
        while (::read(fds[0], &written, sizeof written) == sizeof written)
            committed = written;
        ::close(fds[0]);

        EXPECT_EQ(sqlValue(path, "PRAGMA integrity_check"), "ok");
        const long long rows = rowCount(path);
        // Runs write the same times again (replacing), so the file holds at
        // least the most any run had committed.
        lastCommitted = std::max<uint64_t>(lastCommitted, committed);
        EXPECT_GE(rows, static_cast<long long>(lastCommitted));
        // And the next run can write to it.
        HistoryWriter w;
        std::string error;
        EXPECT_TRUE(w.open(path, error)) << error;
    }
}
