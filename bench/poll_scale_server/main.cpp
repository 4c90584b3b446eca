// The network link's real handler on a loopback port with a fleet of tracker
// vehicles, for bench/poll_scale. Every vehicle gets POINTS points; before each
// request one vehicle (in turn) gets one more point, as a fleet reporting to
// the tracker port does between two polls, so no reply is the "unchanged" one.
//
//   bench_poll_scale_server VEHICLES POINTS PLAIN_FILE
//
// It asks itself for "/" and "/NivraServers" first and compares both bodies
// with the document the plain writer gives (written to PLAIN_FILE, which the
// static server then serves); on a difference it exits 1. Then it prints
// "ready PORT" and serves until stdin closes. Each line read from stdin
// prints the replies served since the last one and the process's CPU time
// for each ("served N replies, X ms CPU each"), which a loaded machine does
// not distort as it does replies per second.
#include "earth/kml.h"
#include "earth/n2k.h"
#include "net/server.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "track/track.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct Fleet {
    Cn2k* engine = nullptr;
    std::vector<CClient*> vehicles;
    std::vector<int64_t> nextTime;
    size_t turn = 0;
    std::atomic<bool> feeding{false};
    std::atomic<int64_t> served{0};
};

double cpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(u.ru_utime) + ms(u.ru_stime);
}

GpsFix pointOf(size_t vehicle, int64_t time) {
    GpsFix f;
    const double step = static_cast<double>(time % 100000);
    f.lat = 40 + static_cast<double>(vehicle % 50) * 0.1 + step * 0.00001;
    f.lon = -3 + static_cast<double>(vehicle / 50) * 0.1 + step * 0.000013;
    f.alt = 600 + static_cast<double>(time % 40);
    // Speed and course drift slowly, as a vehicle's do: runs of a few points.
    f.spd = 10 + static_cast<double>((time / 40 + static_cast<int64_t>(vehicle)) % 30);
    f.hdg = static_cast<double>((time / 20) % 360);
    f.status = 1;
    f.time = time;
    return f;
}

void addPoint(Fleet& fleet, size_t i) {
    CClient& v = *fleet.vehicles[i];
    const GpsFix f = pointOf(i, fleet.nextTime[i] += 5);
    TrackLockGuard lock;
    v.curPos = f;
    v.track.add(f, 0);
    v.online = 1;
}

int32_t feedThenAnswer(std::span<char> request, const char* peer, ServerReply& reply, void* ctx) {
    Fleet& fleet = *static_cast<Fleet*>(ctx);
    if (fleet.feeding) {
        addPoint(fleet, fleet.turn);
        fleet.turn = (fleet.turn + 1) % fleet.vehicles.size();
    }
    ++fleet.served;
    return Cn2k::processTrackerFunc(request, peer, reply, fleet.engine);
}

std::string fetch(uint16_t port, const std::string& target) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string req = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (write(fd, req.data(), req.size()) == static_cast<ssize_t>(req.size())) {
            char buf[65536];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0)
                reply.append(buf, static_cast<size_t>(n));
        }
    }
    if (fd >= 0)
        close(fd);
    return reply;
}

// The body of a reply: after the first blank line (either line ending).
std::string bodyOf(const std::string& reply) {
    for (const char* end : {"\r\n\r\n", "\n\n"}) {
        const size_t at = reply.find(end);
        if (at != std::string::npos)
            return reply.substr(at + std::string(end).size());
    }
    return {};
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: bench_poll_scale_server VEHICLES POINTS PLAIN_FILE\n";
        return 2;
    }
    const int count = std::atoi(argv[1]);
    const int points = std::atoi(argv[2]);
    if (count < 1 || count > 10000 || points < 2 || points > 28800) {
        std::cerr << "bench_poll_scale_server: 1..10000 vehicles, 2..28800 points\n";
        return 2;
    }
    CClients clients("pollscale");
    Cn2k engine(clients);
    EngineSettings settings;
    settings.maxReplyMB = 1024; // every point drawn: the plain document is the whole one
    settings.maxDeviceVehicles = count;
    settings.kml.statusText = "Signal Acquired";
    engine.setSettings(settings);

    Fleet fleet;
    fleet.engine = &engine;
    for (int i = 0; i < count; ++i) {
        CClient* v = clients.add("trk" + std::to_string(i), std::to_string(350000000 + i));
        v->remoteType = remoteDevice;
        v->tracking = 0;
        v->maxPts = points;
        fleet.vehicles.push_back(v);
        fleet.nextTime.push_back(1700000000 + i);
        for (int p = 0; p < points; ++p)
            addPoint(fleet, static_cast<size_t>(i));
    }
    engine.m_tracked = fleet.vehicles.front();

    CServer server;
    server.bindAddress = "127.0.0.1";
    server.framing = RequestFraming::http; // as the engine's own listener
    if (server.start(0, feedThenAnswer, &fleet) != 1) {
        std::cerr << "bench_poll_scale_server: cannot listen\n";
        return 1;
    }
    while (server.boundPort() == 0)
        usleep(1000);
    const uint16_t port = server.boundPort();

    // The plain writer's document, after a first poll drew every vehicle at
    // the tracked vehicle's range.
    const std::string root = bodyOf(fetch(port, "/"));
    std::string plain = kmlDocumentHead();
    std::string one;
    for (CClient* v : clients.vehicles()) {
        if (v == fleet.vehicles.front())
            continue;
        vehicleKml(*v, one, kmlLink, kKmlAllPoints, settings.kml);
        plain += one + "\n";
    }
    vehicleKml(*fleet.vehicles.front(), one, kmlLink, kKmlAllPoints, settings.kml);
    plain += one + "\n" + kmlDocumentTail();
    const std::string poll = bodyOf(fetch(port, "/NivraServers"));
    std::ofstream(argv[3], std::ios::binary) << plain;
    const bool same = root == plain && poll == plain;
    std::cout << "bytes: root " << root.size() << ", poll " << poll.size() << ", plain "
              << plain.size() << (same ? ": identical" : ": DIFFERENT") << std::endl;
    if (!same) {
        server.stop();
        return 1;
    }
    fleet.feeding = true;
    std::cout << "ready " << port << std::endl;
    std::string line;
    double cpu = cpuMs();
    fleet.served = 0;
    while (std::getline(std::cin, line)) {
        const double now = cpuMs();
        const int64_t n = fleet.served.exchange(0);
        std::printf("served %lld replies, %.2f ms CPU each\n", static_cast<long long>(n),
                    n > 0 ? (now - cpu) / static_cast<double>(n) : 0.0);
        std::fflush(stdout);
        cpu = now;
    }
    g_bShutdown = 1;
    server.stop();
    return 0;
}
