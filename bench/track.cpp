// CTrack::add as the line intake calls it for every complete fix: mode 1 for
// vehicles with compression, mode 2 without. Also the reads that every
// network-link poll and peer reply make.
#include "track/track.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

constexpr int64_t kStart = 1237811719; // March 2009: well inside the accepted range

// A vehicle driving a slow circle at 1 Hz: position, course and (for the
// moving case) speed change like a real drive.
GpsFix fixAt(int64_t s, double speed, double turnDegPerSec) {
    GpsFix f;
    double a = s * 1e-4;
    f.lat = 48.1 + 0.01 * std::sin(a) + s * 1e-7;
    f.lon = 11.5 + 0.01 * std::cos(a);
    f.alt = 500 + (s % 100) * 0.1;
    f.spd = speed;
    f.hdg = std::fmod(90 + s * turnDegPerSec, 360);
    f.time = kStart + s;
    return f;
}

// Fixes must keep going forward in time; start a fresh track when the
// clock of the fake drive would reach the present.
void runAdd(benchmark::State& state, int mode, double speed, double turn) {
    CTrack track;
    int64_t s = 0;
    for (auto _ : state) {
        track.add(fixAt(s, speed, turn), mode);
        if (++s == 400000000) {
            state.PauseTiming();
            track.clear();
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["stored"] = static_cast<double>(track.m_seqNum.load());
    state.SetLabel("items/s = points/s");
}

// Mode 1, straight at a steady 20 kn: most fixes overwrite the newest point
// and one in eleven appends (the 10 s rule).
void BM_AddMode1Cruising(benchmark::State& state) {
    runAdd(state, 1, 20.5, 0);
}
// Mode 1 while turning: the course changes every fix, so every fix appends.
void BM_AddMode1Turning(benchmark::State& state) {
    runAdd(state, 1, 20.5, 1.5);
}
// Mode 2: every fix appends; the ring wraps every 28800 points.
void BM_AddMode2(benchmark::State& state) {
    runAdd(state, 2, 20.5, 1.5);
}

CTrack& fullTrack() {
    static CTrack t;
    if (t.pointCount() == 0)
        for (int s = 0; s < kTrackCapacity; ++s)
            t.add(fixAt(s, 20, 1.5), 2);
    return t;
}

// The KML writer's read of a whole track as coords text.
void BM_GetPtsText28800(benchmark::State& state) {
    CTrack& t = fullTrack();
    std::string out;
    for (auto _ : state) {
        int n = t.getPts(out, kTrackCapacity, false, 0);
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kTrackCapacity);
}

// A peer's reply of the newest 100 packed points.
void BM_GetPtsBinary100(benchmark::State& state) {
    CTrack& t = fullTrack();
    std::string out;
    for (auto _ : state) {
        int n = t.getPts(out, 100, true, 0);
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 100);
}

// A full save: serialise, write 1.6 MB, fsync, rename.
void BM_SaveFullTrack(benchmark::State& state) {
    CTrack& t = fullTrack();
    char dir[] = "/tmp/nivra-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("no temp dir");
        return;
    }
    std::string path = std::string(dir) + "/bench.trk";
    for (auto _ : state) {
        bool ok = t.save(path);
        benchmark::DoNotOptimize(ok);
    }
    unlink(path.c_str());
    rmdir(dir);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kTrackFileSize);
}

} // namespace

BENCHMARK(BM_AddMode1Cruising);
BENCHMARK(BM_AddMode1Turning);
BENCHMARK(BM_AddMode2);
BENCHMARK(BM_GetPtsText28800);
BENCHMARK(BM_GetPtsBinary100);
BENCHMARK(BM_SaveFullTrack)->Unit(benchmark::kMillisecond);
