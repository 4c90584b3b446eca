// The built-in demo trips are data; these tests hold them to what a receiver
// on that vehicle would really have logged: every sentence intact, every fix
// complete, and speeds, courses and distances that agree with each other.
#include "sources/demoScripts.h"
#include "track/nmea.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct ScriptCase {
    const char* name;
    const char* const* script;
    int sentences;
    int perFix;        // 2: RMC, GGA; 3: RMC, GGA, VTG
    double courseBias; // what the demo's course offset takes off again
    double minTopKnots, maxTopKnots;
    double minAlt, maxAlt; // metres
};

const ScriptCase kCases[] = {
    {"Demo A", kDemoScriptA, 1578, 2, 0.0, 45, 65, -20, 200},
    {"Demo B", kDemoScriptB, 138, 3, 17.5, 12, 35, -20, 200},
    {"Demo C", kDemoScriptC, 368, 3, 0.0, 3, 10, -5, 10},
    {"Demo D", kDemoScriptD, 648, 2, 0.0, 470, 530, 7000, 12500},
    {"Me(demo)", kDemoScriptE, 656, 2, 0.0, 30, 50, -20, 200},
};

double distanceMetres(const GpsFix& a, const GpsFix& b) {
    constexpr double kRad = M_PI / 180.0;
    double dLat = (b.lat - a.lat) * kRad;
    double dLon = (b.lon - a.lon) * kRad;
    double h =
        std::sin(dLat / 2) * std::sin(dLat / 2) +
        std::cos(a.lat * kRad) * std::cos(b.lat * kRad) * std::sin(dLon / 2) * std::sin(dLon / 2);
    return 2 * 6371000.0 * std::asin(std::sqrt(h));
}

double bearing(const GpsFix& a, const GpsFix& b) {
    constexpr double kRad = M_PI / 180.0;
    double y = std::sin((b.lon - a.lon) * kRad) * std::cos(b.lat * kRad);
    double x = std::cos(a.lat * kRad) * std::sin(b.lat * kRad) -
               std::sin(a.lat * kRad) * std::cos(b.lat * kRad) * std::cos((b.lon - a.lon) * kRad);
    return std::fmod(std::atan2(y, x) / kRad + 360.0, 360.0);
}

double angleDiff(double a, double b) {
    double d = std::fmod(a - b + 540.0, 360.0) - 180.0;
    return std::fabs(d);
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * (v.size() - 1))];
}

// The fixes of a script, one per cycle: a GGA, then the RMC that completes
// the fix at the same place (and, in three-sentence cycles, a VTG).
std::vector<GpsFix> parseScript(const ScriptCase& c) {
    std::vector<GpsFix> fixes;
    GpsFix fix;
    GpsFix afterGga;
    for (int i = 0; c.script[i][0] != '\0'; ++i) {
        const char* line = c.script[i];
        int kind = i % c.perFix;
        int result = parseNmea(line, fix);
        if (kind == 0) {
            EXPECT_EQ(std::strncmp(line, "$GPGGA", 6), 0) << c.name << " line " << i;
            // Only the GGA before the first RMC is a point of its own.
            EXPECT_EQ(result, i == 0 ? 2 : 1) << c.name << " line " << i << ": " << line;
            afterGga = fix;
        } else if (kind == 1) {
            EXPECT_EQ(std::strncmp(line, "$GPRMC", 6), 0) << c.name << " line " << i;
            EXPECT_EQ(result, 2) << c.name << " line " << i << ": " << line;
            EXPECT_EQ(fix.status, 1) << c.name << " line " << i;
            EXPECT_EQ(fix.lat, afterGga.lat) << c.name << " line " << i;
            EXPECT_EQ(fix.lon, afterGga.lon) << c.name << " line " << i;
            fixes.push_back(fix);
        } else {
            EXPECT_EQ(std::strncmp(line, "$GPVTG", 6), 0) << c.name << " line " << i;
            // RMC wins over VTG; the VTG must still parse on a record of its own.
            EXPECT_EQ(result, 0);
            GpsFix alone;
            EXPECT_EQ(parseNmea(line, alone), 1) << c.name << " line " << i << ": " << line;
            EXPECT_NEAR(alone.spd, fix.spd, 0.051) << c.name << " line " << i;
        }
    }
    return fixes;
}

} // namespace

