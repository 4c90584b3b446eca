// libFuzzer target: any bytes from an FTP server, as the publisher reads
// them: replies taken off the received bytes one by one (single and
// multi-line, in pieces), their codes, the PASV address and the log text.
// Checks what must hold for every input.
#include "fuzzCheck.h"
#include "publish/ftpProtocol.h"
#include "track/outsideText.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // The first byte chooses the size of the pieces the bytes arrive in.
    const size_t piece = size == 0 ? 1 : 1 + data[0] % 64;
    std::string pending;
    size_t taken = 0;
    for (size_t at = 0; at < size; at += piece) {
        pending.append(bytes.substr(at, piece));
        for (;;) {
            std::string reply;
            const size_t before = pending.size();
            const int rc = takeFtpReply(pending, reply);
            if (rc == 0) {
                check(pending.size() == before && pending.size() <= kFtpReplyMax);
                break;
            }
            if (rc < 0) {
                pending.clear(); // the publisher gives up on such a server
                break;
            }
            check(rc == 1 && !reply.empty() && reply.size() <= kFtpReplyMax);
            check(pending.size() + reply.size() == before);
            check(reply.back() == '\n');
            // Every reply taken starts with its three digits.
            const int code = ftpReplyCode(reply);
            check(reply.size() >= 4 &&
                  code == (reply[0] - '0') * 100 + (reply[1] - '0') * 10 + (reply[2] - '0'));
            std::string host;
            int port = 0;
            if (parsePassiveReply(reply, host, port)) {
                check(port >= 1 && port <= 65535);
                check(host.size() >= 7 && host.size() <= 15);
                check(host.find_first_not_of("0123456789.") == std::string::npos);
            } else {
                check(host.empty() && port == 0);
            }
            const std::string logged = logText(reply);
            check(logged.find_first_of("\r\n") == std::string::npos);
            check(cleanText(logged) == logged);
            ++taken;
        }
    }
    check(taken <= size);
    return 0;
}
