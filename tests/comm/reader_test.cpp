// The serial reader driven through pseudo-terminals standing in for receivers.
#include "commTestSupport.h"

#include "platform/pseudoTerminal.h"
#include "sources/comm.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

const std::string kRmc =
    "$GPRMC,143105.00,A,4722.6156,N,00832.5082,E,18.5,64.5,120624,2.1,E,A*3D\r";
const std::string kGga = "$GPGGA,143105.00,4722.6156,N,00832.5082,E,1,08,0.9,408.3,M,48.0,M,,*6D\r";

// Lines the reader hands over, collected from its thread.
struct Lines {
    mutable std::mutex lock;
    std::vector<std::string> got;
    int result = 1;
    Ccomm::LineHandler handler() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> guard(lock);
            got.push_back(line);
            return result;
        };
    }
    size_t size() const {
        std::lock_guard<std::mutex> guard(lock);
        return got.size();
    }
    std::vector<std::string> all() const {
        std::lock_guard<std::mutex> guard(lock);
        return got;
    }
};

// One receiver on a pseudo-terminal and a reader configured for it. The
// members go in reverse: the reader ends before the lines it feeds.
class ReaderOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        comm.configure(pty.path(), 4800, kFlowNone, 0, 0);
    }
    void startReader() { ASSERT_EQ(comm.start(lines.handler()), 1); }

    PseudoTerminal pty;
    TraceCapture trace;
    Lines lines;
    Ccomm comm;
};

} // namespace

TEST_F(ReaderOnPty, LinesSplitAcrossReadsArriveWholeWithTheirCr) {
    // The intake answers 0 for sentences without a position; the reader must
    // go on reading all the same.
    lines.result = 0;
    startReader();
    EXPECT_EQ(comm.start(lines.handler()), 0); // already running

    ASSERT_TRUE(pty.write(kGga.substr(0, 20)));
    sleepMs(150);
    ASSERT_TRUE(pty.write(kGga.substr(20) + "\n" + kRmc.substr(0, 9)));
    sleepMs(150);
    ASSERT_TRUE(pty.write(kRmc.substr(9) + "\n$GPGSV,3,3,10*74\r\n"));
    ASSERT_TRUE(waitFor([&] { return lines.size() >= 3; }));
    EXPECT_EQ(lines.all(), (std::vector<std::string>{kGga, kRmc, "$GPGSV,3,3,10*74\r"}));
    EXPECT_EQ(comm.status(), "Receiving");
    EXPECT_TRUE(comm.running());

    comm.stop();
    ASSERT_TRUE(waitFor([&] { return !comm.running(); }, 1000));
    EXPECT_EQ(comm.status(), "Disconnected");
}

TEST_F(ReaderOnPty, LineOfExactlyTheLimitPassesOneMoreByteClosesThePort) {
    std::vector<std::string> got;
    auto keep = [&](const std::string& line) {
        got.push_back(line);
        return 1;
    };
    std::thread writer([&] {
        pty.write(std::string(Ccomm::kLineMax, 'A') + "\n" + std::string(Ccomm::kLineMax + 1, 'B') +
                  "\n" + kRmc + "\n");
    });
    int result = comm.readPort(pty.path(), 2000, keep);
    writer.join();
    EXPECT_EQ(result, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], std::string(Ccomm::kLineMax, 'A'));
    EXPECT_TRUE(trace.contains("Ccomm::readPort"));
    EXPECT_EQ(trace.count("ERROR line too long"), 1);
    EXPECT_EQ(trace.count("ERROR read too many characters 2"), 1);
}

TEST_F(ReaderOnPty, OverLongLineClosesThePortAndTheReaderReopensASecondLater) {
    startReader();
    ASSERT_TRUE(pty.write(kRmc + "\n"));
    ASSERT_TRUE(waitFor([&] { return lines.size() == 1; }));

    ASSERT_TRUE(pty.write(std::string(5000, 'x')));
    uint32_t errorTick = 0;
    ASSERT_TRUE(
        waitFor([&] { return trace.contains("ERROR read too many characters 2", &errorTick); }));
    EXPECT_EQ(comm.status().rfind("Opening ", 0), std::string::npos);

    // The receiver keeps talking; the first line after the error comes once
    // the port is open again.
    uint32_t reopenTick = 0;
    bool reopened = waitFor(
        [&] {
            pty.write(kGga + "\n");
            if (lines.size() > 1) {
                reopenTick = tickCountMs();
                return true;
            }
            sleepMs(50);
            return false;
        },
        5000);
    ASSERT_TRUE(reopened);
    uint32_t gap = reopenTick - errorTick;
    EXPECT_GE(gap, 900u);
    EXPECT_LT(gap, 3000u);
    // The rest of the over-long line may lead the first line after the
    // reopening; whole sentences follow it.
    ASSERT_TRUE(waitFor([&] { return lines.size() >= 3; }));
    EXPECT_EQ(lines.all()[2], kGga);
    EXPECT_TRUE(comm.running());
}

