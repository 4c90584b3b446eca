#include "platform/secrets.h"

#include <sys/random.h>

#include <cerrno>
#include <vector>

bool systemRandomBytes(std::span<unsigned char> out) {
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string randomBase64Url(size_t bytes) {
    static constexpr char kSymbols[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::vector<unsigned char> raw(bytes);
    if (!systemRandomBytes(raw))
        return {};
    std::string out;
    out.reserve((bytes * 4 + 2) / 3);
    uint32_t acc = 0;
    int bits = 0;
    for (unsigned char b : raw) {
        acc = (acc << 8) | b;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += kSymbols[(acc >> bits) & 63];
        }
    }
    if (bits > 0)
        out += kSymbols[(acc << (6 - bits)) & 63];
    return out;
}

bool equalInConstantTime(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    volatile unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff = diff | static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}
