// Port names, the search list and the port set-up, checked on pseudo-terminals.
#include "commTestSupport.h"

#include "platform/pseudoTerminal.h"
#include "platform/serial.h"
#include "sources/comm.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
