// One kept position of a vehicle, as the history stores and exports it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct HistoryFix {
    int64_t utc = 0;         // seconds since 1970, UTC
    double lat = 0, lon = 0; // degrees
    double alt = 0;          // metres
    double speedKnots = 0;
    double course = 0; // degrees
};

// A point on its way into the store.
struct HistoryPoint {
    std::string key;    // the vehicle's key, "user@host"
    std::string source; // "local", "peer", "device", "service", "gpsgate", "phone",
                        // "import"
    HistoryFix fix;
};

// One vehicle's points in time order, as exports take them.
struct HistoryTrack {
    std::string key;
    std::vector<HistoryFix> fixes;
};

// Where points go. The store implements it; tests hand in their own.
class HistorySink {
public:
    virtual ~HistorySink() = default;
    // Must return at once (no disk, no waits). `replacesNewest`: the point
    // takes the place of the newest point this sink was given for the key.
    virtual void add(const HistoryPoint& point, bool replacesNewest) = 0;
};

constexpr double kHistoryKnotsToKmh = 1.852;
constexpr double kKnotsToMetresPerSecond = 1852.0 / 3600.0;
