// The Mologogo service's text: the track page's "createMarker(" entries
// (newest first) merged into a vehicle's track, the login cookie, and the
// requests for pages and for the login.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CClient;

// A page is read into at most this many bytes.
constexpr size_t kMoloPageMax = 999999;
// At most this many new entries are taken from one page.
constexpr int kMoloMaxEntries = 2047;
// The longest login cookie kept; a longer one is refused.
constexpr size_t kMoloCookieMax = 257;
// A marker call whose arguments run longer than this is not read.
constexpr size_t kMoloMarkerMaxLength = 4096;

// Skips to the next comma, then past the next double quote: the offset of the
// character after that quote, or 0 when the text ends first.
size_t nextQuotedField(std::string_view text);

// One entry, from the text at a "createMarker(" occurrence:
//   createMarker(point,"1:15 PM 3/4/2009","x","48.1173","11.5167","...")
// The second argument is the local time and date, the fourth and fifth the
// latitude and longitude. Returns the characters consumed (up to the sixth
// argument), or 0 when the entry is unusable; `why` then says why.
size_t parseMarker(std::string_view text, int64_t& time, double& lat, double& lon,
                   const char** why = nullptr);

// Merges a page's entries newer than the vehicle's newest point into its
// track, oldest first, and sets `online` when the page holds a marker call.
// Returns the number of entries offered to the track.
int parseMarkerPage(std::string_view page, CClient& vehicle);

// The login cookie, kept for the life of the process and replaced at every
// login that returns one.
class MoloCookieStore {
public:
    // Takes "Cookie:" and the login cookie's name and value from a login
    // reply (the text from the first "Cookie:", which also matches inside
    // "Set-Cookie:", up to the next ';' or line end). False, keeping the
    // cookie held so far, when the reply has none or it is too long.
    bool takeFromReply(std::string_view reply);
    // The header line sent with private page requests (may be empty).
    const std::string& line() const { return m_line; }

private:
    std::string m_line;
};

// The request for a user's track page; `cookieLine` is sent only for a
// private page. The user name is URL-encoded.
std::string moloPageRequest(std::string_view uName, bool publicPage, std::string_view hostHeader,
                            std::string_view cookieLine);
// The login form post; name and password are URL-encoded.
std::string moloLoginRequest(std::string_view hostHeader, std::string_view name,
                             std::string_view password);
