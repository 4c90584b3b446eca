// Whether a display answers, against real sockets: an X server's abstract
// and TCP sockets, a Wayland compositor's socket file, and the environment's
// choices, as the program looks at them before it tries a window.
#include "platform/display.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

namespace fs = std::filesystem;

namespace {

// A listening socket, closed when it goes.
struct Listener {
    int fd = -1;
    ~Listener() {
        if (fd >= 0)
            close(fd);
    }
};

// Listens on a local socket: a path, or an abstract name.
bool listenLocal(Listener& l, const std::string& name, bool abstract) {
    l.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    std::memcpy(sa.sun_path + offset, name.data(), name.size());
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                                    name.size() + (abstract ? 0 : 1));
    return l.fd >= 0 && bind(l.fd, reinterpret_cast<sockaddr*>(&sa), length) == 0 &&
           listen(l.fd, 4) == 0;
}

// Listens on 127.0.0.1 on a port the system chooses; returns it.
int listenTcp(Listener& l) {
    l.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (l.fd < 0 || bind(l.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(l.fd, 4) != 0 || getsockname(l.fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return -1;
    return ntohs(sa.sin_port);
}

// A display number no X server of this machine uses.
int unusedDisplay() {
    return 30000 + static_cast<int>(getpid() % 20000);
}

} // namespace

TEST(Display, X11ByItsLocalOrTcpSocket) {
    const int n = unusedDisplay();
    const std::string number = std::to_string(n);
    Listener local;
    ASSERT_TRUE(listenLocal(local, "/tmp/.X11-unix/X" + number, true));
    Listener tcp;
    const int port = listenTcp(tcp);
    ASSERT_GE(port, 6000);
    const std::string tcpNumber = std::to_string(port - 6000);
    const std::string silent = std::to_string(n + 1);

    const struct {
        std::string display;
        bool reachable;
        const char* why; // in the reason when not
    } cases[] = {
        {":" + number, true, ""},
        {"unix:" + number + ".0", true, ""},
        {"127.0.0.1:" + tcpNumber, true, ""},
        {"127.0.0.1:" + tcpNumber + ".1", true, ""},
        {":" + silent, false, "does not answer"},
        {"localhost:" + silent, false, "does not answer"},
        {"nohost", false, "is not a display name"},
        {":", false, "is not a display name"},
        {":x1", false, "is not a display name"},
        {":123456", false, "is not a display name"},
        {"127.0.0.1:60000", false, "is not a display name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.display);
        const DisplayCheck check = x11Reachable(c.display, 1000);
        EXPECT_EQ(check.reachable, c.reachable) << check.why;
        if (!c.reachable) {
            EXPECT_NE(check.why.find(c.why), std::string::npos) << check.why;
            EXPECT_NE(check.why.find(c.display), std::string::npos) << check.why;
        }
    }
}

TEST(Display, WaylandBySocketFile) {
    const fs::path dir = fs::temp_directory_path() / ("nivra-wl-" + std::to_string(getpid()));
    fs::create_directories(dir);
    Listener compositor;
    ASSERT_TRUE(listenLocal(compositor, (dir / "wayland-7").string(), false));
    EXPECT_TRUE(waylandReachable("wayland-7", dir.string()).reachable);
    EXPECT_TRUE(waylandReachable((dir / "wayland-7").string(), "").reachable);
    const DisplayCheck gone = waylandReachable("wayland-8", dir.string());
    EXPECT_FALSE(gone.reachable);
    EXPECT_NE(gone.why.find((dir / "wayland-8").string() + " does not answer"), std::string::npos)
        << gone.why;
    EXPECT_NE(waylandReachable("wayland-7", "").why.find("XDG_RUNTIME_DIR is not set"),
              std::string::npos);
    fs::remove_all(dir);
}

TEST(Display, TheEnvironmentChoosesWhatIsTried) {
    const std::string number = std::to_string(unusedDisplay());
    Listener x;
    ASSERT_TRUE(listenLocal(x, "/tmp/.X11-unix/X" + number, true));
    // Appended, not `":" + std::to_string()`: GCC 12 at -O3 warns falsely about that.
    std::string deadX = ":";
    deadX += std::to_string(unusedDisplay() + 1);
    const fs::path dir = fs::temp_directory_path() / ("nivra-env-" + std::to_string(getpid()));
    fs::create_directories(dir);
    Listener wl;
    ASSERT_TRUE(listenLocal(wl, (dir / "wayland-0").string(), false));

    using Env = std::map<std::string, std::string>;
    const struct {
        const char* what;
        Env env;
        bool reachable;
        const char* why;
    } cases[] = {
        {"nothing set", {}, false, "no display found"},
        {"an X display that answers", {{"DISPLAY", ":" + number}}, true, ""},
        {"an X display that does not", {{"DISPLAY", deadX}}, false, "does not answer"},
        {"a Wayland compositor", {{"WAYLAND_DISPLAY", "wayland-0"}}, true, ""},
        {"a dead Wayland, a live X: Qt falls back",
         {{"WAYLAND_DISPLAY", "wayland-9"}, {"DISPLAY", ":" + number}},
         true,
         ""},
        {"both dead: both named",
         {{"WAYLAND_DISPLAY", "wayland-9"}, {"DISPLAY", deadX}},
         false,
         "wayland-9 does not answer (No such file or directory); the X display"},
        {"offscreen needs no display", {{"QT_QPA_PLATFORM", "offscreen"}}, true, ""},
        {"xcb chosen with a dead X",
         {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", deadX}, {"WAYLAND_DISPLAY", "wayland-0"}},
         false,
         "does not answer"},
        {"xcb chosen without DISPLAY", {{"QT_QPA_PLATFORM", "xcb"}}, false, "no X display is set"},
        {"a list: the first that works",
         {{"QT_QPA_PLATFORM", "wayland;xcb"}, {"DISPLAY", ":" + number}},
         true,
         ""},
        {"platform options are not names",
         {{"QT_QPA_PLATFORM", "offscreen:fontengine=freetype"}},
         true,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Env env = c.env;
        env["XDG_RUNTIME_DIR"] = dir.string();
        const DisplayCheck check = displayReachable([&env](const char* name) -> const char* {
            auto it = env.find(name);
            return it == env.end() ? nullptr : it->second.c_str();
        });
        EXPECT_EQ(check.reachable, c.reachable) << check.why;
        if (!c.reachable) {
            EXPECT_NE(check.why.find(c.why), std::string::npos) << check.why;
        }
    }
    fs::remove_all(dir);
}
