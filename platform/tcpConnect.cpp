#include "platform/tcpConnect.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

int resolveIPv4(const std::string& host, int port, sockaddr_in& out) {
    // The listeners of every copy are IPv4 only, so a name such as
    // "localhost" must not turn into ::1 first.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
    if (rc != 0)
        return rc;
    if (!found || found->ai_addrlen < sizeof(sockaddr_in))
        return EAI_NONAME;
    std::memcpy(&out, found->ai_addr, sizeof out);
    return 0;
}

const char* resolveErrorText(int code) {
    return ::gai_strerror(code);
}

int setNonBlocking(Socket& s, bool on) {
    int flags = ::fcntl(s.fd(), F_GETFL, 0);
    if (flags < 0)
        return errno;
    int wanted = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    return ::fcntl(s.fd(), F_SETFL, wanted) == 0 ? 0 : errno;
}

int startConnect(Socket& s, const sockaddr_in& to) {
    int rc;
    do {
        rc = ::connect(s.fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

int waitSocket(Socket& s, bool forWrite, unsigned ms) {
    pollfd p{s.fd(), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    int n = ::poll(&p, 1, static_cast<int>(ms));
    if (n < 0)
        return errno == EINTR ? 0 : -errno;
    return n > 0 ? 1 : 0;
}
