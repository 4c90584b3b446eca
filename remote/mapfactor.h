// The MapFactor link: with the mapFactor setting on, vehicles of type
// remoteWeb follow devices of the MapFactor GPRS tracking service. Each pass
// downloads a device's position history since the vehicle's newest point over
// HTTPS and appends the new positions to its track.
#pragma once

#include "remote/mapfactorHistory.h"
#include "remote/servicePass.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class CClient;
class CClients;
class CTrack;

// The debug copy of the last reply, in the start directory.
constexpr const char* kMapFactorDebugFile = "mapFactor.out";
// The service's HTTPS port, unless the MapFactorServer setting names another.
constexpr int kMapFactorPort = 443;
// The largest history reply taken. 3000 records take well under a megabyte;
// a bigger reply fails the download, so the debug copy never grows past it.
constexpr size_t kMapFactorMaxReply = size_t(8) << 20;

// The MapFactor exchanges of one process; the period belongs to the thread
// that runs them (separate from the Mologogo one).
class CMapFactorLink {
public:
    explicit CMapFactorLink(SecondsClock clock = wallClockSeconds) : m_clock(std::move(clock)) {}

    // One pass: when enabled and the period has passed, download every
    // remoteWeb vehicle's history.
    void update(CClients& list, const WebAccountSettings& s);
    // Downloads one vehicle's history since its newest point, merges it and
    // keeps the reply in "mapFactor.out". Returns the records offered to the
    // track, or -1 when the download failed.
    int parseMapFactor(CClient& vehicle, const WebAccountSettings& s);

private:
    // Writes the reply to "mapFactor.out" unless the file already holds it.
    void keepDebugCopy(const std::string& reply);

    SecondsClock m_clock;
    UpdatePeriod m_period;
    int m_requestId = 0;
    uint64_t m_debugCopyHash = 0; // of the text last written to the debug copy
    bool m_debugCopyWritten = false;
};
