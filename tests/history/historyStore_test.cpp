// The store and its writer thread: what reaches the file (and what a
// compressed or bogus point does to it), the retention rules, a full queue,
// and a file that cannot be written, which is said once while the tracking
// goes on.
#include "historyTestUtil.h"

#include "history/historyQuery.h"
#include "history/historyStore.h"
#include "history/historyWriter.h"
#include "remote/client.h"
#include "trace/notice.h"
#include "track/nmea.h"

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>

namespace {

HistoryPoint point(const std::string& key, int64_t utc, double lat = 47.1, double lon = 8.2) {
    return HistoryPoint{key, "peer", HistoryFix{utc, lat, lon, 400, 12, 90}};
}

GpsFix fixAt(int64_t utc, double lat, double lon, double spd, double hdg) {
    GpsFix f;
    f.lat = lat;
    f.lon = lon;
    f.alt = 100;
    f.spd = spd;
    f.hdg = hdg;
    f.time = utcToFixTime(utc);
    f.status = 'A';
    f.rmcSeen = 1;
    return f;
}

std::vector<HistoryFix> storedFixes(const std::string& path, const std::string& key) {
    HistoryQuery q;
    q.keys = {key};
    HistoryReadResult r;
    std::string error;
    EXPECT_TRUE(readHistory(path, q, r, error)) << error;
    return r.tracks.empty() ? std::vector<HistoryFix>{} : r.tracks[0].fixes;
}

class HistoryStoreTest : public ::testing::Test {
protected:
    void SetUp() override { takeUserNotices(); }
    TempDir m_dir;
};

} // namespace

