#include "sources/gpsd.h"

#include "platform/runtime.h"
#include "platform/socket.h"
#include "platform/tcpConnect.h"
#include "trace/throttle.h"
#include "trace/trace.h"
#include "track/outsideText.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace {

constexpr size_t kServerTextMax = 255;
constexpr size_t kReadChunk = 4096;
// gpsd's first words on every connection.
constexpr const char* kGreeting = "{\"class\":\"VERSION\"";

bool hostCharOk(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

// Cuts the received bytes into lines, each bounded by kGpsdLineMax.
class LineCutter {
public:
    // Calls `onLine` for every complete line of `data`; false as soon as a
    // line grows past the bound or `onLine` says stop.
    template <typename OnLine> bool feed(const char* data, size_t size, OnLine&& onLine) {
        for (size_t i = 0; i < size; ++i) {
            const char c = data[i];
            if (c == '\n') {
                if (!onLine(m_line))
                    return false;
                m_line.clear();
                continue;
            }
            if (m_line.size() >= kGpsdLineMax) {
                m_tooLong = true;
                return false;
            }
            m_line += c;
        }
        return true;
    }
    bool tooLong() const { return m_tooLong; }

private:
    std::string m_line;
    bool m_tooLong = false;
};

// Reads the lines of one session after gpsd's greeting: TPV reports become
// fixes delivered as sentences, TPV and SKY tell the receiver's state; every
// other class (DEVICES, WATCH, DEVICE, TOFF, PPS...) is passed over.
class GpsdReader {
public:
    GpsdReader(const std::string& where, const GpsdHooks& hooks) : m_where(where), m_hooks(hooks) {}
    GpsdReader(const GpsdReader&) = delete;
    GpsdReader& operator=(const GpsdReader&) = delete;
    // The receiver's state is unknown again once the session is over.
    ~GpsdReader() { tell(GpsdStatus()); }

    // True for a line that was a readable report; false for one refused.
    bool line(const std::string& text) {
        JsonValue report;
        JsonError error;
        if (!parseJson(text, report, error, gpsdJsonLimits())) {
            refused("a line that is not JSON within bounds (" + error.reason + " at byte " +
                    std::to_string(error.offset) + ")");
            return false;
        }
        std::string kind;
        if (!report.isObject() || !report.textMember("class", kind)) {
            refused("a report without a class");
            return false;
        }
        if (kind == "TPV")
            return tpv(report);
        if (kind == "SKY") {
            GpsdStatus next = m_status;
            if (readSky(report, next))
                tell(next);
            return true;
        }
        if (kind == "ERROR") {
            std::string message;
            report.textMember("message", message);
            NTRACE_AS("runGpsdSession", "ERROR gpsd %s: %s", m_where.c_str(),
                      cleanText(std::string_view(message).substr(0, 200)).c_str());
        }
        return true;
    }

private:
    bool tpv(const JsonValue& report) {
        int mode = -1;
        std::string why;
        const TpvOutcome outcome = readTpv(report, m_fix, mode, why);
        if (mode >= 0) {
            GpsdStatus next = m_status;
            next.mode = mode;
            tell(next);
        }
        switch (outcome) {
        case TpvOutcome::fix:
            for (const std::string& sentence : fixSentences(m_fix))
                m_hooks.deliver(sentence);
            return true;
        case TpvOutcome::noFix:
            m_hooks.status("gpsd: " + m_where + " reports no fix");
            return true;
        case TpvOutcome::refused:
            break;
        }
        refused(why);
        // A TPV with a mode still says how the receiver is.
        return mode >= 0;
    }

    void refused(const std::string& why) {
        int heldBack = 0;
        if (m_refusedLog.allow(TraceThrottle::Clock::now(), heldBack))
            NTRACE_AS("runGpsdSession", "gpsd %s: refused %s (%d more held back)", m_where.c_str(),
                      why.c_str(), heldBack);
    }

    void tell(const GpsdStatus& next) {
        if (next == m_status)
            return;
        m_status = next;
        if (m_hooks.receiver)
            m_hooks.receiver(next);
    }

    const std::string& m_where;
    const GpsdHooks& m_hooks;
    GpsdFix m_fix;
    GpsdStatus m_status;
    TraceThrottle m_refusedLog;
};

// Connects in short waits, so that a host that does not answer holds up a
// stop no longer than one wait. An invalid socket with `err` set on failure.
Socket connectGpsd(const GpsdServer& server, const GpsdTimes& times, const GpsdHooks& hooks,
                   int& err) {
    sockaddr_in to{};
    err = resolveIPv4(server.host, server.port, to);
    if (err != 0) {
        NTRACE("gpsd %s: %s", server.host.c_str(), resolveErrorText(err));
        return Socket();
    }
    Socket sock = Socket::tcp(err);
    if (!sock.valid() || (err = setNonBlocking(sock, true)) != 0)
        return Socket();
    err = startConnect(sock, to);
    const uint32_t start = tickCountMs();
    while (err == EINPROGRESS) {
        if (hooks.cancelled() || tickCountMs() - start >= times.connectMs) {
            err = ETIMEDOUT;
            return Socket();
        }
        const int ready = waitSocket(sock, true, times.sliceMs);
        if (ready < 0) {
            err = -ready;
        } else if (ready > 0) {
            socklen_t len = sizeof err;
            if (::getsockopt(sock.fd(), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
        }
    }
    if (err != 0 || (err = setNonBlocking(sock, false)) != 0)
        return Socket();
    return sock;
}

} // namespace

std::string GpsdServer::text() const {
    return host + ":" + std::to_string(port);
}

bool parseGpsdServer(const std::string& text, GpsdServer& out, std::string& error) {
    GpsdServer server;
    if (text.size() > kServerTextMax) {
        error = "the gpsd server name is longer than 255 characters";
        return false;
    }
    std::string host = text;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        const std::string port = text.substr(colon + 1);
        unsigned long value = 0;
        bool digits = !port.empty() && port.size() <= 5;
        for (char c : port) {
            digits = digits && c >= '0' && c <= '9';
            if (digits)
                value = value * 10 + static_cast<unsigned long>(c - '0');
        }
        if (!digits || value == 0 || value > 65535) {
            error = "\"" + port + "\" is not a port number (1 to 65535)";
            return false;
        }
        server.port = static_cast<uint16_t>(value);
    }
    if (!host.empty()) {
        if (!std::all_of(host.begin(), host.end(), hostCharOk) || host.front() == '-') {
            error = "\"" + host + "\" is not a host name or IPv4 address";
            return false;
        }
        server.host = host;
    }
    out = server;
    return true;
}

GpsdServer gpsdServerSetting(const std::string& text) {
    GpsdServer server;
    std::string error;
    if (!parseGpsdServer(text, server, error)) {
        NTRACE("ERROR GpsdServer setting refused: %s; using %s", error.c_str(),
               GpsdServer().text().c_str());
        return GpsdServer();
    }
    return server;
}

unsigned GpsdBackoff::next() {
    const unsigned wait = m_nextMs;
    m_nextMs = std::min(m_nextMs * 2, kMaxMs);
    return wait;
}

std::string gpsdEndStatus(GpsdEnd end, const GpsdServer& server) {
    const std::string where = server.text();
    switch (end) {
    case GpsdEnd::unreachable:
    case GpsdEnd::closed:
        return "gpsd: waiting for " + where;
    case GpsdEnd::closedAtOnce:
        return "gpsd: " + where + " closed the connection at once";
    case GpsdEnd::notGpsd:
        return "gpsd: " + where + " does not answer as gpsd";
    case GpsdEnd::lineTooLong:
        return "gpsd: line too long from " + where;
    case GpsdEnd::failed:
        return "gpsd: connection to " + where + " failed";
    case GpsdEnd::cancelled:
        break;
    }
    return std::string();
}

GpsdEnd runGpsdSession(const GpsdServer& server, const GpsdTimes& times, const GpsdHooks& hooks,
                       unsigned long& reports) {
    const std::string where = server.text();
    int err = 0;
    Socket sock = connectGpsd(server, times, hooks, err);
    if (!sock.valid()) {
        if (hooks.cancelled())
            return GpsdEnd::cancelled;
        // Expected while gpsd is not running; the status says so, the log
        // keeps the reason.
        NTRACE("gpsd %s: connect failed: %d", where.c_str(), err);
        return GpsdEnd::unreachable;
    }
    const size_t watchLen = std::strlen(kGpsdWatch);
    if (sock.send(kGpsdWatch, watchLen) != static_cast<long>(watchLen)) {
        // The other side hung up before it took a request.
        NTRACE("ERROR gpsd %s: sending the watch request failed", where.c_str());
        return GpsdEnd::closedAtOnce;
    }
    NTRACE("gpsd %s: connected, watching reports", where.c_str());

    bool greeted = false;
    bool notGpsd = false;
    unsigned unreadable = 0;
    const uint32_t start = tickCountMs();
    LineCutter cutter;
    GpsdReader reader(where, hooks);
    auto onLine = [&](const std::string& line) {
        if (!greeted) {
            if (line.rfind(kGreeting, 0) != 0) {
                notGpsd = true;
                return false;
            }
            greeted = true;
            hooks.status("gpsd: connected to " + where + ", waiting for a fix");
            return true;
        }
        if (reader.line(line)) {
            ++reports;
        } else if (reports == 0 && ++unreadable == times.unreadableLines) {
            // Something on the port greets like gpsd but speaks otherwise.
            NTRACE("gpsd %s sends reports that cannot be read", where.c_str());
            hooks.status("gpsd: " + where + " sends reports that cannot be read");
        }
        return true;
    };

    char buf[kReadChunk];
    for (;;) {
        if (hooks.cancelled())
            return GpsdEnd::cancelled;
        if (!greeted && tickCountMs() - start >= times.greetingMs) {
            NTRACE("ERROR gpsd %s: no greeting within %u ms", where.c_str(), times.greetingMs);
            return GpsdEnd::notGpsd;
        }
        const int ready = sock.waitReadable(times.sliceMs);
        if (ready == 0)
            continue;
        long n = ready > 0 ? sock.recv(buf, sizeof buf) : ready;
        if (n == -EINTR || n == -EAGAIN)
            continue;
        if (n < 0) {
            NTRACE("ERROR gpsd %s: receive failed: %ld", where.c_str(), -n);
            return greeted ? GpsdEnd::failed : GpsdEnd::closedAtOnce;
        }
        if (n == 0) {
            NTRACE("gpsd %s closed the connection", where.c_str());
            return greeted ? GpsdEnd::closed : GpsdEnd::closedAtOnce;
        }
        if (!cutter.feed(buf, static_cast<size_t>(n), onLine) || hooks.cancelled()) {
            if (notGpsd) {
                NTRACE("ERROR gpsd %s: the service there does not greet as gpsd", where.c_str());
                return GpsdEnd::notGpsd;
            }
            if (cutter.tooLong()) {
                NTRACE("ERROR gpsd %s: line too long (more than %zu bytes)", where.c_str(),
                       kGpsdLineMax);
                return greeted ? GpsdEnd::lineTooLong : GpsdEnd::notGpsd;
            }
            return GpsdEnd::cancelled;
        }
    }
}
