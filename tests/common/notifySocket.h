// A datagram socket standing in for systemd's side of the notify protocol:
// bound to a name as NOTIFY_SOCKET gives it (a path, or "@name" in the
// abstract namespace), it receives the program's state datagrams.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

class NotifySocket {
public:
    explicit NotifySocket(const std::string& name) : m_name(name) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (m_fd < 0 || name.size() < 2 || name.size() > sizeof address.sun_path)
            return;
        std::memcpy(address.sun_path, name.data(), name.size());
        if (name[0] == '@')
            address.sun_path[0] = '\0';
        const socklen_t length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        m_bound = bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    }
    ~NotifySocket() {
        if (m_fd >= 0)
            close(m_fd);
        if (m_bound && m_name[0] == '/')
            unlink(m_name.c_str());
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool bound() const { return m_bound; }
    const std::string& name() const { return m_name; }
    // The next datagram, or "" after `ms`.
    std::string receive(int ms = 2000) const {
        timeval timeout{ms / 1000, (ms % 1000) * 1000};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char buf[1024];
        const ssize_t n = recv(m_fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

private:
    std::string m_name;
    int m_fd = -1;
    bool m_bound = false;
};
