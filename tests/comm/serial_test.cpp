// Port names, the search list and the port set-up, checked on pseudo-terminals.
#include "commTestSupport.h"

#include "platform/pseudoTerminal.h"
#include "platform/serial.h"
#include "sources/comm.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <grp.h>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(SerialPortNames, LegacyComNamesMapToUarts) {
    EXPECT_EQ(serialDevicePath("COM12"), "/dev/ttyS11");
    EXPECT_EQ(serialDevicePath("COM3:"), "/dev/ttyS2");
    EXPECT_EQ(serialDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(serialDevicePath("com3:"), "/dev/ttyS2");
    EXPECT_EQ(serialDevicePath("COM48"), "/dev/ttyS47");
    EXPECT_EQ(serialDevicePath("COM0"), "");
    EXPECT_EQ(serialDevicePath(""), "");
}

TEST(SerialPortNames, PathsStayAndBareNamesLiveInDev) {
    EXPECT_EQ(serialDevicePath("/dev/ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(serialDevicePath("/dev/serial/by-id/usb-u-blox_GNSS-if00"),
              "/dev/serial/by-id/usb-u-blox_GNSS-if00");
    EXPECT_EQ(serialDevicePath("ttyACM0"), "/dev/ttyACM0");
    // Not a COM number: a device name like any other.
    EXPECT_EQ(serialDevicePath("COMx"), "/dev/COMx");
    EXPECT_EQ(serialDevicePath("COM3:x"), "/dev/COM3:x");
}

TEST(SerialPortNames, SearchListHasUsbDevicesInNumberOrderThenComPorts) {
    fs::path dir = fs::temp_directory_path() / ("nivra-dev-" + std::to_string(getpid()));
    fs::create_directories(dir);
    for (const char* name : {"ttyACM0", "ttyUSB10", "ttyUSB2", "ttyS0", "ttyUSBx", "tty"}) {
        std::ofstream(dir / name).put('\n');
    }
    std::vector<std::string> expected = {(dir / "ttyUSB2").string(), (dir / "ttyUSB10").string(),
                                         (dir / "ttyACM0").string()};
    EXPECT_EQ(serialUsbDevices(dir.string()), expected);
    fs::remove_all(dir);

    std::vector<std::string> all = serialCandidatePorts();
    ASSERT_GE(all.size(), 49u);
    EXPECT_EQ(all[all.size() - 49], "COM0");
    EXPECT_EQ(all.back(), "COM48");
}

TEST(SerialPortNames, OnlyUartsThatAnswerAreListed) {
    fs::path dir = fs::temp_directory_path() / ("nivra-uart-" + std::to_string(getpid()));
    fs::create_directories(dir);
    PseudoTerminal first, second;
    ASSERT_TRUE(first.ok() && second.ok());
    // A terminal answers; a plain file of that name (like a ttyS without a
    // UART behind it) does not; other names are not UARTs.
    fs::create_symlink(second.path(), dir / "ttyS12");
    fs::create_symlink(first.path(), dir / "ttyS2");
    fs::create_symlink(first.path(), dir / "ttyUSB0");
    std::ofstream(dir / "ttyS0").put('\n');
    const std::vector<std::string> expected = {(dir / "ttyS2").string(), (dir / "ttyS12").string()};
    EXPECT_EQ(serialAnsweringUarts(dir.string()), expected);
    fs::remove_all(dir);
    EXPECT_TRUE(serialAnsweringUarts(dir.string()).empty());
}

TEST(SerialPortSetup, BaudRuleKeepsListedRatesAndTurnsOthersInto4800) {
    const std::pair<int, int> rates[] = {{300, 4800},    {4800, 4800},   {0, 4800},
                                         {230400, 4800}, {1200, 1200},   {2400, 2400},
                                         {9600, 9600},   {14400, 14400}, {19200, 19200},
                                         {38400, 38400}, {57600, 57600}, {115200, 115200}};
    PseudoTerminal pty;
    ASSERT_TRUE(pty.ok());
    for (auto [rate, baud] : rates) {
        EXPECT_EQ(openComBaudRate(rate), baud) << rate;
        SerialPort port = openCom(pty.path(), rate, kFlowNone);
        ASSERT_TRUE(port.isOpen()) << rate;
        SerialSettings s;
        ASSERT_TRUE(port.readSettings(s));
        EXPECT_EQ(s.baud, baud) << rate;
        EXPECT_EQ(s.dataBits, 8);
        EXPECT_FALSE(s.parity);
        EXPECT_FALSE(s.twoStopBits);
    }
}

TEST(SerialPortSetup, CookedTerminalBecomesRawSoCrSurvives) {
    PseudoTerminal pty(false); // a fresh tty: echo, line editing, CR turned into LF
    ASSERT_TRUE(pty.ok());
    for (int flow : {kFlowXonXoff, kFlowKeep}) {
        SerialPort port = openCom(pty.path(), 4800, flow);
        ASSERT_TRUE(port.isOpen());
        SerialSettings s;
        ASSERT_TRUE(port.readSettings(s));
        EXPECT_TRUE(s.raw) << flow;
        ASSERT_TRUE(pty.write("$GPGSA*00\r\n"));
        char buf[64];
        long n = port.read(buf, sizeof buf, 2000);
        EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "$GPGSA*00\r\n");
    }
}

