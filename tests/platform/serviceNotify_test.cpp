// The service manager's notify datagram: delivered to a path or an abstract
// socket as given, and every address that is not one refused with a reason.
#include "common/notifySocket.h"
#include "platform/serviceNotify.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

TEST(ServiceNotify, TheStateReachesAPathOrAnAbstractSocket) {
    const std::string tag = std::to_string(getpid());
    for (const std::string& name :
         {"/tmp/nivra-notify-" + tag, "@nivra-notify-" + tag + "-abstract"}) {
        SCOPED_TRACE(name);
        NotifySocket manager(name);
        ASSERT_TRUE(manager.bound());
        std::string error;
        ASSERT_TRUE(sendServiceNotification(name, "READY=1\nSTATUS=up", error)) << error;
        EXPECT_EQ(manager.receive(), "READY=1\nSTATUS=up");
    }
}

TEST(ServiceNotify, WhatIsNoSocketAddressIsRefusedWithAReason) {
    struct Row {
        std::string name;
        const char* reason;
    };
    const Row rows[] = {
        {"", "no socket address"},
        {"@", "no socket address"},
        {"relative/path", "no socket address"},
        {"/" + std::string(200, 'x'), "no socket address"},
        {std::string("/tmp/a\0b", 8), "no socket address"},
        {"/nonexistent-folder/notify", "No such file"},
    };
    for (const Row& r : rows) {
        std::string error;
        EXPECT_FALSE(sendServiceNotification(r.name, "READY=1", error)) << r.name;
        EXPECT_NE(error.find(r.reason), std::string::npos) << r.name << ": " << error;
    }
}

TEST(ServiceNotify, WithoutAManagerNothingIsSentAndNothingFails) {
    const char* before = std::getenv("NOTIFY_SOCKET");
    const std::string saved = before ? before : "";
    unsetenv("NOTIFY_SOCKET");
    std::string error;
    EXPECT_TRUE(notifyServiceManager("READY=1", error));
    EXPECT_TRUE(error.empty());

    const std::string name = "@nivra-notify-env-" + std::to_string(getpid());
    NotifySocket manager(name);
    ASSERT_TRUE(manager.bound());
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    EXPECT_TRUE(notifyServiceManager("STOPPING=1", error)) << error;
    EXPECT_EQ(manager.receive(), "STOPPING=1");
    if (before)
        setenv("NOTIFY_SOCKET", saved.c_str(), 1);
    else
        unsetenv("NOTIFY_SOCKET");
}
