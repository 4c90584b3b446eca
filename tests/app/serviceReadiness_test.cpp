// Readiness for the service manager: told once the listeners opened their
// ports, never by a run that cannot open them, and the stop before the save.
#include "support.h"

#include "app/headless.h"
#include "app/serviceReadiness.h"
#include "common/traceCapture.h"

#include <cerrno>
#include <sstream>

using namespace apptest;

namespace {

struct Sent {
    std::vector<std::string> states;
    bool fail = false;
    ServiceReadiness::Send sender() {
        return [this](const std::string& state, std::string& error) {
            states.push_back(state);
            if (fail)
                error = "no manager";
            return !fail;
        };
    }
};

} // namespace

TEST(ServiceReadiness, EachStateIsToldOnce) {
    Sent sent;
    ServiceReadiness readiness(sent.sender());
    EXPECT_FALSE(readiness.isReady());
    readiness.ready();
    readiness.ready();
    EXPECT_TRUE(readiness.isReady());
    readiness.stopping();
    readiness.stopping();
    ASSERT_EQ(sent.states.size(), 2u);
    EXPECT_EQ(sent.states[0].rfind("READY=1\nSTATUS=", 0), 0u) << sent.states[0];
    EXPECT_EQ(sent.states[1].rfind("STOPPING=1\nSTATUS=", 0), 0u) << sent.states[1];
}

TEST(ServiceReadiness, TheStopIsToldOnceAndAFailedSendIsLogged) {
    Sent sent;
    sent.fail = true;
    TraceCapture trace;
    ServiceReadiness readiness(sent.sender());
    readiness.ready();
    readiness.stopping();
    ASSERT_EQ(sent.states.size(), 2u);
    EXPECT_EQ(sent.states[1].rfind("STOPPING=1\n", 0), 0u) << sent.states[1];
    EXPECT_EQ(trace.count("no manager"), 2);
}

class HeadlessReadiness : public AppTest {
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

// The loop's clock: a stop 3 s in.
struct StopLater : LoopClock {
    uint64_t now = 1000;
    uint64_t nowMs() override { return now; }
    void waitMs(unsigned ms) override {
        now += ms;
        if (now >= 4000)
            requestStop();
    }
};

TEST_F(HeadlessReadiness, ReadyComesAfterTheListenersOpenedAndTheStopBeforeTheSave) {
    sys.reports = {
        ListenerReport{ListenerRole::networkLink, BindOutcome{51233, "127.0.0.1", true, 0}}};
    StopLater clock;
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

TEST_F(HeadlessReadiness, ARunWhosePortCannotBeOpenedNeverSaysItIsReady) {
    sys.reports = {ListenerReport{ListenerRole::networkLink,
                                  BindOutcome{51233, "127.0.0.1", true, EADDRINUSE}}};
    StopLater clock;
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
