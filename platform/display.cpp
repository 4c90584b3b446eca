#include "platform/display.h"

#include "platform/socket.h"
#include "platform/x11Setup.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr unsigned kTcpTimeoutMs = 2000;
constexpr int kX11TcpBase = 6000;
// An Xauthority file larger than this is not read.
constexpr std::streamsize kMaxXAuthority = 1 << 20;

// Connects to a local socket: `name` is a path, or an abstract name when
// `abstract` is set. 0, or errno.
int connectLocal(const std::string& name, bool abstract, Socket& s) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    if (name.empty() || name.size() + offset >= sizeof sa.sun_path)
        return ENAMETOOLONG;
    std::memcpy(sa.sun_path + offset, name.data(), name.size());
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                                    name.size() + (abstract ? 0 : 1));
    Socket fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return errno;
    if (::connect(fd.fd(), reinterpret_cast<const sockaddr*>(&sa), length) != 0)
        return errno;
    s = std::move(fd);
    return 0;
}

int connectLocal(const std::string& name, bool abstract) {
    Socket s;
    return connectLocal(name, abstract, s);
}

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return std::string();
    return name;
}

// The cookie the X library would present for display `number` reached as
// `family`/`address`, from the Xauthority file at `path`.
bool xauthCookie(const std::string& path, unsigned family, const std::string& address,
                 const std::string& number, XAuthCookie& cookie) {
    if (path.empty())
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string file(static_cast<size_t>(kMaxXAuthority) + 1, '\0');
    in.read(file.data(), kMaxXAuthority + 1);
    if (in.gcount() > kMaxXAuthority)
        return false;
    file.resize(static_cast<size_t>(in.gcount()));
    return findXAuthCookie(file, family, address, number, cookie);
}

// The connection setup on the connected `s`: reachable when the server takes us.
DisplayCheck greet(Socket& s, const std::string& display, const std::string& xauthority,
                   unsigned family, const std::string& address, const std::string& number,
                   unsigned timeoutMs) {
    XAuthCookie cookie;
    const bool haveCookie = xauthCookie(xauthority, family, address, number, cookie);
    const std::string why = x11Setup(s, haveCookie ? &cookie : nullptr, timeoutMs);
    if (why.empty())
        return DisplayCheck{true, {}};
    return DisplayCheck{false, "the X display " + display + " " + why};
}

bool allDigits(const std::string& text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

DisplayCheck refused(std::string why) {
    return DisplayCheck{false, std::move(why)};
}

// The platform names of QT_QPA_PLATFORM ("xcb", "wayland;xcb", ...), each
// without its options ("offscreen:fontengine=freetype").
std::vector<std::string> platformNames(const std::string& value) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find(';', start);
        if (end == std::string::npos)
            end = value.size();
        std::string name = value.substr(start, end - start);
        name = name.substr(0, name.find(':'));
        if (!name.empty())
            out.push_back(name);
        start = end + 1;
    }
    return out;
}

} // namespace

DisplayCheck x11Reachable(const std::string& display, unsigned timeoutMs,
                          const std::string& xauthority) {
    const size_t colon = display.rfind(':');
    if (colon == std::string::npos)
        return refused("DISPLAY=" + display + " is not a display name");
    const std::string host = display.substr(0, colon);
    std::string number = display.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    if (!allDigits(number) || number.size() > 5)
        return refused("DISPLAY=" + display + " is not a display name");
    const int n = std::stoi(number);
    if (host.empty() || host == "unix") {
        // X servers listen on both; the abstract one is missing in another
        // network namespace, the path one where /tmp is private.
        const std::string path = "/tmp/.X11-unix/X" + number;
        Socket s;
        int err = connectLocal(path, true, s);
        if (err != 0)
            err = connectLocal(path, false, s);
        if (err == 0)
            return greet(s, display, xauthority, kXAuthLocal, hostName(), number, timeoutMs);
        return refused("the X display " + display + " does not answer (" + std::strerror(err) +
                       ")");
    }
    if (host.front() == '/') {
        // A launchd-style socket path that ends in ":N".
        Socket s;
        const int err = connectLocal(display, false, s);
        if (err == 0)
            return greet(s, display, xauthority, kXAuthLocal, hostName(), number, timeoutMs);
        return refused("the X display " + display + " does not answer (" + std::strerror(err) +
                       ")");
    }
    if (n > 65535 - kX11TcpBase)
        return refused("DISPLAY=" + display + " is not a display name");
    int err = 0;
    Socket s = Socket::tcp(err);
    if (s.valid())
        err = s.connect(host, static_cast<uint16_t>(kX11TcpBase + n), timeoutMs);
    if (err == 0) {
        // As the X library does: a server on this machine is named by its host
        // name, another by its address.
        const std::string peer = s.peerAddress();
        in_addr a{};
        if (peer.rfind("127.", 0) == 0 || ::inet_pton(AF_INET, peer.c_str(), &a) != 1)
            return greet(s, display, xauthority, kXAuthLocal, hostName(), number, timeoutMs);
        return greet(s, display, xauthority, kXAuthInternet,
                     std::string(reinterpret_cast<const char*>(&a.s_addr), 4), number, timeoutMs);
    }
    return refused("the X display " + display + " does not answer (" + std::strerror(err) + ")");
}

DisplayCheck waylandReachable(const std::string& name, const std::string& runtimeDir) {
    std::string path = name;
    if (path.empty() || path.front() != '/') {
        if (runtimeDir.empty())
            return refused("the Wayland display " + name +
                           " cannot be found (XDG_RUNTIME_DIR is not set)");
        path = runtimeDir + "/" + name;
    }
    const int err = connectLocal(path, false);
    if (err == 0)
        return DisplayCheck{true, {}};
    return refused("the Wayland display " + path + " does not answer (" + std::strerror(err) + ")");
}

DisplayCheck displayReachable(const std::function<const char*(const char*)>& env) {
    auto value = [&env](const char* name) {
        const char* v = env(name);
        return std::string(v ? v : "");
    };
    const std::string x11 = value("DISPLAY");
    const std::string wayland = value("WAYLAND_DISPLAY");
    const std::string runtimeDir = value("XDG_RUNTIME_DIR");
    // The X library's cookies: XAUTHORITY, else ~/.Xauthority.
    std::string xauthority = value("XAUTHORITY");
    if (xauthority.empty() && !value("HOME").empty())
        xauthority = value("HOME") + "/.Xauthority";
    auto tryX11 = [&] {
        return x11.empty() ? refused("no X display is set (DISPLAY)")
                           : x11Reachable(x11, kTcpTimeoutMs, xauthority);
    };
    auto tryWayland = [&] {
        return wayland.empty() ? refused("no Wayland display is set (WAYLAND_DISPLAY)")
                               : waylandReachable(wayland, runtimeDir);
    };

    std::vector<std::string> platforms = platformNames(value("QT_QPA_PLATFORM"));
    if (platforms.empty()) {
        if (!wayland.empty())
            platforms.push_back("wayland");
        if (!x11.empty())
            platforms.push_back("xcb");
        if (platforms.empty())
            return refused("no display found");
    }
    // Qt takes the first platform of the list that works.
    std::string why;
    for (const std::string& name : platforms) {
        DisplayCheck check;
        if (name == "xcb")
            check = tryX11();
        else if (name.starts_with("wayland"))
            check = tryWayland();
        else
            return DisplayCheck{true, {}}; // offscreen, minimal, vnc, eglfs: no desktop needed
        if (check.reachable)
            return check;
        why += (why.empty() ? "" : "; ") + check.why;
    }
    return refused(why);
}
