// A real gpsd fed from a recorded NMEA log by gpsfake (packages gpsd and
// gpsd-clients), listening on a loopback port of its own. The tests of the
// gpsd source and of the whole program use it.
#pragma once

#include "platform/runtime.h"
#include "platform/socket.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace gpsfake {

inline bool available() {
    return access("/usr/bin/gpsfake", X_OK) == 0 &&
           std::system("/usr/bin/python3 -c 'import gps.fake' >/dev/null 2>&1") == 0;
}

// gpsd itself as well: the serial tests need only gpsfake's player.
inline bool gpsdAvailable() {
    return available() && access("/usr/sbin/gpsd", X_OK) == 0;
}

// A loopback port that nothing listens on right now.
inline uint16_t freePort() {
    int err = 0;
    Socket s = Socket::tcp(err);
    if (!s.valid() || s.bind("127.0.0.1", 0) != 0)
        return 0;
    return s.localPort();
}

// The lines of a capture as a reader delivers them ('\r' stays).
inline std::vector<std::string> captureLines(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// gpsfake playing `log` once, `cycleSeconds` between sentences, through a
// gpsd on `port`. gpsd answers on the port as soon as ready() is true.
class Run {
public:
    Run(const std::string& log, uint16_t port, const char* cycleSeconds = "0.05") : m_port(port) {
        const std::string portText = std::to_string(port);
        std::vector<std::string> argv{"/usr/bin/gpsfake", "-q", "-1",     "-c",
                                      cycleSeconds,       "-P", portText, log};
        std::vector<char*> args;
        for (std::string& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        // A group of its own, so that gpsd goes with it when it is killed.
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
        if (posix_spawn(&m_pid, args[0], &actions, &attr, args.data(), environ) != 0)
            m_pid = -1;
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Run() { stop(); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // Waits until gpsd accepts connections on the port.
    bool ready(unsigned ms = 20000) const {
        const uint32_t start = tickCountMs();
        while (m_pid > 0 && tickCountMs() - start < ms) {
            int err = 0;
            Socket probe = Socket::tcp(err);
            if (probe.connect("127.0.0.1", m_port, 500) == 0)
                return true;
            sleepMs(50);
        }
        return false;
    }

    // Ends gpsfake and its gpsd: an interrupt lets gpsfake stop gpsd itself;
    // the whole group is killed if that takes too long.
    void stop() {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGINT);
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 100 && !ended; ++i) {
            ended = waitpid(m_pid, &status, WNOHANG) == m_pid;
            if (!ended)
                sleepMs(50);
        }
        kill(-m_pid, SIGKILL);
        if (!ended)
            waitpid(m_pid, &status, 0);
        // gpsfake leaves its control socket behind.
        std::remove(("/tmp/gpsfake-" + std::to_string(m_pid) + ".sock").c_str());
        m_pid = -1;
    }

private:
    uint16_t m_port;
    pid_t m_pid = -1;
};

} // namespace gpsfake
