#include "nivraProcess.h"

// Every test of the program runs in a network of its own where it can.
#include "common/ownNetwork.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace itest {

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

} // namespace

int connectFrom(const std::string& source, const std::string& address, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (!source.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, source.c_str(), &local.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

namespace {

int connectTo(const std::string& address, int port) {
    return connectFrom("", address, port);
}

} // namespace

std::string uniqueLoopbackAddress() {
    static std::atomic<int> counter{0};
    const int pid = static_cast<int>(getpid());
    return "127." + std::to_string(20 + pid % 200) + "." + std::to_string((pid / 200) % 250) + "." +
           std::to_string(1 + counter++ % 250);
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "nivra-run-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (char* d = mkdtemp(buf.data()))
        m_path = d;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ec);
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

NivraProcess::NivraProcess(const std::string& dir, const std::string& address,
                           const std::vector<std::string>& extra, const std::string& outputDir,
                           const std::string& registry) {
    Launch launch;
    launch.args = {"--headless", "--dir", dir, "--earth", "none"};
    if (!address.empty()) {
        launch.args.push_back("--bind");
        launch.args.push_back(address);
        launch.address = address;
    }
    launch.args.insert(launch.args.end(), extra.begin(), extra.end());
    launch.home = dir;
    launch.outputDir = outputDir;
    if (!registry.empty())
        launch.env.push_back("NIVRA_REGISTRY=" + registry);
    spawn(launch);
}

NivraProcess::NivraProcess(const Launch& launch) {
    spawn(launch);
}

void NivraProcess::spawn(const Launch& launch) {
    m_dir = launch.home;
    m_outDir = launch.outputDir.empty() ? launch.home : launch.outputDir;
    m_address = launch.address;
    std::vector<std::string> args{NIVRA_EXE};
    args.insert(args.end(), launch.args.begin(), launch.args.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // The program's own environment: its registry file, and a home of its own
    // so nothing of the user's desktop or settings is touched.
    const std::string& dir = launch.home;
    std::vector<std::string> env{"NIVRA_REGISTRY=" + dir + "/registry.reg", "HOME=" + dir,
                                 "XDG_CONFIG_HOME=" + dir + "/config",
                                 "XDG_DATA_HOME=" + dir + "/data"};
    for (const std::string& e : launch.env) {
        const std::string name = e.substr(0, e.find('=') + 1);
        std::erase_if(env, [&](const std::string& have) { return have.rfind(name, 0) == 0; });
        env.push_back(e);
    }
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("NIVRA_REGISTRY=", 0) == 0 || entry.rfind("HOME=", 0) == 0 ||
            entry.rfind("XDG_", 0) == 0 || entry.rfind("DISPLAY=", 0) == 0 ||
            entry.rfind("WAYLAND_DISPLAY=", 0) == 0)
            continue;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        if (std::any_of(launch.env.begin(), launch.env.end(),
                        [&](const std::string& mine) { return mine.rfind(name, 0) == 0; }))
            continue;
        env.push_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (m_outDir + "/stdout.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (m_outDir + "/stderr.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (!launch.cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, launch.cwd.c_str());
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0)
        m_pid = pid;
    posix_spawn_file_actions_destroy(&actions);
}

NivraProcess::~NivraProcess() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
}

bool NivraProcess::waitForPort(int port, int ms) const {
    const Clock::time_point start = Clock::now();
    while (msSince(start) < ms) {
        int status = 0;
        if (m_pid <= 0 || waitpid(m_pid, &status, WNOHANG) == m_pid)
            return false;
        int fd = connectTo(m_address, port);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

long NivraProcess::terminate(int& status, int ms) {
    signal(SIGTERM);
    return waitForEnd(status, ms);
}

void NivraProcess::signal(int sig) const {
    if (m_pid > 0)
        kill(m_pid, sig);
}

long NivraProcess::waitForEnd(int& status, int ms) {
    status = 0;
    if (m_pid <= 0)
        return -1;
    const Clock::time_point start = Clock::now();
    while (msSince(start) < ms) {
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return msSince(start);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

std::string NivraProcess::out() const {
    return readFile(m_outDir + "/stdout.txt");
}

std::string NivraProcess::err() const {
    return readFile(m_outDir + "/stderr.txt");
}

bool NivraProcess::waitForOutput(const std::string& text, int ms) const {
    const Clock::time_point start = Clock::now();
    while (out().find(text) == std::string::npos) {
        if (msSince(start) >= ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::string exchange(const std::string& address, int port, const std::string& request,
                     int timeoutMs) {
    return exchangeFrom("", address, port, request, timeoutMs);
}

std::string exchangeFrom(const std::string& source, const std::string& address, int port,
                         const std::string& request, int timeoutMs) {
    int fd = connectFrom(source, address, port);
    if (fd < 0)
        return std::string();
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    const Clock::time_point start = Clock::now();
    char buf[65536];
    while (msSince(start) < timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        reply.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return reply;
}

bool enterOwnNetwork() {
    return testnet::enterOwnNetwork();
}

long residentMb(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6) / 1024;
    return 0;
}

long long diskUsedBytes(const std::string& dir) {
    long long total = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec)) {
        struct stat st {};
        if (::lstat(e.path().c_str(), &st) == 0)
            total += static_cast<long long>(st.st_blocks) * 512;
    }
    return total;
}

std::string pollUntil(const std::string& address, const std::vector<std::string>& wanted, int ms) {
    const std::string rootGet = "GET / HTTP/1.1\r\nHost: nivra\r\n\r\n";
    std::string reply;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        reply = exchange(address, 51233, rootGet);
        bool all = !reply.empty();
        for (const std::string& w : wanted)
            all = all && reply.find(w) != std::string::npos;
        if (all)
            return reply;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return reply;
}

} // namespace itest
