// Fixes the integration tests post to a copy's tracker port, and the text a
// track point shows for them in the network-link reply.
#pragma once

#include "platform/runtime.h"
#include "track/nmea.h"

#include <cstdio>
#include <string>

namespace itest {

// A valid fix `secondsAgo` before now, at 20 knots.
inline GpsFix fixAt(double lat, double lon, double hdg, int64_t secondsAgo) {
    GpsFix f;
    f.lat = lat;
    f.lon = lon;
    f.hdg = hdg;
    f.spd = 20;
    f.status = 1;
    f.time = nowFixTime() - secondsAgo;
    return f;
}

// The coordinates text a track point carries, "lon,lat" with five decimals.
inline std::string lonLat(const GpsFix& f) {
    char text[64];
    std::snprintf(text, sizeof text, "%.5lf,%.5lf", f.lon, f.lat);
    return text;
}

} // namespace itest
