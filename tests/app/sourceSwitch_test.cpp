// Switching the local source between the receiver, the demo and a playback.
#include "support.h"

#include "app/sourceSwitch.h"

using namespace apptest;

class SourceSwitch : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        clients().load(sys.registryStore, "Me", "localhost");
        clients().designateLocal();
    }
};

TEST_F(SourceSwitch, ReceiverStopsTheDemoAndStartsTheReaderWhenAutoConnect) {
    COptionsDlg& o = options();
    o.AutoConnect = 0;
    sys.running = true;
    switchGpsSource(sys, o, clients(), 0);
    EXPECT_FALSE(sys.running);
    EXPECT_EQ(sys.waits, std::vector<unsigned>{1000});
    EXPECT_EQ(sys.serialStarts, 0);

    o.AutoConnect = 1;
    o.Port = "/dev/ttyUSB1";
    switchGpsSource(sys, o, clients(), 0);
    EXPECT_EQ(sys.serialStarts, 1);
    EXPECT_EQ(sys.serialPort, "/dev/ttyUSB1");
    o.Port = "COM3:";
}

TEST_F(SourceSwitch, DemoStartsWithoutAFileAndSelectsTheDemoStandIn) {
    COptionsDlg& o = options();
    sys.isPlayback = true;
    switchGpsSource(sys, o, clients(), 1);
    EXPECT_FALSE(sys.isPlayback);
    EXPECT_EQ(sys.sourceStarts, std::vector<std::string>{""});
    EXPECT_EQ(takePendingSelection(), std::optional<std::string>("Me(demo)*"));
    EXPECT_EQ(sys.loadServers, 1);
    EXPECT_EQ(sys.waits.back(), 1000u);

    // Resuming a running demo leaves it running.
    switchGpsSource(sys, o, clients(), 1);
    EXPECT_EQ(sys.sourceStarts.size(), 1u);
    EXPECT_EQ(sys.sourceStops, 0);
}

TEST_F(SourceSwitch, PlaybackWaitsForTheRunningSourceToEndBeforeStarting) {
    COptionsDlg& o = options();
    o.DemoMode = 0;
    o.AutoStartGE = 0;
    sys.running = true;
    sys.isPlayback = true;
    sys.stopPollsUntilEnded = 3; // the old thread needs a few polls to notice
    switchGpsSource(sys, o, clients(), 1);
    EXPECT_EQ(sys.sourceStops, 1);
    // Started after the old one ended; a start while it ran would have been lost.
    EXPECT_EQ(sys.sourceStarts, std::vector<std::string>{"Me"});
    EXPECT_TRUE(sys.isPlayback);
    EXPECT_EQ(takePendingSelection(), std::optional<std::string>("Me"));
    EXPECT_EQ(sys.loadServers, 0);
}

TEST_F(SourceSwitch, ApplyTrackingWithoutFollowClearsEveryVehicle) {
    COptionsDlg& o = options();
    CClient* local = clients().realLocalVehicle();
    CClient* bob = clients().add("bob", "peer.example.org");
    bob->tracking = 47;
    bob->speedBandIndex = 3;
    o.Tracking = 0x2e; // view bits without follow
    applyCameraSelection(sys, o, clients(), "Me@localhost");
    EXPECT_EQ(local->tracking, 0);
    EXPECT_EQ(bob->tracking, 0);
    EXPECT_EQ(bob->changed, 1);
    EXPECT_EQ(sys.tracked, nullptr);
    EXPECT_EQ(bob->speedBandIndex, 3);

    o.Tracking = 47;
    applyCameraSelection(sys, o, clients(), "Me@localhost");
    EXPECT_EQ(local->tracking, 47);
    EXPECT_EQ(sys.tracked, local);
    EXPECT_EQ(bob->speedBandIndex, 99); // every vehicle chooses its view band anew
    // The key must match exactly.
    applyCameraSelection(sys, o, clients(), "me@localhost");
    EXPECT_EQ(local->tracking, 0);
}
