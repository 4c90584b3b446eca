// Headless mode's loop on a clock that advances by itself, and the banner.
#include "support.h"

#include "app/headless.h"

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

TEST_F(Headless, StopRunsTheShutdownSequenceAndStartPressesStartOnce) {
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
