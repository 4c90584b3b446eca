// Helpers shared by the KML writer tests: temporary start directories, files,
// vehicles with tracks on a pinned clock.
#pragma once

#include "earth/kml.h"
#include "platform/paths.h"
#include "platform/runtime.h"
#include "remote/client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kmltest {

// 2024-05-01 12:00:00 UTC.
constexpr int64_t kUtc0 = 1714564800;

// A fresh directory that is the start directory while the object lives.
class StartDir {
public:
    StartDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "nivra-kml-XXXXXX").string();
        if (mkdtemp(tmpl.data()))
            m_path = tmpl;
        m_saved = g_startDir;
        setStartDir(m_path);
    }
    ~StartDir() {
        g_startDir = m_saved;
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    StartDir(const StartDir&) = delete;
    StartDir& operator=(const StartDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
    std::string m_saved;
};

// Runs a scope under one time zone and restores the previous one.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone) {
        const char* old = std::getenv("TZ");
        m_had = old != nullptr;
        if (old)
            m_old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        if (m_had)
            setenv("TZ", m_old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ZoneScope(const ZoneScope&) = delete;
    ZoneScope& operator=(const ZoneScope&) = delete;

private:
    bool m_had = false;
    std::string m_old;
};

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
}

inline std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// A fix at a UTC instant, on the fix-time scale.
inline GpsFix fixAt(int64_t utc, double lat, double lon, double alt, double knots, double hdg) {
    GpsFix f;
    f.lat = lat;
    f.lon = lon;
    f.alt = alt;
    f.spd = knots;
    f.hdg = hdg;
    f.time = utc + tzOffset();
    return f;
}

// Appends a fix to the vehicle's track and makes it the current position.
inline void drive(CClient& v, const GpsFix& f) {
    v.track.add(f, 2);
    v.setPosition(f);
}

inline double mphToKnots(double mph) {
    return mph / kKnotsToMph;
}

inline KmlOptions statuteOptions() {
    KmlOptions o;
    o.cursorSize = 100;
    o.statusText = "Signal Acquired";
    return o;
}

} // namespace kmltest
