// Test programs that start Nivra, or listen on its fixed ports 51230-51234,
// run in a network of their own where the machine allows it (root, as CI
// runs: a new network namespace with only loopback, brought up), so another
// Nivra on this machine (a demo, a packaged service listening on 0.0.0.0)
// cannot take their ports. Where no such network can be made and those ports
// are taken, the program's tests are skipped and say why, rather than fail.
//
// Including this header in any file of a test program is enough: it adds the
// environment once (an inline variable).
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testnet {

// Moves this thread (and the threads and programs it starts from now on) into
// a network of its own with only loopback. False when the system refuses.
inline bool enterOwnNetwork() {
    if (unshare(CLONE_NEWNET) != 0)
        return false;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    up = up && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    if (fd >= 0)
        close(fd);
    return up;
}

// The first of Nivra's ports that another program listens on (on any
// address), or 0 when all are free.
inline int takenNivraPort() {
    for (int port = 51230; port <= 51234; ++port) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return 0;
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
        const bool taken =
            bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno == EADDRINUSE;
        close(fd);
        if (taken)
            return port;
    }
    return 0;
}

class OwnNetwork : public ::testing::Environment {
public:
    void SetUp() override {
        if (enterOwnNetwork())
            return;
        if (const int port = takenNivraPort())
            GTEST_SKIP() << "another program listens on port " << port
                         << " and this machine gives no network of our own (that needs "
                            "root): the tests that start Nivra are skipped";
        std::fprintf(stderr, "note: running on the machine's own network (no network "
                             "namespace without root); Nivra's ports are free\n");
    }
};

inline ::testing::Environment* const kOwnNetwork =
    ::testing::AddGlobalTestEnvironment(new OwnNetwork);

} // namespace testnet
