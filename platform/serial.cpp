#include "platform/serial.h"

#include "platform/serialSpeed.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

// The speeds the classic termios table knows; anything else goes through
// setSerialSpeed.
speed_t standardSpeed(int baud) {
    switch (baud) {
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    default:
        return B0;
    }
}

// Modem lines are set best effort: pseudo-terminals and some USB adapters
// have none, and a receiver that ignores them must still be readable.
void setModemLines(int fd, int raise, int drop) {
    if (raise != 0) {
        (void)ioctl(fd, TIOCMBIS, &raise);
    }
    if (drop != 0) {
        (void)ioctl(fd, TIOCMBIC, &drop);
    }
}

// "12" -> 12; false for an empty text, other characters or an absurd number.
bool parsePortNumber(const std::string& digits, int& n) {
    if (digits.empty() || digits.size() > 6) {
        return false;
    }
    n = 0;
    for (char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        n = n * 10 + (c - '0');
    }
    return true;
}

// The number in "ttyUSB12" after `prefix`, or -1 when the rest is not a number.
int deviceNumber(const std::string& name, const std::string& prefix) {
    int n = 0;
    if (name.compare(0, prefix.size(), prefix) != 0 ||
        !parsePortNumber(name.substr(prefix.size()), n)) {
        return -1;
    }
    return n;
}

} // namespace

SerialPort::~SerialPort() {
    close();
}

SerialPort::SerialPort(SerialPort&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

int SerialPort::open(const std::string& device) {
    close();
    if (device.empty()) {
        return ENODEV;
    }
    // Non-blocking so that neither the open nor a read waits for a carrier;
    // reads wait in poll() with their own time-out instead.
    int fd = ::open(device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    if (!isatty(fd)) {
        ::close(fd);
        return ENOTTY;
    }
    // Exclusive like the receiver's port on other systems: the advisory lock
    // keeps out programs that honour it (even as root), TIOCEXCL every other
    // open by an ordinary user.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        ::close(fd);
        return EBUSY;
    }
    m_fd = fd;
    return 0;
}

bool SerialPort::configure(int baud, int flow) {
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    termios t{};
    if (tcgetattr(m_fd, &t) != 0) {
        return false;
    }
    // Raw input whatever the flow choice: a fresh tty echoes, edits lines and
    // turns '\r' into '\n', none of which a receiver's byte stream survives.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    int raise = 0;
    int drop = 0;
    switch (flow) {
    case kFlowXonXoff:
        t.c_iflag |= IXON | IXOFF;
        t.c_iflag &= ~static_cast<tcflag_t>(IXANY);
        t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        drop = TIOCM_DTR | TIOCM_RTS;
        break;
    case kFlowHardware:
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        t.c_cflag |= CRTSCTS;
        raise = TIOCM_DTR;
        break;
    case kFlowNone:
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        drop = TIOCM_DTR | TIOCM_RTS;
        break;
    default:
        break; // kFlowKeep and unknown choices leave flow control alone
    }
    if (flow != kFlowKeep) {
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
        t.c_cflag |= CS8;
        t.c_iflag &= ~static_cast<tcflag_t>(INPCK);
    }

    speed_t speed = standardSpeed(baud);
    if (speed != B0) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
    if (tcsetattr(m_fd, TCSANOW, &t) != 0) {
        return false;
    }
    if (speed == B0 && !setSerialSpeed(m_fd, baud)) {
        return false;
    }
    setModemLines(m_fd, raise, drop);
    return true;
}

long SerialPort::read(char* buf, size_t max, unsigned timeoutMs) {
    if (m_fd < 0) {
        errno = EBADF;
        return -1;
    }
    if (max == 0) {
        return 0;
    }
    pollfd p{m_fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(std::min(timeoutMs, 3600000u)));
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
        return 0;
    }
    if (ready < 0) {
        return -1;
    }
    if ((p.revents & POLLIN) == 0) {
        errno = (p.revents & POLLNVAL) != 0 ? EBADF : EIO;
        return -1;
    }
    ssize_t n = ::read(m_fd, buf, max);
    if (n > 0) {
        return static_cast<long>(n);
    }
    if (n == 0) {
        // A tty reads end-of-file only after a hang-up: the device is gone.
        errno = EIO;
        return -1;
    }
    if (errno == EAGAIN || errno == EINTR) {
        return 0;
    }
    return -1;
}

