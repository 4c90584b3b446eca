// libFuzzer target: any bytes as a MapFactor history reply, through
// parseHistoryRecord at every record start and through mergeHistory into a
// vehicle's track. Checks what must hold for every input.
#include "fuzzCheck.h"
#include "remote/client.h"
#include "remote/mapfactorHistory.h"

#include <cstdint>
#include <string_view>

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
            check(t != 0);
            checkPosition(lat, lon);
        }
        pos = static_cast<std::ptrdiff_t>(*start) - 2;
    }
    int added = mergeHistory(reply, *vehicle);
    check(added >= 0 && added <= kMapFactorMaxRows);
    check(!mapFactorStartHour(vehicle->track).empty());
    return 0;
}
