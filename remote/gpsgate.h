// The GpsGate link: logs in to a GpsGate tracking server with the user's
// account, reads the positions of the user's buddies into vehicles of type
// remoteGpsGate, and uploads the local vehicle's new points as RMC and GGA
// sentences. Every exchange is one short TCP connection of NMEA-style lines.
#pragma once

#include "platform/socket.h"
#include "remote/gpsgateText.h"
#include "remote/updatePeriod.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CClient;
class CClients;

// What the link reads from the settings.
struct GpsGateSettings {
    std::string server;   // gpsgServerName: "host" or "host:port"
    std::string name;     // gpsgName
    std::string password; // gpsgPass
    int32_t freq = 60;    // gpsgFreq, seconds between exchanges
    int32_t enable = 0;   // gpsgEnable
    int32_t upload = 0;   // gpsgUpdate: upload the local track
    // The values of the process-wide settings object.
    static GpsGateSettings fromOptions();
};

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

// The pass the GpsGate update thread runs every 2 seconds, with the settings
// of the process-wide settings object.
void gpsgateUpdate(CClients& list);
