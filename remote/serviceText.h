// Text helpers the tracking-service links share: a bounded reader for the
// numbers in service replies (what sscanf's "%d" and "%lf" read, without ever
// looking past the end of the text), URL encoding for names put into
// requests, and the local calendar time the services report positions in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Reads from a piece of text left to right; every read stays inside it.
class ServiceTextReader {
public:
    explicit ServiceTextReader(std::string_view text, size_t pos = 0) : m_text(text), m_pos(pos) {}

    // "%d": optional white space, an optional sign and up to 9 digits.
    // False (position unchanged) when there is no number or it does not fit.
    bool readInt(int& value);
    // "%lf": optional white space, then a decimal number. NaN, infinities and
    // numbers beyond the range of a double are refused like unreadable text.
    bool readDouble(double& value);
    // The literal character `c`; false (position unchanged) otherwise.
    bool expect(char c);
    // A blank in a scanf format: any amount of white space, none included.
    void skipSpace();

    size_t pos() const { return m_pos; }
    bool atEnd() const { return m_pos >= m_text.size(); }

private:
    std::string_view m_text;
    size_t m_pos;
};

// Every byte except letters, digits and "-._~" as %XX, so that a name with a
// space, '&', '#' or a line break stays one value of a request.
std::string percentEncode(std::string_view text);

// The position time of a calendar date and time that a service reports in
// the user's local time: the local time converted to seconds since 1970 (the
// library deciding whether daylight saving is in effect on that day), plus
// the standard-time zone offset, as every position time is counted. 0 when a
// field is out of range (month 1-12, day 1-31, hour 0-23, minute and second
// 0-59, year 1970-2037: track files hold 32-bit times); `why` then names the field.
int64_t localFieldsToFixTime(int year, int month, int day, int hour, int minute, int second,
                             const char** why = nullptr);

// A position the track can take: finite, |lat| <= 90, |lon| <= 180, not 0,0.
bool plausiblePosition(double lat, double lon);

// A service's server as the settings give it, "host" or "host:port".
struct ServiceAddress {
    std::string host;
    int port = 0;
    // The text for a "Host:" header: the host, with ":port" unless it is
    // `defaultPort`.
    std::string hostHeader(int defaultPort) const;
};
// False (logged, naming `setting`) for an empty host or a port that is not a
// number from 1 to 65535.
bool parseServiceAddress(std::string_view text, int defaultPort, const char* setting,
                         ServiceAddress& out);
