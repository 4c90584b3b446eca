// What the service fuzz targets share: a check that stops the run (libFuzzer
// then keeps the input), and the position test every parsed fix must pass.
#pragma once

#include <cmath>
#include <cstdlib>

inline void check(bool ok) {
    if (!ok)
        std::abort();
}

inline void checkPosition(double lat, double lon) {
    check(std::isfinite(lat) && std::isfinite(lon));
    check(std::fabs(lat) <= 90 && std::fabs(lon) <= 180);
}
