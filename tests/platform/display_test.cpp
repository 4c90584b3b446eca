// Whether a display answers, against real sockets: an X server's abstract
// and TCP sockets, a Wayland compositor's socket file, and the environment's
// choices, as the program looks at them before it tries a window.
#include "platform/display.h"
#include "platform/x11Setup.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <poll.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// An X server as far as the connection setup goes: it reads the setup
// request and answers as told; `cookie` mode takes only the cookie given.
class FakeXServer {
public:
    enum class Answer { take, refuse, authenticate, silent, hangUp, notX, cookie };
    FakeXServer(Listener& l, Answer answer, std::string cookie = {})
        : m_fd(l.fd), m_answer(answer), m_cookie(std::move(cookie)), m_thread([this] { serve(); }) {
    }
    ~FakeXServer() {
        m_stop = true;
        m_thread.join();
    }
    std::vector<std::string> cookies() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_cookies;
    }

private:
    void serve() {
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            const int c = accept(m_fd, nullptr, nullptr);
            if (c < 0)
                continue;
            answer(c);
            close(c);
        }
    }
    static bool readAll(int c, unsigned char* p, size_t n) {
        while (n > 0) {
            pollfd w{c, POLLIN, 0};
            if (poll(&w, 1, 2000) <= 0)
                return false;
            const ssize_t got = read(c, p, n);
            if (got <= 0)
                return false;
            p += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }
    void answer(int c) {
        unsigned char head[12];
        if (!readAll(c, head, sizeof head) || head[0] != 'l' || head[2] != 11)
            return;
        const size_t nameLength = head[6] | head[7] << 8, dataLength = head[8] | head[9] << 8;
        std::vector<unsigned char> rest((nameLength + 3) / 4 * 4 + (dataLength + 3) / 4 * 4);
        if (!readAll(c, rest.data(), rest.size()))
            return;
        const std::string data(rest.begin() + static_cast<long>((nameLength + 3) / 4 * 4),
                               rest.begin() +
                                   static_cast<long>((nameLength + 3) / 4 * 4 + dataLength));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_cookies.push_back(data);
        }
        const std::string reason = "No protocol specified\n";
        std::string out;
        switch (m_answer) {
        case Answer::cookie:
            if (data == m_cookie)
                out = std::string("\1\0\x0b\0\0\0\0\0", 8);
            else
                out = std::string("\0\x16\x0b\0\0\0\x06\0", 8) + reason + std::string(2, '\0');
            break;
        case Answer::take:
            out = std::string("\1\0\x0b\0\0\0\0\0", 8);
            break;
        case Answer::refuse:
            out = std::string("\0\x16\x0b\0\0\0\x06\0", 8) + reason + std::string(2, '\0');
            break;
        case Answer::authenticate:
            out = std::string("\2\0\0\0\0\0\x06\0", 8) + reason + std::string(2, '\0');
            break;
        case Answer::notX:
            out = "HTTP/1.1 400 Bad Request\r\n\r\n";
            break;
        case Answer::silent:
            for (int i = 0; i < 150 && !m_stop; ++i)
                usleep(10000);
            return;
        case Answer::hangUp:
            return;
        }
        (void)!write(c, out.data(), out.size());
    }

    int m_fd;
    Answer m_answer;
    std::string m_cookie;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<std::string> m_cookies;
    std::thread m_thread;
};

