// Phone reports per second on one core, beside nginx answering a static 200
// on the same core with the same client: the phone port should manage at
// least half of nginx's rate. Each request is a new connection (the phone
// port closes after every reply, so nginx is asked to as well); the listener
// (or nginx) runs on CPU 0, the clients on the other CPUs. Run:
//   build/bench/bench_phones --benchmark_counters_tabular=true
// and compare the requests/s of BM_PhoneReports and BM_NginxStatic200.
#include "earth/n2k.h"
#include "phones/phoneKey.h"
#include "phones/phoneListener.h"
#include "platform/socket.h"
#include "remote/client.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kClientThreads = 4;
const char* const kKey = "bench-key-0123456789";

void pinToCpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu % std::max(1u, std::thread::hardware_concurrency()), &set);
    sched_setaffinity(0, sizeof set, &set);
}

// Every CPU but the first, for the clients.
void pinToOthers() {
    const unsigned n = std::thread::hardware_concurrency();
    cpu_set_t set;
    CPU_ZERO(&set);
    for (unsigned i = n > 1 ? 1 : 0; i < n; ++i)
        CPU_SET(i, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// One request on a connection of its own; true for a 200.
bool ask(uint16_t port, const std::string& request) {
    int err = 0;
    Socket c = Socket::tcp(err);
    if (c.connect("127.0.0.1", port, 2000) != 0)
        return false;
    c.setTimeouts(5000);
    c.send(request.data(), request.size());
    char buf[512];
    std::string reply;
    long n;
    while ((n = c.recv(buf, sizeof buf)) > 0)
        reply.append(buf, static_cast<size_t>(n));
    return reply.rfind("HTTP/1.1 200", 0) == 0;
}

struct PhoneWorld {
    CClients clients{"servers"};
    Cn2k engine{clients};
    CPhoneListener listener{clients, engine};
    uint16_t port = 0;
    PhoneWorld() {
        for (int i = 0; i < kClientThreads; ++i) {
            const std::string id = "b" + std::to_string(i);
            CClient* v = clients.add(id, id);
            v->remoteType = remotePhone;
            v->phoneKey = hashPhoneKey(kKey);
        }
        listener.server.bindAddress = "127.0.0.1";
        pinToCpu(0); // the listener's thread is made here and keeps it
        listener.start(0);
        pinToOthers();
        while ((port = listener.server.boundPort()) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
};

void BM_PhoneReports(benchmark::State& state) {
    // Made once, by whichever client thread comes first; its listener
    // serves every run and ends with the program.
    static const std::unique_ptr<PhoneWorld> world = std::make_unique<PhoneWorld>();
    pinToOthers();
    static std::atomic<int64_t> tick{static_cast<int64_t>(std::time(nullptr)) - 86400 * 20};
    const std::string id = "b" + std::to_string(state.thread_index());
    int64_t failures = 0;
    for (auto _ : state) {
        // Every report newer than the last: each one is drawn.
        const int64_t t = ++tick;
        const std::string request = "GET /" + std::string(kKey) + "?id=" + id +
                                    "&lat=48.1&lon=11.5&speed=" + std::to_string(t % 50) +
                                    "&bearing=" + std::to_string(t % 360) +
                                    "&timestamp=" + std::to_string(t) +
                                    " HTTP/1.1\r\nHost: b\r\n\r\n";
        failures += !ask(world->port, request);
    }
    state.counters["requests/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    if (failures)
        state.SkipWithError("a report was not answered 200");
}
BENCHMARK(BM_PhoneReports)->Threads(kClientThreads)->UseRealTime()->MinTime(3);

struct Nginx {
    pid_t pid = -1;
    uint16_t port = 0;
    std::string prefix;
    Nginx() {
        if (access("/usr/sbin/nginx", X_OK) != 0)
            return;
        char tmpl[] = "/tmp/nivra-bench-nginx-XXXXXX";
        if (!mkdtemp(tmpl))
            return;
        prefix = tmpl;
        std::filesystem::create_directories(prefix + "/logs");
        port = static_cast<uint16_t>(20000 + getpid() % 20000);
        std::ofstream(prefix + "/nginx.conf")
            << "daemon off;\nmaster_process off;\npid " << prefix << "/nginx.pid;\nerror_log "
            << prefix << "/logs/error.log;\nevents { worker_connections 1024; }\nhttp {\n"
            << " access_log off;\n client_body_temp_path " << prefix << "/b;\n proxy_temp_path "
            << prefix << "/p;\n fastcgi_temp_path " << prefix << "/f;\n uwsgi_temp_path " << prefix
            << "/u;\n scgi_temp_path " << prefix << "/s;\n keepalive_timeout 0;\n"
            << " server {\n  listen 127.0.0.1:" << port
            << ";\n  location / { return 200; }\n }\n}\n";
        pid = fork();
        if (pid == 0) {
            pinToCpu(0);
            execl("/usr/sbin/nginx", "nginx", "-p", prefix.c_str(), "-c",
                  (prefix + "/nginx.conf").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200; ++i) {
            int err = 0;
            Socket c = Socket::tcp(err);
            if (c.connect("127.0.0.1", port, 200) == 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        port = 0;
    }
    ~Nginx() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (!prefix.empty())
            std::filesystem::remove_all(prefix);
    }
};

void BM_NginxStatic200(benchmark::State& state) {
    static const std::unique_ptr<Nginx> nginx = std::make_unique<Nginx>();
    pinToOthers();
    if (nginx->port == 0) {
        state.SkipWithError("nginx did not start (scripts/setup installs nginx-light)");
        for (auto _ : state) {
        }
        return;
    }
    const std::string request = "GET / HTTP/1.1\r\nHost: b\r\n\r\n";
    int64_t failures = 0;
    for (auto _ : state)
        failures += !ask(nginx->port, request);
    state.counters["requests/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    if (failures)
        state.SkipWithError("nginx did not answer 200");
}
BENCHMARK(BM_NginxStatic200)->Threads(kClientThreads)->UseRealTime()->MinTime(3);

} // namespace
