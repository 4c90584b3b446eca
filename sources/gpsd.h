// The gpsd source: on Linux the GPS receiver usually belongs to gpsd, which
// shares it with every program that asks. Nivra connects to gpsd over a plain
// TCP socket and asks for its JSON reports: gpsd decodes every receiver it
// knows (NMEA of any talker, binary u-blox, SiRF, Trimble...), so each fix
// arrives as the same TPV report. A fix goes to the same line handler the
// serial reader uses, as the GGA and RMC sentences a receiver would have
// sent, so the intake, recording and the flight path treat it like any other;
// the fix mode and the satellites in use go to the GPS data window. The serial
// reader's thread (Ccomm) runs these sessions when the gpsd source is chosen.
#pragma once

#include "sources/gpsdReports.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Where gpsd listens.
struct GpsdServer {
    static constexpr const char* kDefaultHost = "127.0.0.1";
    static constexpr uint16_t kDefaultPort = 2947;

    std::string host = kDefaultHost;
    uint16_t port = kDefaultPort;

    // "host:port", as the status texts show it.
    std::string text() const;
};

// Reads `host[:port]` (the setting `GpsdServer`, the value of --gpsd). An
// empty text gives the default 127.0.0.1:2947; a missing port gives 2947.
// False, with `error` set, for a port that is not 1..65535, a host with
// characters no host name or address has, or a text longer than 255 bytes.
bool parseGpsdServer(const std::string& text, GpsdServer& out, std::string& error);

// The values of the setting `GpsSource`.
inline constexpr const char* kGpsSourceSerial = "serial";
inline constexpr const char* kGpsSourceGpsd = "gpsd";

// The server of the setting `GpsdServer`; a text parseGpsdServer refuses is
// logged and gives the default server.
GpsdServer gpsdServerSetting(const std::string& text);

// The request that turns on gpsd's stream of JSON reports.
inline constexpr const char* kGpsdWatch = "?WATCH={\"enable\":true,\"json\":true}\n";

// Why a session ended.
enum class GpsdEnd {
    cancelled,    // stop, reconnect or shutdown
    unreachable,  // nothing accepted the connection
    closed,       // gpsd closed the connection (stopped or restarted)
    closedAtOnce, // closed before any greeting
    notGpsd,      // the service on the port does not greet as gpsd
    lineTooLong,  // a line longer than kGpsdLineMax
    failed,       // a send or receive failed
};

// The longest line taken from gpsd, one report. gpsd's largest, a SKY report
// of every satellite a multi-band receiver tracks, stays well below.
inline constexpr size_t kGpsdLineMax = 65535;

// What a session needs from its owner.
struct GpsdHooks {
    std::function<bool()> cancelled;                      // stop the session now
    std::function<void(const std::string& line)> deliver; // one sentence of a fix
    std::function<void(const std::string& text)> status;  // what the source is doing
    // Fix mode and satellites as gpsd reports them; {} when the session ends.
    std::function<void(const GpsdStatus& status)> receiver;
};

// The waits of a session; tests shorten them.
struct GpsdTimes {
    unsigned connectMs = 3000;    // connection attempt
    unsigned greetingMs = 5000;   // gpsd greets at once; a silent service is not gpsd
    unsigned sliceMs = 100;       // longest wait before looking at `cancelled`
    unsigned unreadableLines = 8; // lines refused, none read, before the status says so
};

// One session: connects to `server`, asks for JSON reports and, until the
// connection ends or the hooks cancel, delivers every fix of a TPV report as
// its sentences (fixSentences) and passes fix mode and satellites (TPV, SKY)
// to `receiver`. Lines that are not bounded, well-formed JSON objects are
// refused and logged. `reports` counts the reports read, of every class.
GpsdEnd runGpsdSession(const GpsdServer& server, const GpsdTimes& times, const GpsdHooks& hooks,
                       unsigned long& reports);

// The wait before the next attempt: 1 s after the first failure, doubling up
// to 10 s; a session that read reports starts the count again.
class GpsdBackoff {
public:
    static constexpr unsigned kFirstMs = 1000;
    static constexpr unsigned kMaxMs = 10000;

    unsigned next();
    void reset() { m_nextMs = kFirstMs; }

private:
    unsigned m_nextMs = kFirstMs;
};

// The status text a session leaves after it ended for `end`.
std::string gpsdEndStatus(GpsdEnd end, const GpsdServer& server);
