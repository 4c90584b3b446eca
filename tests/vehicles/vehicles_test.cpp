#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "remote/client.h"

#include "registry/regTestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <thread>

using regtest::readFile;
using regtest::TempDir;
using regtest::writeFile;

namespace {

constexpr int64_t kT0 = 1700000000;

// Each test runs in its own start directory with its own registry file.
class Vehicles : public ::testing::Test {
protected:
    void SetUp() override {
        m_oldStartDir = g_startDir;
        setStartDir(m_dir.path());
    }
    void TearDown() override { g_startDir = m_oldStartDir; }

    std::string regPath() const { return m_dir.file("registry.reg"); }

    // The keys below Software\Nivra, in file order.
    std::vector<std::string> storedKeys(RegistryStore& reg) {
        std::vector<std::string> keys;
        for (const auto& [k, v] : reg.snapshot())
            if (v.path.rfind("Software\\Nivra\\", 0) == 0)
                keys.push_back(v.path.substr(15));
        return keys;
    }

    static std::string storedName(RegistryStore& reg, int n) {
        std::string name = "<none>";
        if (auto key = reg.openKey("Software\\Nivra\\servers" + std::to_string(n)))
            key->queryString("name", name);
        return name;
    }

    static void addPoints(CTrack& track, int count) {
        for (int i = 0; i < count; ++i) {
            GpsFix f;
            f.lat = 48.1 + i * 0.001;
            f.lon = 11.5;
            f.alt = 500;
            f.spd = 10;
            f.hdg = 90;
            f.time = kT0 + 10 * i;
            track.add(f, 2);
        }
    }

    TempDir m_dir;
    std::string m_oldStartDir;
};

} // namespace

TEST_F(Vehicles, FreshInstallationHasOnlyTheLocalVehicle) {
    RegistryStore reg(regPath());
    CClients list("servers");
    list.load(reg, "Me", "localhost");
    std::vector<CClient*> all = list.vehicles(true);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0]->name, "Me@localhost");
    EXPECT_EQ(all[0]->uName, "Me");
    EXPECT_EQ(all[0]->host, "localhost");
    EXPECT_EQ(list.localVehicle(), nullptr);

    CClient* local = list.designateLocal();
    ASSERT_EQ(local, all[0]);
    EXPECT_EQ(local->isLocal, 1);
    EXPECT_EQ(local->online, 1);
    EXPECT_EQ(list.localVehicle(), local);
    EXPECT_EQ(list.realLocalVehicle(), local);
    // Designated once: a later "localhost" vehicle earlier in key order changes nothing.
    CClient* other = list.add("A", "localhost");
    EXPECT_EQ(list.designateLocal(), local);
    EXPECT_EQ(other->isLocal, 0);
}

TEST_F(Vehicles, ListKeepsByteOrderAndHidesRemovedVehicles) {
    CClients list;
    CClient* b = list.add("b", "h");
    CClient* big = list.add("B", "h");
    CClient* a = list.add("a", "h");
    EXPECT_EQ(list.vehicles(), (std::vector<CClient*>{big, a, b}));
    EXPECT_EQ(list.find("a@h"), a);
    EXPECT_EQ(list.find("A@h"), nullptr); // keys are case-sensitive
    EXPECT_EQ(list.find("a", "h"), a);
    EXPECT_EQ(a->uName, "a");
    EXPECT_EQ(a->host, "h");
    EXPECT_EQ(list.add("a@h"), a); // find-or-create

    a->recordFile = std::tmpfile();
    list.remove("a", "h");
    EXPECT_EQ(a->removed, 1);
    EXPECT_EQ(a->recordFile, nullptr); // recording stops with the vehicle
    EXPECT_EQ(list.find("a@h"), nullptr);
    EXPECT_EQ(list.vehicles(), (std::vector<CClient*>{big, b}));
    EXPECT_EQ(list.vehicles(true), (std::vector<CClient*>{big, a, b}));
    std::vector<std::string> seen;
    list.forEach([&](CClient& c) { seen.push_back(c.name); });
    EXPECT_EQ(seen, (std::vector<std::string>{"B@h", "b@h"}));
    list.remove("nobody@h"); // nothing to remove
    EXPECT_EQ(list.vehicles().size(), 2u);
}

