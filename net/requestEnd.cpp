#include "net/requestEnd.h"

#include <cctype>
#include <cstdint>

size_t httpBodyStart(std::string_view received) {
    const size_t crlf = received.find("\r\n\r\n");
    const size_t lf = received.find("\n\n");
    if (lf < crlf)
        return lf + 2;
    return crlf == std::string_view::npos ? crlf : crlf + 4;
}

size_t httpContentLength(std::string_view head) {
    constexpr std::string_view kName = "content-length:";
    size_t at = 0;
    while (at < head.size()) {
        const size_t end = head.find('\n', at);
        std::string_view line = head.substr(at, end == std::string_view::npos ? end : end - at);
        at = end == std::string_view::npos ? head.size() : end + 1;
        if (line.size() < kName.size())
            continue;
        bool match = true;
        for (size_t i = 0; i < kName.size() && match; ++i)
            match = std::tolower(static_cast<unsigned char>(line[i])) == kName[i];
        if (!match)
            continue;
        line.remove_prefix(kName.size());
        size_t value = 0;
        bool digits = false;
        for (char c : line) {
            if (c == ' ' || c == '\t' || c == '\r')
                continue;
            if (c < '0' || c > '9' || value > (SIZE_MAX - 9) / 10)
                return SIZE_MAX;
            value = value * 10 + static_cast<size_t>(c - '0');
            digits = true;
        }
        return digits ? value : SIZE_MAX;
    }
    return 0;
}

unsigned requestQuietMs(std::string_view received, RequestFraming framing) {
    if (framing == RequestFraming::httpBody) {
        const size_t body = httpBodyStart(received);
        if (body != std::string_view::npos) {
            const size_t length = httpContentLength(received.substr(0, body));
            // A length that is not a number is refused by the handler at once.
            if (length == SIZE_MAX || received.size() - body >= length)
                return 0;
            return kBodyGapMs;
        }
    }
    if (framing == RequestFraming::http && (received.find("\r\n\r\n") != std::string_view::npos ||
                                            received.find("\n\n") != std::string_view::npos))
        return 0;
    return !received.empty() && received.back() == '\n' ? kLineEndGapMs : kMidLineGapMs;
}
