#include "remote/gpsgateText.h"

#include "trace/trace.h"
#include "track/nmea.h"
#include "track/outsideText.h"

#include <algorithm>
#include <vector>

namespace {

constexpr std::string_view kPositionSentence = "$FRPOS";
// The name is the eleventh field of a "$FRPOS" sentence.
constexpr int kNameField = 10;

// The name field of a "$FRPOS" line (without its checksum), or nothing.
bool nameField(std::string_view line, std::string_view& name, size_t& offset) {
    size_t start = 0;
    for (int i = 0; i < kNameField; ++i) {
        size_t comma = line.find(',', start);
        if (comma == std::string_view::npos)
            return false;
        start = comma + 1;
    }
    size_t end = line.find_first_of(",*", start);
    name = line.substr(start, end == std::string_view::npos ? line.size() - start : end - start);
    offset = start;
    return true;
}

} // namespace

std::string scramblePassword(std::string_view password) {
    std::string out(password.rbegin(), password.rend());
    for (char& c : out) {
        if (c >= '0' && c <= '9')
            c = static_cast<char>(105 - c);
        else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
            c = static_cast<char>(187 - c);
    }
    return out;
}

std::string gpsgateLine(std::string_view sentence) {
    std::string text(sentence);
    std::string line = text;
    appendNmeaChecksum(text.c_str(), line);
    line += "\r\n";
    return line;
}

int findSentenceStart(std::string_view reply, size_t pos, GpsFix& fix) {
    if (pos >= reply.size())
        return 0;
    size_t floor = pos > kGpsGateSentenceReach ? pos - kGpsGateSentenceReach : 0;
    size_t dollar = reply.rfind('$', pos);
    if (dollar == std::string_view::npos || dollar < floor)
        return 0;
    std::string_view rest = reply.substr(dollar);
    size_t end = rest.find_first_of("\r\n");
    std::string_view line = rest.substr(0, std::min(end, kNmeaWorkBuffer - 1));
    if (line.substr(0, kPositionSentence.size()) != kPositionSentence)
        return 0;
    std::vector<char> text(line.begin(), line.end());
    text.push_back('\0');
    // The server checksums its lines; a line whose checksum does not hold was
    // damaged on the way and is not taken. One without a checksum is read as
    // it is.
    if (line.find('*') != std::string_view::npos && !nmeaChecksumPasses(text.data())) {
        NTRACE_AS("findSentenceStart", "bad nmea checksum %s", logText(line).c_str());
        return 0;
    }
    return parseFRPOS(text.data(), fix);
}

int findBuddyPosition(std::string_view reply, std::string_view uName, GpsFix& fix) {
    if (uName.empty())
        return 0;
    size_t lineStart = 0;
    while (lineStart < reply.size()) {
        size_t lineEnd = reply.find('\n', lineStart);
        if (lineEnd == std::string_view::npos)
            lineEnd = reply.size();
        std::string_view line = reply.substr(lineStart, lineEnd - lineStart);
        size_t dollar = line.find(kPositionSentence);
        std::string_view name;
        size_t offset = 0;
        if (dollar != std::string_view::npos) {
            line = line.substr(dollar);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (nameField(line, name, offset) && name == uName) {
                GpsFix copy = fix;
                if (findSentenceStart(reply, lineStart + dollar + offset - 1, copy) == 0)
                    return -1;
                fix = copy;
                return 1;
            }
        }
        lineStart = lineEnd + 1;
    }
    return 0;
}
