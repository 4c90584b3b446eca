// The gpsd source against the real gpsd: gpsfake plays a recorded drive
// through a gpsd on a loopback port of its own, and the reader delivers the
// drive's sentences in order; gpsd stopped and started again is reconnected.
// (gpsd's own test logs of binary receiver protocols are not packaged in
// Debian, so binary input is not played here.)
#include "commTestSupport.h"
#include "common/gpsfake.h"

#include "sources/comm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

namespace {

const std::string kDrive = NIVRA_TEST_DATA "/comm/zurich-drive.nmea";

std::string withoutCr(std::string line) {
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::vector<std::string> rmcOnly(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& l : lines)
        if (l.rfind("$GPRMC", 0) == 0)
            out.push_back(withoutCr(l));
    return out;
}

// The lines the reader delivered, collected on its thread.
class Collected {
public:
    Ccomm::LineHandler handler() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_lines.push_back(line);
            return 1;
        };
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lines;
    }
    size_t count() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lines.size();
    }

private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_lines;
};

// True when every element of `part` appears in `whole` in the same order.
bool inOrderWithin(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
    auto at = whole.begin();
    for (const std::string& p : part) {
        at = std::find(at, whole.end(), p);
        if (at == whole.end())
            return false;
        ++at;
    }
    return true;
}

} // namespace

TEST(CommRealGpsd, TheDriveArrivesInOrderAndARestartedGpsdIsReconnected) {
    if (!gpsfake::gpsdAvailable())
        GTEST_SKIP() << "gpsd or gpsfake is not installed (scripts/setup installs them)";
    const std::vector<std::string> driveRmc = rmcOnly(gpsfake::captureLines(kDrive));
    ASSERT_GT(driveRmc.size(), 15u);

    const uint16_t port = gpsfake::freePort();
    ASSERT_NE(port, 0);
    GpsdServer server;
    server.port = port;
    Collected got;
    Ccomm comm;
    comm.setGpsd(true, server);

    size_t firstRunLines = 0;
    {
        gpsfake::Run gpsd(kDrive, port);
        ASSERT_TRUE(gpsd.ready());
        ASSERT_EQ(comm.start(got.handler()), 1);
        // gpsd may swallow the first sentences while it recognises the
        // receiver; nearly all of them come through.
        ASSERT_TRUE(waitFor(
            [&] {
                const std::vector<std::string> rmc = rmcOnly(got.lines());
                return !rmc.empty() && rmc.back() == driveRmc.back();
            },
            60000))
            << rmcOnly(got.lines()).size() << " of " << driveRmc.size() << " RMC sentences";
        const std::vector<std::string> rmc = rmcOnly(got.lines());
        EXPECT_TRUE(inOrderWithin(rmc, driveRmc));
        EXPECT_GE(rmc.size(), driveRmc.size() * 8 / 10);
        EXPECT_EQ(comm.status(), "Receiving");
        firstRunLines = got.count();
    }

    // gpsd is gone: the reader waits for it, quietly.
    const std::string waiting = "gpsd: waiting for " + server.text();
    ASSERT_TRUE(waitFor([&] { return comm.status() == waiting; }, 10000)) << comm.status();

    // Slower this time: the drive outlasts the longest pause between attempts.
    gpsfake::Run again(kDrive, port, "0.25");
    ASSERT_TRUE(again.ready());
    ASSERT_TRUE(waitFor([&] { return got.count() >= firstRunLines + 15; }, 60000))
        << "no lines after gpsd came back; status " << comm.status();
    std::vector<std::string> all = got.lines();
    std::vector<std::string> second(all.begin() + static_cast<long>(firstRunLines), all.end());
    EXPECT_TRUE(inOrderWithin(rmcOnly(second), driveRmc));
    comm.stop();
    EXPECT_TRUE(waitFor([&] { return !comm.running(); }, 2000));
}