TEST_F(Vehicles, ReAddingARemovedVehicleRestoresIt) {
    RegistryStore reg(regPath());
    CClients list;
    CClient* v = list.add("truck", "10.0.0.7");
    v->color = "Blue";
    v->showAlt = 1;
    v->maxPts = 500;
    addPoints(v->track, 3);
    list.remove("truck", "10.0.0.7");
    ASSERT_TRUE(list.save(reg, false));
    EXPECT_EQ(storedKeys(reg), (std::vector<std::string>{})); // removed: not saved

    CClient* back = list.add("truck", "10.0.0.7");
    EXPECT_EQ(back, v);
    EXPECT_EQ(back->removed, 0);
    EXPECT_EQ(back->color, "Blue");
    EXPECT_EQ(back->showAlt, 1);
    EXPECT_EQ(back->maxPts, 500);
    EXPECT_EQ(back->track.pointCount(), 3);
}

TEST_F(Vehicles, RenameMovesTheSameVehicleToItsNewKey) {
    CClients list;
    CClient* me = list.add("Me", "localhost");
    addPoints(me->track, 2);
    list.add("Bob", "peer");
    list.add("Gone", "localhost");
    list.remove("Gone@localhost");
    struct Case {
        const char* from;
        const char* to;
        bool ok;
    } cases[] = {
        {"Me@localhost", "Bob@peer", false},       // taken
        {"Me@localhost", "Gone@localhost", false}, // taken by a removed one
        {"Nobody@x", "Who@x", false},              // no such vehicle
        {"Me@localhost", "Mia@localhost", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(list.rename(c.from, c.to), c.ok) << c.from << " -> " << c.to;
    EXPECT_EQ(list.find("Mia@localhost"), me);
    EXPECT_EQ(me->name, "Mia@localhost");
    EXPECT_EQ(list.find("Me@localhost"), nullptr);
    EXPECT_EQ(me->track.pointCount(), 2);
    EXPECT_EQ(list.vehicles().size(), 2u);
}

TEST_F(Vehicles, SaveRenumbersTheKeysWithoutGaps) {
    RegistryStore reg(regPath());
    // A longer list saved before: its extra keys must go.
    {
        RegTransaction tx(reg);
        for (int n = 0; n < 5; ++n)
            tx.createKey("Software\\Nivra\\servers" + std::to_string(n) + "\\extra");
        ASSERT_EQ(tx.commit(), 0);
    }
    CClients list;
    list.add("a", "h1");
    list.add("b", "h2");
    list.add("c", "h3");
    CClient* demo = list.add("Demo", "demo");
    demo->isDemo = 1;
    ASSERT_TRUE(list.save(reg, false));
    EXPECT_EQ(storedKeys(reg), (std::vector<std::string>{"servers0", "servers1", "servers2"}));

    list.remove("b", "h2");
    ASSERT_TRUE(list.save(reg, false));
    EXPECT_EQ(storedKeys(reg), (std::vector<std::string>{"servers0", "servers1"}));
    EXPECT_EQ(storedName(reg, 0), "a@h1");
    EXPECT_EQ(storedName(reg, 1), "c@h3");

    RegistryStore again(regPath());
    CClients loaded;
    loaded.load(again, "Me", "localhost");
    std::vector<std::string> names;
    loaded.forEach([&](CClient& c) { names.push_back(c.name); });
    EXPECT_EQ(names, (std::vector<std::string>{"Me@localhost", "a@h1", "c@h3"}));
}

TEST_F(Vehicles, EveryStoredValueComesBack) {
    RegistryStore reg(regPath());
    CClients list;
    CClient* v = list.add("Me", "localhost");
    v->image = "car.png";
    v->color = "Red";
    v->tracking = kTrackFollow | kTrackViewControl;
    v->speedTrack = 0;
    v->maxPts = 0;
    v->fly = 1;
    v->extrude = 1;
    v->timestamps = 0;
    v->useTimeSpan = 1;
    v->startTime = 1699990000;
    v->endTime = 1700076399;
    v->visible = 0;
    v->showHdg = v->showAlt = v->showHost = 1;
    v->showSpeed = v->showTime = v->showName = 0;
    v->trackWidth = 2.5;
    v->cursorType = 2;
    v->compress = 0;
    v->modelFile = "/models/car.dae";
    v->imageFile = "/img/car.png";
    v->remoteType = remoteGpsGate;
    v->online = 1; // not persisted
    ASSERT_TRUE(list.save(reg, false));
    EXPECT_NE(readFile(regPath()).find("\"maxSpd\"=dword:00094ed0\n"), std::string::npos);
    EXPECT_NE(readFile(regPath()).find("\"trackWidth\"=dword:000061a8\n"), std::string::npos);

    RegistryStore again(regPath());
    CClients loaded;
    loaded.load(again, "Me", "localhost");
    ASSERT_EQ(loaded.vehicles().size(), 1u);
    CClient* w = loaded.find("Me@localhost");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->image, "car.png");
    EXPECT_EQ(w->color, "Red");
    EXPECT_EQ(w->tracking, 0x21);
    EXPECT_EQ(w->speedTrack, 0);
    EXPECT_EQ(w->maxPts, 0);
    EXPECT_EQ(w->fly, 1);
    EXPECT_EQ(w->extrude, 1);
    EXPECT_EQ(w->timestamps, 0);
    EXPECT_EQ(w->useTimeSpan, 1);
    EXPECT_EQ(w->startTime, 1699990000);
    EXPECT_EQ(w->endTime, 1700076399);
    EXPECT_EQ(w->visible, 0);
    EXPECT_DOUBLE_EQ(w->maxSpd, 61.0);
    EXPECT_EQ(w->showHdg + w->showAlt + w->showHost, 3);
    EXPECT_EQ(w->showSpeed + w->showTime + w->showName, 0);
    EXPECT_DOUBLE_EQ(w->trackWidth, 2.5);
    EXPECT_EQ(w->cursorType, 2);
    EXPECT_EQ(w->compress, 0);
    EXPECT_EQ(w->modelFile, "/models/car.dae");
    EXPECT_EQ(w->imageFile, "/img/car.png");
    EXPECT_EQ(w->remoteType, remoteGpsGate);
    EXPECT_EQ(w->online, 0);
}

TEST_F(Vehicles, LoadRulesAndFieldSizes) {
    const std::string longName(300, 'n');
    writeFile(regPath(), "Windows Registry Editor Version 5.00\n"
                         "[Software\\Nivra\\servers0]\n"
                         "\"name\"=\"" +
                             longName + "@far\"\n" + "\"uName\"=\"" + std::string(300, 'u') +
                             "\"\n" +
                             "\"host\"=\"\"\n" // empty: keeps default
                             "\"color\"=\"" +
                             std::string(40, 'c') + "\"\n" +
                             "\"maxPts\"=dword:fffffffb\n" // -5: keeps 2000
                             "\"maxSpd\"=dword:00030d40\n" // 200000: 20.0 knots
                             "\"showName\"=dword:00000000\n"
                             "[Software\\Nivra\\servers1]\n" // no name: skipped
                             "\"uName\"=\"ghost\"\n"
                             "[Software\\Nivra\\servers2]\n"
                             "\"name\"=\"Me@localhost\"\n"
                             "\"host\"=\"localhost\"\n"
                             "[Software\\Nivra\\servers4]\n" // after a gap: not read
                             "\"name\"=\"late@x\"\n");
    RegistryStore reg(regPath());
    CClients list;
    CClient* old = list.add("old", "gone");
    list.load(reg, "Me", "localhost");

    std::vector<CClient*> all = list.vehicles();
    ASSERT_EQ(all.size(), 2u); // no extra "Me@localhost": the stored one is local
    CClient* v = all[1]->name == "Me@localhost" ? all[0] : all[1];
    EXPECT_EQ(v->name, longName.substr(0, 255));
    EXPECT_EQ(v->uName, std::string(255, 'u'));
    EXPECT_EQ(v->host, "");
    EXPECT_EQ(v->color, std::string(31, 'c'));
    EXPECT_EQ(v->maxPts, 2000);
    EXPECT_DOUBLE_EQ(v->maxSpd, 20.0);
    EXPECT_EQ(v->showName, 0);
    EXPECT_EQ(v->showSpeed, 1); // missing: default
    EXPECT_EQ(list.find("late@x"), nullptr);
    // Loading empties the list, but a vehicle someone may hold stays alive.
    EXPECT_EQ(list.find("old@gone"), nullptr);
    EXPECT_EQ(old->removed, 1);
    EXPECT_EQ(old->name, "old@gone");
}

TEST_F(Vehicles, TracksGoToFilesNamedAfterTheKey) {
    // A key with '/' gets a safe name with the key's hash, so that it never
    // shares a file with the key that has '.' there.
    CClient v("user/a@host/b");
    const std::string file = v.trackFileName();
    EXPECT_TRUE(file.starts_with("user.a@host.b~") && file.ends_with(".trk")) << file;
    EXPECT_NE(file, CClient("user.a@host.b").trackFileName());
    EXPECT_EQ(CClient("Me@localhost").trackFileName(), "Me@localhost.trk");

    RegistryStore reg(regPath());
    {
        CClients list;
        CClient* me = list.add("Me", "localhost");
        CClient* peer = list.add("user/a", "host/b");
        addPoints(peer->track, 4);
        addPoints(me->track, 1);
        ASSERT_TRUE(list.save(reg, true));
    }
    EXPECT_TRUE(std::filesystem::exists(m_dir.file(file)));
    EXPECT_TRUE(std::filesystem::exists(m_dir.file("Me@localhost.trk")));

    CClients loaded;
    loaded.load(reg, "Me", "localhost");
    CClient* peer = loaded.find("user/a@host/b");
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(peer->track.pointCount(), 4);
    EXPECT_EQ(peer->track.m_newPt, 1);
    EXPECT_EQ(peer->curPos.time, kT0 + 30); // the newest point
    EXPECT_NEAR(peer->curPos.lat, 48.103, 1e-5);
    EXPECT_NEAR(peer->curPos.lon, 11.5, 1e-5);

    // Saved without tracks: the files are left as they are.
    std::filesystem::remove(m_dir.file(file));
    ASSERT_TRUE(loaded.save(reg, false));
    EXPECT_FALSE(std::filesystem::exists(m_dir.file(file)));

    // A file an earlier version stored under the old name still loads.
    {
        CTrack old;
        addPoints(old, 3);
        ASSERT_TRUE(old.save(m_dir.file("user.a@host.b.trk")));
    }
    CClients upgraded;
    upgraded.load(reg, "Me", "localhost");
    ASSERT_NE(upgraded.find("user/a@host/b"), nullptr);
    EXPECT_EQ(upgraded.find("user/a@host/b")->track.pointCount(), 3);
}

TEST_F(Vehicles, KeysOfUpTo255CharactersAreKeptWhole) {
    CClients list;
    const std::string keep = std::string(200, 'k') + "@" + std::string(54, 'h'); // 255
    const std::string cut = std::string(200, 'c') + "@" + std::string(55, 'h');  // 256
    ASSERT_EQ(keep.size(), 255u);
    EXPECT_EQ(list.add(keep)->name, keep);
    EXPECT_EQ(list.find(keep)->name, keep);
    CClient* v = list.add(cut);
    EXPECT_EQ(v->name, cut.substr(0, 255)) << "a longer key is cut to what a field holds";
    EXPECT_EQ(list.find(cut), v) << "and found by the same cut";
    CClient* byParts = list.add(std::string(200, 'p'), std::string(54, 'h'));
    EXPECT_EQ(byParts->name.size(), 255u);
    EXPECT_EQ(byParts->host, std::string(54, 'h'));
}

TEST_F(Vehicles, AUnitTheTrackerPortCreatedIsSavedOnceItHadTwoPoints) {
    struct Case {
        const char* key;
        bool byTracker;
        int points;
        bool saved;
    };
    const Case cases[] = {
        {"Unit@one", true, 1, false}, // a stranger's one fix: nothing on disk
        {"Unit@two", true, 2, true},    {"Unit@none", true, 0, false},
        {"Peer@one", false, 1, true}, // vehicles the user added are always saved
        {"Stored@one", false, 1, true},
    };
    RegistryStore reg(regPath());
    {
        CClients list;
        list.add("Me", "localhost");
        for (const Case& c : cases) {
            CClient* v = list.add(c.key);
            v->createdByTracker = c.byTracker ? 1 : 0;
            addPoints(v->track, c.points);
        }
        ASSERT_TRUE(list.save(reg, true));
    }
    CClients loaded;
    loaded.load(reg, "Me", "localhost");
    for (const Case& c : cases) {
        const std::string file = CClient(c.key).trackFileName();
        EXPECT_EQ(loaded.find(c.key) != nullptr, c.saved) << c.key;
        EXPECT_EQ(std::filesystem::exists(m_dir.file(file)), c.saved && c.points > 0) << c.key;
    }
    // A unit that once had two points keeps its place even after a clear.
    CClients again;
    CClient* unit = again.add("Unit@cleared");
    unit->createdByTracker = 1;
    addPoints(unit->track, 2);
    unit->track.clear();
    ASSERT_TRUE(again.save(reg, true));
    EXPECT_EQ(storedName(reg, 0), "Unit@cleared");
}

TEST_F(Vehicles, InterruptedSaveKeepsEveryStoredVehicle) {
    RegistryStore reg(regPath());
    CClients list;
    list.add("a", "h1");
    list.add("b", "h2");
    list.add("c", "h3");
    ASSERT_TRUE(list.save(reg, false));
    const std::string before = readFile(regPath());

    list.add("d", "h4")->uName = std::string(255, 'd');
    TraceCapture trace;
    {
        regtest::FileSizeLimit limit(before.size() + 64);
        EXPECT_FALSE(list.save(reg, false));
    }
    std::vector<std::string> lines = trace.matching("Can't create key - error 27");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("CClients::save"), std::string::npos);
    EXPECT_EQ(readFile(regPath()), before);

    RegistryStore again(regPath());
    CClients loaded;
    loaded.load(again, "Me", "localhost");
    EXPECT_EQ(loaded.vehicles().size(), 4u); // a, b, c and the local vehicle
}

