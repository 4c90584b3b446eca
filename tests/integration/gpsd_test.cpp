// The real program with its position from a real gpsd: gpsfake plays a
// recorded drive through gpsd, `nivra --headless --gpsd 127.0.0.1:PORT`
// follows it, and the network-link reply shows the local vehicle moving along
// the drive.
#include "common/gpsfake.h"
#include "nivraProcess.h"

#include "track/nmea.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
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

} // namespace

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
