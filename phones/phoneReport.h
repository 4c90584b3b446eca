// What a phone's request says, read from the request alone: which protocol
// (OsmAnd / Traccar Client, or OwnTracks), who the phone claims to be, the
// secret it shows and the position it reports. Pure: no vehicles, no I/O; the
// clock is an argument. A request that cannot be read comes back refused with
// the reason the phone is told.
#pragma once

#include "net/httpRequest.h"

#include <cstdint>
#include <string>

enum class PhoneProtocol { osmand, owntracks };

// How a phone's OsmAnd speed parameter is meant; chosen per phone (Traccar
// Client sends knots). The JSON forms name their own unit.
enum PhoneSpeedUnit : int32_t { speedKnots = 0, speedMetresPerSecond = 1, speedKmPerHour = 2 };

// Identifiers are 1 to this many characters of A-Z a-z 0-9 . _ -
constexpr size_t kPhoneIdMax = 64;
// A timestamp more than this far ahead of the clock is refused.
constexpr int64_t kPhoneFutureSeconds = 86400;

struct PhoneReport {
    PhoneProtocol protocol = PhoneProtocol::osmand;
    std::string identifier;
    std::string secret; // the key shown (path, "key" or the Basic password); may be empty
    // False for a message without a position (OwnTracks' other _types).
    bool hasPosition = false;
    // False when the phone says its fix is not valid ("valid=false").
    bool valid = true;
    double lat = 0, lon = 0;
    int64_t utcSeconds = 0; // the fix's own time (the clock when it names none)
    bool hasSpeed = false;
    double speed = 0; // in `speedUnit`, or the phone's own unit when speedInDeviceUnit
    bool speedInDeviceUnit = false;
    PhoneSpeedUnit speedUnit = speedKnots;
    double course = 0, altitude = 0, accuracy = 0, hdop = 0;
    double battery = -1; // percent; -1 unknown
    std::string tid;     // OwnTracks' two-letter tracker id
};

// Reads one whole request. `nowUtc` is the clock (UTC seconds). False with
// `why` for a request the phone must be told about (400).
bool readPhoneReport(const HttpRequest& request, int64_t nowUtc, PhoneReport& out,
                     std::string& why);

// Seconds since 1970 (UTC) of a phone's time: seconds or milliseconds since
// the epoch, or ISO 8601 ("2026-12-08T21:05:00Z", fraction and offset allowed).
// False for anything else.
bool readPhoneTime(std::string_view text, int64_t& utcSeconds);

// Whether `id` is usable as a phone's identifier.
bool validPhoneId(std::string_view id);

// Knots of a speed in `unit`.
double speedInKnots(double speed, PhoneSpeedUnit unit);
