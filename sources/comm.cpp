#include "sources/comm.h"

#include "platform/runtime.h"
#include "trace/trace.h"
#include "track/nmea.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>
#include <utility>

namespace {

const char* const kDisconnected = "Disconnected";
const char* const kOpening = "Opening ";
const char* const kReceiving = "Receiving";
const char* const kSocketData = "Receiving Socket Data";
const char* const kScanning = "Scanning   ";
const char* const kFound = "Found GPS @";
const char* const kNotFound = "No GPS Found";

// The debug log shows this much of each read.
constexpr long kDebugShown = 63;

std::string errorText(int err) {
    char buf[256];
    // GNU strerror_r: returns the text, which may or may not live in `buf`.
    return strerror_r(err, buf, sizeof buf);
}

} // namespace

int nmeaProbeTest(const std::string& line) {
    return nmeaSentenceType(line) == NmeaType::other ? 0 : -1;
}

int openComBaudRate(int rate) {
    switch (rate) {
    case 1200:
    case 2400:
    case 9600:
    case 14400:
    case 19200:
    case 38400:
    case 57600:
    case 115200:
        return rate;
    default:
        return 4800;
    }
}

SerialPort openCom(const std::string& name, int rate, int flowControl, std::string* problem) {
    SerialPort port;
    const std::string device = serialDevicePath(name);
    int err = port.open(device);
    if (err != 0) {
        NTRACE("open failed: %s", errorText(err).c_str());
        if (problem)
            *problem = serialOpenProblem(device, err);
        return port;
    }
    if (!port.configure(openComBaudRate(rate), flowControl)) {
        err = errno;
        NTRACE("ERROR setting up %s: %s", name.c_str(), errorText(err).c_str());
        if (problem)
            *problem = device + " refused the port settings: " + errorText(err);
        port.close();
    }
    return port;
}

Ccomm::Ccomm() : m_status(kDisconnected) {}

Ccomm::~Ccomm() {
    m_stop = 1;
    std::lock_guard<std::mutex> guard(m_threadLock);
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void Ccomm::configure(const std::string& port, int rate, int flowControl, int autoFind,
                      int debugLogging) {
    setPort(port);
    m_rate = rate;
    m_flowControl = flowControl;
    m_autoFind = autoFind;
    m_debug = debugLogging;
}

int Ccomm::start(LineHandler handler) {
    std::lock_guard<std::mutex> guard(m_threadLock);
    if (m_state == 2 && m_stop == 0) {
        return 0;
    }
    // A reader that was told to stop ends within a read slice; wait for it so
    // that a stop followed at once by a start is not lost.
    if (m_thread.joinable()) {
        m_thread.join();
    }
    setLineHandler(std::move(handler));
    m_socketData = 0;
    m_stop = 0;
    m_reconnect = 0;
    m_state = 2;
    try {
        m_thread = std::thread(&Ccomm::staticThreadFuncx, this);
    } catch (const std::system_error& e) {
        m_state = 0;
        NTRACE("ERROR starting the comm thread: %s", e.what());
        return 0;
    }
    return 1;
}

void Ccomm::setGpsd(bool on, const GpsdServer& server) {
    bool changed;
    {
        std::lock_guard<std::mutex> guard(m_textLock);
        changed = (m_gpsd != 0) != on || m_gpsdServer.text() != server.text();
        m_gpsdServer = server;
        m_gpsd = on ? 1 : 0;
    }
    // A running reader leaves the old source now rather than when it fails.
    if (changed)
        m_reconnect = 1;
}

void Ccomm::setLineHandler(LineHandler handler) {
    auto shared = handler ? std::make_shared<const LineHandler>(std::move(handler)) : nullptr;
    std::lock_guard<std::mutex> guard(m_textLock);
    m_handler = std::move(shared);
}

void Ccomm::setPortFound(PortFound handler) {
    std::lock_guard<std::mutex> guard(m_textLock);
    m_portFound = std::move(handler);
}

void Ccomm::setPort(const std::string& port) {
    std::lock_guard<std::mutex> guard(m_textLock);
    m_port = port;
}

void Ccomm::setCandidatePorts(std::vector<std::string> ports) {
    std::lock_guard<std::mutex> guard(m_textLock);
    m_candidates = std::move(ports);
}

std::string Ccomm::port() const {
    std::lock_guard<std::mutex> guard(m_textLock);
    return m_port;
}

GpsdStatus Ccomm::gpsdStatus() const {
    std::lock_guard<std::mutex> guard(m_textLock);
    return m_gpsdStatus;
}

std::string Ccomm::status() const {
    std::lock_guard<std::mutex> guard(m_textLock);
    return m_status;
}

void Ccomm::setStatus(const std::string& text) {
    std::lock_guard<std::mutex> guard(m_textLock);
    m_status = text;
}

bool Ccomm::cancelled() const {
    return g_bShutdown != 0 || m_stop != 0 || m_reconnect != 0;
}

void Ccomm::waitMs(unsigned ms) {
    uint32_t start = tickCountMs();
    while (!cancelled()) {
        uint32_t waited = tickCountMs() - start;
        if (waited >= ms) {
            return;
        }
        sleepMs(std::min(ms - waited, 50u));
    }
}

long Ccomm::readSome(SerialPort& port, char* buf, size_t max, unsigned timeoutMs) {
    // One long read is cut into short waits so that stop, reconnect and the
    // shutdown flag take effect at once rather than after the time-out.
    uint32_t start = tickCountMs();
    for (;;) {
        uint32_t waited = tickCountMs() - start;
        if (waited >= timeoutMs) {
            return 0;
        }
        long n = port.read(buf, max, std::min(timeoutMs - waited, 100u));
        if (n != 0 || cancelled()) {
            return n;
        }
    }
}

int Ccomm::deliver(const std::string& line) {
    std::shared_ptr<const LineHandler> handler;
    {
        std::lock_guard<std::mutex> guard(m_textLock);
        handler = m_handler;
    }
    return handler && *handler ? (*handler)(line) : 1;
}

int Ccomm::readPort() {
    std::string name = port();
    setStatus(kOpening + name);
    std::string problem;
    SerialPort serial = openCom(name, m_rate, m_flowControl, &problem);
    if (!serial.isOpen()) {
        // The reason stays on the status line until the next try, rather
        // than "Opening" as if something were still happening.
        setStatus(problem);
        return 0;
    }
    return readLoop(serial, m_times.readTimeoutMs, nullptr);
}

int Ccomm::readPort(const std::string& name, unsigned timeoutMs, const LineHandler& handler) {
    SerialPort serial = openCom(name, m_rate, m_flowControl);
    if (!serial.isOpen()) {
        return 0;
    }
    return readLoop(serial, timeoutMs, &handler);
}

int Ccomm::readLoop(SerialPort& port, unsigned timeoutMs, const LineHandler* probe) {
    const bool normal = probe == nullptr;
    // The line survives from one read to the next: receivers split sentences
    // across reads anywhere.
    std::string line;
    line.reserve(kLineMax);
    int result = 1;
    int delivered = 0;
    char buf[kReadChunk];

    while (g_bShutdown == 0 && m_stop == 0 && m_reconnect == 0) {
        long n = readSome(port, buf, sizeof buf, timeoutMs);
        if (normal && n == 0 && !cancelled()) {
            // A receiver that goes quiet gets one more chance before the port
            // is closed and opened afresh.
            NTRACE_AS("Ccomm::readPort", "ERROR check for end of file - bResult is %d, error is %d",
                      1, 0);
            waitMs(m_times.emptyReadWaitMs);
            if (!cancelled()) {
                n = readSome(port, buf, sizeof buf, timeoutMs);
            }
            if (n == 0 && !cancelled()) {
                NTRACE_AS("Ccomm::readPort", "giving up!");
                waitMs(m_times.giveUpWaitMs);
                break;
            }
        }
        if (cancelled()) {
            break;
        }
        if (n <= 0) {
            NTRACE_AS("Ccomm::readPort", "ERROR nothing read");
            break;
        }
        if (m_debug != 0) {
            std::string shown(buf, static_cast<size_t>(std::min(n, kDebugShown)));
            NTRACE_AS("Ccomm::readPort", "read %d bytes: %s", static_cast<int>(n), shown.c_str());
        }

        bool tooLong = false;
        bool accepted = false;
        for (long i = 0; i < n; ++i) {
            char c = buf[i];
            if (c == '\n') {
                ++delivered;
                if (normal) {
                    // The intake's result says whether the line held a
                    // position; other sentences (GSV, GSA...) are no reason to
                    // drop the port, so normal mode reads on whatever it says.
                    result = deliver(line);
                    setStatus(kReceiving);
                } else {
                    result = (*probe)(line);
                    if (result == 0 && delivered < kProbeLines) {
                        result = 1;
                    }
                    if (result <= 0) {
                        accepted = true;
                        break;
                    }
                }
                line.clear();
                continue;
            }
            if (line.size() >= kLineMax) {
                NTRACE_AS("Ccomm::readPort", "ERROR line too long");
                tooLong = true;
                break;
            }
            line += c;
        }
        if (tooLong) {
            NTRACE_AS("Ccomm::readPort", "ERROR read too many characters 2");
            break;
        }
        if (accepted) {
            break;
        }
    }
    return result;
}

std::string Ccomm::autoFind() {
    static const LineHandler probe = nmeaProbeTest;
    std::vector<std::string> ports;
    {
        std::lock_guard<std::mutex> guard(m_textLock);
        ports = m_candidates;
    }
    if (ports.empty()) {
        ports = serialCandidatePorts();
    }
    waitMs(m_times.scanPauseMs);
    for (const std::string& name : ports) {
        if (cancelled()) {
            break;
        }
        setStatus(kScanning + name);
        if (readPort(name, m_times.probeTimeoutMs, probe) < 0) {
            PortFound found;
            {
                std::lock_guard<std::mutex> guard(m_textLock);
                m_status = kFound + name;
                m_port = name;
                found = m_portFound;
            }
            if (found) {
                found(name);
            }
            return name;
        }
        if (cancelled()) {
            break;
        }
        waitMs(m_times.scanPauseMs);
    }
    setStatus(kNotFound);
    return std::string();
}

int Ccomm::processNmeaFunc(const std::string& line) {
    NTRACE("got string %s", line.c_str());
    m_socketData = 1;
    m_stop = 1;
    int result = deliver(line);
    setStatus(kSocketData);
    return result;
}

unsigned Ccomm::readGpsd() {
    GpsdServer server;
    {
        std::lock_guard<std::mutex> guard(m_textLock);
        server = m_gpsdServer;
    }
    GpsdHooks hooks;
    hooks.cancelled = [this] { return cancelled(); };
    hooks.deliver = [this](const std::string& line) {
        deliver(line);
        setStatus(kReceiving);
    };
    hooks.status = [this](const std::string& text) { setStatus(text); };
    hooks.receiver = [this](const GpsdStatus& status) {
        std::lock_guard<std::mutex> guard(m_textLock);
        m_gpsdStatus = status;
    };
    // A fault of the last session stays on show until a connection gets
    // further than that one.
    if (!m_gpsdFault)
        setStatus(gpsdEndStatus(GpsdEnd::unreachable, server));
    unsigned long reports = 0;
    const GpsdEnd end = runGpsdSession(server, m_gpsdTimes, hooks, reports);
    if (end == GpsdEnd::cancelled)
        return 0;
    m_gpsdFault = end != GpsdEnd::unreachable && end != GpsdEnd::closed;
    setStatus(gpsdEndStatus(end, server));
    if (reports > 0)
        m_backoff.reset();
    return m_backoff.next();
}

void Ccomm::staticThreadFuncx(Ccomm* self) {
    self->m_state = 2;
    self->m_backoff.reset();
    self->m_gpsdFault = false;
    try {
        for (;;) {
            self->m_reconnect = 0;
            if (self->m_gpsd != 0) {
                const unsigned pause = self->readGpsd();
                if (self->m_stop != 0 || g_bShutdown != 0)
                    break;
                self->waitMs(pause);
                if (self->m_stop != 0 || g_bShutdown != 0)
                    break;
                continue;
            }
            if (self->m_autoFind != 0) {
                self->autoFind();
                if (self->m_stop != 0 || g_bShutdown != 0) {
                    break;
                }
            }
            self->readPort();
            if (self->m_stop != 0) {
                break;
            }
            self->waitMs(self->m_times.retryMs);
            if (self->m_stop != 0 || g_bShutdown != 0) {
                break;
            }
        }
    } catch (const std::exception& e) {
        NTRACE("Unhandled exception in comm thread");
        NTRACE("%s", e.what());
    } catch (...) {
        NTRACE("Unhandled exception in comm thread");
    }
    // When lines from the tracker port took over, their status stays: the
    // serial side ending is not news to the user.
    self->setStatus(self->m_socketData != 0 ? kSocketData : kDisconnected);
    // State first: a start() that sees 0 waits for this thread to end, so the
    // flags it clears are not cleared again behind its back.
    self->m_state = 0;
    self->m_stop = 0;
    self->m_reconnect = 0;
}
