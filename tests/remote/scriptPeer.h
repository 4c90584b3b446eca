// A real peer for the remote tests: a script started as a child process that
// prints the port it listens on as its first line and serves until killed.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

class ScriptPeer {
public:
    explicit ScriptPeer(std::vector<std::string> args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        m_port = readPort(out[0]);
        ::close(out[0]);
    }
    ~ScriptPeer() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            int status = 0;
            waitpid(m_pid, &status, 0);
        }
    }
    ScriptPeer(const ScriptPeer&) = delete;
    ScriptPeer& operator=(const ScriptPeer&) = delete;

    // The port the script listens on (0 when it did not start).
    int port() const { return m_port; }

private:
    // The first line, waited for at most 20 s (a loaded machine starts
    // Python slowly).
    static int readPort(int fd) {
        std::string line;
        char c;
        while (line.find('\n') == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20000) <= 0 || ::read(fd, &c, 1) != 1)
                return 0;
            line += c;
        }
        return std::atoi(line.c_str());
    }

    pid_t m_pid = -1;
    int m_port = 0;
};

// The descriptors this process holds open.
inline int openDescriptorCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n - 3; // ".", ".." and the directory's own descriptor
}
