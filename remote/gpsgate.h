// The GpsGate link: logs in to a GpsGate tracking server with the user's
// account, reads the positions of the user's buddies into vehicles of type
// remoteGpsGate, and uploads the local vehicle's new points as RMC and GGA
// sentences. Every exchange is one short TCP connection of NMEA-style lines.
#pragma once

#include "platform/socket.h"
#include "remote/gpsgateText.h"
#include "remote/serviceSettings.h"
#include "remote/updatePeriod.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CClient;
class CClients;

// One GpsGate account's exchanges. Each exchange logs in on a new connection.
class CGpsGateLink {
public:
    explicit CGpsGateLink(SecondsClock clock = wallClockSeconds) : m_clock(std::move(clock)) {}

    // One pass: when enabled and the period has passed, upload the local
    // vehicle's new points (if asked to) and read every buddy's position.
    void update(CClients& list, const GpsGateSettings& s);
    // Opens a connection and logs in; an invalid Socket on failure.
    Socket login(const GpsGateSettings& s);
    // Reads one user's last position into `fix` (complete RMC fixes only).
    bool readUserPosition(const GpsGateSettings& s, const std::string& user, GpsFix& fix);
    // Uploads the vehicle's points newer than the server's last position of
    // the account, oldest first. Returns the number of points sent.
    int updatePoints(const GpsGateSettings& s, CClient& vehicle);

private:
    SecondsClock m_clock;
    UpdatePeriod m_period;
};
