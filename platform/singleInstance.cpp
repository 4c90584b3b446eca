#include "platform/singleInstance.h"

#include "platform/atomicFile.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// What a second start says, and what the first answers.
constexpr char kRaise[] = "raise\n";
constexpr char kDone[] = "ok\n";
// How long a second start waits for the first to answer.
constexpr int kAnswerMs = 2000;

uint64_t fnv1a(const std::string& text) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

bool fillAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

// Waits for `fd` to be readable; false after `ms`.
bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

enum class Ask { Answered, NobodyThere, Silent };

// Connects to `path` and asks for the window.
Ask askToRaise(const sockaddr_un& addr) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Ask::Silent;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        ::close(fd);
        return err == ECONNREFUSED || err == ENOENT ? Ask::NobodyThere : Ask::Silent;
    }
    Ask result = Ask::Silent;
    if (::send(fd, kRaise, sizeof kRaise - 1, MSG_NOSIGNAL) == sizeof kRaise - 1 &&
        readable(fd, kAnswerMs)) {
        char reply[8] = {};
        const ssize_t n = ::recv(fd, reply, sizeof reply - 1, 0);
        if (n == sizeof kDone - 1 && std::memcmp(reply, kDone, sizeof kDone - 1) == 0)
            result = Ask::Answered;
    }
    ::close(fd);
    return result;
}

} // namespace

std::string singleInstanceSocketPath(const std::string& runtimeDir,
                                     const std::string& registryPath) {
    std::string dir = runtimeDir;
    if (dir.empty()) {
        // A directory of this user's own, never one that someone else made.
        dir = "/tmp/nivra-" + std::to_string(::getuid());
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
            return std::string();
        struct stat st {};
        if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
            (st.st_mode & 077) != 0)
            return std::string();
    }
    // The same file however it is named: through a link, or relative.
    std::error_code ec;
    std::filesystem::path file = std::filesystem::absolute(resolveLinkTarget(registryPath), ec);
    if (ec)
        file = registryPath;
    char name[64];
    std::snprintf(name, sizeof name, "/nivra-window-%016llx.sock",
                  static_cast<unsigned long long>(fnv1a(file.lexically_normal().string())));
    return dir + name;
}

CSingleInstance::~CSingleInstance() {
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(m_path.c_str());
    }
}

CSingleInstance::Claim CSingleInstance::claim(const std::string& path, std::string& why) {
    sockaddr_un addr{};
    if (!fillAddress(path, addr)) {
        why = path.empty() ? "no private runtime directory"
                           : "the socket path " + path + " is too long";
        return Claim::Failed;
    }
    // Two tries: a copy starting at the same moment may take the socket
    // between our look and our bind.
    for (int attempt = 0; attempt < 2; ++attempt) {
        switch (askToRaise(addr)) {
        case Ask::Answered:
            return Claim::Raised;
        case Ask::Silent:
            why = "a copy at " + path + " does not answer";
            return Claim::Failed;
        case Ask::NobodyThere:
            break;
        }
        // Nobody listens: a file left by a copy that was killed goes.
        ::unlink(path.c_str());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            why = std::string("no socket: ") + std::strerror(errno);
            return Claim::Failed;
        }
        const mode_t old = ::umask(077); // the socket is this user's alone
        const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        ::umask(old);
        if (bound == 0 && ::listen(fd, 4) == 0) {
            m_fd = fd;
            m_path = path;
            return Claim::First;
        }
        const int err = errno;
        ::close(fd);
        if (err != EADDRINUSE) {
            why = "cannot listen at " + path + ": " + std::strerror(err);
            return Claim::Failed;
        }
    }
    why = "another copy took " + path + " meanwhile";
    return Claim::Failed;
}

int CSingleInstance::takeRequests(unsigned waitMs) {
    if (m_fd < 0)
        return 0;
    int raises = 0;
    // A handful at most per call: a flood waits for the next one.
    for (int taken = 0; taken < 8; ++taken) {
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            break;
        ucred peer{};
        socklen_t len = sizeof peer;
        const bool sameUser =
            ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) == 0 && peer.uid == ::getuid();
        char words[sizeof kRaise] = {};
        if (sameUser && readable(fd, static_cast<int>(waitMs))) {
            const ssize_t n = ::recv(fd, words, sizeof words - 1, MSG_DONTWAIT);
            if (n == sizeof kRaise - 1 && std::memcmp(words, kRaise, sizeof kRaise - 1) == 0) {
                ++raises;
                (void)!::send(fd, kDone, sizeof kDone - 1, MSG_NOSIGNAL);
            }
        }
        ::close(fd);
    }
    return raises;
}
