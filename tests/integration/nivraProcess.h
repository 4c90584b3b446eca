// One run of the real nivra program, headless, in a directory of its own with
// its own registry file and its listeners on a loopback address of its own
// (127.x.y.z), so runs never collide with each other or with a real instance.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace itest {

// A loopback address that no other test process uses at the same time.
std::string uniqueLoopbackAddress();

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);

// How to start the program when the usual headless run does not fit.
struct Launch {
    std::vector<std::string> args; // after the program's name
    // The run's home: HOME, XDG_CONFIG_HOME (HOME/config), XDG_DATA_HOME
    // (HOME/data) and, unless `env` sets another, NIVRA_REGISTRY
    // (HOME/registry.reg). DISPLAY and WAYLAND_DISPLAY are removed.
    std::string home;
    std::vector<std::string> env;      // NAME=VALUE, over the above
    std::string cwd;                   // empty: the test's own
    std::string outputDir;             // stdout.txt and stderr.txt (default: home)
    std::string address = "127.0.0.1"; // where waitForPort looks
};

class NivraProcess {
public:
    // Starts `nivra --headless --dir DIR --bind ADDR --earth none` plus `extra`;
    // without --bind when `address` is empty (waitForPort then asks 127.0.0.1).
    // Its stdout and stderr go to "stdout.txt" and "stderr.txt" in
    // `outputDir` (default: DIR), its registry file is DIR/registry.reg
    // unless `registry` names another.
    NivraProcess(const std::string& dir, const std::string& address,
                 const std::vector<std::string>& extra, const std::string& outputDir = "",
                 const std::string& registry = "");
    explicit NivraProcess(const Launch& launch);
    // A process still running is killed.
    ~NivraProcess();
    NivraProcess(const NivraProcess&) = delete;
    NivraProcess& operator=(const NivraProcess&) = delete;

    bool started() const { return m_pid > 0; }
    int pid() const { return m_pid; }
    // Waits until `port` accepts connections (false after `ms`, or when the
    // program ended).
    bool waitForPort(int port, int ms = 20000) const;
    // Sends SIGTERM and waits for the end. Returns the milliseconds it took,
    // or -1 when the program had not ended after `ms`. `status` gets the wait status.
    long terminate(int& status, int ms = 10000);
    std::string out() const;
    std::string err() const;
    // Sends `sig` to the running program.
    void signal(int sig) const;
    // Waits for the end; the milliseconds it took, or -1 after `ms`.
    long waitForEnd(int& status, int ms = 10000);
    // Waits until the program's output holds `text`.
    bool waitForOutput(const std::string& text, int ms = 20000) const;

private:
    void spawn(const Launch& launch);

    std::string m_dir;
    std::string m_outDir;
    std::string m_address;
    int m_pid = -1;
};

// One request on a connection of its own; everything the server sent before
// closing it (empty when nothing could be connected).
std::string exchange(const std::string& address, int port, const std::string& request,
                     int timeoutMs = 10000);

// A connection from `source` (empty: the system's choice; another loopback
// address stands in for another host) to `address`; -1 on failure.
int connectFrom(const std::string& source, const std::string& address, int port);
// exchange() from `source`.
std::string exchangeFrom(const std::string& source, const std::string& address, int port,
                         const std::string& request, int timeoutMs = 10000);

// Moves this thread (and the programs it starts) into a network of its own
// with only loopback, so the default ports cannot meet another program's.
// False where that is not allowed (it needs CAP_SYS_ADMIN).
bool enterOwnNetwork();

// Resident memory of a process in MB, from /proc (0 when unreadable).
long residentMb(int pid);
// The disk a directory's files take (their allocated blocks), in bytes.
long long diskUsedBytes(const std::string& dir);

// Asks the network-link port (51233 on `address`) as a browser would until the
// reply holds every text in `wanted`; the last reply when `ms` ran out.
std::string pollUntil(const std::string& address, const std::vector<std::string>& wanted,
                      int ms = 20000);

} // namespace itest
