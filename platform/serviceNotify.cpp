#include "platform/serviceNotify.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

bool sendServiceNotification(const std::string& socketName, const std::string& state,
                             std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const bool abstract = !socketName.empty() && socketName.front() == '@';
    if (socketName.size() < 2 || (!abstract && socketName.front() != '/') ||
        socketName.size() > sizeof address.sun_path || socketName.find('\0') != std::string::npos) {
        error = "NOTIFY_SOCKET \"" + socketName.substr(0, 120) + "\" is no socket address";
        return false;
    }
    std::memcpy(address.sun_path, socketName.data(), socketName.size());
    if (abstract)
        address.sun_path[0] = '\0';
    // An abstract name is exactly as long as given; a path ends at its NUL
    // where there is room for one.
    const bool terminated = !abstract && socketName.size() < sizeof address.sun_path;
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                                    socketName.size() + (terminated ? 1 : 0));

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("no socket for the service manager: ") + std::strerror(errno);
        return false;
    }
    ssize_t sent;
    do {
        sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), length);
    } while (sent < 0 && errno == EINTR);
    const int sendError = errno;
    ::close(fd);
    if (sent != static_cast<ssize_t>(state.size())) {
        error = "cannot tell the service manager \"" + state.substr(0, state.find('\n')) +
                "\": " + (sent < 0 ? std::strerror(sendError) : "cut short");
        return false;
    }
    return true;
}

bool notifyServiceManager(const std::string& state, std::string& error) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (!name || !*name)
        return true;
    return sendServiceNotification(name, state, error);
}
