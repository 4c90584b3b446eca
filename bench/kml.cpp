// The KML writer against a plain memcpy of the same number of bytes: the
// network-link reply is rebuilt on every poll (twice a second), so building a
// document should cost little more than copying the ready coordinate texts.
#include "earth/kml.h"
#include "platform/paths.h"
#include "platform/runtime.h"
#include "remote/client.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int64_t kUtc0 = 1714564800; // 2024-05-01 12:00:00 UTC

// An empty start directory, so that no view file of the machine is read.
void useEmptyStartDir() {
    static std::string dir = [] {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "nivra-bench-kml-XXXXXX").string();
        return mkdtemp(tmpl.data()) ? tmpl : std::string("/nonexistent");
    }();
    setStartDir(dir);
}

// One point a second along a winding road, the speed drifting through the
// 5 mph bands as real driving does.
void fillTrack(CClient& v, int points, int seed) {
    v.maxPts = points;
    for (int i = 0; i < points; ++i) {
        GpsFix f;
        const double t = i + seed * 7.0;
        f.lat = 48.0 + seed * 0.01 + i * 0.00002;
        f.lon = 11.0 + 0.001 * std::sin(t / 300.0) + i * 0.00001;
        f.alt = 500 + 20 * std::sin(t / 900.0);
        f.spd = 25 + 20 * std::sin(t / 120.0);
        f.hdg = std::fmod(t / 10.0, 360.0);
        f.time = kUtc0 + i + tzOffset();
        v.track.add(f, 2);
        v.curPos = f;
    }
}

KmlOptions benchOptions() {
    KmlOptions o;
    o.statusText = "Signal Acquired";
    return o;
}

struct FullRing {
    CClient v{"Bob@10.0.0.7"};
    size_t bytes = 0;
    FullRing() {
        useEmptyStartDir();
        v.uName = "Bob";
        v.host = "10.0.0.7";
        v.tracking = 0x2F;
        v.camRange = 1500;
        fillTrack(v, kTrackCapacity, 1);
        std::string out;
        vehicleKml(v, out, kmlLink, kKmlAllPoints, benchOptions());
        bytes = out.size();
    }
};

FullRing& fullRing() {
    static FullRing r;
    return r;
}

struct Fleet {
    std::vector<std::unique_ptr<CClient>> owned;
    std::vector<CClient*> list;
    size_t bytes = 0;
    Fleet() {
        useEmptyStartDir();
        for (int i = 0; i < 20; ++i) {
            auto v = std::make_unique<CClient>("car" + std::to_string(i) + "@10.0.0.7");
            v->uName = "car" + std::to_string(i);
            v->host = "10.0.0.7";
            v->tracking = i == 0 ? 0x2F : 0;
            v->camRange = 1500;
            fillTrack(*v, 2000, i);
            list.push_back(v.get());
            owned.push_back(std::move(v));
        }
        std::string out;
        allVehiclesKml(out, kKmlAllPoints, list, benchOptions());
        bytes = out.size();
    }
};

Fleet& fleet() {
    static Fleet f;
    return f;
}

void memcpyBytes(benchmark::State& state, size_t bytes) {
    std::vector<char> src(bytes, 'x'), dst(bytes);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), bytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["doc_bytes"] = static_cast<double>(bytes);
}

void BM_VehicleKmlFullRing(benchmark::State& state) {
    FullRing& r = fullRing();
    const KmlOptions opt = benchOptions();
    std::string out;
    for (auto _ : state) {
        vehicleKml(r.v, out, kmlLink, kKmlAllPoints, opt);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
    state.counters["doc_bytes"] = static_cast<double>(out.size());
}

void BM_MemcpyFullRingBytes(benchmark::State& state) {
    memcpyBytes(state, fullRing().bytes);
}

void BM_AllVehicles20x2000(benchmark::State& state) {
    Fleet& f = fleet();
    const KmlOptions opt = benchOptions();
    std::string out;
    for (auto _ : state) {
        allVehiclesKml(out, kKmlAllPoints, f.list, opt);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
    state.counters["doc_bytes"] = static_cast<double>(out.size());
}

void BM_MemcpyAllVehiclesBytes(benchmark::State& state) {
    memcpyBytes(state, fleet().bytes);
}

} // namespace

BENCHMARK(BM_VehicleKmlFullRing)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyFullRingBytes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AllVehicles20x2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyAllVehiclesBytes)->Unit(benchmark::kMicrosecond);
