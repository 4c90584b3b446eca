// HMAC-SHA256 and PBKDF2-HMAC-SHA256 over the program's own SHA-256: the
// keyed digest of a text, and a key stretched from a secret and a salt by a
// count of iterations. Pure functions.
#pragma once

#include "platform/sha256.h"

#include <cstdint>
#include <span>
#include <string_view>

Sha256Digest hmacSha256(std::string_view key, std::string_view data);

// Fills `out` (any length) with the key derived from `secret` and `salt`.
// False, with `out` untouched, when `iterations` is below 1.
bool pbkdf2HmacSha256(std::string_view secret, std::string_view salt, int iterations,
                      std::span<uint8_t> out);
