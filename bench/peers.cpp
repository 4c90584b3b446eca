// The control server's reply to a CONTROL= request: a full resynchronisation
// (a client that asks for all 28800 points of a full track) and the steady
// poll of a client that missed three points. Both through the handler the
// listener calls, and once over a real loopback connection for the poll.
#include "net/server.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "remote/peerProtocol.h"
#include "remote/rawSock.h"

#include <benchmark/benchmark.h>

#include <string>
#include <unistd.h>

namespace {

GpsFix driveFix(int i) {
    GpsFix f;
    f.lat = 48.0 + i * 0.00001;
    f.lon = 11.0 + (i % 7) * 0.00001;
    f.alt = 500 + i % 50;
    f.spd = 20;
    f.status = 1;
    f.time = nowFixTime() - 40000 + i;
    return f;
}

// A server whose local vehicle holds a full track.
CClients& fullServer() {
    static CClients clients("benchServer");
    static bool filled = false;
    if (!filled) {
        CClient* local = clients.add("Me", "localhost");
        clients.designateLocal();
        for (int i = 0; i < kTrackCapacity; ++i)
            local->track.add(driveFix(i), 2);
        local->curPos = driveFix(kTrackCapacity - 1);
        filled = true;
    }
    return clients;
}

void reply(benchmark::State& state, int32_t clientSeq, int32_t maxPts, size_t expectPoints) {
    CClients& clients = fullServer();
    std::string request = formatControlRequest("bench@client", maxPts, 0, clientSeq, "Red");
    size_t bytes = 0;
    for (auto _ : state) {
        std::string copy = request; // handlers may write into the request
        ServerReply out;
        int32_t n = CClients::processCtlFunc(std::span<char>(copy.data(), copy.size()), "127.0.0.1",
                                             out, &clients);
        if (n <= 0 || out.owned.size() < expectPoints * kPackedPointSize) {
            state.SkipWithError("no full reply");
            break;
        }
        bytes += static_cast<size_t>(n);
        benchmark::DoNotOptimize(out.owned.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["replies/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// A client that asks with a later number than the server's: a resync of
// every point held, with a maxPts that takes them all.
void BM_ControlReplyFullResync(benchmark::State& state) {
    reply(state, kTrackCapacity + 1000, kTrackCapacity, kTrackCapacity);
}
BENCHMARK(BM_ControlReplyFullResync)->Unit(benchmark::kMicrosecond);

// The steady poll: three points new since the client's last request.
void BM_ControlReplyThreeNew(benchmark::State& state) {
    reply(state, kTrackCapacity - 3, 2000, 3);
}
BENCHMARK(BM_ControlReplyThreeNew)->Unit(benchmark::kMicrosecond);

// The whole exchange over loopback as the update thread makes it: connect,
// request, reply, merge of the three points into the client's copy.
void BM_PollOverLoopback(benchmark::State& state) {
    CClients& server = fullServer();
    const std::string address = "127.0.9." + std::to_string(1 + getpid() % 250);
    CServer control;
    control.bindAddress = address;
    control.start(kControlPort, &CClients::processCtlFunc, &server);
    for (int i = 0; i < 500 && control.boundPort() == 0; ++i)
        sleepMs(10);
    static CClients clients("benchClient");
    CClient* peer = clients.add("Her", address);
    for (auto _ : state) {
        peer->track.m_seqNum = kTrackCapacity - 3;
        if (peer->update(1) != 1) {
            state.SkipWithError("the exchange failed");
            break;
        }
    }
    state.counters["replies/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PollOverLoopback)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
