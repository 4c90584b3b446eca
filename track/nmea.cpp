// NMEA 0183 sentences. Pure functions over the caller's GpsFix;
// the only outside state they read is the clock and the process time zone.
#include "track/nmea.h"

#include "platform/numeric.h"
#include "platform/runtime.h"
#include "trace/trace.h"
#include "track/civilTime.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int64_t kSevenDays = 604800;
constexpr double kAltPreset = -20000;

locale_t cLocale() {
    // Created once, never freed: a process-wide constant.
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

// The fields are read without the locale (the number readers name the C
// locale themselves); only the trace's printf of a number needs the C locale
// set, and only when someone may listen.
class TraceNumbersInC {
public:
    TraceNumbersInC() : m_set(traceMayDeliver()) {
        if (m_set)
            m_previous = uselocale(cLocale());
    }
    ~TraceNumbersInC() {
        if (m_set)
            uselocale(m_previous);
    }
    TraceNumbersInC(const TraceNumbersInC&) = delete;
    TraceNumbersInC& operator=(const TraceNumbersInC&) = delete;

private:
    bool m_set;
    locale_t m_previous = nullptr;
};

// Takes the fields of a sentence one at a time from the left. Each field ends
// at the next ',' (which becomes a terminator); past the end fields are empty.
// A field is a view whose text is also NUL-terminated in place.
class FieldReader {
public:
    FieldReader(char* text, char* end) : m_next(text), m_end(end) {}
    explicit FieldReader(char* text) : FieldReader(text, text + std::strlen(text)) {}
    std::string_view next() {
        if (!m_next)
            return {};
        char* field = m_next;
        char* p = field;
        // Fields are a few characters: a plain loop beats a library call.
        while (p < m_end && *p != ',')
            ++p;
        if (p < m_end) {
            *p = '\0';
            m_next = p + 1;
        } else {
            m_next = nullptr;
        }
        return std::string_view(field, static_cast<size_t>(p - field));
    }

private:
    char* m_next;
    char* m_end;
};

// The C text of a field for messages and the C parsers: fields are
// terminated in place, an empty view is "".
const char* cText(std::string_view field) {
    return field.empty() ? "" : field.data();
}

// A field of at most 15 digits with at most one '.', as receivers send
// positions, speeds and courses. The digits as an integer are exact in a
// double, and so is the power of ten, so one division gives the correctly
// rounded number, the one from_chars and strtod give. `integerPart` (when
// given) gets the digits before the '.' as an integer.
bool readPlainDecimal(std::string_view text, double& value, uint64_t* integerPart = nullptr) {
    static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    // Digits, then perhaps a '.' and more digits: two plain loops. Too many
    // digits may wrap `digits` around; the count refuses them afterwards.
    const char* p = text.data();
    const char* const end = p + text.size();
    auto digit = [](char c) { return static_cast<unsigned>(c - '0') < 10; };
    uint64_t digits = 0;
    for (; p < end && digit(*p); ++p)
        digits = digits * 10 + static_cast<unsigned>(*p - '0');
    const size_t whole = static_cast<size_t>(p - text.data());
    if (integerPart)
        *integerPart = digits;
    size_t fraction = 0;
    if (p < end && *p == '.') {
        const char* const first = ++p;
        for (; p < end && digit(*p); ++p)
            digits = digits * 10 + static_cast<unsigned>(*p - '0');
        fraction = static_cast<size_t>(p - first);
    }
    if (p != end || whole + fraction == 0 || whole + fraction > 15)
        return false;
    value = static_cast<double>(digits);
    if (fraction > 0)
        value /= kPow10[fraction];
    return true;
}

// Reads a number as "%lf" does, but a NaN or an infinity counts as
// unreadable: no receiver means them, and they would poison every later sum.
bool readDouble(std::string_view text, double& value) {
    if (readPlainDecimal(text, value))
        return true;
    if (text.empty())
        return false;
    const char* field = text.data(); // NUL-terminated in place
    double v = 0;
    bool digitFirst = field[0] >= '0' && field[0] <= '9';
    bool hex = field[0] == '0' && text.size() > 1 && (field[1] == 'x' || field[1] == 'X');
    // A plain decimal field, as receivers send them: from_chars reads the same
    // number as strtod, correctly rounded, at a fraction of the cost. Anything
    // else (and a number out of range) is strtod's.
    if (!digitFirst || hex || std::from_chars(field, field + text.size(), v).ec != std::errc()) {
        char* end = nullptr;
        v = strtod_l(field, &end, cLocale());
        if (end == field)
            return false;
    }
    if (!std::isfinite(v))
        return false;
    value = v;
    return true;
}

// One latitude or longitude with its hemisphere letter. An empty number, or
// a letter other than the two expected, leaves the record's previous value.
// A number that is there but cannot be a position (unreadable, negative,
// minutes of 60 or more, beyond the pole or the date line) means the sentence
// is damaged: the caller rejects it whole rather than mix its other field
// with the previous position.
bool readAngle(std::string_view number, std::string_view hemisphere, char positive, char negative,
               double maxDegrees, double& target) {
    if (number.empty())
        return true;
    double v, whole;
    uint64_t integerPart = 0;
    if (readPlainDecimal(number, v, &integerPart)) {
        // With at most 15 digits the number lies at least a part in 10^15
        // from the next multiple of 100, far more than the rounding of v and
        // of v / 100: the truncation of v / 100 is the integer part's
        // hundreds, got without a division.
        whole = static_cast<double>(integerPart / 100);
    } else {
        if (!readDouble(number, v) || v < 0)
            return false;
        whole = std::trunc(v / 100);
    }
    if (v - whole * 100 >= 60)
        return false;
    // nmeaToDegrees(v), with the whole degrees known
    const double degrees = whole + (v - 100 * whole) / 60;
    if (degrees > maxDegrees)
        return false;
    const char h = hemisphere.empty() ? '\0' : hemisphere[0];
    if (h == positive)
        target = degrees;
    else if (h == negative)
        target = -degrees;
    return true;
}

// Latitude, longitude and the zero test shared by every positional sentence.
// Returns false when the sentence must be rejected; `texts` keeps the four raw
// fields for the log line.
struct PositionTexts {
    std::string_view lat, ns, lon, ew;
};

bool readPosition(FieldReader& f, GpsFix& fix, const char* parser, PositionTexts& texts) {
    texts.lat = f.next();
    if (texts.lat.empty())
        return false; // an empty latitude: no position at all, not worth a message
    texts.ns = f.next();
    texts.lon = f.next();
    texts.ew = f.next();
    if (!readAngle(texts.lat, texts.ns, 'N', 'S', 90, fix.lat) ||
        !readAngle(texts.lon, texts.ew, 'E', 'W', 180, fix.lon)) {
        NTRACE_AS(parser, "rejecting out-of-range lat,lon %s,%s", cText(texts.lat),
                  cText(texts.lon));
        return false;
    }
    if (fix.lat == 0 && fix.lon == 0) {
        NTRACE_AS(parser, "rejecting zero lat,lon");
        return false;
    }
    return true;
}

// printf into a string of whatever length the values need.
std::string formatString(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string formatString(const char* fmt, ...) {
    char small[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    va_end(ap);
    out.resize(static_cast<size_t>(n));
    return out;
}

void readSpeed(std::string_view field, GpsFix& fix) {
    double v;
    if (readDouble(field, v) && v >= 0 && v < 10000)
        fix.spd = v;
}

bool readCourse(std::string_view field, double offset, GpsFix& fix) {
    double v;
    if (readDouble(field, v) && v >= -360 && v <= 360) {
        fix.hdg = v + offset;
        return true;
    }
    return false;
}

// The XOR of the characters in [begin, end), eight at a time: a byte of
// the folded word is the XOR of the bytes in that lane. Empty when
// end <= begin.
unsigned xorBetween(const char* begin, const char* end) {
    uint64_t word = 0;
    unsigned tail = 0;
    while (end - begin >= 8) {
        uint64_t chunk;
        std::memcpy(&chunk, begin, sizeof chunk);
        word ^= chunk;
        begin += 8;
    }
    for (; begin < end; ++begin)
        tail ^= static_cast<unsigned char>(*begin);
    word ^= word >> 32;
    word ^= word >> 16;
    word ^= word >> 8;
    return (static_cast<unsigned>(word) & 0xFFu) ^ tail;
}

// The checksum test once the last '*' of `text` is found and the XOR of the
// characters between the '$' and it is known. On a checked pass `text` is
// cut at the '*'.
bool checksumAgrees(char* text, size_t& length, char* star, unsigned sumBeforeStar) {
    // "*%X": hexadecimal digits in either case. None readable, or the value 0,
    // means the sender did not checksum the sentence; it passes unchecked.
    unsigned long value = 0;
    bool any = false;
    for (const char* p = star + 1;; ++p) {
        const int digit = hexDigit(*p);
        if (digit < 0)
            break;
        any = true;
        if (value <= 0xFFFF) // more digits than a checksum can have: keep it non-matching
            value = value * 16 + static_cast<unsigned>(digit);
    }
    if (!any || value == 0)
        return true;
    *star = '\0';
    length = static_cast<size_t>(star - text);
    return static_cast<unsigned long>(sumBeforeStar) == value;
}

// The checksum test of a terminated text (nmeaChecksumPasses).
bool checksumPasses(char* text, size_t& length) {
    char* star = static_cast<char*>(memrchr(text, '*', length));
    if (!star)
        return false;
    const char kept = *star;
    *star = '\0';
    const auto sum = static_cast<unsigned>(nmeaChecksum(text));
    *star = kept;
    return checksumAgrees(text, length, star, sum);
}

int parseGga(char* text, char* end, GpsFix& fix, double altOffset);
int parseRmc(char* text, char* end, GpsFix& fix, double courseOffset);
int parseVtg(char* text, char* end, GpsFix& fix);

std::string formatAngle(double degrees, char positive, char negative) {
    NumericCLocale c;
    return formatString("%3.4lf,%c", std::fabs(degreesToNmea(degrees)),
                        degrees > 0 ? positive : negative);
}

} // namespace

NumericCLocale::NumericCLocale() : m_previous(uselocale(cLocale())) {}
NumericCLocale::~NumericCLocale() {
    uselocale(m_previous);
}

int64_t utcToFixTime(int64_t utcSeconds) {
    return utcSeconds + tzOffset();
}
int64_t fixTimeToUtc(int64_t fixTime) {
    return fixTime - tzOffset();
}

int64_t fixTimeFromUtcFields(const struct tm& utcFields) {
    // timegm is mktime of the fields taken as UTC with no daylight saving,
    // without depending on the zone's history; adding the standard offset
    // gives exactly what mktime with the daylight flag 0 would.
    struct tm t = utcFields;
    t.tm_isdst = 0;
    return utcToFixTime(static_cast<int64_t>(timegm(&t)));
}

int checkNmeaFixTime(int64_t time, const char* parser) {
    if (time < 1000) {
        NTRACE_AS(parser, "rejecting point, GPS time less than 1000");
        return 0;
    }
    if (time > nowFixTime() + kSevenDays) {
        NTRACE_AS(parser, "rejecting point, GPS time greater than 7 days in the future");
        return 0;
    }
    return 1;
}

int parseNmea(const char* sentence, GpsFix& fix, double altOffset, double courseOffset) {
    if (!sentence)
        return 0;
    return parseNmea(std::string_view(sentence, strnlen(sentence, kNmeaWorkBuffer - 1)), fix,
                     altOffset, courseOffset);
}

int parseNmea(std::string_view sentence, GpsFix& fix, double altOffset, double courseOffset) {
    // Sentences that can change nothing end here unread, unless the log may
    // want to hear of a bad checksum. (A NUL among the first six characters
    // makes the type "other" too, as the sentence is then too short.)
    const NmeaType early = nmeaSentenceType(sentence);
    if ((early == NmeaType::other || (early == NmeaType::vtg && fix.rmcSeen)) && !traceMayDeliver())
        return 0;
    // A NUL ends the sentence, and text beyond the work buffer is cut.
    const size_t limit = std::min(sentence.size(), kNmeaWorkBuffer - 1);
    const void* nul = std::memchr(sentence.data(), '\0', limit);
    size_t length =
        nul ? static_cast<size_t>(static_cast<const char*>(nul) - sentence.data()) : limit;
    sentence = sentence.substr(0, length);
    if (length < 6)
        return 0;
    char work[kNmeaWorkBuffer];
    std::memcpy(work, sentence.data(), length);
    work[length] = '\0';
    char* const star = static_cast<char*>(memrchr(work, '*', length));
    if (!star || !checksumAgrees(work, length, star, xorBetween(work + 1, star))) {
        NTRACE("bad nmea checksum %.*s", static_cast<int>(sentence.size()), sentence.data());
        return 0;
    }
    char* const end = work + length;
    switch (nmeaSentenceType(std::string_view(work, length))) {
    case NmeaType::gga:
        if (!parseGga(work, end, fix, altOffset))
            return 0;
        return fix.rmcSeen ? 1 : 2;
    case NmeaType::vtg:
        // Once a receiver has sent RMC, its RMC course and speed win over VTG.
        if (fix.rmcSeen)
            return 0;
        return parseVtg(work, end, fix) ? 1 : 0;
    case NmeaType::rmc: {
        // Multi-system receivers may report each fix twice, as "$GPRMC" and
        // "$GNRMC" of the same second: the second one is the same fix.
        const int64_t lastRmcTime = fix.rmcSeen ? fix.time : 0;
        if (!parseRmc(work, end, fix, courseOffset))
            return 0;
        fix.rmcSeen = 1;
        return lastRmcTime != 0 && fix.time == lastRmcTime ? 1 : 2;
    }
    case NmeaType::other:
        break;
    }
    return 0;
}

bool hasNmeaTalker(std::string_view line) {
    auto capital = [](char c) { return c >= 'A' && c <= 'Z'; };
    return line.size() >= 3 && line[0] == '$' && capital(line[1]) && line[1] != 'P' &&
           capital(line[2]);
}

NmeaType nmeaSentenceType(std::string_view line) {
    if (!hasNmeaTalker(line) || line.size() < 6)
        return NmeaType::other;
    const std::string_view type = line.substr(3, 3);
    if (type == "GGA")
        return NmeaType::gga;
    if (type == "RMC")
        return NmeaType::rmc;
    if (type == "VTG")
        return NmeaType::vtg;
    return NmeaType::other;
}

int parseGPGGA(char* text, GpsFix& fix, double altOffset) {
    return parseGga(text, text + std::strlen(text), fix, altOffset);
}
int parseGPRMC(char* text, GpsFix& fix, double courseOffset) {
    return parseRmc(text, text + std::strlen(text), fix, courseOffset);
}
int parseGPVTG(char* text, GpsFix& fix) {
    return parseVtg(text, text + std::strlen(text), fix);
}

namespace {

// $GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47
int parseGga(char* text, char* end, GpsFix& fix, double altOffset) {
    const TraceNumbersInC c;
    GpsFix f = fix;
    FieldReader fields(text, end);
    fields.next(); // command
    fields.next(); // time: a GGA changes neither time nor speed and course
    PositionTexts pos;
    if (!readPosition(fields, f, "parseGPGGA", pos))
        return 0;
    fields.next(); // quality
    fields.next(); // satellites
    fields.next(); // precision
    double alt = kAltPreset;
    readDouble(fields.next(), alt);
    if (alt > -10000)
        f.alt = alt + altOffset;
    fix = f;
    return 1;
}

// $GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A
int parseRmc(char* text, char* end, GpsFix& fix, double courseOffset) {
    const TraceNumbersInC c;
    GpsFix f = fix;
    FieldReader fields(text, end);
    const std::string_view cmd = fields.next();
    const std::string_view time = fields.next();
    const std::string_view status = fields.next();
    PositionTexts pos;
    if (!readPosition(fields, f, "parseGPRMC", pos))
        return 0;
    const std::string_view spd = fields.next();
    readSpeed(spd, f);
    readCourse(fields.next(), courseOffset, f);
    const std::string_view date = fields.next();
    fields.next(); // magnetic variation: read, not used
    NTRACE_RAW("cmd:%s, date:%s, time:%s, lat:%s, ns:%s, lon:%s, ew:%s, spd:%s, hdg:%.2lf\n",
               cText(cmd), cText(date), cText(time), cText(pos.lat), cText(pos.ns), cText(pos.lon),
               cText(pos.ew), cText(spd), f.hdg);
    int64_t t = nmeaTimetoTime_T(cText(date), cText(time));
    if (t == 0)
        return 0;
    if (!checkNmeaFixTime(t, "parseGPRMC"))
        return 0;
    f.time = t;
    f.status = !status.empty() && status[0] == 'A' ? 1 : 0;
    fix = f;
    return 1;
}

// $GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*48
int parseVtg(char* text, char* end, GpsFix& fix) {
    const TraceNumbersInC c;
    GpsFix f = fix;
    FieldReader fields(text, end);
    fields.next(); // command
    bool stored = readCourse(fields.next(), 0, f);
    fields.next(); // "T"
    fields.next(); // magnetic course
    fields.next(); // "M"
    double knots;
    if (readDouble(fields.next(), knots) && knots >= 0 && knots < 10000) {
        f.spd = knots;
        stored = true;
    }
    // km/h and "K" are not used.
    if (!stored)
        return 0;
    fix = f;
    return 1;
}

} // namespace

// $FRPOS,4807.038,N,01131.000,E,545.4,22.4,84.4,230394,123519.00,Nivra
int parseFRPOS(char* text, GpsFix& fix) {
    NumericCLocale c;
    GpsFix f = fix;
    FieldReader fields(text);
    const std::string_view cmd = fields.next();
    PositionTexts pos;
    if (!readPosition(fields, f, "parseFRPOS", pos))
        return 0;
    double alt = kAltPreset;
    readDouble(fields.next(), alt);
    if (alt > -10000)
        f.alt = alt;
    const std::string_view spd = fields.next();
    readSpeed(spd, f);
    readCourse(fields.next(), 0, f);
    const std::string_view date = fields.next();
    const std::string_view time = fields.next();
    NTRACE_RAW("cmd:%s, date:%s, time:%s, lat:%s, ns:%s, lon:%s, ew:%s, spd:%s, hdg:%.2lf\n",
               cText(cmd), cText(date), cText(time), cText(pos.lat), cText(pos.ns), cText(pos.lon),
               cText(pos.ew), cText(spd), f.hdg);
    int64_t t = nmeaTimetoTime_T(cText(date), cText(time));
    if (t == 0)
        return 0;
    if (!checkNmeaFixTime(t, "parseFRPOS"))
        return 0;
    f.time = t;
    fix = f;
    return 1;
}

namespace {

// "%2d%2d%2d" of a field that starts with six digits, as every receiver sends
// them; anything else is left to sscanf. Saves a sscanf per field on the
// path every RMC takes.
bool readSixDigits(const char* s, int& a, int& b, int& c) {
    for (int i = 0; i < 6; ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    a = (s[0] - '0') * 10 + (s[1] - '0');
    b = (s[2] - '0') * 10 + (s[3] - '0');
    c = (s[4] - '0') * 10 + (s[5] - '0');
    return true;
}

} // namespace

int64_t nmeaTimetoTime_T(const char* date, const char* time) {
    if (!date || !time)
        return 0;
    int day, month, year, hour, minute, second;
    if (!readSixDigits(date, day, month, year) &&
        std::sscanf(date, "%2d%2d%2d", &day, &month, &year) != 3)
        return 0;
    if (!readSixDigits(time, hour, minute, second) &&
        std::sscanf(time, "%2d%2d%2d", &hour, &minute, &second) != 3)
        return 0;
    if (day < 1 || day > 31) {
        NTRACE("bad day");
        return 0;
    }
    if (month < 1 || month > 12) {
        NTRACE("bad month");
        return 0;
    }
    if (year < 0 || year > 99) {
        NTRACE("bad year");
        return 0;
    }
    if (hour < 0 || hour > 23) {
        NTRACE("bad hour");
        return 0;
    }
    if (minute < 0 || minute > 59) {
        NTRACE("bad minute");
        return 0;
    }
    if (second < 0 || second > 59) {
        NTRACE("bad second");
        return 0;
    }
    // yy means 2000 + yy. The fields are in range, so plain arithmetic gives
    // what timegm would, without its normalising.
    const int64_t utc =
        daysFromCivil(2000 + year, static_cast<unsigned>(month), static_cast<unsigned>(day)) *
            86400 +
        hour * 3600 + minute * 60 + second;
    return utcToFixTime(utc);
}

bool nmeaChecksumPasses(char* text) {
    size_t length = std::strlen(text);
    return checksumPasses(text, length);
}

int nmeaChecksum(const char* text) {
    if (!text || !text[0])
        return 0;
    unsigned sum = 0;
    for (const char* p = text + 1; *p; ++p)
        sum ^= static_cast<unsigned char>(*p);
    return static_cast<int>(sum);
}

void appendNmeaChecksum(const char* text, std::string& out) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "*%.2X", static_cast<unsigned>(nmeaChecksum(text)));
    out += buf;
}

double nmeaToDegrees(double ddmm) {
    double whole = std::trunc(ddmm / 100);
    return whole + (ddmm - 100 * whole) / 60;
}

double degreesToNmea(double degrees) {
    double whole = std::trunc(degrees);
    return whole * 100 + (degrees * 60 - whole * 60);
}

std::string formatNmeaLat(double lat) {
    return formatAngle(lat, 'N', 'S');
}
std::string formatNmeaLon(double lon) {
    return formatAngle(lon, 'E', 'W');
}

bool fixTimeStrings(int64_t time, std::string& hhmmss, std::string& ddmmyy) {
    hhmmss.clear();
    ddmmyy.clear();
    if (time == 0)
        return false;
    time_t utc = static_cast<time_t>(fixTimeToUtc(time));
    struct tm t;
    if (!gmtime_r(&utc, &t))
        return false;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d", t.tm_hour, t.tm_min, t.tm_sec);
    hhmmss = buf;
    std::snprintf(buf, sizeof buf, "%02d%02d%02d", t.tm_mday, t.tm_mon + 1,
                  t.tm_year + 1900 - 2000);
    ddmmyy = buf;
    return true;
}

namespace {
std::string finishSentence(const std::string& body) {
    std::string s = body;
    appendNmeaChecksum(body.c_str(), s);
    s += "\r\n";
    return s;
}
} // namespace

std::string makeRmcSentence(const GpsFix& fix) {
    NumericCLocale c;
    std::string hhmmss, ddmmyy;
    fixTimeStrings(fix.time, hhmmss, ddmmyy);
    std::string lat = formatNmeaLat(fix.lat), lon = formatNmeaLon(fix.lon);
    std::string body =
        formatString("$GPRMC,%s,A,%s,%s,%.1lf,%.1lf,%s,%.1lf,E,", hhmmss.c_str(), lat.c_str(),
                     lon.c_str(), fix.spd, fix.hdg, ddmmyy.c_str(), 0.0);
    return finishSentence(body);
}

std::string makeGgaSentence(const GpsFix& fix, bool withAltitude) {
    NumericCLocale c;
    std::string hhmmss, ddmmyy;
    fixTimeStrings(fix.time, hhmmss, ddmmyy);
    std::string lat = formatNmeaLat(fix.lat), lon = formatNmeaLon(fix.lon);
    const std::string alt = withAltitude ? formatString("%.1lf", fix.alt) : std::string();
    std::string body = formatString("$GPGGA,%s,%s,%s,1,03,2.3,%s,M,-20.6,M,,", hhmmss.c_str(),
                                    lat.c_str(), lon.c_str(), alt.c_str());
    return finishSentence(body);
}
