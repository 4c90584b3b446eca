#include "track/civilTime.h"

namespace {

// `count` digits at `at`; false when they are not all there or not all digits.
bool digits(std::string_view text, size_t at, size_t count, unsigned& value) {
    if (at > text.size() || count > text.size() - at)
        return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

bool at(std::string_view text, size_t pos, char c) {
    return pos < text.size() && text[pos] == c;
}

} // namespace

int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2);
}

unsigned daysInMonth(int64_t year, unsigned month) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

std::optional<IsoDateTime> readIsoDateTime(std::string_view text) {
    unsigned y, mo, d, h = 0, mi = 0, s = 0;
    if (!digits(text, 0, 4, y) || !at(text, 4, '-') || !digits(text, 5, 2, mo) ||
        !at(text, 7, '-') || !digits(text, 8, 2, d))
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo))
        return std::nullopt;
    IsoDateTime out;
    out.year = static_cast<int>(y);
    size_t pos = 10;
    int64_t offset = 0;
    if (at(text, pos, 'T') || at(text, pos, 't') || at(text, pos, ' ')) {
        if (!digits(text, pos + 1, 2, h) || !at(text, pos + 3, ':') ||
            !digits(text, pos + 4, 2, mi) || h > 23 || mi > 59)
            return std::nullopt;
        out.hasTime = true;
        pos += 6;
        if (at(text, pos, ':')) {
            if (!digits(text, pos + 1, 2, s) || s > 60)
                return std::nullopt;
            out.hasSeconds = true;
            out.leapSecond = s == 60;
            pos += 3;
            if (at(text, pos, '.') || at(text, pos, ',')) {
                const size_t first = ++pos;
                while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
                    ++pos;
                if (pos == first)
                    return std::nullopt;
            }
        }
        if (at(text, pos, 'Z') || at(text, pos, 'z')) {
            out.zone = 'Z';
            ++pos;
        } else if (at(text, pos, '+') || at(text, pos, '-')) {
            const int sign = text[pos] == '-' ? -1 : 1;
            unsigned oh, om = 0;
            if (!digits(text, pos + 1, 2, oh))
                return std::nullopt;
            pos += 3;
            const bool colon = at(text, pos, ':');
            pos += colon;
            if (colon || pos < text.size()) {
                if (!digits(text, pos, 2, om))
                    return std::nullopt;
                pos += 2;
            }
            if (oh > 23 || om > 59)
                return std::nullopt;
            out.zone = '+';
            offset = sign * static_cast<int64_t>(oh * 3600 + om * 60);
        }
    }
    if (pos != text.size())
        return std::nullopt;
    out.utc = daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s - offset;
    return out;
}
