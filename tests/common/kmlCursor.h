// Reading the arrow cursor back out of a KML document.
#pragma once

#include <string>
#include <vector>

// The "lon,lat" of each corner of the last arrow cursor in `kml` (the
// tracked vehicle's, which is drawn last); empty when there is none. Heights
// are left out: they differ by design even for an arrow of no size.
inline std::vector<std::string> lastCursorCorners(const std::string& kml) {
    std::vector<std::string> corners;
    const size_t cursor = kml.rfind("<name>Cursor</name>");
    if (cursor == std::string::npos)
        return corners;
    const size_t open = kml.find("<coordinates>", cursor);
    const size_t close = open == std::string::npos ? open : kml.find("</coordinates>", open);
    if (close == std::string::npos)
        return corners;
    const std::string text = kml.substr(open + 13, close - open - 13);
    // One corner per line: "lon, lat, height".
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const size_t first = line.find_first_not_of(" \t");
        const size_t lastComma = line.rfind(',');
        if (first == std::string::npos || lastComma == std::string::npos || lastComma < first)
            continue;
        corners.push_back(line.substr(first, lastComma - first));
    }
    return corners;
}