// One Xauthority entry.
std::string xauthEntry(unsigned family, const std::string& address, const std::string& number,
                       const std::string& name, const std::string& data) {
    std::string out;
    out += static_cast<char>(family >> 8);
    out += static_cast<char>(family & 0xff);
    for (const std::string* f : {&address, &number, &name, &data}) {
        out += static_cast<char>(f->size() >> 8);
        out += static_cast<char>(f->size() & 0xff);
        out += *f;
    }
    return out;
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
    FakeXServer localServer(local, FakeXServer::Answer::take);
    FakeXServer tcpServer(tcp, FakeXServer::Answer::take);
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
    FakeXServer server(x, FakeXServer::Answer::take);
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

// A socket that accepts is not yet an X server that takes us: Qt would end
// the program when the connection setup fails.
TEST(Display, TheXServerMustTakeUsInItsConnectionSetup) {
    using A = FakeXServer::Answer;
    const struct {
        A answer;
        bool reachable;
        const char* why;
    } cases[] = {
        {A::take, true, ""},
        {A::refuse, false, "refused the connection: No protocol specified"},
        {A::authenticate, false, "asks for another authorization: No protocol specified"},
        {A::notX, false, "does not speak the X protocol"},
        {A::hangUp, false, "does not answer the X protocol's first request"},
        {A::silent, false, "does not answer the X protocol's first request"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        const std::string number = std::to_string(unusedDisplay() + 2);
        Listener l;
        ASSERT_TRUE(listenLocal(l, "/tmp/.X11-unix/X" + number, true));
        FakeXServer server(l, c.answer);
        const DisplayCheck check = x11Reachable(":" + number, 500);
        EXPECT_EQ(check.reachable, c.reachable) << check.why;
        if (!c.reachable) {
            EXPECT_EQ(check.why, "the X display :" + number + " " + c.why);
        }
    }
}

// The cookie is the one the X library would present: this machine's entry
// for the display (or a wild one, or one for every display), from
// XAUTHORITY, else ~/.Xauthority.
TEST(Display, TheCookieComesFromTheXauthorityFile) {
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    const std::string number = std::to_string(unusedDisplay() + 3);
    const std::string cookie(16, '\x5a');
    const std::string other(16, '\x11');
    const std::string magic = "MIT-MAGIC-COOKIE-1";
    const struct {
        const char* what;
        std::string file;
        bool reachable;
    } cases[] = {
        {"this machine's entry", xauthEntry(kXAuthLocal, host, number, magic, cookie), true},
        {"another display's first",
         xauthEntry(kXAuthLocal, host, "1", magic, other) +
             xauthEntry(kXAuthLocal, host, number, magic, cookie),
         true},
        {"another machine's first",
         xauthEntry(kXAuthLocal, "elsewhere", number, magic, other) +
             xauthEntry(kXAuthWild, "", number, magic, cookie),
         true},
        {"an entry for every display", xauthEntry(kXAuthLocal, host, "", magic, cookie), true},
        {"a wrong cookie", xauthEntry(kXAuthLocal, host, number, magic, other), false},
        {"none for this display", xauthEntry(kXAuthLocal, host, "1", magic, cookie), false},
        {"cut inside the entry", xauthEntry(kXAuthLocal, host, number, magic, cookie).substr(0, 20),
         false},
        {"no file", "", false},
    };
    const fs::path dir = fs::temp_directory_path() / ("nivra-xauth-" + std::to_string(getpid()));
    fs::create_directories(dir);
    Listener l;
    ASSERT_TRUE(listenLocal(l, "/tmp/.X11-unix/X" + number, true));
    FakeXServer server(l, FakeXServer::Answer::cookie, cookie);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path file = dir / "Xauthority";
        fs::remove(file);
        if (!c.file.empty())
            std::ofstream(file, std::ios::binary) << c.file;
        const DisplayCheck check = x11Reachable(":" + number, 1000, file.string());
        EXPECT_EQ(check.reachable, c.reachable) << check.why;
        // Through the environment: XAUTHORITY, else the home's file.
        if (fs::exists(file))
            fs::copy_file(file, dir / ".Xauthority", fs::copy_options::overwrite_existing);
        for (const std::map<std::string, std::string>& env :
             {std::map<std::string, std::string>{{"DISPLAY", ":" + number},
                                                 {"XAUTHORITY", file.string()}},
              std::map<std::string, std::string>{{"DISPLAY", ":" + number},
                                                 {"HOME", dir.string()}}}) {
            const DisplayCheck viaEnv = displayReachable([&env](const char* name) -> const char* {
                auto it = env.find(name);
                return it == env.end() ? nullptr : it->second.c_str();
            });
            EXPECT_EQ(viaEnv.reachable, c.reachable) << viaEnv.why;
        }
        fs::remove(dir / ".Xauthority");
    }
    const std::vector<std::string> seen = server.cookies();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), cookie);
    fs::remove_all(dir);
}