TEST_F(HistoryStoreTest, PointsReachTheFileWithTheirValues) {
    const std::string path = m_dir.file("history.gpkg");
    HistoryStore store(path);
    store.start();
    for (int i = 0; i < 50; ++i)
        store.add(point("me@localhost", 1245013393 + i, 47.1 + i * 0.001), false);
    store.add(point("car@peer", 1245013393), false);
    ASSERT_TRUE(store.flush(5000));
    EXPECT_EQ(rowCount(path), 51);
    EXPECT_EQ(store.stats().written, 51u);
    const std::vector<HistoryFix> me = storedFixes(path, "me@localhost");
    ASSERT_EQ(me.size(), 50u);
    EXPECT_EQ(me[49].utc, 1245013393 + 49);
    EXPECT_DOUBLE_EQ(me[49].lat, 47.1 + 49 * 0.001);
    EXPECT_DOUBLE_EQ(me[0].lon, 8.2);
    EXPECT_DOUBLE_EQ(me[0].alt, 400);
    EXPECT_NEAR(me[0].speedKnots, 12, 1e-9);
    EXPECT_DOUBLE_EQ(me[0].course, 90);
    EXPECT_EQ(sqlValue(path, "SELECT source FROM track_points LIMIT 1"), "peer");
    EXPECT_EQ(sqlValue(path, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(sqlValue(path, "PRAGMA application_id"), "1196444487");
    EXPECT_EQ(sqlValue(path, "PRAGMA user_version"), "10300");
    // The layer's extent covers every point.
    EXPECT_EQ(sqlValue(path, "SELECT max_y FROM gpkg_contents"), "47.149");
    EXPECT_EQ(sqlValue(path, "SELECT min_x FROM gpkg_contents"), "8.2");
}

TEST_F(HistoryStoreTest, ReplacementsAndRepeatedTimesKeepOnePointEach) {
    const std::string path = m_dir.file("history.gpkg");
    HistoryStore store(path);
    store.start();
    const struct {
        const char* step;
        int64_t utc;
        bool replaces;
        size_t expected;
        int64_t newest;
    } steps[] = {
        {"first", 100000, false, 1, 100000},
        {"second", 100005, false, 2, 100005},
        {"compressed replaces the newest", 100008, true, 2, 100008},
        {"and again", 100011, true, 2, 100011},
        {"a new point", 100020, false, 3, 100020},
        {"the same second replaces that point", 100020, false, 3, 100020},
        {"an older point from a phone goes in its place", 100002, false, 4, 100020},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.step);
        store.add(point("v@h", s.utc), s.replaces);
        ASSERT_TRUE(store.flush(5000));
        const std::vector<HistoryFix> fixes = storedFixes(path, "v@h");
        ASSERT_EQ(fixes.size(), s.expected);
        EXPECT_EQ(fixes.back().utc, s.newest);
    }
}

TEST_F(HistoryStoreTest, TheVehicleListHandsOverWhatTheTrackKeeps) {
    const std::string path = m_dir.file("history.gpkg");
    HistoryStore store(path);
    store.start();
    CClients clients("servers", &store);
    CClient* car = clients.add("car", "10.0.0.7");
    car->remoteType = remoteDevice;
    const int64_t t0 = 1245013393;
    // Moving at a steady course and speed: the track compresses, so the
    // history holds the same two points the ring does.
    car->track.add(fixAt(t0, 47.0, 8.0, 20, 90), 1);
    car->track.add(fixAt(t0 + 1, 47.0, 8.001, 20, 90), 1);
    car->track.add(fixAt(t0 + 2, 47.0, 8.002, 20, 90), 1);
    car->track.add(fixAt(t0 + 3, 47.0, 8.003, 20, 90), 1);
    // Rejected (earlier than the newest but not than the one before): nothing.
    car->track.add(fixAt(t0 + 2, 47.0, 8.009, 20, 90), 1);
    // The demo's drives are not kept.
    CClient* demo = clients.add("Demo", "demo");
    demo->isDemo = 1;
    demo->track.add(fixAt(t0, 48.0, 9.0, 20, 90), 2);
    ASSERT_TRUE(store.flush(5000));

    ASSERT_EQ(car->track.pointCount(), 2);
    const std::vector<HistoryFix> fixes = storedFixes(path, "car@10.0.0.7");
    ASSERT_EQ(fixes.size(), 2u);
    EXPECT_EQ(fixes[0].utc, t0);
    EXPECT_EQ(fixes[1].utc, t0 + 3) << "the compressed fix replaced the newest";
    EXPECT_DOUBLE_EQ(fixes[1].lon, 8.003);
    EXPECT_EQ(rowCount(path), 2) << "the demo vehicle left nothing";
    EXPECT_EQ(sqlValue(path, "SELECT DISTINCT source FROM track_points"), "device");
}

TEST_F(HistoryStoreTest, ABogusNewestPointIsReplacedInTheHistoryToo) {
    const std::string path = m_dir.file("history.gpkg");
    HistoryStore store(path);
    store.start();
    CClients clients("servers", &store);
    CClient* v = clients.add("me", "localhost");
    const int64_t t0 = 1245013393;
    v->track.add(fixAt(t0, 47.0, 8.0, 0, 0), 2);
    v->track.add(fixAt(t0 + 10, 47.1, 8.0, 0, 0), 2);
    v->track.add(fixAt(t0 + 500, 47.2, 8.0, 0, 0), 2); // a receiver's wrong time
    v->track.add(fixAt(t0 + 5, 47.3, 8.0, 0, 0), 2);   // earlier than point 1: erases it
    ASSERT_TRUE(store.flush(5000));
    const std::vector<HistoryFix> fixes = storedFixes(path, "me@localhost");
    ASSERT_EQ(fixes.size(), 3u);
    EXPECT_EQ(fixes[1].utc, t0 + 5);
    EXPECT_EQ(fixes[2].utc, t0 + 10);
}

TEST_F(HistoryStoreTest, AFullQueueDropsAndCountsWithoutWaiting) {
    HistoryStore store(m_dir.file("history.gpkg")); // not started: nothing drains
    for (size_t i = 0; i < HistoryStore::kQueueLimit + 7; ++i)
        store.add(point("v@h", static_cast<int64_t>(i)), false);
    const HistoryStats s = store.stats();
    EXPECT_EQ(s.queued, HistoryStore::kQueueLimit);
    EXPECT_EQ(s.dropped, 7u);
}

TEST_F(HistoryStoreTest, SwitchedOffKeepsNothing) {
    const std::string path = m_dir.file("history.gpkg");
    HistoryStore store(path);
    HistorySettings off;
    off.enabled = false;
    store.setSettings(off);
    store.start();
    store.add(point("v@h", 1000), false);
    EXPECT_TRUE(store.flush(5000));
    EXPECT_EQ(store.stats().queued, 0u);
    store.setSettings(HistorySettings{});
    store.add(point("v@h", 2000), false);
    ASSERT_TRUE(store.flush(5000));
    EXPECT_EQ(rowCount(path), 1);
}

TEST_F(HistoryStoreTest, RetentionRemovesTheOldestFirst) {
    const std::string path = m_dir.file("history.gpkg");
    HistoryWriter w;
    std::string error;
    ASSERT_TRUE(w.open(path, error)) << error;
    const int64_t now = 1800000000;
    std::vector<HistoryWriter::Item> items;
    for (int day : {400, 366, 364, 10, 0})
        items.push_back({point("v@h", now - day * 86400LL), false});
    ASSERT_TRUE(w.write(items, false, error)) << error;
    EXPECT_EQ(w.applyRetention(HistoryRetention{365, 0}, now, error), 2) << error;
    EXPECT_EQ(rowCount(path), 3);
    EXPECT_EQ(sqlValue(path, "SELECT min(time) FROM track_points"), gpkgTime(now - 364 * 86400LL));

    // The size rule: a megabyte of points shrinks below its limit, the
    // earliest written going first.
    items.clear();
    for (int i = 0; i < 30000; ++i)
        items.push_back({point("w@h", now - 30000 + i), false});
    ASSERT_TRUE(w.write(items, false, error)) << error;
    ASSERT_GT(w.dataBytes(), 1024 * 1024);
    EXPECT_GT(w.applyRetention(HistoryRetention{0, 1}, now, error), 0) << error;
    EXPECT_LE(w.dataBytes(), 1024 * 1024);
    EXPECT_EQ(sqlValue(path, "SELECT max(time) FROM track_points WHERE vehicle='w@h'"),
              gpkgTime(now - 1))
        << "the newest point stays";
    EXPECT_EQ(sqlValue(path, "SELECT count(*) FROM track_points WHERE vehicle='v@h'"), "0")
        << "the points written first went first";
}

namespace {

struct ChildReport {
    int failed = -1;
    size_t notices = 0;
    std::string problem;
};

// Runs a store on `path` in a child process (as the user "nobody" when the
// tests run as root, so that a file's mode counts), limited to `fileLimit`
// bytes per file when given, feeding it 40 rounds of 500 points; returns
// what the store said.
ChildReport storeInChild(const std::string& path, rlim_t fileLimit) {
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        std::signal(SIGXFSZ, SIG_IGN);
        if (fileLimit > 0) {
            rlimit limit{fileLimit, fileLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        takeUserNotices();
        HistoryStore store(path);
        store.start();
        for (int round = 0; round < 40; ++round) {
            for (int i = 0; i < 500; ++i)
                store.add(point("v@h", round * 1000 + i), false);
            store.flush(5000);
        }
        const HistoryStats s = store.stats();
        const size_t notices = takeUserNotices().size();
        store.stop();
        const std::string text =
            std::to_string(s.failed) + " " + std::to_string(notices) + "\n" + s.problem + "\n";
        const bool sent =
            ::write(fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::_exit(sent ? 0 : 4);
    }
    ::close(fds[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ChildReport r;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return r;
    std::istringstream in(text);
    in >> r.failed >> r.notices;
    std::getline(in >> std::ws, r.problem);
    return r;
}

} // namespace

TEST_F(HistoryStoreTest, AFileThatCannotBeWrittenIsSaidOnceAndTrackingGoesOn) {
    // The children may run as "nobody": the folder must let them in.
    fs::permissions(m_dir.path(), fs::perms::all);
    const std::string readOnly = m_dir.file("read-only.gpkg");
    {
        HistoryWriter w;
        std::string error;
        ASSERT_TRUE(w.open(readOnly, error)) << error;
    }
    fs::permissions(readOnly,
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string damaged = m_dir.file("damaged.gpkg");
    std::ofstream(damaged) << std::string(8192, 'x');
    fs::permissions(damaged, fs::perms::all);
    const std::string full = m_dir.file("full.gpkg");

    const struct {
        const char* name;
        std::string path;
        rlim_t fileLimit;
        const char* hint;
    } cases[] = {
        {"read-only file", readOnly, 0, "the file is read-only"},
        {"damaged file", damaged, 0, "the file is damaged"},
        // A file that may not grow past 200 kB stands in for a full disk.
        {"full disk", full, 200 * 1024, "the disk is full"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ChildReport r = storeInChild(c.path, c.fileLimit);
        EXPECT_EQ(r.failed, 1);
        EXPECT_EQ(r.notices, 1u) << "said once";
        EXPECT_NE(r.problem.find(c.hint), std::string::npos) << r.problem;
        EXPECT_NE(r.problem.find("tracking goes on"), std::string::npos) << r.problem;
    }
    // What the full disk's store committed before is still a sound file.
    EXPECT_EQ(sqlValue(full, "PRAGMA integrity_check"), "ok");
    EXPECT_GT(rowCount(full), 0);
}