TEST_F(Vehicles, AStoreThatCannotBeWrittenRefusesTheSave) {
    CClients list;
    list.add("a", "h1");
    RegistryStore device("/dev/null");
    TraceCapture trace;
    EXPECT_FALSE(list.save(device, false));
    std::vector<std::string> refused = trace.matching("No HKLM/Software key???");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0].find("CClients::save"), std::string::npos) << refused[0];
    EXPECT_TRUE(device.snapshot().empty());
}

TEST_F(Vehicles, TracksAreSavedEvenWhenTheStoreRefusesTheList) {
    // The list cannot be stored, but the points gathered in this run still
    // reach their track files.
    CClients list;
    CClient* peer = list.add("a", "h1");
    addPoints(peer->track, 3);
    RegistryStore device("/dev/null");
    EXPECT_FALSE(list.save(device, true));
    CTrack back;
    ASSERT_TRUE(back.load(m_dir.file("a@h1.trk")));
    EXPECT_EQ(back.pointCount(), 3);
}

TEST_F(Vehicles, DisplayPositionFollowsTheTimeSpan) {
    CClient v("v@h");
    v.curPos.lat = 10;
    v.curPos.time = kT0 + 99;
    addPoints(v.track, 5); // kT0 .. kT0+40
    v.endTime = static_cast<int32_t>(kT0 + 25);
    EXPECT_EQ(v.displayPosition().lat, 10); // span off: the current position

    v.useTimeSpan = 1;
    GpsFix p = v.displayPosition();
    EXPECT_EQ(p.time, kT0 + 20); // the newest point before the end
    EXPECT_NEAR(p.lat, 48.102, 1e-5);
    EXPECT_EQ(v.shownPos.time, kT0 + 20);

    v.endTime = static_cast<int32_t>(kT0); // every point is later
    EXPECT_EQ(v.displayPosition().time, kT0 + 99);

    CClient empty("e@h");
    empty.useTimeSpan = 1;
    empty.endTime = static_cast<int32_t>(kT0);
    empty.curPos.lat = 7;
    EXPECT_EQ(empty.displayPosition().lat, 7);
}