TEST(CommSearch, ProbeAcceptsFirstPositionSentenceAndGivesUpAfterTenOtherLines) {
    struct Case {
        std::string input;
        int expected;
    };
    std::string nine;
    for (int i = 0; i < 9; ++i) {
        nine += "AT+OK " + std::to_string(i) + "\r\n";
    }
    const Case cases[] = {
        {nine + kRmc + "\n", -1},                       // accepted on line 10
        {nine + "tenth\n" + kRmc + "\n", 0},            // given up before the RMC
        {"$GPGSV,3,1,10\r\n$INRMC,1*00\r\n", -1},       // other receivers' RMC
        {"$GPGSA,A,3\r\n$GPVTG,64.5,T*00\r\n", -1},     // VTG counts
        {"$GPGSV,3,1,10\r\n$GNGGA,1*00\r\n", -1},       // a multi-system receiver
        {"$PGRMZ,100,f*00\r\n$BDRMC,1*00\r\n", -1},     // a BeiDou module
        {"", 1},                                        // silent: no line at all
        {"$GPGGAx" + std::string(4100, 'y') + "\n", 1}, // never a whole line
    };
    for (const Case& c : cases) {
        PseudoTerminal pty;
        ASSERT_TRUE(pty.ok());
        ASSERT_TRUE(pty.write(c.input));
        Ccomm comm;
        EXPECT_EQ(comm.readPort(pty.path(), 300, nmeaProbeTest), c.expected) << c.input;
    }
    EXPECT_EQ(nmeaProbeTest("$GPGGA"), -1);
    EXPECT_EQ(nmeaProbeTest("$GPGG"), 0);
    EXPECT_EQ(nmeaProbeTest("$gprmc,1"), 0);
    EXPECT_EQ(nmeaProbeTest(" $GPRMC"), 0);
    EXPECT_EQ(nmeaProbeTest("$GARMC,1"), -1);
    EXPECT_EQ(nmeaProbeTest("$PGRMC,1"), 0); // a Garmin setting, not a position
}

TEST(CommSearch, AutoFindPassesOverChattyPortAndTakesTheReceiver) {
    PseudoTerminal modem;
    PseudoTerminal gps;
    ASSERT_TRUE(modem.ok() && gps.ok());
    std::string chatter;
    for (int i = 0; i < 10; ++i) {
        chatter += "RING " + std::to_string(i) + "\r\n";
    }
    ASSERT_TRUE(modem.write(chatter + kRmc + "\n"));
    ASSERT_TRUE(gps.write("$GPGSV,3,1,10\r\n" + kGga + "\n"));

    Lines lines;
    std::mutex lock;
    std::vector<std::string> found;
    std::string statusWhenFound;
    Ccomm comm;
    comm.configure("/dev/nivra-unset", 4800, kFlowNone, 1, 0);
    comm.setCandidatePorts({"/dev/nivra-no-such-port", modem.path(), gps.path()});
    comm.setPortFound([&](const std::string& port) {
        std::lock_guard<std::mutex> guard(lock);
        found.push_back(port);
        statusWhenFound = comm.status();
    });
    ASSERT_EQ(comm.start(lines.handler()), 1);
    ASSERT_TRUE(waitFor(
        [&] {
            std::lock_guard<std::mutex> guard(lock);
            return !found.empty();
        },
        10000));
    // Now the reader proper opens the port that was found.
    ASSERT_TRUE(gps.write(kRmc + "\n"));
    ASSERT_TRUE(waitFor([&] { return lines.size() >= 1; }));
    comm.stop();
    ASSERT_TRUE(waitFor([&] { return !comm.running(); }, 2000));

    EXPECT_EQ(found, std::vector<std::string>{gps.path()});
    EXPECT_EQ(statusWhenFound, "Found GPS @" + gps.path());
    EXPECT_EQ(comm.port(), gps.path());
    // Nothing of the chatty port reached the intake.
    EXPECT_EQ(lines.all(), std::vector<std::string>{kRmc});
}

TEST(CommSearch, AutoFindWithoutReceiverSaysSoAndStaysOnTheConfiguredPort) {
    Ccomm comm;
    comm.m_times.scanPauseMs = 10;
    comm.configure("COM7", 4800, kFlowNone, 1, 0);
    comm.setCandidatePorts({"/dev/nivra-no-such-port", "COM0"});
    EXPECT_EQ(comm.autoFind(), "");
    EXPECT_EQ(comm.status(), "No GPS Found");
    EXPECT_EQ(comm.port(), "COM7");
}

