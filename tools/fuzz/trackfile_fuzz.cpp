// libFuzzer target: any bytes as a track file. load must either refuse
// (leaving the track as it was) or produce a track every reader can walk.
#include "track/track.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

std::string scratchPath() {
    static std::string path = "/tmp/nivra-trackfile-fuzz-" + std::to_string(getpid()) + ".trk";
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(scratchPath().c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    CTrack t;
    GpsFix seed;
    seed.lat = 1;
    seed.lon = 2;
    seed.time = 5000;
    t.add(seed, 2);
    int32_t seqBefore = t.m_seqNum;
    if (!t.load(scratchPath())) {
        check(t.pointCount() == 1 && t.m_seqNum == seqBefore);
        return 0;
    }
    check(t.capacity == kTrackCapacity);
    check(t.pointCount() >= 0 && t.pointCount() <= kTrackCapacity);
    check(t.head >= -1 && t.head < kTrackCapacity);
    std::string out;
    int n = t.getPts(out, kTrackCapacity, false, 0);
    check(n <= t.pointCount());
    t.getPts(out, kTrackCapacity, true, 3);
    int run;
    int32_t last;
    for (int i = 0; i < t.pointCount();) {
        int step = t.getSpeedRun(out, i, 100, 10, run, last);
        check(step >= 1);
        i += step;
    }
    GpsFix next = seed;
    next.time = 2000000000;
    t.add(next, 1);
    t.dump(nullptr);
    return 0;
}
