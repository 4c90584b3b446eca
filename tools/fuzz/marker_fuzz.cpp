// libFuzzer target: any bytes as a Mologogo page, through parseMarker at every
// "createMarker(" and through parseMarkerPage into a vehicle's track. Checks
// what must hold for every input.
#include "fuzzCheck.h"
#include "remote/client.h"
#include "remote/mologogoPage.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CClients list("fuzz");
    static CClient* vehicle = list.add("page@mologogo.com"); // grows across inputs
    std::string_view page(reinterpret_cast<const char*>(data), size);

    for (size_t at = page.find("createMarker("); at != std::string_view::npos;
         at = page.find("createMarker(", at + 1)) {
        int64_t t = 0;
        double lat = 0, lon = 0;
        size_t used = parseMarker(page.substr(at), t, lat, lon);
        if (used != 0) {
            check(used <= page.size() - at && used <= kMoloMarkerMaxLength);
            check(t != 0);
            checkPosition(lat, lon);
        }
    }
    int before = vehicle->track.pointCount();
    int added = parseMarkerPage(page, *vehicle);
    check(added >= 0 && added <= kMoloMaxEntries);
    check(vehicle->track.pointCount() <= before + added || vehicle->track.pointCount() == 28800);
    MoloCookieStore cookies;
    cookies.takeFromReply(page);
    check(cookies.line().size() <= kMoloCookieMax);
    check(cookies.line().find_first_of("\r\n") == std::string::npos);
    return 0;
}
