#include "platform/pbkdf2.h"

#include <algorithm>

namespace {

constexpr size_t kBlockBytes = 64;

std::string_view bytes(const Sha256Digest& d) {
    return {reinterpret_cast<const char*>(d.data()), d.size()};
}

// The two hashes of an HMAC with the padded key already in them; every
// message then costs only its own blocks, which is what makes thousands of
// iterations cheap.
class HmacSha256 {
public:
    explicit HmacSha256(std::string_view key) {
        Sha256Digest longKey{};
        if (key.size() > kBlockBytes) {
            longKey = sha256(key);
            key = bytes(longKey);
        }
        std::array<char, kBlockBytes> inner{}, outer{};
        for (size_t i = 0; i < kBlockBytes; ++i) {
            const auto k = static_cast<uint8_t>(i < key.size() ? key[i] : 0);
            inner[i] = static_cast<char>(k ^ 0x36);
            outer[i] = static_cast<char>(k ^ 0x5c);
        }
        m_inner.add({inner.data(), inner.size()});
        m_outer.add({outer.data(), outer.size()});
    }

    Sha256Digest digest(std::string_view data) const {
        Sha256 inner = m_inner;
        inner.add(data);
        const Sha256Digest first = inner.finish();
        Sha256 outer = m_outer;
        outer.add(bytes(first));
        return outer.finish();
    }

    Sha256Digest digest(std::string_view a, std::string_view b) const {
        Sha256 inner = m_inner;
        inner.add(a);
        inner.add(b);
        const Sha256Digest first = inner.finish();
        Sha256 outer = m_outer;
        outer.add(bytes(first));
        return outer.finish();
    }

private:
    Sha256 m_inner;
    Sha256 m_outer;
};

} // namespace

Sha256Digest hmacSha256(std::string_view key, std::string_view data) {
    return HmacSha256(key).digest(data);
}

bool pbkdf2HmacSha256(std::string_view secret, std::string_view salt, int iterations,
                      std::span<uint8_t> out) {
    if (iterations < 1)
        return false;
    const HmacSha256 prf(secret);
    for (size_t at = 0, blockIndex = 1; at < out.size(); at += 32, ++blockIndex) {
        const char index[4] = {
            static_cast<char>(blockIndex >> 24 & 0xff), static_cast<char>(blockIndex >> 16 & 0xff),
            static_cast<char>(blockIndex >> 8 & 0xff), static_cast<char>(blockIndex & 0xff)};
        Sha256Digest u = prf.digest(salt, {index, sizeof index});
        Sha256Digest t = u;
        for (int i = 1; i < iterations; ++i) {
            u = prf.digest(bytes(u));
            for (size_t j = 0; j < t.size(); ++j)
                t[j] ^= u[j];
        }
        std::copy_n(t.begin(), std::min(t.size(), out.size() - at),
                    out.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return true;
}
