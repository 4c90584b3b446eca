// The browser globe's settings, as the page reads them at /globe.json on the
// network-link port:
//   {"tiles": {"url": "https://tile.example.org/{z}/{x}/{y}.png",
//              "attribution": "© the tile server's owners"} | null,
//    "tilesRefused": "why the setting is not used" | null,
//    "speedUnit": "mph" | "km/h" | "kn"}
// The page asks a tile server only when the user named one (GlobeTiles);
// without it every request stays on Nivra's port.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Longest tile URL template and attribution taken from the settings.
constexpr size_t kGlobeTilesMax = 1024;
constexpr size_t kGlobeAttributionMax = 256;

struct GlobeSettings {
    std::string tiles;            // GlobeTiles: an XYZ URL template, empty for none
    std::string tilesAttribution; // GlobeTilesAttribution: the credit shown with the tiles
};

// Empty when `url` is a template the page may use: http:// or https://, a
// host, {z}, {x} and {y} (or {-y}), printable ASCII without blanks, quotes,
// angle brackets or backslashes, at most kGlobeTilesMax bytes. Else why not.
std::string globeTilesProblem(std::string_view url);

// The credit shown with the tiles: the attribution when one is set (cleaned of
// control bytes and cut to kGlobeAttributionMax bytes), else the server's
// host, so that the page always says whose tiles it shows.
std::string globeTilesCredit(std::string_view url, std::string_view attribution);

// The /globe.json document.
std::string globeConfigJson(const GlobeSettings& settings, bool speedInKnots, bool metric);
