// A Google Earth poll against a listener that holds idle connections: the
// latency of one poll (connect, request, reply, close) with 0, 6 and 100
// connections open that never send anything. A listener that served one
// connection at a time would make the poll wait out each idle connection's
// time-out; the event loop should keep the three numbers close together.
#include "net/server.h"
#include "platform/socket.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

// The unchanged network-link reply, as the poll handler gives it.
constexpr std::string_view kUnchanged = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                        "<kml xmlns=\"http://earth.google.com/kml/2.0\">\n"
                                        "</kml>";

int32_t unchangedHandler(std::span<char>, const char*, ServerReply& reply, void*) {
    return reply.giveStatic(kUnchanged);
}

void BM_PollWithIdleConnections(benchmark::State& state) {
    CServer server;
    server.bindAddress = "127.0.0.1";
    server.framing = RequestFraming::http;
    server.ioTimeoutMs = 600000; // the idle connections stay for the whole run
    server.start(0, unchangedHandler, nullptr);
    while (server.boundPort() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const uint16_t port = server.boundPort();

    // Idle clients from several addresses, as many hosts would be (one
    // address may hold only kMaxConnectionsPerPeer).
    std::vector<Socket> idle;
    for (int i = 0; i < state.range(0); ++i) {
        int err = 0;
        Socket s = Socket::tcp(err);
        s.bind("127.0.1." + std::to_string(1 + i / 10), 0);
        if (s.connect("127.0.0.1", port, 2000) != 0) {
            state.SkipWithError("could not open the idle connections");
            return;
        }
        idle.push_back(std::move(s));
    }

    const std::string poll = "GET /NivraServers?LOOKAT=11.5,48.1,800,0,0 HTTP/1.1\r\n\r\n";
    char buf[512];
    for (auto _ : state) {
        int err = 0;
        Socket c = Socket::tcp(err);
        c.connect("127.0.0.1", port, 2000);
        c.setTimeouts(10000);
        c.send(poll.data(), poll.size());
        size_t got = 0;
        long n;
        while ((n = c.recv(buf, sizeof buf)) > 0)
            got += static_cast<size_t>(n);
        if (got != kUnchanged.size()) {
            state.SkipWithError("short reply");
            break;
        }
    }
    state.counters["idle"] = static_cast<double>(idle.size());
    server.stop();
}
BENCHMARK(BM_PollWithIdleConnections)->Arg(0)->Arg(6)->Arg(100)->Unit(benchmark::kMicrosecond);

} // namespace
