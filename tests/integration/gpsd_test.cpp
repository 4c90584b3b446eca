// The real program with its position from a real gpsd: gpsfake plays a
// recorded drive through gpsd, `nivra --headless --gpsd 127.0.0.1:PORT`
// follows it, and the network-link reply shows the local vehicle moving along
// the drive, whatever the receiver spoke (GPS NMEA, multi-system NMEA with
// only "$GN" fixes, u-blox binary). What it records meanwhile converts.
#include "common/gpsfake.h"
#include "nivraProcess.h"

#include "track/nmea.h"

#include <sstream>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <dirent.h>
#include <sys/wait.h>
#include <thread>

using namespace itest;

namespace {

constexpr int kLinkPort = 51233;
const char* const kRootGet = "GET / HTTP/1.1\r\nHost: nivra\r\n\r\n";

struct LonLat {
    double lon = 0;
    double lat = 0;
};

// The positions of the drive's RMC sentences, in order.
std::vector<LonLat> drivePositions(const std::string& log) {
    std::vector<LonLat> out;
    for (const std::string& line : gpsfake::captureLines(log)) {
        GpsFix fix;
        if (line.rfind("$GPRMC", 0) == 0 && parseNmea(line.c_str(), fix) > 0)
            out.push_back({fix.lon, fix.lat});
    }
    return out;
}

// The local vehicle's placemark position in a network-link reply ("lon, lat, alt").
bool localPosition(const std::string& reply, LonLat& at) {
    size_t mark = reply.find("<name>Me ");
    if (mark == std::string::npos)
        return false;
    size_t coords = reply.find("<coordinates>", mark);
    if (coords == std::string::npos)
        return false;
    return sscanf(reply.c_str() + coords + 13, " %lf, %lf", &at.lon, &at.lat) == 2;
}

// The index of the drive position within a few metres of `p`, or -1.
int indexOnDrive(const std::vector<LonLat>& drive, const LonLat& p) {
    for (size_t i = 0; i < drive.size(); ++i)
        if (std::fabs(drive[i].lon - p.lon) < 2e-5 && std::fabs(drive[i].lat - p.lat) < 2e-5)
            return static_cast<int>(i);
    return -1;
}

// Settings of a first run with continuous logging on.
std::string continuousLogging() {
    return "Windows Registry Editor Version 5.00\r\n\r\n[Software]\r\n\r\n"
           "[Software\\Nivra]\r\n\"DemoMode\"=dword:00000000\r\n"
           "\"ContinuousLog\"=dword:00000001\r\n\r\n";
}

// `nivra --kml LOG -o KML`: its exit status (-1 when it did not end
// normally), with what it said in `said`.
int convertLog(const std::string& log, const std::string& kml, std::string& said) {
    const std::string command =
        std::string("'") + NIVRA_EXE + "' --kml '" + log + "' -o '" + kml + "' 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return -1;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        said.append(buf, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The names in `dir` that end in `suffix`.
std::vector<std::string> filesEndingIn(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                out.push_back(name);
        }
        closedir(d);
    }
    return out;
}

// The coordinates ("lon,lat,alt") of the Track folder's first run, newest
// first, of a standalone document.
std::vector<LonLat> trackCoordinates(const std::string& kml) {
    std::vector<LonLat> out;
    const size_t folder = kml.find("<name>Track</name>");
    const size_t start = kml.find("<coordinates>\n", folder);
    if (folder == std::string::npos || start == std::string::npos)
        return out;
    const size_t end = kml.find("</coordinates>", start);
    std::istringstream lines(kml.substr(start + 14, end - start - 14));
    for (std::string line; std::getline(lines, line);) {
        LonLat p;
        if (sscanf(line.c_str(), "%lf,%lf", &p.lon, &p.lat) == 2)
            out.push_back(p);
    }
    return out;
}

} // namespace

