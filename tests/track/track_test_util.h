// Helpers shared by the track tests: a trace capture, a scratch directory,
// sentence building and the expected zone offsets.
#pragma once

#include "common/traceCapture.h"
#include "platform/paths.h"
#include "track/nmea.h"
#include "track/track.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tt {

// A fresh directory under the system temp dir, removed afterwards.
struct ScratchDir {
    std::filesystem::path path;
    ScratchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "nivra-trk-XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        char* made = mkdtemp(buf.data());
        if (made)
            path = made;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
    std::vector<std::string> entries() const {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(path))
            out.push_back(e.path().filename().string());
        return out;
    }
};

inline std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The checksum computed here independently of the code under test.
inline std::string withChecksum(const std::string& body) {
    unsigned x = 0;
    for (size_t i = 1; i < body.size(); ++i)
        x ^= static_cast<unsigned char>(body[i]);
    char buf[8];
    std::snprintf(buf, sizeof buf, "*%02X", x);
    return body + buf;
}

// The standard-time offset (seconds west of UTC) the zones under test must have.
inline long expectedZoneOffset() {
    const char* tz = std::getenv("TZ");
    std::string z = tz ? tz : "";
    if (z == "America/New_York")
        return 18000;
    if (z == "Europe/Berlin")
        return -3600;
    return 0; // UTC or unset (the test environment pins TZ)
}

// UTC epoch seconds of a calendar date, computed without the code under test.
inline int64_t utcEpoch(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return static_cast<int64_t>(timegm(&t));
}

// ddmmyy and hhmmss of a UTC epoch.
inline void utcFields(int64_t utc, std::string& ddmmyy, std::string& hhmmss) {
    time_t t = static_cast<time_t>(utc);
    struct tm f;
    gmtime_r(&t, &f);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d", f.tm_mday, f.tm_mon + 1, f.tm_year % 100);
    ddmmyy = buf;
    std::snprintf(buf, sizeof buf, "%02d%02d%02d", f.tm_hour, f.tm_min, f.tm_sec);
    hhmmss = buf;
}

// A fix that add() accepts: 23 March 2009 12:35:19 UTC plus `seconds`.
inline GpsFix fixAt(int64_t seconds, double lat = 48.1173, double lon = 11.5166, double spd = 0,
                    double hdg = 0, double alt = 500) {
    GpsFix f;
    f.lat = lat;
    f.lon = lon;
    f.alt = alt;
    f.spd = spd;
    f.hdg = hdg;
    f.time = utcEpoch(2009, 3, 23, 12, 35, 19) + expectedZoneOffset() + seconds;
    return f;
}

} // namespace tt