TEST_F(Vehicles, TodaysSpanRunsFromLocalMidnight) {
    CClient v("v@h");
    time_t before = time(nullptr);
    v.setTodaySpan();
    time_t after = time(nullptr);
    ASSERT_NE(v.startTime, 0);
    EXPECT_EQ(v.endTime, v.startTime + 86399);
    // Back from the fix-time scale to a real instant: local midnight of today.
    time_t instant = static_cast<time_t>(v.startTime - tzOffset());
    struct tm start {};
    localtime_r(&instant, &start);
    EXPECT_EQ(start.tm_hour, 0);
    EXPECT_EQ(start.tm_min, 0);
    EXPECT_EQ(start.tm_sec, 0);
    struct tm today {};
    localtime_r(&before, &today);
    struct tm today2 {};
    localtime_r(&after, &today2);
    EXPECT_TRUE(start.tm_yday == today.tm_yday || start.tm_yday == today2.tm_yday);
    EXPECT_LE(instant, after);

    v.startTime = 12345;
    v.endTime = 99;
    v.setTodaySpan(); // already set: unchanged
    EXPECT_EQ(v.startTime, 12345);
    EXPECT_EQ(v.endTime, 99);
}

TEST_F(Vehicles, RemoteTypeComesFromTheHost) {
    struct Case {
        const char* host;
        int type;
    } cases[] = {
        {"mologogo.com", remoteWeb},
        {"MOLOGOGO.com/public", remoteWeb},
        {"mapfactor.com", remoteWeb},
        {"gpsgate.com", remoteGpsGate},
        {"GpsGate.Com/buddies", remoteGpsGate},
        {"www.gpsgate.com", remotePeer},
        {"mologogo", remotePeer},
        {"localhost", remotePeer},
        {"", remotePeer},
    };
    for (const Case& c : cases) {
        CClient v;
        v.host = c.host;
        EXPECT_EQ(v.remoteTypeFromHost(), c.type) << c.host;
    }
}

