// The gpsd source against the real gpsd: gpsfake plays a recorded drive
// through a gpsd on a loopback port of its own, and the reader delivers the
// drive's fixes in order, whatever the receiver spoke: NMEA of the GPS
// talker, of the multi-system "GN" talker, or u-blox binary (UBX NAV-PVT).
// gpsd stopped and started again is reconnected.
#include "commTestSupport.h"
#include "common/gpsfake.h"

#include "sources/comm.h"
#include "track/nmea.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace {

const std::string kDrive = NIVRA_TEST_DATA "/comm/zurich-drive.nmea";

struct Position {
    double lat = 0;
    double lon = 0;
    int64_t time = 0;
};

// The drive's fixes: every RMC of the GPS log (its twins carry the same).
std::vector<Position> driveFixes() {
    std::vector<Position> out;
    for (const std::string& line : gpsfake::captureLines(kDrive)) {
        GpsFix fix;
        if (line.rfind("$GPRMC", 0) == 0 && parseNmea(line, fix) == 2)
            out.push_back({fix.lat, fix.lon, fix.time});
    }
    return out;
}

// The fixes the reader delivered (as the line intake takes them), collected
// on its thread.
class Collected {
public:
    Ccomm::LineHandler handler() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> guard(m_lock);
            const int result = parseNmea(line, m_fix);
            if (result == 2 && m_fix.rmcSeen)
                m_fixes.push_back({m_fix.lat, m_fix.lon, m_fix.time});
            return result;
        };
    }
    std::vector<Position> fixes() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_fixes;
    }
    // Waits until the fix of `time` came last.
    bool waitForFixAt(int64_t time) const {
        return waitFor(
            [&] {
                std::lock_guard<std::mutex> guard(m_lock);
                return !m_fixes.empty() && m_fixes.back().time == time;
            },
            60000);
    }

private:
    mutable std::mutex m_lock;
    GpsFix m_fix;
    std::vector<Position> m_fixes;
};

// The index of the drive fix at `p` (same second, within centimetres), or -1.
int indexOnDrive(const std::vector<Position>& drive, const Position& p) {
    for (size_t i = 0; i < drive.size(); ++i)
        if (drive[i].time == p.time && std::fabs(drive[i].lat - p.lat) < 2e-6 &&
            std::fabs(drive[i].lon - p.lon) < 2e-6)
            return static_cast<int>(i);
    return -1;
}

// Each delivered fix is one of the drive's, in the drive's order, and the
// drive's last fix came. Returns how many of the drive's fixes came.
size_t checkAlongTheDrive(const std::vector<Position>& drive, const std::vector<Position>& got) {
    int last = -1;
    for (const Position& p : got) {
        const int i = indexOnDrive(drive, p);
        EXPECT_GE(i, 0) << "not on the drive: " << p.lat << ", " << p.lon;
        EXPECT_GT(i, last) << "out of order or twice";
        last = std::max(last, i);
    }
    EXPECT_EQ(last, static_cast<int>(drive.size()) - 1);
    return got.size();
}

} // namespace

TEST(CommRealGpsd, EveryReceiverLanguageGivesTheDrive) {
    if (!gpsfake::gpsdAvailable())
        GTEST_SKIP() << "gpsd or gpsfake is not installed (scripts/setup installs them)";
    const std::vector<Position> drive = driveFixes();
    ASSERT_GT(drive.size(), 15u);
    struct Case {
        const char* log;
        const char* cycle; // seconds between sentences or packets
    } cases[] = {
        {"zurich-drive.nmea", "0.05"},
        {"zurich-drive-gn.nmea", "0.05"},
        {"zurich-drive.ubx", "0.2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        const uint16_t port = gpsfake::freePort();
        ASSERT_NE(port, 0);
        GpsdServer server;
        server.port = port;
        Collected got;
        Ccomm comm;
        comm.setGpsd(true, server);
        gpsfake::Run gpsd(std::string(NIVRA_TEST_DATA "/comm/") + c.log, port, c.cycle);
        ASSERT_TRUE(gpsd.ready());
        ASSERT_EQ(comm.start(got.handler()), 1);
        ASSERT_TRUE(got.waitForFixAt(drive.back().time))
            << got.fixes().size() << " of " << drive.size() << " fixes; status " << comm.status();
        // gpsd reports the first fixes before it knows their time, and takes
        // a moment to recognise a binary receiver: most fixes come through.
        EXPECT_GE(checkAlongTheDrive(drive, got.fixes()), drive.size() / 2);
        EXPECT_EQ(comm.status(), "Receiving");
        EXPECT_EQ(comm.gpsdStatus().mode, 3);
        comm.stop();
        EXPECT_TRUE(waitFor([&] { return !comm.running(); }, 2000));
    }
}

TEST(CommRealGpsd, ARestartedGpsdIsReconnected) {
    if (!gpsfake::gpsdAvailable())
        GTEST_SKIP() << "gpsd or gpsfake is not installed (scripts/setup installs them)";
    const std::vector<Position> drive = driveFixes();
    const uint16_t port = gpsfake::freePort();
    ASSERT_NE(port, 0);
    GpsdServer server;
    server.port = port;
    Collected got;
    Ccomm comm;
    comm.setGpsd(true, server);
    size_t firstRunFixes = 0;
    {
        gpsfake::Run gpsd(kDrive, port);
        ASSERT_TRUE(gpsd.ready());
        ASSERT_EQ(comm.start(got.handler()), 1);
        ASSERT_TRUE(got.waitForFixAt(drive.back().time));
        firstRunFixes = got.fixes().size();
    }

    // gpsd is gone: the reader waits for it, quietly, and forgets what gpsd
    // said of the receiver.
    const std::string waiting = "gpsd: waiting for " + server.text();
    ASSERT_TRUE(waitFor([&] { return comm.status() == waiting; }, 10000)) << comm.status();
    EXPECT_EQ(comm.gpsdStatus(), GpsdStatus());

    // Slower this time: the drive outlasts the longest pause between attempts.
    gpsfake::Run again(kDrive, port, "0.25");
    ASSERT_TRUE(again.ready());
    ASSERT_TRUE(waitFor([&] { return got.fixes().size() >= firstRunFixes + 5; }, 60000))
        << "no fixes after gpsd came back; status " << comm.status();
    const std::vector<Position> all = got.fixes();
    const std::vector<Position> second(all.begin() + static_cast<long>(firstRunFixes), all.end());
    for (const Position& p : second)
        EXPECT_GE(indexOnDrive(drive, p), 0);
    comm.stop();
    EXPECT_TRUE(waitFor([&] { return !comm.running(); }, 2000));
}