TEST_F(ReaderOnPty, QuietReceiverGetsASecondChanceThenThePortIsReopened) {
    comm.m_times = {200, 200, 100, 100, 100, 50};
    startReader();
    ASSERT_TRUE(waitFor([&] { return trace.count("giving up!") >= 2; }));
    EXPECT_TRUE(trace.contains("ERROR check for end of file - bResult is 1, error is 0"));
    // Still trying, and a receiver that wakes up is read again.
    ASSERT_TRUE(pty.write(kRmc + "\n"));
    ASSERT_TRUE(waitFor([&] { return lines.size() == 1; }));
    EXPECT_EQ(lines.all()[0], kRmc);
}

TEST(CommReader, ReceiverThatGoesAwayEndsTheCycleAndIsRetried) {
    auto pty = std::make_unique<PseudoTerminal>();
    ASSERT_TRUE(pty->ok());
    std::string path = pty->path();
    TraceCapture trace;
    Lines lines;
    Ccomm comm;
    comm.m_times.retryMs = 100;
    comm.configure(path, 4800, kFlowNone, 0, 0);
    ASSERT_EQ(comm.start(lines.handler()), 1);
    ASSERT_TRUE(pty->write(kRmc + "\n"));
    ASSERT_TRUE(waitFor([&] { return lines.size() == 1; }));
    pty.reset(); // unplugged
    ASSERT_TRUE(waitFor([&] { return trace.contains("ERROR nothing read"); }));
    ASSERT_TRUE(waitFor([&] { return trace.contains("open failed:"); }));
    EXPECT_TRUE(comm.running());
    // Between tries the status line says why, not "Opening" as if the port
    // were about to answer.
    EXPECT_TRUE(waitFor([&] {
        return comm.status() == path + " is not there: is the receiver plugged in?";
    })) << comm.status();
}

TEST_F(ReaderOnPty, StopAndShutdownEndTheReaderWithinAReadSlice) {
    startReader(); // default waits: a read lasts 6 s
    sleepMs(200);
    uint32_t t0 = tickCountMs();
    comm.stop();
    // Stopped and started again at once: the new thread must run.
    EXPECT_EQ(comm.start(lines.handler()), 1);
    EXPECT_LT(tickCountMs() - t0, 1000u);
    EXPECT_TRUE(comm.running());
    ASSERT_TRUE(pty.write(kRmc + "\n"));
    ASSERT_TRUE(waitFor([&] { return lines.size() == 1; }));

    t0 = tickCountMs();
    g_bShutdown = 1;
    bool ended = waitFor([&] { return !comm.running(); }, 1000);
    g_bShutdown = 0;
    EXPECT_TRUE(ended);
    EXPECT_LT(tickCountMs() - t0, 1000u);
    EXPECT_EQ(comm.status(), "Disconnected");

    // Stopped in the middle of a long wait after a silent spell.
    comm.m_times.readTimeoutMs = 100;
    comm.m_times.emptyReadWaitMs = 100;
    comm.m_times.giveUpWaitMs = 20000;
    startReader();
    ASSERT_TRUE(waitFor([&] { return trace.contains("giving up!"); }));
    t0 = tickCountMs();
    comm.stop();
    ASSERT_TRUE(waitFor([&] { return !comm.running(); }, 5000));
    EXPECT_LT(tickCountMs() - t0, 2000u);
}

TEST_F(ReaderOnPty, TrackerPortLineEndsSerialReadingAndKeepsItsStatus) {
    lines.result = 2;
    startReader();
    EXPECT_EQ(comm.processNmeaFunc(kRmc), 2);
    ASSERT_TRUE(waitFor([&] { return !comm.running(); }, 1000));
    EXPECT_EQ(comm.status(), "Receiving Socket Data");
    EXPECT_EQ(lines.all(), std::vector<std::string>{kRmc});
    EXPECT_TRUE(trace.contains("Ccomm::processNmeaFunc"));
    EXPECT_TRUE(trace.contains("got string " + kRmc));
}

TEST_F(ReaderOnPty, ExceptionInTheHandlerEndsTheThreadCleanly) {
    ASSERT_EQ(comm.start([](const std::string&) -> int { throw std::runtime_error("bad"); }), 1);
    ASSERT_TRUE(pty.write(kRmc + "\n"));
    ASSERT_TRUE(waitFor([&] { return !comm.running(); }));
    EXPECT_TRUE(trace.contains("Unhandled exception in comm thread"));
    EXPECT_EQ(comm.status(), "Disconnected");
    // The port was released: it opens again.
    EXPECT_TRUE(openCom(pty.path(), 4800, kFlowNone).isOpen());
}

TEST_F(ReaderOnPty, DebugSwitchLogsEachReadCutAt63Characters) {
    comm.m_debug = 1;
    ASSERT_TRUE(pty.write(kRmc + "\n"));
    startReader();
    ASSERT_TRUE(waitFor([&] { return lines.size() == 1; }));
    std::string expected =
        "read " + std::to_string(kRmc.size() + 1) + " bytes: " + kRmc.substr(0, 63);
    EXPECT_TRUE(trace.contains(expected));
    EXPECT_FALSE(trace.contains(kRmc.substr(0, 64)));
}
