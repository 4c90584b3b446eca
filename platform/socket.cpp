#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

bool toAddress(const std::string& address, uint16_t port, sockaddr_in& out) {
    std::memset(&out, 0, sizeof out);
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    if (address.empty()) {
        out.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1;
}

} // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = other.release();
    }
    return *this;
}

Socket Socket::tcp(int& error) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    error = fd < 0 ? errno : 0;
    return Socket(fd);
}

int Socket::release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
}

void Socket::close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

int Socket::setReuseAddress() {
    int on = 1;
    return ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : errno;
}

int Socket::setTimeouts(unsigned ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
    if (::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
        return errno;
    if (::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
        return errno;
    return 0;
}

int Socket::setNonBlocking() {
    int flags = ::fcntl(m_fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return errno;
    return 0;
}

int Socket::setResetOnClose() {
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = 0;
    return ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) == 0 ? 0 : errno;
}

int Socket::bind(const std::string& address, uint16_t port) {
    sockaddr_in sa;
    if (!toAddress(address, port, sa))
        return EINVAL;
    return ::bind(m_fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : errno;
}

int Socket::listen(int backlog) {
    return ::listen(m_fd, backlog) == 0 ? 0 : errno;
}

Socket Socket::accept(std::string& peer, int& error) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int fd;
    do {
        fd = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = errno;
        peer.clear();
        return Socket();
    }
    error = 0;
    char text[INET_ADDRSTRLEN] = {};
    peer = inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text) ? text : "";
    return Socket(fd);
}

int Socket::connect(const std::string& host, uint16_t port, unsigned timeoutMs) {
    sockaddr_in sa;
    if (!toAddress(host, port, sa) || host.empty()) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
            return EHOSTUNREACH;
        std::memcpy(&sa, found->ai_addr, sizeof sa);
        sa.sin_port = htons(port);
        ::freeaddrinfo(found);
    }
    int flags = ::fcntl(m_fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return errno;
    int err = 0;
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            pollfd p{m_fd, POLLOUT, 0};
            int n;
            do {
                n = ::poll(&p, 1, static_cast<int>(timeoutMs));
            } while (n < 0 && errno == EINTR);
            if (n == 0) {
                err = ETIMEDOUT;
            } else if (n < 0) {
                err = errno;
            } else {
                socklen_t len = sizeof err;
                if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                    err = errno;
            }
        }
    }
    ::fcntl(m_fd, F_SETFL, flags);
    return err;
}

long Socket::recv(char* buffer, size_t size) {
    ssize_t n;
    do {
        n = ::recv(m_fd, buffer, size, 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -errno : static_cast<long>(n);
}

long Socket::send(const char* data, size_t size) {
    ssize_t n;
    do {
        n = ::send(m_fd, data, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -errno : static_cast<long>(n);
}

namespace {

int waitFor(int fd, short events, unsigned ms) {
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, static_cast<int>(ms));
    if (n < 0)
        return errno == EINTR ? 0 : -errno;
    return n > 0 ? 1 : 0;
}

} // namespace

int Socket::waitReadable(unsigned ms) {
    return waitFor(m_fd, POLLIN, ms);
}

int Socket::waitWritable(unsigned ms) {
    return waitFor(m_fd, POLLOUT, ms);
}

int Socket::shutdown() {
    return ::shutdown(m_fd, SHUT_RDWR) == 0 ? 0 : errno;
}

long Socket::unacknowledged() const {
    int queued = 0;
    if (::ioctl(m_fd, SIOCOUTQ, &queued) != 0)
        return -1;
    return queued;
}

std::string Socket::peerAddress() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(m_fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
        sa.sin_family != AF_INET)
        return std::string();
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text))
        return std::string();
    return text;
}

uint16_t Socket::localPort() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return 0;
    return ntohs(sa.sin_port);
}
