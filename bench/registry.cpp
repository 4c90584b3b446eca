// Reading the registry file: a normal settings file, and a damaged or hostile
// one with very many values in one key, which must still read in linear time.
#include "platform/registry.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

std::string fileWithValues(int keys, int valuesPerKey) {
    std::string text = "Windows Registry Editor Version 5.00\n";
    for (int k = 0; k < keys; ++k) {
        text += "[Software\\Nivra\\servers" + std::to_string(k) + "]\n";
        for (int v = 0; v < valuesPerKey; ++v)
            text += "\"value" + std::to_string(v) + "\"=dword:0000002f\n";
    }
    return text;
}

void readFile(benchmark::State& state, const std::string& text) {
    for (auto _ : state) {
        RegTree tree;
        int line = 0;
        std::string why;
        bool ok = parseRegFile(text, tree, line, why);
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
}

// About what a user with twenty vehicles has.
void BM_ReadSettingsFile(benchmark::State& state) {
    readFile(state, fileWithValues(21, 70));
}
BENCHMARK(BM_ReadSettingsFile);

// 50000 values in one key, about 1.3 MB.
void BM_ReadOneHugeKey(benchmark::State& state) {
    readFile(state, fileWithValues(1, 50000));
}
BENCHMARK(BM_ReadOneHugeKey)->Unit(benchmark::kMillisecond);

} // namespace
