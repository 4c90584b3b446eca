// libFuzzer target: any bytes as one whole request on the tracker port,
// through the tracker port's handler, the device table and the vehicle list.
// The first byte chooses the poster: this machine (odd) or a stranger (even).
// Checks what must hold for every request from anyone.
#include "earth/n2k.h"
#include "net/server.h"
#include "remote/client.h"
#include "track/outsideText.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

// Device vehicles keep a track each; a small cap keeps the run's memory flat.
constexpr int32_t kCap = 20;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CClients list("fuzz");
    static Cn2k engine(list); // no recording: no log files
    // Each request arrives a minute after the one before: every request is
    // read whole (the address's line budget has filled again) and a unit
    // may take its fix (one a second).
    static Cn2k::SteadyClock::time_point arrival{};
    static CClient* local = [] {
        EngineSettings settings;
        settings.maxDeviceVehicles = kCap;
        engine.setSettings(settings);
        engine.m_intakeClock = [] { return arrival; };
        CClient* me = list.add("Me", "localhost");
        list.designateLocal();
        engine.m_local = me;
        return me;
    }();
    if (size == 0)
        return 0;
    arrival += std::chrono::minutes(1);
    const bool fromHere = data[0] & 1;
    std::string request(reinterpret_cast<const char*>(data) + 1, size - 1);
    request.resize(std::min(request.size(), kMaxRequest));
    const int localPoints = local->track.pointCount();

    ServerReply reply;
    int32_t result =
        Cn2k::processTrackerDataFunc(std::span<char>(request.data(), request.size()),
                                     fromHere ? "127.0.0.1" : "192.0.2.7", reply, &engine);
    check(result == 0 && reply.owned.empty() && reply.fixed.empty());
    if (!fromHere)
        check(local->track.pointCount() == localPoints); // a stranger never moves Me

    int devices = 0;
    for (CClient* v : list.vehicles(true)) {
        if (v == local)
            continue;
        check(v->host != "localhost");
        check(cleanText(v->uName) == v->uName && cleanText(v->host) == v->host);
        check(!v->uName.empty() && !v->host.empty());
        const std::string stem = safeFileStem(v->name);
        check(!stem.empty() && stem[0] != '.');
        check(stem.find_first_of(std::string("/\\:\0", 4)) == std::string::npos);
        devices += v->remoteType == remoteDevice;
    }
    check(devices <= kCap);
    return 0;
}
