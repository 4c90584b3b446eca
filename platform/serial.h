// The serial port of a GPS receiver, on termios. Port names as the user writes
// them ("/dev/ttyUSB0", "COM3:") become device paths here; the port is opened
// read-only and exclusively and put into raw 8-bit mode, so the bytes the
// receiver sends reach the reader unchanged ('\r' included).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Flow-control choices, in the order of the options dialog's list.
enum SerialFlow {
    kFlowXonXoff = 0,  // XON/XOFF both ways, modem lines dropped
    kFlowHardware = 1, // RTS/CTS handshake, DTR raised
    kFlowNone = 2,     // no flow control, modem lines dropped
    kFlowKeep = 3,     // speed only; framing and flow stay as the port has them
};

// What a port is set to, as read back from the driver.
struct SerialSettings {
    int baud = 0;
    int dataBits = 0;
    bool parity = false;
    bool twoStopBits = false;
    bool xonXoff = false; // XON/XOFF on input and output
    bool rtsCts = false;
    bool raw = false; // no line editing, echo or CR/LF translation
};

// An open serial device. Closing (or destroying) releases the exclusive hold.
class SerialPort {
public:
    SerialPort() = default;
    ~SerialPort();
    SerialPort(SerialPort&& other) noexcept;
    SerialPort& operator=(SerialPort&& other) noexcept;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens `device` for reading only. A port that another program holds gives
    // EBUSY. Returns 0 or the errno value.
    int open(const std::string& device);
    // Raw input, the given speed and flow control; 8N1 unless `flow` is
    // kFlowKeep. Any positive speed is accepted (14400 included). Returns false
    // (errno set) when the driver refuses the settings.
    bool configure(int baud, int flow);
    // Waits at most `timeoutMs` for data and reads what is there, up to `max`
    // bytes. Returns the count, 0 when nothing came in time, -1 on an error or
    // when the device went away (errno set).
    long read(char* buf, size_t max, unsigned timeoutMs);
    bool readSettings(SerialSettings& out) const;
    void close();

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

// The device path of a port name: a path ("/dev/ttyUSB0",
// "/dev/serial/by-id/...") is used as is, "COMn" or "COMn:" (any case) is
// /dev/ttyS(n-1) as Wine maps it, "COM0" names no device (empty path), and any
// other bare name lives in /dev ("ttyACM0" is /dev/ttyACM0).
std::string serialDevicePath(const std::string& portName);

// Why `device` could not be opened, `err` being the errno value that
// SerialPort::open returned, in words the user can act on: the device is not
// there (plugged in?), the user may not open it (and which group to join:
// the device's own group, dialout on Debian), another program holds it, it
// is no serial port, or the system's own reason.
std::string serialOpenProblem(const std::string& device, int err);

// The USB serial and USB modem (CDC-ACM) devices present in `devDir`: the
// ttyUSB devices, then the ttyACM devices, each in number order.
std::vector<std::string> serialUsbDevices(const std::string& devDir = "/dev");

// The on-board UARTs (ttyS devices in `devDir`, in number order) that answer
// as serial ports. The kernel creates ttyS0..ttyS31 whether or not a UART is
// behind them; only those whose line settings can be read are real.
std::vector<std::string> serialAnsweringUarts(const std::string& devDir = "/dev");

// The ports a search for a receiver tries, in order: the USB devices present,
// then "COM0" to "COM48".
std::vector<std::string> serialCandidatePorts();
