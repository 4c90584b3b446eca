#include "phones/phoneKey.h"

#include "platform/pbkdf2.h"
#include "platform/secrets.h"

#include <charconv>
#include <vector>

namespace {

constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;
constexpr std::string_view kScheme = "pbkdf2-sha256";

std::string hex(const unsigned char* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

bool unhex(std::string_view text, std::vector<unsigned char>& out) {
    if (text.size() % 2 != 0)
        return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned v = 0;
        const auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, v, 16);
        if (ec != std::errc() || end != text.data() + i + 2)
            return false;
        out.push_back(static_cast<unsigned char>(v));
    }
    return true;
}

bool derive(std::string_view secret, const unsigned char* salt, size_t saltLen, int iterations,
            unsigned char* hash, size_t hashLen) {
    return pbkdf2HmacSha256(secret, {reinterpret_cast<const char*>(salt), saltLen}, iterations,
                            {hash, hashLen});
}

} // namespace

std::string newPhoneKey() {
    static const char* symbols = "abcdefghijklmnopqrstuvwxyz234567";
    unsigned char raw[kPhoneKeyChars];
    if (!systemRandomBytes(raw))
        return {};
    std::string key;
    for (unsigned char b : raw)
        key += symbols[b & 31];
    return key;
}

std::string hashPhoneKey(std::string_view secret, int iterations) {
    if (secret.size() > kPhoneKeyMaxBytes || iterations < 1 || iterations > kPhoneKeyMaxIterations)
        return {};
    unsigned char salt[kSaltBytes];
    unsigned char hash[kHashBytes];
    if (!systemRandomBytes(salt) ||
        !derive(secret, salt, sizeof salt, iterations, hash, sizeof hash))
        return {};
    return std::string(kScheme) + "$" + std::to_string(iterations) + "$" + hex(salt, sizeof salt) +
           "$" + hex(hash, sizeof hash);
}

bool phoneKeyMatches(std::string_view stored, std::string_view secret) {
    if (secret.size() > kPhoneKeyMaxBytes)
        return false;
    // scheme $ iterations $ salt $ hash
    std::string_view parts[4];
    for (int i = 0; i < 4; ++i) {
        const size_t dollar = stored.find('$');
        if ((dollar == std::string_view::npos) != (i == 3))
            return false;
        parts[i] = stored.substr(0, dollar);
        stored = i == 3 ? std::string_view() : stored.substr(dollar + 1);
    }
    if (parts[0] != kScheme)
        return false;
    int iterations = 0;
    const auto [end, ec] =
        std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), iterations);
    if (ec != std::errc() || end != parts[1].data() + parts[1].size() || iterations < 1 ||
        iterations > kPhoneKeyMaxIterations)
        return false;
    std::vector<unsigned char> salt, expected;
    if (!unhex(parts[2], salt) || !unhex(parts[3], expected) || salt.empty() ||
        expected.size() != kHashBytes)
        return false;
    unsigned char hash[kHashBytes];
    if (!derive(secret, salt.data(), salt.size(), iterations, hash, sizeof hash))
        return false;
    return equalInConstantTime({reinterpret_cast<const char*>(hash), sizeof hash},
                               {reinterpret_cast<const char*>(expected.data()), expected.size()});
}
