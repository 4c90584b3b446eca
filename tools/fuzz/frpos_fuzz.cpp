// libFuzzer target: any bytes as a GpsGate "_buddies" reply, through the
// buddy matcher and findSentenceStart at every position the matcher could
// reach. Checks what must hold for every input.
#include "fuzzCheck.h"
#include "remote/gpsgateText.h"
#include "track/nmea.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace {

void checkFix(const GpsFix& f) {
    checkPosition(f.lat, f.lon);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view reply(reinterpret_cast<const char*>(data), size);
    // The first bytes up to a NUL name the buddy looked for.
    size_t nul = reply.find('\0');
    std::string_view name =
        nul == std::string_view::npos ? std::string_view() : reply.substr(0, nul);
    GpsFix fix;
    int r = findBuddyPosition(reply, name, fix);
    check(r >= -1 && r <= 1);
    if (r == 1)
        checkFix(fix);
    for (size_t pos = 0; pos < size; pos += 1 + pos / 8) {
        GpsFix f;
        if (findSentenceStart(reply, pos, f))
            checkFix(f);
    }
    check(scramblePassword(name).size() == name.size());
    return 0;
}
