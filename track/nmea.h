// NMEA 0183 sentences: parsing GGA, RMC, VTG (and the GpsGate "$FRPOS") into
// a position record, and formatting a record back into RMC and GGA sentences.
// Pure functions: they touch only their arguments and the process time zone.
#pragma once

#include <cstdint>
#include <ctime>
#include <locale.h>
#include <string>
#include <string_view>

// The position record shared by the whole system. Fix times are counted as
// mktime() counts the UTC fields of a sentence: UTC seconds since 1970 plus
// the standard-time zone offset (tzOffset(), seconds west of UTC).
struct GpsFix {
    double lat = 0;       // decimal degrees, north positive
    double lon = 0;       // decimal degrees, east positive
    double alt = 0;       // metres
    double hdg = 0;       // course over ground, degrees
    double spd = 0;       // knots
    int64_t time = 0;     // fix time; 0 means no time
    int32_t rmcSeen = 0;  // set once an RMC was applied; never cleared here
    uint8_t status = 'V'; // 'V' when new, 1 after an RMC with status 'A', else 0
};

// Largest sentence the parser works on; longer text is cut.
constexpr size_t kNmeaWorkBuffer = 2048;

// Whether a line begins with '$' and a talker: two capital letters naming
// what made the sentence (GP GPS, GL GLONASS, GA Galileo, GB and BD BeiDou,
// GQ QZSS, GN several systems at once, IN an integrated navigator, and any
// other). "$P" begins a maker's own sentence ($PGRMC, $PSRF...), not a
// talker's.
bool hasNmeaTalker(std::string_view line);

// The position sentences, known by their type whatever their talker.
enum class NmeaType { other, gga, rmc, vtg };
NmeaType nmeaSentenceType(std::string_view line);

// 0 nothing usable, 1 record updated but no new point, 2 a complete fix.
// GGA, RMC and VTG count from any talker. An RMC that repeats the time of the
// record's last RMC gives at most 1: receivers that report one fix under two
// talkers ($GPRMC and $GNRMC) give one point, not two.
// A NUL ends the sentence; text beyond kNmeaWorkBuffer - 1 characters is cut.
int parseNmea(std::string_view sentence, GpsFix& fix, double altOffset = 0,
              double courseOffset = 0);
int parseNmea(const char* sentence, GpsFix& fix, double altOffset = 0, double courseOffset = 0);

// Each returns 1 when the record was updated, 0 otherwise. The text is the
// sentence without its checksum and may be modified (fields are split in place).
int parseGPGGA(char* text, GpsFix& fix, double altOffset);
int parseGPRMC(char* text, GpsFix& fix, double courseOffset);
int parseGPVTG(char* text, GpsFix& fix);
int parseFRPOS(char* text, GpsFix& fix);

// ddmmyy and hhmmss[.fff] to a fix time; 0 when the fields are unusable.
int64_t nmeaTimetoTime_T(const char* date, const char* time);

// The fix-time convention in one place: a fix time is UTC seconds plus the
// standard-time zone offset (tzOffset()); calendar fields come back by
// subtracting it again. Both use the zone in TZ at the time of the call.
int64_t utcToFixTime(int64_t utcSeconds);
int64_t fixTimeToUtc(int64_t fixTime);
// UTC calendar fields (tm_year since 1900, tm_mon 0-11; out-of-range days roll
// over as mktime rolls them: 31 February is 3 March) to a fix time.
int64_t fixTimeFromUtcFields(const struct tm& utcFields);

// The time checks that RMC and $FRPOS apply to a parsed time: below 1000, or
// more than 7 days (604800 s) after the clock (on the fix-time scale), is
// rejected with a log line attributed to `parser`. Returns 1 when acceptable.
int checkNmeaFixTime(int64_t time, const char* parser);

// While alive, this thread formats and reads numbers in the "C" locale, so a
// front end that calls setlocale(LC_ALL, "") (Qt does) cannot turn "48.1" into
// "48,1" in sentences, coords texts or track files. Nests freely.
class NumericCLocale {
public:
    NumericCLocale();
    ~NumericCLocale();
    NumericCLocale(const NumericCLocale&) = delete;
    NumericCLocale& operator=(const NumericCLocale&) = delete;

private:
    locale_t m_previous;
};

// XOR of all characters after the first.
int nmeaChecksum(const char* text);
// The checksum test of parseNmea on a writable sentence: false without a '*'
// or when "*XX" does not match; a checksum of 0 or none readable passes
// unchecked. On a checked pass the text is cut at the '*'.
bool nmeaChecksumPasses(char* text);
// Appends "*XX" (the checksum of `text`, upper-case hex) to `out`.
void appendNmeaChecksum(const char* text, std::string& out);

double nmeaToDegrees(double ddmm);
double degreesToNmea(double degrees);
std::string formatNmeaLat(double lat); // "4807.0380,N"
std::string formatNmeaLon(double lon); // "1131.0000,E" ("%3.4lf": no zero padding)

// hhmmss and ddmmyy of a fix time; false (texts left empty) for time 0.
bool fixTimeStrings(int64_t time, std::string& hhmmss, std::string& ddmmyy);

// One complete sentence with checksum and "\r\n". A GGA without altitude
// leaves its altitude field empty (a fix that knows no height).
std::string makeRmcSentence(const GpsFix& fix);
std::string makeGgaSentence(const GpsFix& fix, bool withAltitude = true);