TEST(DemoScripts, CountsAndChecksums) {
    for (const ScriptCase& c : kCases) {
        EXPECT_EQ(demoScriptLength(c.script), c.sentences) << c.name;
        for (int i = 0; i < c.sentences; ++i) {
            std::string line = c.script[i];
            ASSERT_GT(line.size(), 12u) << c.name << " line " << i;
            ASSERT_EQ(line[0], '$') << c.name << " line " << i;
            ASSERT_EQ(line[line.size() - 3], '*') << c.name << " line " << i;
            // The demo replaces the last three characters by a fresh checksum;
            // the stored one must already be that checksum.
            std::string body = line.substr(0, line.size() - 3);
            std::string fresh;
            appendNmeaChecksum(body.c_str(), fresh);
            EXPECT_EQ(line.substr(line.size() - 3), fresh) << c.name << " line " << i;
            EXPECT_EQ(line.find_first_of("\r\n\""), std::string::npos);
        }
    }
}

TEST(DemoScripts, EverySentenceParsesAndEveryCycleGivesACompleteFix) {
    for (const ScriptCase& c : kCases) {
        std::vector<GpsFix> fixes = parseScript(c);
        int cycles = (c.sentences + c.perFix - 1) / c.perFix;
        EXPECT_EQ(static_cast<int>(fixes.size()), cycles) << c.name;
        for (size_t i = 1; i < fixes.size(); ++i)
            EXPECT_GT(fixes[i].time, fixes[i - 1].time) << c.name << " fix " << i;
    }
}

TEST(DemoScripts, SpeedsAltitudesAndCoursesFitTheVehicle) {
    for (const ScriptCase& c : kCases) {
        std::vector<GpsFix> fixes = parseScript(c);
        ASSERT_GT(fixes.size(), 10u) << c.name;
        std::vector<double> speeds, speedErrors, courseErrors;
        for (size_t i = 0; i < fixes.size(); ++i) {
            const GpsFix& f = fixes[i];
            speeds.push_back(f.spd);
            EXPECT_GE(f.alt, c.minAlt) << c.name << " fix " << i;
            EXPECT_LE(f.alt, c.maxAlt) << c.name << " fix " << i;
            // All five trips stay around the San Francisco Bay.
            EXPECT_NEAR(f.lat, 37.9, 1.0) << c.name;
            EXPECT_NEAR(f.lon, -122.2, 1.0) << c.name;
            if (i == 0)
                continue;
            const GpsFix& p = fixes[i - 1];
            double seconds = static_cast<double>(f.time - p.time);
            double metres = distanceMetres(p, f);
            double knots = metres / seconds / 0.514444;
            speedErrors.push_back(std::fabs(knots - (p.spd + f.spd) / 2));
            // Below walking pace the receiver's position wander decides the bearing.
            if (metres / seconds > 3.0)
                courseErrors.push_back(angleDiff(f.hdg - c.courseBias, bearing(p, f)));
        }
        double top = *std::max_element(speeds.begin(), speeds.end());
        EXPECT_GE(top, c.minTopKnots) << c.name;
        EXPECT_LE(top, c.maxTopKnots) << c.name;
        if (c.minTopKnots > 400) { // the aircraft is at cruise the whole way
            EXPECT_GT(*std::min_element(speeds.begin(), speeds.end()), 450.0) << c.name;
        }
        // The distance between fixes agrees with the speed the receiver reported.
        double tolerance = c.minTopKnots > 400 ? 8.0 : 2.0;
        EXPECT_LT(percentile(speedErrors, 0.95), tolerance) << c.name;
        ASSERT_FALSE(courseErrors.empty()) << c.name;
        EXPECT_LT(percentile(courseErrors, 0.5), 3.0) << c.name;
        EXPECT_LT(percentile(courseErrors, 0.9), 15.0) << c.name;
    }
}

TEST(DemoScripts, TheCompiledTripsAreWhatTheGeneratorMakes) {
    // Edits belong in tools/gen_demo_scripts.py; a hand-edited or stale
    // sources/demoScripts.cpp fails here.
    std::string command = std::string("python3 '") + NIVRA_SOURCE_DIR +
                          "/tools/gen_demo_scripts.py' --check --out '" + NIVRA_SOURCE_DIR +
                          "/sources/demoScripts.cpp'";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