TEST_F(Vehicles, AddingWhileAnotherThreadIteratesIsSafe) {
    // Without the list's lock the reader walks a tree that is being rebalanced
    // under it: it then skips or repeats vehicles, or crashes.
    constexpr int kAdds = 20000;
    CClients list;
    CClient* first = list.add("000000", "h");
    std::atomic<bool> done{false};
    std::atomic<int> faults{0};
    std::thread reader([&] {
        size_t lastSize = 0;
        while (!done) {
            std::vector<CClient*> snap = list.vehicles();
            if (snap.size() < lastSize)
                ++faults;
            lastSize = snap.size();
            for (size_t i = 1; i < snap.size(); ++i)
                if (!(snap[i - 1]->name < snap[i]->name))
                    ++faults;
            size_t walked = 0;
            list.forEach([&](CClient&) { ++walked; });
            if (walked < lastSize)
                ++faults;
        }
    });
    for (int i = 1; i <= kAdds; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "%06d", (i * 7919) % 1000000); // out of order
        list.add(key, "h");
    }
    done = true;
    reader.join();
    EXPECT_EQ(faults, 0);
    EXPECT_EQ(list.vehicles().size(), static_cast<size_t>(kAdds) + 1);
    EXPECT_EQ(list.find("000000@h"), first); // vehicles never move
}
