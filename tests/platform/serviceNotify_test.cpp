// The service manager's notify datagram: delivered to a path or an abstract
// socket as given, and every address that is not one refused with a reason.
#include "platform/serviceNotify.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A datagram socket standing in for the service manager.
class Manager {
public:
    // `name` as NOTIFY_SOCKET gives it: a path, or "@name" for the abstract namespace.
    explicit Manager(const std::string& name) : m_name(name) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), name.size());
        if (name[0] == '@')
            address.sun_path[0] = '\0';
        const socklen_t length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        m_bound = bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
        timeval timeout{2, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~Manager() {
        close(m_fd);
        if (m_name[0] == '/')
            unlink(m_name.c_str());
    }
    bool bound() const { return m_bound; }
    std::string receive() const {
        char buf[512];
        const ssize_t n = recv(m_fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

private:
    std::string m_name;
    int m_fd = -1;
    bool m_bound = false;
};

} // namespace

TEST(ServiceNotify, TheStateReachesAPathOrAnAbstractSocket) {
    const std::string tag = std::to_string(getpid());
    for (const std::string& name :
         {"/tmp/nivra-notify-" + tag, "@nivra-notify-" + tag + "-abstract"}) {
        SCOPED_TRACE(name);
        Manager manager(name);
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
    Manager manager(name);
    ASSERT_TRUE(manager.bound());
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    EXPECT_TRUE(notifyServiceManager("STOPPING=1", error)) << error;
    EXPECT_EQ(manager.receive(), "STOPPING=1");
    if (before)
        setenv("NOTIFY_SOCKET", saved.c_str(), 1);
    else
        unsetenv("NOTIFY_SOCKET");
}
