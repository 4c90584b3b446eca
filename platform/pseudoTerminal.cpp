#include "platform/pseudoTerminal.h"

#include "platform/runtime.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal(bool raw) {
    termios t{};
    cfmakeraw(&t);
    cfsetispeed(&t, B4800);
    cfsetospeed(&t, B4800);
    if (openpty(&m_master, &m_slave, nullptr, raw ? &t : nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    fcntl(m_master, F_SETFD, FD_CLOEXEC);
    fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    char* name = ttyname(m_slave);
    m_path = name != nullptr ? name : "";
}

PseudoTerminal::~PseudoTerminal() {
    hangUp();
    if (m_slave >= 0) {
        ::close(m_slave);
    }
}

bool PseudoTerminal::write(std::string_view data, unsigned timeoutMs) {
    uint32_t start = tickCountMs();
    while (!data.empty()) {
        if (m_master < 0) {
            return false;
        }
        ssize_t n = ::write(m_master, data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        uint32_t waited = tickCountMs() - start;
        if (waited >= timeoutMs) {
            return false;
        }
        pollfd p{m_master, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(timeoutMs - waited));
    }
    return true;
}

void PseudoTerminal::hangUp() {
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}
