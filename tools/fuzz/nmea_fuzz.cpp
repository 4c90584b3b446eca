// libFuzzer target: any bytes as an NMEA line, through parseNmea, the four
// parsers and the track store. Checks what must hold for every input.
#include "platform/runtime.h"
#include "track/nmea.h"
#include "track/track.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

void checkTrack(const CTrack& t) {
    check(t.pointCount() >= 0 && t.pointCount() <= kTrackCapacity);
    for (int i = 0; i < t.pointCount(); ++i) {
        const TrackPoint* p = t.point(i);
        check(p != nullptr);
        check(std::memchr(p->coords, '\0', sizeof p->coords) != nullptr);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CTrack track; // grows across inputs, like a long-running vehicle
    std::string line(reinterpret_cast<const char*>(data), size);
    line = line.c_str(); // up to the first NUL, as a C string arrives

    GpsFix fix;
    fix.rmcSeen = size > 0 && (data[0] & 1);
    GpsFix before = fix;
    int r = parseNmea(line.c_str(), fix, 0, 0);
    check(r >= 0 && r <= 2);
    if (r == 0) {
        // A rejected sentence leaves the record as it was.
        check(std::memcmp(&before, &fix, sizeof fix) == 0 || fix.rmcSeen == before.rmcSeen);
    } else {
        check(!std::isnan(fix.lat) && !std::isnan(fix.lon));
        check(std::fabs(fix.lat) <= 90 && std::fabs(fix.lon) <= 180);
    }
    if (r == 2)
        track.add(fix, size > 1 ? data[1] % 3 : 1);

    // The parsers directly, on writable copies (the GpsGate link calls parseFRPOS).
    std::vector<char> text(line.begin(), line.end());
    text.push_back('\0');
    GpsFix f2;
    std::vector<char> copy = text;
    parseGPGGA(copy.data(), f2, 0);
    copy = text;
    parseGPRMC(copy.data(), f2, 0);
    copy = text;
    parseGPVTG(copy.data(), f2);
    copy = text;
    if (parseFRPOS(copy.data(), f2))
        track.add(f2, 2);

    size_t half = line.size() / 2;
    nmeaTimetoTime_T(line.substr(0, half).c_str(), line.substr(half).c_str());

    // Output of whatever was parsed must parse back.
    if (r != 0 && fix.time > 1000) {
        GpsFix back;
        check(parseNmea(makeRmcSentence(fix).c_str(), back) == 2 || fix.time > nowFixTime());
    }

    std::string out;
    track.getPts(out, 100, size & 1, 0);
    int run;
    int32_t last;
    track.getSpeedRun(out, 0, 50, 10, run, last);
    checkTrack(track);
    return 0;
}