TEST(SerialPortSetup, FlowControlChoices) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.ok());
    SerialSettings s;
    {
        SerialPort port = openCom(pty.path(), 4800, kFlowXonXoff);
        ASSERT_TRUE(port.isOpen() && port.readSettings(s));
        EXPECT_TRUE(s.xonXoff);
        EXPECT_FALSE(s.rtsCts);
    }
    {
        SerialPort port = openCom(pty.path(), 4800, kFlowHardware);
        ASSERT_TRUE(port.isOpen() && port.readSettings(s));
        EXPECT_FALSE(s.xonXoff);
        EXPECT_TRUE(s.rtsCts);
    }
    {
        // Keep: the handshake set before stays, the speed still follows the rule.
        SerialPort port = openCom(pty.path(), 9600, kFlowKeep);
        ASSERT_TRUE(port.isOpen() && port.readSettings(s));
        EXPECT_TRUE(s.rtsCts);
        EXPECT_EQ(s.baud, 9600);
        EXPECT_TRUE(s.raw);
    }
    {
        SerialPort port = openCom(pty.path(), 4800, kFlowNone);
        ASSERT_TRUE(port.isOpen() && port.readSettings(s));
        EXPECT_FALSE(s.xonXoff);
        EXPECT_FALSE(s.rtsCts);
    }
}

TEST(SerialPortSetup, PortIsHeldExclusivelyAndReleasedOnClose) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.ok());
    TraceCapture trace;
    SerialPort first = openCom(pty.path(), 4800, kFlowNone);
    ASSERT_TRUE(first.isOpen());
    SerialPort second = openCom(pty.path(), 4800, kFlowNone);
    EXPECT_FALSE(second.isOpen());
    EXPECT_TRUE(trace.contains("comm.cpp:openCom"));
    EXPECT_TRUE(trace.contains("open failed: Device or resource busy"));
    first.close();
    SerialPort third = openCom(pty.path(), 4800, kFlowNone);
    EXPECT_TRUE(third.isOpen());
}

TEST(SerialPortSetup, MissingDevicesFailWithTheSystemsReason) {
    TraceCapture trace;
    EXPECT_FALSE(openCom("/dev/nivra-no-such-port", 4800, 0).isOpen());
    EXPECT_TRUE(trace.contains("open failed: No such file or directory"));
    EXPECT_FALSE(openCom("COM0", 4800, 0).isOpen());
    EXPECT_TRUE(trace.contains("open failed: No such device"));
    // A file that is not a terminal is no serial port.
    EXPECT_FALSE(openCom("/dev/null", 4800, 0).isOpen());
}

TEST(SerialPortSetup, AnUnopenablePortSaysWhyInWordsTheUserCanActOn) {
    const fs::path dir = fs::temp_directory_path() / ("nivra-perm-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string guarded = (dir / "ttyUSB9").string();
    std::ofstream(guarded).put('\n');
    // Owned by group 20, which is "dialout" on Debian, as USB serial devices are.
    ASSERT_EQ(::chown(guarded.c_str(), 0, 20), 0);
    struct group* g20 = getgrgid(20);
    const std::string group = g20 ? g20->gr_name : "dialout";
    struct Case {
        std::string device;
        int err;
        std::string text;
    } cases[] = {
        {"/dev/ttyUSB7", ENOENT, "/dev/ttyUSB7 is not there: is the receiver plugged in?"},
        {"/dev/ttyACM3", ENXIO, "/dev/ttyACM3 is not there: is the receiver plugged in?"},
        {guarded, EACCES,
         "No permission to open " + guarded + ": join the group " + group +
             " (sudo adduser $USER " + group + ") and log in again"},
        {"/dev/nivra-gone", EACCES,
         "No permission to open /dev/nivra-gone: join the group dialout (sudo adduser $USER "
         "dialout) and log in again"},
        {"/dev/ttyUSB0", EBUSY, "/dev/ttyUSB0 is in use by another program"},
        {"/dev/null", ENOTTY, "/dev/null is not a serial port"},
        {"", ENODEV, "That port names no device"},
        {"/dev/ttyS4", EIO, "Cannot open /dev/ttyS4: Input/output error"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(serialOpenProblem(c.device, c.err), c.text) << c.device << " " << c.err;
    fs::remove_all(dir);

    // The reader shows the reason on its status line, not "Opening" forever.
    Ccomm comm;
    comm.configure("/dev/nivra-no-such-port", 4800, kFlowNone, 0, 0);
    ASSERT_EQ(comm.start([](const std::string&) { return 1; }), 1);
    EXPECT_TRUE(waitFor([&] {
        return comm.status() == "/dev/nivra-no-such-port is not there: is the receiver plugged in?";
    })) << comm.status();
    comm.stop();
    EXPECT_TRUE(waitFor([&] { return !comm.running(); }, 2000));
}
