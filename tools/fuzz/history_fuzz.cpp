// libFuzzer target: any bytes as a MapFactor history reply, through
// parseHistoryRecord at every record start and through mergeHistory into a
// vehicle's track. Checks what must hold for every input.
#include "remote/client.h"
#include "remote/mapfactor.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CClients list("fuzz");
    static CClient* vehicle = list.add("device@mapfactor.com"); // grows across inputs
    std::string_view reply(reinterpret_cast<const char*>(data), size);

    std::ptrdiff_t pos = static_cast<std::ptrdiff_t>(size) - 1;
    while (auto start = findRecordStart(reply, pos)) {
        check(*start <= size);
        int64_t t = 0;
        double lat = 0, lon = 0, alt = 0, spd = 0;
        if (parseHistoryRecord(reply.substr(*start), t, lat, lon, alt, spd)) {
            check(t != 0 && std::isfinite(lat) && std::isfinite(lon));
            check(std::fabs(lat) <= 90 && std::fabs(lon) <= 180);
        }
        pos = static_cast<std::ptrdiff_t>(*start) - 2;
    }
    int added = mergeHistory(reply, *vehicle);
    check(added >= 0 && added <= kMapFactorMaxRows);
    check(!mapFactorStartHour(vehicle->track).empty());
    return 0;
}