TEST(HeadlessGpsd, EveryReceiverMovesTheLocalVehicleAndItsRecordingConverts) {
    if (!gpsfake::gpsdAvailable())
        GTEST_SKIP() << "gpsd or gpsfake is not installed (scripts/setup installs them)";
    const std::vector<LonLat> drive =
        drivePositions(NIVRA_SOURCE_DIR "/tests/data/comm/zurich-drive.nmea");
    ASSERT_GT(drive.size(), 15u);
    struct Case {
        const char* log;
        const char* cycle; // between sentences or packets: the drive lasts about 14 s
    } cases[] = {
        {"zurich-drive-gn.nmea", "0.15"},
        {"zurich-drive.ubx", "0.7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        const uint16_t port = gpsfake::freePort();
        ASSERT_NE(port, 0);
        gpsfake::Run gpsd(std::string(NIVRA_SOURCE_DIR "/tests/data/comm/") + c.log, port, c.cycle);
        ASSERT_TRUE(gpsd.ready());

        TempDir dir;
        writeFile(dir.file("registry.reg"), continuousLogging());
        const std::string address = uniqueLoopbackAddress();
        NivraProcess nivra(dir.path(), address, {"--gpsd", "127.0.0.1:" + std::to_string(port)});
        ASSERT_TRUE(nivra.started());
        ASSERT_TRUE(nivra.waitForPort(kLinkPort)) << nivra.out();

        // Google Earth's polls until the local vehicle stands at the last fix.
        int at = -1;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (std::chrono::steady_clock::now() < until && at != int(drive.size()) - 1) {
            LonLat p;
            if (localPosition(exchange(address, kLinkPort, kRootGet), p)) {
                const int i = indexOnDrive(drive, p);
                EXPECT_GE(i, 0) << "not on the drive: " << p.lon << ", " << p.lat;
                EXPECT_GE(i, at) << "went back";
                at = std::max(at, i);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        ASSERT_EQ(at, int(drive.size()) - 1) << nivra.out();
        int status = 0;
        ASSERT_GE(nivra.terminate(status, 10000), 0);

        // The recording holds sentences made of gpsd's fixes; the log
        // conversion gives the drive's track, newest fix first.
        const std::vector<std::string> logs = filesEndingIn(dir.path(), ".nme");
        ASSERT_EQ(logs.size(), 1u);
        const std::string recorded = readFile(dir.file(logs[0]));
        EXPECT_NE(recorded.find("$GPRMC,"), std::string::npos) << recorded;
        EXPECT_NE(recorded.find("$GPGGA,"), std::string::npos) << recorded;
        std::string said;
        ASSERT_EQ(convertLog(dir.file(logs[0]), dir.file("drive.kml"), said), 0) << said;
        EXPECT_NE(said.find(" points from "), std::string::npos) << said;
        const std::vector<LonLat> track = trackCoordinates(readFile(dir.file("drive.kml")));
        ASSERT_GE(track.size(), drive.size() / 2) << readFile(dir.file("drive.kml"));
        EXPECT_EQ(indexOnDrive(drive, track.front()), int(drive.size()) - 1);
        for (const LonLat& p : track)
            EXPECT_GE(indexOnDrive(drive, p), 0) << p.lon << ", " << p.lat;
    }
}

TEST(HeadlessGpsd, TheLocalVehicleMovesAlongTheDriveGpsdPlays) {
    if (!gpsfake::gpsdAvailable())
        GTEST_SKIP() << "gpsd or gpsfake is not installed (scripts/setup installs them)";
    const std::string log = NIVRA_SOURCE_DIR "/tests/data/comm/zurich-drive.nmea";
    const std::vector<LonLat> drive = drivePositions(log);
    ASSERT_GT(drive.size(), 15u);

    const uint16_t port = gpsfake::freePort();
    ASSERT_NE(port, 0);
    // A sentence every 0.15 s: the drive lasts long enough to be polled along.
    gpsfake::Run gpsd(log, port, "0.15");
    ASSERT_TRUE(gpsd.ready());

    TempDir dir;
    const std::string address = uniqueLoopbackAddress();
    NivraProcess nivra(dir.path(), address, {"--gpsd", "127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(nivra.started());
    ASSERT_TRUE(nivra.waitForPort(kLinkPort)) << nivra.out();

    // Google Earth's polls: the positions seen, each on the drive, in order.
    std::vector<int> seen;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < until) {
        LonLat at;
        if (localPosition(exchange(address, kLinkPort, kRootGet), at)) {
            const int i = indexOnDrive(drive, at);
            EXPECT_GE(i, 0) << "not on the drive: " << at.lon << ", " << at.lat;
            if (i >= 0 && (seen.empty() || seen.back() != i))
                seen.push_back(i);
            if (i == static_cast<int>(drive.size()) - 1)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    ASSERT_GE(seen.size(), 3u) << nivra.out();
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), static_cast<int>(drive.size()) - 1);
    EXPECT_TRUE(nivra.waitForOutput("Nivra: Signal Acquired")) << nivra.out();

    int status = 0;
    ASSERT_GE(nivra.terminate(status, 10000), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The choice was saved like one made in the options dialog.
    const std::string reg = readFile(dir.file("registry.reg"));
    EXPECT_NE(reg.find("\"GpsSource\"=\"gpsd\""), std::string::npos) << reg;
    EXPECT_NE(reg.find("\"GpsdServer\"=\"127.0.0.1:" + std::to_string(port) + "\""),
              std::string::npos);
}
