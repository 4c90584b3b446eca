// Headless mode's loop on a clock that advances by itself, and the banner.
#include "support.h"

#include "app/headless.h"

#include <cerrno>
#include <filesystem>
#include <sstream>

using namespace apptest;

namespace {

// Time passes only when the loop waits; a stop is requested at `stopAtMs`.
class ManualClock : public LoopClock {
public:
    uint64_t now = 5000;
    uint64_t stopAtMs = 0;
    uint64_t nowMs() override { return now; }
    void waitMs(unsigned ms) override {
        now += ms;
        if (stopAtMs && now >= stopAtMs)
            requestStop();
    }
};

} // namespace

class Headless : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        clearStopRequest();
    }
    void TearDown() override {
        clearStopRequest();
        AppTest::TearDown();
    }
};

TEST_F(Headless, TicksCome200msAfterStartUpThenEvery2000ms) {
    ManualClock clock;
    clock.stopAtMs = clock.now + 7000;
    std::ostringstream out;
    std::ostringstream err;
    CHeadless headless(sys, clock, out, err);
    std::vector<uint64_t> ticks;
    const uint64_t start = clock.now;
    headless.setTickObserver([&](uint64_t t) { ticks.push_back(t - start); });
    EXPECT_EQ(headless.run(false, SettingOverrides{}), 0);
    EXPECT_EQ(ticks, (std::vector<uint64_t>{200, 2200, 4200, 6200}));
}

TEST_F(Headless, StopRunsTheShutdownSequenceAndStartStartsTheDemo) {
    ManualClock clock;
    clock.stopAtMs = clock.now + 500;
    std::ostringstream out;
    std::ostringstream err;
    CHeadless headless(sys, clock, out, err);
    sys.startedLinkPort = 0;
    options().BindAddress = "127.0.0.7";
    EXPECT_EQ(headless.run(true, SettingOverrides{}), 0);
    options().BindAddress.clear();

    EXPECT_FALSE(sys.isPaused); // --start let the demo run
    EXPECT_EQ(g_bShutdown.load(), 1);
    EXPECT_EQ(sys.waits.back(), 3000u);

    const std::string text = out.str();
    // The user is told where Google Earth finds the link and how to stop.
    EXPECT_NE(text.find("http://127.0.0.7:51233/NivraServers"), std::string::npos) << text;
    EXPECT_NE(text.find("Ctrl+C"), std::string::npos);
    EXPECT_NE(text.find("kill -TERM"), std::string::npos);
    EXPECT_NE(text.find("Nivra: stopped."), std::string::npos);
}

