// libFuzzer target: any bytes as a browser's request path for the globe's
// files, and as the query of a /vehicles.json poll. A path that maps to a
// file must stay inside its folder; every query entry kept must be bounded.
#include "earth/globe.h"
#include "earth/vehiclesJson.h"
#include "fuzzCheck.h"
#include "remote/client.h"
#include "track/outsideText.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (const std::optional<GlobeFile> file = globeFile(text)) {
        const std::string& path = file->relative;
        check(!path.empty() && path.size() <= kGlobeMaxPath);
        check(path.front() != '/' && path.back() != '/');
        check(path.find("//") == std::string::npos && path.find('\\') == std::string::npos);
        check(path.find("/.") == std::string::npos && path.front() != '.');
        for (char c : path)
            check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    }

    size_t refused = 0;
    const GlobeSince since = parseGlobeSince(text, refused);
    check(since.size() <= kGlobeMaxSince);
    for (const auto& [key, seq] : since) {
        check(!key.empty() && key.size() < kClientTextField + kCleanKeySuffix);
        check(seq >= 0);
        for (char c : key)
            check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    }
    return 0;
}
