// Share links: who may read the network-link port from another machine.
// A share is a random token that the user hands out (in the link's
// "?key=" query); the program keeps only its SHA-256, with an id to name it
// by, the vehicles it shows (all, or the keys listed), an optional end and
// the time it was made. The shares live in one small text file in the start
// directory, replaced whole when it changes:
//   nivra-shares 1
//   ID HASH CREATED UNTIL VEHICLES
// CREATED and UNTIL in UTC seconds since 1970 (UNTIL "-": no end), VEHICLES
// "*" for all or the keys percent-encoded and separated by ','.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kShareFileName = "shares.txt";
// Bounds of what the file may hold; a file beyond them is refused whole.
constexpr size_t kMaxShares = 1000;
constexpr size_t kMaxShareVehicles = 64;
constexpr size_t kMaxShareVehicleKey = 255;
constexpr size_t kMaxShareFileBytes = 1 << 20;
// Tokens: 32 random bytes as base64url, 43 characters.
constexpr size_t kShareTokenBytes = 32;
constexpr size_t kShareTokenChars = 43;
constexpr size_t kShareIdChars = 8;

// The vehicles a request may see.
struct VehicleGrant {
    bool all = true;
    std::vector<std::string> keys; // when not all
    bool allows(std::string_view key) const;
};

struct ShareLink {
    std::string id;
    std::string tokenHash; // sha256 of the token, 64 hex characters
    int64_t created = 0;
    int64_t until = 0; // 0: no end
    VehicleGrant grant;
    bool expired(int64_t now) const { return until != 0 && now >= until; }
};

// Whether `text` has the form of a token (length and characters); anything
// else is refused before it is hashed.
bool isShareTokenShape(std::string_view text);
// Whether `text` has the form of an id.
bool isShareIdShape(std::string_view text);

// The file's text for `links`.
std::string formatShareFile(const std::vector<ShareLink>& links);
// Reads the file's text. False, with `why` (naming the line), for anything
// that breaks the form or a bound; `links` is then empty.
bool parseShareFile(std::string_view text, std::vector<ShareLink>& links, std::string& why);

// Reads the file at `path`; a missing file is no shares. False, with `why`,
// for a file that cannot be read, is too large or is damaged.
bool loadShareFile(const std::string& path, std::vector<ShareLink>& links, std::string& why);
// Replaces the file at `path` whole. False, with `why`, when it failed.
bool saveShareFile(const std::string& path, const std::vector<ShareLink>& links, std::string& why);

// A fresh token and a fresh id unused in `links`; false when the system's
// random source failed.
bool newShareSecret(const std::vector<ShareLink>& links, std::string& token, std::string& id);

// The live share that `token` opens at `now`, or nullptr (unknown, revoked,
// expired, not a token). The token's hash is compared with every stored one
// in constant time.
const ShareLink* findShare(const std::vector<ShareLink>& links, std::string_view token,
                           int64_t now);
