#include "remote/serviceText.h"

#include "platform/runtime.h"
#include "trace/trace.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <ctime>

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

void ServiceTextReader::skipSpace() {
    while (m_pos < m_text.size() && isSpace(m_text[m_pos]))
        ++m_pos;
}

bool ServiceTextReader::expect(char c) {
    if (m_pos < m_text.size() && m_text[m_pos] == c) {
        ++m_pos;
        return true;
    }
    return false;
}

bool ServiceTextReader::readInt(int& value) {
    size_t p = m_pos;
    while (p < m_text.size() && isSpace(m_text[p]))
        ++p;
    bool negative = false;
    if (p < m_text.size() && (m_text[p] == '-' || m_text[p] == '+'))
        negative = m_text[p++] == '-';
    size_t digits = 0;
    long long v = 0;
    while (p < m_text.size() && isDigit(m_text[p])) {
        if (++digits > 9)
            return false; // more than any field of these services can mean
        v = v * 10 + (m_text[p++] - '0');
    }
    if (digits == 0)
        return false;
    value = static_cast<int>(negative ? -v : v);
    m_pos = p;
    return true;
}

bool ServiceTextReader::readDouble(double& value) {
    size_t p = m_pos;
    while (p < m_text.size() && isSpace(m_text[p]))
        ++p;
    if (p < m_text.size() && m_text[p] == '+')
        ++p; // from_chars takes '-' but not '+'
    const char* begin = m_text.data() + p;
    const char* end = m_text.data() + m_text.size();
    double v = 0;
    auto [next, ec] = std::from_chars(begin, end, v, std::chars_format::general);
    if (ec != std::errc() || !std::isfinite(v))
        return false;
    // "nan" and "inf" are read by from_chars; no service means them.
    value = v;
    m_pos = static_cast<size_t>(next - m_text.data());
    return true;
}

std::string percentEncode(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) && c < 0x80) {
            out += ch;
        } else if (c == '-' || c == '.' || c == '_' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

int64_t localFieldsToFixTime(int year, int month, int day, int hour, int minute, int second,
                             const char** why) {
    const char* bad = nullptr;
    if (year < 1970 || year > 2037)
        bad = "year";
    else if (month < 1 || month > 12)
        bad = "month";
    else if (day < 1 || day > 31)
        bad = "day";
    else if (hour < 0 || hour > 23)
        bad = "hour";
    else if (minute < 0 || minute > 59)
        bad = "minute";
    else if (second < 0 || second > 59)
        bad = "second";
    if (why)
        *why = bad;
    if (bad)
        return 0;
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    time_t utc = mktime(&t);
    if (utc == static_cast<time_t>(-1)) {
        if (why)
            *why = "date";
        return 0;
    }
    return static_cast<int64_t>(utc) + tzOffset();
}

bool plausiblePosition(double lat, double lon) {
    return std::isfinite(lat) && std::isfinite(lon) && std::fabs(lat) <= 90 &&
           std::fabs(lon) <= 180 && !(lat == 0 && lon == 0);
}

std::string ServiceAddress::hostHeader(int defaultPort) const {
    return port == defaultPort ? host : host + ":" + std::to_string(port);
}

bool parseServiceAddress(std::string_view text, int defaultPort, const char* setting,
                         ServiceAddress& out) {
    std::string_view host = text;
    int port = defaultPort;
    size_t colon = text.rfind(':');
    if (colon != std::string_view::npos) {
        host = text.substr(0, colon);
        std::string_view digits = text.substr(colon + 1);
        int value = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
            value < 1 || value > 65535) {
            NTRACE_AS("parseServiceAddress", "%s \"%.*s\" refused: the port must be 1 to 65535",
                      setting, static_cast<int>(text.size()), text.data());
            return false;
        }
        port = value;
    }
    if (host.empty()) {
        NTRACE_AS("parseServiceAddress", "%s is empty: no server to connect to", setting);
        return false;
    }
    out.host.assign(host);
    out.port = port;
    return true;
}
