// parseNmea on the sentences a receiver sends every second. A 10 Hz receiver
// on each of a few hundred tracked devices is the load to keep far below.
#include "track/nmea.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

// A minute of one receiver's RMC or GGA sentences, with valid checksums.
std::vector<std::string> sentences(bool rmc) {
    std::vector<std::string> out;
    for (int s = 0; s < 60; ++s) {
        char body[160];
        if (rmc)
            std::snprintf(
                body, sizeof body,
                "$GPRMC,1235%02d.000,A,4807.%04d,N,01131.%04d,E,%.1f,%.1f,230309,003.1,W,A", s,
                380 + s * 7, 1000 + s * 9, 20.0 + s % 7, 84.4 + s % 3);
        else
            std::snprintf(body, sizeof body,
                          "$GPGGA,1235%02d.000,4807.%04d,N,01131.%04d,E,1,08,0.9,%.1f,M,46.9,M,,",
                          s, 380 + s * 7, 1000 + s * 9, 545.4 + s);
        std::string line = body;
        appendNmeaChecksum(body, line);
        line += "\r\n";
        out.push_back(line);
    }
    return out;
}

void runParse(benchmark::State& state, bool rmc) {
    auto lines = sentences(rmc);
    GpsFix fix;
    size_t i = 0;
    for (auto _ : state) {
        int r = parseNmea(lines[i].c_str(), fix);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(fix);
        if (++i == lines.size())
            i = 0;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetLabel("items/s = sentences/s");
}

void BM_ParseNmeaRmc(benchmark::State& state) {
    runParse(state, true);
}
void BM_ParseNmeaGga(benchmark::State& state) {
    runParse(state, false);
}

void BM_MakeRmcSentence(benchmark::State& state) {
    GpsFix fix;
    fix.lat = 48.1173;
    fix.lon = 11.5166;
    fix.spd = 22.4;
    fix.hdg = 84.4;
    fix.time = 1237811719;
    for (auto _ : state) {
        std::string s = makeRmcSentence(fix);
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

} // namespace

BENCHMARK(BM_ParseNmeaRmc);
BENCHMARK(BM_ParseNmeaGga);
BENCHMARK(BM_MakeRmcSentence);
