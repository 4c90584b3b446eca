// Readiness for the service manager: each state told once, a failed send
// logged (headless mode's use of it: tests/app/headless_test.cpp).
#include "app/serviceReadiness.h"
#include "common/traceCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
