#include "publish/ftpProtocol.h"

#include <charconv>

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

bool startsWithCode(std::string_view line) {
    return line.size() >= 3 && isDigit(line[0]) && isDigit(line[1]) && isDigit(line[2]);
}

} // namespace

int takeFtpReply(std::string& pending, std::string& reply) {
    const size_t firstEnd = pending.find('\n');
    if (firstEnd == std::string::npos)
        return pending.size() > kFtpReplyMax ? -1 : 0;
    const std::string_view first(pending.data(), firstEnd);
    if (!startsWithCode(first))
        return -1;
    size_t end = firstEnd + 1;
    if (first.size() > 3 && first[3] == '-') {
        // A multi-line reply ends with the line that starts with the same
        // code and a blank (or ends right after the code).
        const std::string_view code = first.substr(0, 3);
        size_t lineStart = end;
        for (;;) {
            const size_t lineEnd = pending.find('\n', lineStart);
            if (lineEnd == std::string::npos)
                return pending.size() > kFtpReplyMax ? -1 : 0;
            std::string_view line(pending.data() + lineStart, lineEnd - lineStart);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (line.starts_with(code) && (line.size() == 3 || line[3] == ' ')) {
                end = lineEnd + 1;
                break;
            }
            lineStart = lineEnd + 1;
        }
    }
    if (end > kFtpReplyMax)
        return -1;
    reply.assign(pending, 0, end);
    pending.erase(0, end);
    return 1;
}

int ftpReplyCode(std::string_view reply) {
    if (!startsWithCode(reply))
        return 0;
    return (reply[0] - '0') * 100 + (reply[1] - '0') * 10 + (reply[2] - '0');
}

bool parsePassiveReply(std::string_view reply, std::string& host, int& port) {
    const size_t open = reply.find('(');
    if (open == std::string_view::npos)
        return false;
    int values[6];
    size_t pos = open + 1;
    for (int i = 0; i < 6; ++i) {
        while (pos < reply.size() && (reply[pos] == ' ' || reply[pos] == '\t'))
            ++pos;
        if (pos < reply.size() && reply[pos] == '-')
            return false; // a negative number is never part of an address
        const char* first = reply.data() + pos;
        const auto res = std::from_chars(first, reply.data() + reply.size(), values[i]);
        if (res.ec != std::errc() || values[i] < 0 || values[i] > 255)
            return false;
        pos += static_cast<size_t>(res.ptr - first);
        if (i < 5) {
            if (pos >= reply.size() || reply[pos] != ',')
                return false;
            ++pos;
        }
    }
    const int p = values[4] * 256 + values[5];
    if (p == 0)
        return false;
    host = std::to_string(values[0]) + '.' + std::to_string(values[1]) + '.' +
           std::to_string(values[2]) + '.' + std::to_string(values[3]);
    port = p;
    return true;
}

bool fitsFtpCommand(std::string_view text) {
    for (char c : text)
        if (isControl(c))
            return false;
    return true;
}

std::string splitFtpFileName(std::string_view fileName, std::string& directory, std::string& name) {
    while (!fileName.empty() && (fileName.front() == ' ' || fileName.front() == '\t'))
        fileName.remove_prefix(1);
    if (fileName.size() > kFtpFileNameMax)
        return "longer than " + std::to_string(kFtpFileNameMax) + " characters";
    if (!fitsFtpCommand(fileName))
        return "control characters in the name";
    const size_t slash = fileName.find_last_of("/\\");
    const std::string_view dir =
        slash == std::string_view::npos ? std::string_view() : fileName.substr(0, slash);
    const std::string_view base =
        slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
    if (base.empty())
        return "no file name after the last '/'";
    // The name is the user's, but the publisher never climbs out of the
    // directory it is given.
    std::string_view rest = fileName;
    while (!rest.empty()) {
        const size_t sep = rest.find_first_of("/\\");
        const std::string_view step = rest.substr(0, sep);
        if (step == "..")
            return "'..' in the name";
        if (sep == std::string_view::npos)
            break;
        rest.remove_prefix(sep + 1);
    }
    directory.assign(dir);
    name.assign(base);
    return std::string();
}
