// The history's costs: the store's work for 500 vehicles at 1 Hz (one
// second of points per iteration; target: under 20 ms of CPU, 2% of one
// core), an export of one million points to GPX (target: under 2 s), and
// the bytes the file takes per point (counter "bytes_per_point").
#include "history/gpxWriter.h"
#include "history/historyStore.h"
#include "history/historyWriter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

constexpr int kVehicles = 500;

std::string tempFile(const char* name) {
    return (std::filesystem::temp_directory_path() /
            (std::string("nivra-bench-") + std::to_string(::getpid()) + "-" + name))
        .string();
}

void removeDatabase(const std::string& path) {
    for (const char* end : {"", "-wal", "-shm"})
        std::remove((path + end).c_str());
}

HistoryPoint pointOf(int vehicle, int64_t t) {
    return HistoryPoint{"vehicle" + std::to_string(vehicle) + "@10.0.0.1", "device",
                        HistoryFix{t, 48.1 + vehicle * 1e-3 + (t % 3600) * 1e-5,
                                   11.5 + (t % 7200) * 1e-5, 500 + (t % 100) * 0.1, 25.0,
                                   static_cast<double>(t % 360)}};
}

// One iteration: every vehicle's point of one second handed to the store,
// and the store's one transaction for them.
void BM_Store500VehiclesAt1Hz(benchmark::State& state) {
    const std::string path = tempFile("store.gpkg");
    removeDatabase(path);
    int64_t t = 1800000000;
    {
        HistoryStore store(path);
        store.start();
        for (auto _ : state) {
            for (int v = 0; v < kVehicles; ++v)
                store.add(pointOf(v, t), false);
            ++t;
            if (!store.flush(60000))
                state.SkipWithError("the store did not write");
        }
        state.counters["points_per_s"] = benchmark::Counter(
            static_cast<double>(state.iterations()) * kVehicles, benchmark::Counter::kIsRate);
    }
    removeDatabase(path);
}
BENCHMARK(BM_Store500VehiclesAt1Hz)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

void BM_ExportMillionPointsToGpx(benchmark::State& state) {
    std::vector<HistoryTrack> tracks(100);
    for (size_t v = 0; v < tracks.size(); ++v) {
        tracks[v].key = "vehicle" + std::to_string(v) + "@10.0.0.1";
        for (int64_t s = 0; s < 10000; ++s)
            tracks[v].fixes.push_back(pointOf(static_cast<int>(v), 1800000000 + s).fix);
    }
    const std::string path = tempFile("export.gpx");
    size_t bytes = 0;
    for (auto _ : state) {
        std::FILE* out = std::fopen(path.c_str(), "wb");
        bytes = 0;
        const bool ok = writeGpx(tracks, [&](std::string_view chunk) {
            bytes += chunk.size();
            return std::fwrite(chunk.data(), 1, chunk.size(), out) == chunk.size();
        });
        std::fclose(out);
        if (!ok)
            state.SkipWithError("the export failed");
    }
    std::remove(path.c_str());
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ExportMillionPointsToGpx)->Unit(benchmark::kMillisecond)->Iterations(3);

// 500 vehicles over 200 seconds: 100,000 points, as the writer thread
// writes them (one transaction a second).
void BM_BytesPerPoint(benchmark::State& state) {
    const std::string path = tempFile("size.gpkg");
    double perPoint = 0;
    for (auto _ : state) {
        removeDatabase(path);
        HistoryWriter w;
        std::string error;
        if (!w.open(path, error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        for (int64_t s = 0; s < 200; ++s) {
            std::vector<HistoryWriter::Item> items;
            for (int v = 0; v < kVehicles; ++v)
                items.push_back({pointOf(v, 1800000000 + s), false});
            w.write(items, false, error);
        }
        perPoint = static_cast<double>(w.dataBytes()) / (200.0 * kVehicles);
    }
    removeDatabase(path);
    state.counters["bytes_per_point"] = perPoint;
}
BENCHMARK(BM_BytesPerPoint)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace
