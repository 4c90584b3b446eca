// The serial GPS reader. A worker thread opens the receiver's port, cuts the
// bytes into lines and hands each complete line to the line handler (the line
// intake). When the port fails it closes it and tries again a second later;
// optionally it first searches the ports for one that delivers NMEA. Lines that
// arrive over the network instead (the tracker port) come in through
// processNmeaFunc and take over from the serial port. With the gpsd source
// chosen, the same thread reads gpsd's reports instead of a port and hands
// each fix to the line handler as sentences (sources/gpsd.h), reconnecting
// with a growing pause while gpsd is away.
#pragma once

#include "platform/serial.h"
#include "sources/gpsd.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Ccomm {
public:
    // Gets one line without its '\n' (a '\r' before it stays) and returns a
    // result; in a port search a negative result accepts the port.
    using LineHandler = std::function<int(const std::string& line)>;
    // Told the name of the port on which the search found a receiver.
    using PortFound = std::function<void(const std::string& port)>;

    // The waits of the reader. The defaults are the program's; tests shorten them.
    struct Times {
        unsigned readTimeoutMs = 6000;  // one read of the configured port
        unsigned probeTimeoutMs = 3000; // one read of a port being searched
        unsigned retryMs = 1000;        // between two attempts on the port
        unsigned emptyReadWaitMs = 1000;
        unsigned giveUpWaitMs = 5000;
        unsigned scanPauseMs = 500; // before the search and between two ports
    };

    // The longest line delivered; a longer one means the stream is not NMEA
    // (or the speed is wrong) and the port is closed.
    static constexpr size_t kLineMax = 4095;
    static constexpr size_t kReadChunk = 256;
    static constexpr int kProbeLines = 10; // lines a searched port may send without NMEA

    Ccomm();
    ~Ccomm(); // stops the reader and waits for its thread
    Ccomm(const Ccomm&) = delete;
    Ccomm& operator=(const Ccomm&) = delete;

    std::atomic<int> m_state{0};     // 2 while the reader thread runs, 0 otherwise
    std::atomic<int> m_reconnect{0}; // close the port and start the next cycle
    std::atomic<int> m_stop{0};      // end the reader thread
    std::atomic<int> m_autoFind{0};  // search the ports before each open
    std::atomic<int> m_rate{4800};
    std::atomic<int> m_flowControl{0}; // a SerialFlow value
    std::atomic<int> m_debug{0};       // log every read
    std::atomic<int> m_socketData{0};  // lines came from the tracker port since start()
    Times m_times;                     // set before start()
    GpsdTimes m_gpsdTimes;             // set before start()

    // Initialises the reader from the settings (`Port`, the `Rate` number,
    // `FlowControl`, `AutoFind`, debug logging). A running reader uses them
    // from its next cycle on.
    void configure(const std::string& port, int rate, int flowControl, int autoFind,
                   int debugLogging);

    // Chooses gpsd at `server` (on) or the serial port (off) as the source. A
    // running reader that used another source starts its next cycle at once.
    void setGpsd(bool on, const GpsdServer& server);
    bool gpsd() const { return m_gpsd != 0; }

    // Starts the reader thread with `handler`, unless it already runs.
    // Returns 1 when a thread was started.
    int start(LineHandler handler);
    void stop() { m_stop = 1; }
    void reconnect() { m_reconnect = 1; }
    // The disconnect button: the reader ends at its next check.
    void close() { stop(); }
    bool running() const { return m_state == 2; }

    void setLineHandler(LineHandler handler);
    void setPortFound(PortFound handler);
    void setRate(int rate) { m_rate = rate; }
    void setFlowControl(int flowControl) { m_flowControl = flowControl; }
    void setAutoFind(int autoFind) { m_autoFind = autoFind; }
    void setPort(const std::string& port);
    // The ports the search tries; empty (the default) means serialCandidatePorts().
    void setCandidatePorts(std::vector<std::string> ports);

    std::string port() const;
    // What the reader is doing, for the main window.
    std::string status() const;
    // Fix mode and satellites of gpsd's last reports; all unknown (-1) while
    // no gpsd session runs.
    GpsdStatus gpsdStatus() const;

    // Normal mode: opens the configured port and delivers its lines to the
    // line handler until the port fails or the reader is told to stop.
    int readPort();
    // Probe mode: reads `port` with `timeoutMs` per read and gives each line to
    // `handler` until a result of 0 or less (a 0 counts as 1 for the first
    // nine lines). Returns the last handler result, 1 when no line came, 0
    // when the port could not be opened.
    int readPort(const std::string& port, unsigned timeoutMs, const LineHandler& handler);

    // Searches the candidate ports for one that sends NMEA; on success it
    // becomes the configured port. Returns its name or an empty text.
    std::string autoFind();

    // The socket path: an NMEA line from the tracker port. Ends the serial
    // reading and passes the line to the line handler; returns its result.
    int processNmeaFunc(const std::string& line);

    static void staticThreadFuncx(Ccomm* self);

private:
    // One gpsd session; returns the pause before the next one.
    unsigned readGpsd();
    int readLoop(SerialPort& port, unsigned timeoutMs, const LineHandler* probe);
    long readSome(SerialPort& port, char* buf, size_t max, unsigned timeoutMs);
    void waitMs(unsigned ms);
    bool cancelled() const;
    int deliver(const std::string& line);
    void setStatus(const std::string& text);
    void threadBody();

    mutable std::mutex m_textLock; // status, port, handlers, candidates, gpsd status
    std::string m_status;
    std::string m_port = "COM3:";
    std::shared_ptr<const LineHandler> m_handler;
    PortFound m_portFound;
    std::vector<std::string> m_candidates;
    GpsdServer m_gpsdServer;
    GpsdStatus m_gpsdStatus;
    std::atomic<int> m_gpsd{0};
    GpsdBackoff m_backoff;    // the reader thread's own
    bool m_gpsdFault = false; // the reader thread's own: the last session failed

    std::mutex m_threadLock; // start and the destructor
    std::thread m_thread;
};

// The NMEA test of the port search: -1 for a line that starts a position
// sentence (GGA, VTG or RMC of any talker: "$GPRMC", "$GNGGA", "$INVTG"...),
// 0 for any other line.
int nmeaProbeTest(const std::string& line);

// The speed a `Rate` setting gives: 1200, 2400, 9600, 14400, 19200, 38400,
// 57600 and 115200 as they are, anything else (4800 included) 4800.
int openComBaudRate(int rate);

// Opens the port `name` (see serialDevicePath) read-only and exclusively, at
// the speed of openComBaudRate(rate), with the SerialFlow `flowControl`.
// Returns a closed SerialPort on failure, which is logged, and whose reason
// goes to `problem` when given (see serialOpenProblem).
SerialPort openCom(const std::string& name, int rate, int flowControl,
                   std::string* problem = nullptr);
