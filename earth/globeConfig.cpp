// The browser globe's settings document (see globeConfig.h).
#include "earth/globeConfig.h"

#include "track/outsideText.h"

#include <algorithm>

namespace {

bool templateByte(unsigned char c) {
    return c > ' ' && c < 0x7f && c != '"' && c != '<' && c != '>' && c != '\\' && c != '`';
}

std::string_view afterScheme(std::string_view url) {
    for (std::string_view scheme : {"https://", "http://"})
        if (url.substr(0, scheme.size()) == scheme)
            return url.substr(scheme.size());
    return {};
}

} // namespace

std::string globeTilesProblem(std::string_view url) {
    if (url.size() > kGlobeTilesMax)
        return "longer than " + std::to_string(kGlobeTilesMax) + " bytes";
    if (!std::all_of(url.begin(), url.end(),
                     [](char c) { return templateByte(static_cast<unsigned char>(c)); }))
        return "a blank, quote, angle bracket, backslash or control byte in it";
    const std::string_view rest = afterScheme(url);
    if (rest.empty())
        return "not an http:// or https:// address";
    const std::string_view host = rest.substr(0, rest.find('/'));
    if (host.empty() || host.find('{') != std::string_view::npos)
        return "no server name";
    if (rest.find("{z}") == std::string_view::npos || rest.find("{x}") == std::string_view::npos ||
        (rest.find("{y}") == std::string_view::npos && rest.find("{-y}") == std::string_view::npos))
        return "{z}, {x} and {y} are not all in it";
    return std::string();
}

std::string globeTilesCredit(std::string_view url, std::string_view attribution) {
    std::string credit = cleanText(attribution.substr(0, kGlobeAttributionMax));
    if (!credit.empty())
        return credit;
    const std::string_view rest = afterScheme(url);
    return "Tiles: " + cleanText(rest.substr(0, std::min(rest.find('/'), kGlobeTilesMax)));
}

std::string globeConfigJson(const GlobeSettings& settings, bool speedInKnots, bool metric) {
    std::string out = "{\"tiles\":";
    const std::string problem =
        settings.tiles.empty() ? std::string() : globeTilesProblem(settings.tiles);
    if (settings.tiles.empty() || !problem.empty()) {
        out += "null";
    } else {
        out += "{\"url\":";
        appendJsonString(out, settings.tiles);
        out += ",\"attribution\":";
        appendJsonString(out, globeTilesCredit(settings.tiles, settings.tilesAttribution));
        out += '}';
    }
    out += ",\"tilesRefused\":";
    if (problem.empty())
        out += "null";
    else
        appendJsonString(out, "GlobeTiles is not used: " + problem);
    out += ",\"speedUnit\":";
    appendJsonString(out, speedInKnots ? "kn" : metric ? "km/h" : "mph");
    out += '}';
    return out;
}
