// SHA-256: the digest of a text, as 32 bytes or as 64 lower-case hex
// characters. Used where the program keeps a fingerprint of a secret
// instead of the secret (share-link tokens). Pure functions.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

using Sha256Digest = std::array<uint8_t, 32>;

Sha256Digest sha256(std::string_view data);
std::string sha256Hex(std::string_view data);

// Hashing in pieces: the digest of everything added, in order.
class Sha256 {
public:
    Sha256();
    void add(std::string_view data);
    Sha256Digest finish();

private:
    void block(const uint8_t* p);
    std::array<uint32_t, 8> m_h;
    std::array<uint8_t, 64> m_buffer{};
    size_t m_used = 0;
    uint64_t m_bytes = 0;
};
