// Device keys of phones. A phone proves itself with a secret (the key in its
// URL, or its OwnTracks password); the vehicle list keeps only a salted
// PBKDF2-SHA256 hash of it, as "pbkdf2-sha256$ITERATIONS$SALT$HASH" (hex).
// Checks compare in constant time.
#pragma once

#include <string>
#include <string_view>

// Iterations of new hashes. Keys that the program makes are random
// (kPhoneKeyChars characters of 32 symbols, 120 bits), so the count guards a
// leaked registry against guessing of weak keys chosen by hand, not of ours.
constexpr int kPhoneKeyIterations = 20000;
// Hashes read from the registry with more iterations than this are refused
// (a planted value must not make every check cost seconds).
constexpr int kPhoneKeyMaxIterations = 1000000;
constexpr size_t kPhoneKeyChars = 24;
// Longest secret a phone may present; a longer one is refused unread.
constexpr size_t kPhoneKeyMaxBytes = 128;

// A fresh random key of kPhoneKeyChars characters from [a-z2-7]; empty when
// the system's random source failed.
std::string newPhoneKey();
// The stored form of `secret` with a fresh random salt; empty on failure.
std::string hashPhoneKey(std::string_view secret, int iterations = kPhoneKeyIterations);
// Whether `secret` matches the stored form. False for an empty or malformed
// stored form and for a secret longer than kPhoneKeyMaxBytes.
bool phoneKeyMatches(std::string_view stored, std::string_view secret);