TEST_F(Headless, AFailedExitSaveEndsWithStatusOneAndSaysWhy) {
    // A folder where Nivra.trk belongs: the local track cannot be saved.
    std::filesystem::create_directory(file("Nivra.trk"));
    options().DemoMode = 0;
    ManualClock clock;
    clock.stopAtMs = clock.now + 2500;
    std::ostringstream out;
    std::ostringstream err;
    CHeadless headless(sys, clock, out, err);
    headless.setTickObserver([this](uint64_t) {
        GpsFix f;
        f.lat = 48.1;
        f.lon = 11.5;
        f.time = nowFixTime() - 10;
        clients().realLocalVehicle()->track.add(f, 2);
    });
    EXPECT_EQ(headless.run(false, SettingOverrides{}), 1);
    EXPECT_NE(err.str().find("Saving failed"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find(file("Nivra.trk")), std::string::npos) << err.str();
    EXPECT_EQ(out.str().find("Nivra: stopped.\n"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("not everything could be saved"), std::string::npos) << out.str();
    options().DemoMode = 1;
}

TEST_F(Headless, StartFollowsTheDemoBeforeTheLinkIsInstalledOnce) {
    // The demo thread puts its stand-in in place during start-up's wait.
    CClient* demo = nullptr;
    CClient* real = nullptr;
    sys.whenSourceStarts = [&](const std::string&) {
        demo = clients().add("Me(demo)", "demo5");
        demo->isDemo = 1;
        demo->online = 1;
        real = clients().realLocalVehicle();
        real->removed = 1;
        clients().setLocalVehicle(demo);
    };

    ManualClock clock;
    clock.stopAtMs = clock.now + 500;
    std::ostringstream out;
    std::ostringstream err;
    CHeadless headless(sys, clock, out, err);
    EXPECT_EQ(headless.run(true, SettingOverrides{}), 0);
    EXPECT_FALSE(sys.isPaused);
    EXPECT_EQ(sys.tracked, demo);
    EXPECT_EQ(sys.trackedAtLoadServer, std::vector<CClient*>{demo});
    ASSERT_NE(real, nullptr);
    real->removed = 0;
    clients().setLocalVehicle(nullptr);
    clients().remove("Me(demo)@demo5");
}

TEST_F(Headless, StartNeverPausesARunningEngine) {
    struct Case {
        const char* what;
        int demoMode;
        bool start;
        bool pausedAfter;
    };
    const Case cases[] = {
        {"demo, --start: the demo runs", 1, true, false},
        {"demo without --start: it waits", 1, false, true},
        {"receiver, --start: it keeps running", 0, true, false},
        {"receiver without --start", 0, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        clearStopRequest();
        g_bShutdown = 0;
        sys.isPaused = false;
        sys.running = false;
        // The settings the previous run saved would be loaded over these.
        std::filesystem::remove(file("registry.reg"));
        sys.registryStore.reopen(file("registry.reg"));
        options().DemoMode = c.demoMode;
        ManualClock clock;
        clock.stopAtMs = clock.now + 500;
        std::ostringstream out, err;
        CHeadless headless(sys, clock, out, err);
        EXPECT_EQ(headless.run(c.start, SettingOverrides{}), 0);
        EXPECT_EQ(sys.isPaused, c.pausedAfter);
    }
    options().DemoMode = 1;
}

namespace {

ListenerReport report(ListenerRole role, int port, const std::string& address, int error) {
    BindOutcome b;
    b.port = port;
    b.address = address;
    b.tried = true;
    b.error = error;
    return {role, b};
}

std::vector<ListenerReport> allListening(const std::string& nearAddress,
                                         const std::string& peerAddress) {
    return {report(ListenerRole::base, 51230, nearAddress, 0),
            report(ListenerRole::networkLink, 51233, nearAddress, 0),
            report(ListenerRole::trackerLines, 51234, "", 0),
            report(ListenerRole::peerControl, 51231, peerAddress, 0),
            report(ListenerRole::peerPing, 51232, peerAddress, 0)};
}

} // namespace

TEST_F(Headless, APortThatCannotBeOpenedEndsTheRunAtOnceSavingNothing) {
    options().DemoMode = 0;
    sys.reports = allListening("127.0.0.1", "127.0.0.1");
    sys.reports[3].bind.error = EADDRINUSE;
    sys.reports[1].bind.tried = false; // it never got to try
    ManualClock clock;
    clock.stopAtMs = clock.now + 60000;
    std::ostringstream out, err;
    CHeadless headless(sys, clock, out, err);
    EXPECT_EQ(headless.run(true, SettingOverrides{}), CHeadless::kExitPortsUnavailable);
    EXPECT_NE(CHeadless::kExitPortsUnavailable, 0);
    const std::string text = err.str();
    EXPECT_NE(text.find("cannot open port 51231 (peer control) on 127.0.0.1: Address already in "
                        "use; another program holds it"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("cannot open port 51233 (network link) on 127.0.0.1: it did not open in "
                        "time"),
              std::string::npos)
        << text;
    // In port order, and only the ones that failed.
    EXPECT_LT(text.find("port 51231"), text.find("port 51233"));
    EXPECT_EQ(text.find("port 51234"), std::string::npos) << text;
    // No banner, no timer, and nothing written: not the settings, not a track.
    EXPECT_EQ(out.str().find("is running"), std::string::npos) << out.str();
    EXPECT_EQ(clock.now, 5000u) << "ended before the first tick";
    EXPECT_EQ(g_bShutdown.load(), 1);
    EXPECT_FALSE(options().loaded());
    EXPECT_FALSE(std::filesystem::exists(file("registry.reg")));
    EXPECT_FALSE(std::filesystem::exists(file("Nivra.trk")));
    EXPECT_EQ(sys.waits.back(), 3000u) << "the workers get their time to end";
    sys.reports.clear();
    options().DemoMode = 1;
}

TEST(ListenerSummary, OnlyPortsThatListenAndWhetherThePositionIsShared) {
    COptionsDlg o;
    struct Case {
        const char* what;
        std::vector<ListenerReport> listeners;
        std::vector<std::string> says;
        std::vector<std::string> never;
    };
    auto failing = allListening("127.0.0.1", "127.0.0.1");
    failing[2].bind.error = EADDRINUSE;
    auto split = allListening("127.0.0.1", "127.0.0.1");
    split[4].bind.address = "192.0.2.4";
    const Case cases[] = {
        {"defaults",
         allListening("127.0.0.1", "127.0.0.1"),
         {"Port 51233 (network link) listens on 127.0.0.1, reachable from this machine only",
          "Port 51230 (base) listens on 127.0.0.1",
          "Port 51234 (tracker lines) listens on 0.0.0.0, reachable from every network",
          "Ports 51231 and 51232 (peers) listen on 127.0.0.1, reachable from this machine only: "
          "your position is not shared with other machines"},
         {"is shared"}},
        {"shared",
         allListening("127.0.0.1", ""),
         {"Ports 51231 and 51232 (peers) listen on 0.0.0.0, reachable from every network: your "
          "position is shared"},
         {"not shared"}},
        {"a port that failed is not listed", failing, {"Port 51233", "Ports 51231"}, {"51234"}},
        {"control and ping apart",
         split,
         {"Port 51231 (peer control) listens on 127.0.0.1", "not shared",
          "Port 51232 (peer ping) listens on 192.0.2.4, reachable from 192.0.2.4 only"},
         {"Ports 51231 and 51232"}},
        {"nothing listens", {}, {}, {"Port"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string text = listenerSummary(o, c.listeners);
        for (const std::string& s : c.says)
            EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << text;
        for (const std::string& s : c.never)
            EXPECT_EQ(text.find(s), std::string::npos) << s << "\n" << text;
    }
}

TEST_F(Headless, ReadyComesAfterTheListenersOpenedAndTheStopBeforeTheSave) {
    sys.reports = {
        ListenerReport{ListenerRole::networkLink, BindOutcome{51233, "127.0.0.1", true, 0}}};
    ManualClock clock;
    clock.stopAtMs = clock.now + 3000;
    std::ostringstream out;
    std::ostringstream err;
    std::vector<std::string> states;
    int looksAtReady = -1;
    std::string outAtReady;
    std::string outAtStop;
    CHeadless headless(sys, clock, out, err);
    headless.setServiceNotifier([&](const std::string& state, std::string&) {
        states.push_back(state);
        if (state.rfind("READY=1", 0) == 0) {
            looksAtReady = sys.listenerLooks;
            outAtReady = out.str();
        }
        if (state.rfind("STOPPING=1", 0) == 0)
            outAtStop = out.str();
        return true;
    });
    EXPECT_EQ(headless.run(false, SettingOverrides{}), 0);

    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0].rfind("READY=1\n", 0), 0u);
    EXPECT_EQ(states[1].rfind("STOPPING=1\n", 0), 0u);
    EXPECT_EQ(looksAtReady, 1);
    // The banner came before readiness; the save after the stop was told.
    EXPECT_NE(outAtReady.find("running without a window"), std::string::npos) << outAtReady;
    EXPECT_EQ(outAtStop.find("Nivra: stopped."), std::string::npos) << outAtStop;
    EXPECT_NE(out.str().find("Nivra: stopped."), std::string::npos) << out.str();
}

TEST_F(Headless, ARunWhosePortCannotBeOpenedNeverSaysItIsReady) {
    sys.reports = {ListenerReport{ListenerRole::networkLink,
                                  BindOutcome{51233, "127.0.0.1", true, EADDRINUSE}}};
    ManualClock clock;
    clock.stopAtMs = clock.now + 3000;
    std::ostringstream out;
    std::ostringstream err;
    std::vector<std::string> states;
    CHeadless headless(sys, clock, out, err);
    headless.setServiceNotifier([&](const std::string& state, std::string&) {
        states.push_back(state);
        return true;
    });
    EXPECT_EQ(headless.run(false, SettingOverrides{}), CHeadless::kExitPortsUnavailable);
    EXPECT_TRUE(states.empty()) << states.front();
    EXPECT_NE(err.str().find("cannot open port 51233"), std::string::npos) << err.str();
}
