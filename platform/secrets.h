// What secrets need from the system: random bytes from the kernel
// (getrandom) and comparisons whose time does not tell where two texts differ.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

// Fills `out` from the kernel's random source. False when it failed (the
// bytes are then not to be used).
bool systemRandomBytes(std::span<unsigned char> out);

// `bytes` random bytes as base64url without padding; empty on failure.
std::string randomBase64Url(size_t bytes);

// Whether `a` and `b` are equal, in time that depends only on their lengths.
bool equalInConstantTime(std::string_view a, std::string_view b);