bool SerialPort::readSettings(SerialSettings& out) const {
    termios t{};
    if (m_fd < 0 || tcgetattr(m_fd, &t) != 0) {
        return false;
    }
    out.baud = serialSpeed(m_fd);
    switch (t.c_cflag & CSIZE) {
    case CS5:
        out.dataBits = 5;
        break;
    case CS6:
        out.dataBits = 6;
        break;
    case CS7:
        out.dataBits = 7;
        break;
    default:
        out.dataBits = 8;
        break;
    }
    out.parity = (t.c_cflag & PARENB) != 0;
    out.twoStopBits = (t.c_cflag & CSTOPB) != 0;
    out.xonXoff = (t.c_iflag & IXON) != 0 && (t.c_iflag & IXOFF) != 0;
    out.rtsCts = (t.c_cflag & CRTSCTS) != 0;
    out.raw = (t.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (t.c_iflag & (ICRNL | IGNCR)) == 0;
    return true;
}

void SerialPort::close() {
    if (m_fd >= 0) {
        // The exclusive flag belongs to the tty, not to this descriptor; clear
        // it so the next open (ours after a retry, or another program's) works.
        (void)ioctl(m_fd, TIOCNXCL);
        ::close(m_fd);
        m_fd = -1;
    }
}

std::string serialOpenProblem(const std::string& device, int err) {
    if (device.empty())
        return "That port names no device";
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return device + " is not there: is the receiver plugged in?";
    case EACCES:
    case EPERM: {
        // The device's group is the one whose members may open it.
        std::string group = "dialout";
        struct stat st {};
        if (::stat(device.c_str(), &st) == 0) {
            struct group entry {};
            struct group* found = nullptr;
            std::vector<char> buf(4096);
            if (getgrgid_r(st.st_gid, &entry, buf.data(), buf.size(), &found) == 0 && found &&
                found->gr_name[0] != '\0' && st.st_gid != 0)
                group = found->gr_name;
        }
        return "No permission to open " + device + ": join the group " + group +
               " (sudo adduser $USER " + group + ") and log in again";
    }
    case EBUSY:
        return device + " is in use by another program";
    case ENOTTY:
        return device + " is not a serial port";
    default: {
        char buf[256];
        return "Cannot open " + device + ": " + strerror_r(err, buf, sizeof buf);
    }
    }
}

std::string serialDevicePath(const std::string& portName) {
    if (portName.empty()) {
        return std::string();
    }
    if (portName[0] == '/') {
        return portName;
    }
    std::string name = portName;
    if (name.size() > 3 && std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
        std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
        std::toupper(static_cast<unsigned char>(name[2])) == 'M') {
        std::string digits = name.substr(3);
        if (!digits.empty() && digits.back() == ':') {
            digits.pop_back();
        }
        int n = 0;
        if (parsePortNumber(digits, n)) {
            // COM1 is the first UART; there is no COM0.
            return n == 0 ? std::string() : "/dev/ttyS" + std::to_string(n - 1);
        }
    }
    return "/dev/" + name;
}

std::vector<std::string> serialUsbDevices(const std::string& devDir) {
    std::vector<std::string> result;
    DIR* dir = opendir(devDir.c_str());
    if (dir == nullptr) {
        return result;
    }
    std::vector<std::pair<int, std::string>> usb;
    std::vector<std::pair<int, std::string>> acm;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (int n = deviceNumber(name, "ttyUSB"); n >= 0) {
            usb.emplace_back(n, name);
        } else if (int m = deviceNumber(name, "ttyACM"); m >= 0) {
            acm.emplace_back(m, name);
        }
    }
    closedir(dir);
    std::sort(usb.begin(), usb.end());
    std::sort(acm.begin(), acm.end());
    std::string prefix = devDir;
    if (prefix.empty() || prefix.back() != '/') {
        prefix += '/';
    }
    for (const auto& list : {usb, acm}) {
        for (const auto& [n, name] : list) {
            result.push_back(prefix + name);
        }
    }
    return result;
}

std::vector<std::string> serialAnsweringUarts(const std::string& devDir) {
    std::vector<std::pair<int, std::string>> found;
    if (DIR* dir = opendir(devDir.c_str())) {
        while (dirent* e = readdir(dir)) {
            std::string name = e->d_name;
            if (int n = deviceNumber(name, "ttyS"); n >= 0)
                found.emplace_back(n, name);
        }
        closedir(dir);
    }
    std::sort(found.begin(), found.end());
    std::string prefix = devDir;
    if (prefix.empty() || prefix.back() != '/')
        prefix += '/';
    std::vector<std::string> result;
    for (const auto& [n, name] : found) {
        const std::string path = prefix + name;
        // Non-blocking, so a port with carrier detect never holds the dialog.
        int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        termios t{};
        if (tcgetattr(fd, &t) == 0)
            result.push_back(path);
        ::close(fd);
    }
    return result;
}

std::vector<std::string> serialCandidatePorts() {
    std::vector<std::string> ports = serialUsbDevices();
    for (int n = 0; n <= 48; ++n) {
        ports.push_back("COM" + std::to_string(n));
    }
    return ports;
}
