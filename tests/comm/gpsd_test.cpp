// The gpsd source against services on loopback that behave like gpsd, or
// like something that is not gpsd: the server text, the pause between
// attempts, what a session delivers and how it ends on bad input, and the
// reader thread in gpsd mode.
#include "commTestSupport.h"

#include "platform/socket.h"
#include "sources/comm.h"
#include "sources/gpsd.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <mutex>
#include <thread>

namespace {

const char* const kVersion =
    "{\"class\":\"VERSION\",\"release\":\"3.22\",\"proto_major\":3,\"proto_minor\":14}\r\n";

// A loopback listener that answers every connection with `reply` (after
// reading the client's request line, when `readRequest` is set) and closes it,
// or holds it open when `hold` is set.
class ScriptedServer {
public:
    ScriptedServer(std::string reply, bool readRequest = true, bool hold = false)
        : m_reply(std::move(reply)), m_readRequest(readRequest), m_hold(hold) {
        int err = 0;
        m_listener = Socket::tcp(err);
        EXPECT_EQ(m_listener.bind("127.0.0.1", 0), 0);
        EXPECT_EQ(m_listener.listen(8), 0);
        m_thread = std::thread([this] { serve(); });
    }
    ~ScriptedServer() {
        m_done = true;
        m_listener.shutdown();
        m_thread.join();
    }
    uint16_t port() const { return m_listener.localPort(); }
    int connections() const { return m_connections; }
    std::string request() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_request;
    }

private:
    void serve() {
        while (!m_done) {
            if (m_listener.waitReadable(50) <= 0)
                continue;
            std::string peer;
            int err = 0;
            Socket conn = m_listener.accept(peer, err);
            if (!conn.valid())
                continue;
            ++m_connections;
            conn.setTimeouts(2000);
            if (m_readRequest) {
                std::string got;
                char c;
                while (got.size() < 200 && conn.recv(&c, 1) == 1 && c != '\n')
                    got += c;
                std::lock_guard<std::mutex> guard(m_lock);
                m_request = got + "\n";
            }
            for (size_t sent = 0; sent < m_reply.size();) {
                long n = conn.send(m_reply.data() + sent, m_reply.size() - sent);
                if (n <= 0)
                    break;
                sent += static_cast<size_t>(n);
            }
            while (m_hold && !m_done)
                sleepMs(20);
        }
    }

    std::string m_reply;
    bool m_readRequest;
    bool m_hold;
    Socket m_listener;
    std::atomic<bool> m_done{false};
    std::atomic<int> m_connections{0};
    mutable std::mutex m_lock;
    std::string m_request;
    std::thread m_thread;
};

// A loopback port with nothing listening on it.
uint16_t closedPort() {
    int err = 0;
    Socket s = Socket::tcp(err);
    s.bind("127.0.0.1", 0);
    return s.localPort();
}

struct SessionResult {
    GpsdEnd end;
    std::vector<std::string> delivered;
    std::vector<std::string> statuses;
    std::vector<GpsdStatus> receiver;
    unsigned long reports = 0;
};

SessionResult runSession(uint16_t port, GpsdTimes times = GpsdTimes()) {
    GpsdServer server;
    server.port = port;
    SessionResult r;
    GpsdHooks hooks;
    hooks.cancelled = [] { return false; };
    hooks.deliver = [&](const std::string& line) { r.delivered.push_back(line); };
    hooks.status = [&](const std::string& text) { r.statuses.push_back(text); };
    hooks.receiver = [&](const GpsdStatus& status) { r.receiver.push_back(status); };
    r.end = runGpsdSession(server, times, hooks, r.reports);
    return r;
}

// The sentences the program makes of a TPV report.
std::vector<std::string> sentencesOf(const std::string& tpvLine) {
    JsonValue report;
    JsonError error;
    GpsdFix fix;
    int mode;
    std::string why;
    if (!parseJson(tpvLine, report, error) || readTpv(report, fix, mode, why) != TpvOutcome::fix)
        return {};
    return fixSentences(fix);
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

} // namespace

TEST(GpsdServerText, HostAndPortOrAReason) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        uint16_t port;
    } cases[] = {
        {"", true, "127.0.0.1", 2947},
        {"gpshost", true, "gpshost", 2947},
        {"gps-host.example.org:3000", true, "gps-host.example.org", 3000},
        {"192.168.1.5:2947", true, "192.168.1.5", 2947},
        {":5000", true, "127.0.0.1", 5000},
        {"host:65535", true, "host", 65535},
        {"host:0", false, "", 0},
        {"host:65536", false, "", 0},
        {"host:123456", false, "", 0},
        {"host:", false, "", 0},
        {"host:29a7", false, "", 0},
        {"host:-1", false, "", 0},
        {"bad host", false, "", 0},
        {"-oProxy", false, "", 0},
        {"::1", false, "", 0},
        {"h\n:2947", false, "", 0},
    };
    for (const Case& c : cases) {
        GpsdServer server;
        std::string error;
        EXPECT_EQ(parseGpsdServer(c.text, server, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(server.host, c.host) << c.text;
            EXPECT_EQ(server.port, c.port) << c.text;
        } else {
            EXPECT_FALSE(error.empty()) << c.text;
        }
    }
    GpsdServer server;
    std::string error;
    EXPECT_FALSE(parseGpsdServer(std::string(300, 'a'), server, error));
    EXPECT_EQ(gpsdServerSetting("nonsense:99999").text(), "127.0.0.1:2947");
    EXPECT_EQ(gpsdServerSetting("10.0.0.2").text(), "10.0.0.2:2947");
}

TEST(GpsdBackoff, OneSecondDoublingToTenAndAgainAfterAGoodSession) {
    GpsdBackoff backoff;
    std::vector<unsigned> waits;
    for (int i = 0; i < 7; ++i)
        waits.push_back(backoff.next());
    EXPECT_EQ(waits, (std::vector<unsigned>{1000, 2000, 4000, 8000, 10000, 10000, 10000}));
    backoff.reset();
    EXPECT_EQ(backoff.next(), 1000u);
}

TEST(GpsdSession, DeliversFixesOfReportsAndEndsOnBadInputWithAClearStatus) {
    const std::string devices = "{\"class\":\"DEVICES\",\"devices\":[]}\r\n";
    const std::string watch = "{\"class\":\"WATCH\",\"enable\":true,\"json\":true}\r\n";
    const std::string noTime =
        R"({"class":"TPV","device":"/dev/pts/1","mode":3,"lat":47.377065,"lon":8.542316667})";
    const std::string fix1 =
        R"({"class":"TPV","device":"/dev/pts/1","mode":3,"time":"2024-06-12T14:31:09.000Z",)"
        R"("lat":47.377065,"lon":8.542316667,"altMSL":409.9,"track":70.5,"speed":10.958})";
    const std::string sky = R"({"class":"SKY","device":"/dev/pts/1","nSat":10,"uSat":8})";
    const std::string fix2 =
        R"({"class":"TPV","device":"/dev/pts/1","mode":2,"time":"2024-06-12T14:31:10.000Z",)"
        R"("lat":47.377091667,"lon":8.542436667,"track":72.0,"speed":9.517})";
    const std::string lost = R"({"class":"TPV","device":"/dev/pts/1","mode":1})";
    const std::string deep = std::string(40, '[') + std::string(40, ']');
    const std::string nmea = "$GPRMC,143107.00,A,4722.6199,N,00832.5229,E,19.9,67.5,120624,,,A*7F";
    std::string nmeaOnly = kVersion;
    for (int i = 0; i < 10; ++i)
        nmeaOnly += nmea + "\r\n";
    const std::string greeted = "gpsd: connected to %s, waiting for a fix";

    struct Case {
        const char* name;
        std::string reply;
        bool readRequest;
        GpsdEnd end;
        std::vector<std::string> delivered;
        std::vector<std::string> statuses; // "%s" stands for host:port
        std::vector<GpsdStatus> receiver;
        unsigned long reports;
    } cases[] = {
        {"gpsd with fixes",
         kVersion + devices + watch + noTime + "\r\n" + fix1 + "\r\n" + sky + "\r\n" + fix2 +
             "\r\n" + lost + "\r\n",
         true,
         GpsdEnd::closed,
         joined(sentencesOf(fix1), sentencesOf(fix2)),
         {greeted, "gpsd: %s reports no fix"},
         // Each change, and all unknown again at the session's end.
         {{3, -1, -1}, {3, 8, 10}, {2, 8, 10}, {1, 8, 10}, {}},
         7},
        {"hostile lines are refused, the fix after them is taken",
         kVersion + deep + "\r\n" + "{\"class\":\"TPV\",\"mode\":3,\"mode\":2}\r\n" +
             std::string("{\"class\":\"\xC0\"}\r\n") + "\"TPV\"\r\n" + fix1 + "\r\n",
         true,
         GpsdEnd::closed,
         sentencesOf(fix1),
         {greeted},
         {{3, -1, -1}, {}},
         1},
        {"1 MB line without a line end",
         kVersion + std::string(1 << 20, 'x'),
         true,
         GpsdEnd::lineTooLong,
         {},
         {greeted},
         {},
         0},
        {"NMEA instead of reports",
         nmeaOnly,
         true,
         GpsdEnd::closed,
         {},
         {greeted, "gpsd: %s sends reports that cannot be read"},
         {},
         0},
        {"closes at once", "", false, GpsdEnd::closedAtOnce, {}, {}, {}, 0},
        {"a web server", "HTTP/1.1 400 Bad Request\r\n\r\n", true, GpsdEnd::notGpsd, {}, {}, {}, 0},
        {"endless bytes, no greeting",
         std::string(1 << 20, 'y'),
         false,
         GpsdEnd::notGpsd,
         {},
         {},
         {},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.reply, c.readRequest);
        SessionResult r = runSession(server.port());
        EXPECT_EQ(r.end, c.end);
        EXPECT_EQ(r.delivered, c.delivered);
        std::string where = "127.0.0.1:" + std::to_string(server.port());
        std::vector<std::string> want;
        for (std::string text : c.statuses) {
            if (size_t at = text.find("%s"); at != std::string::npos)
                text.replace(at, 2, where);
            want.push_back(text);
        }
        EXPECT_EQ(r.statuses, want);
        ASSERT_EQ(r.receiver.size(), c.receiver.size());
        for (size_t i = 0; i < c.receiver.size(); ++i) {
            EXPECT_EQ(r.receiver[i].mode, c.receiver[i].mode) << i;
            EXPECT_EQ(r.receiver[i].used, c.receiver[i].used) << i;
            EXPECT_EQ(r.receiver[i].seen, c.receiver[i].seen) << i;
        }
        EXPECT_EQ(r.reports, c.reports);
        if (c.readRequest) {
            EXPECT_EQ(server.request(), kGpsdWatch);
        }
    }
}

TEST(GpsdSession, SilentServiceUnreachablePortAndEndTexts) {
    ScriptedServer silent("", false, true);
    GpsdTimes quick;
    quick.greetingMs = 300;
    EXPECT_EQ(runSession(silent.port(), quick).end, GpsdEnd::notGpsd);
    EXPECT_EQ(runSession(closedPort()).end, GpsdEnd::unreachable);

    GpsdServer server;
    struct Case {
        GpsdEnd end;
        const char* status;
    } cases[] = {
        {GpsdEnd::unreachable, "gpsd: waiting for 127.0.0.1:2947"},
        {GpsdEnd::closed, "gpsd: waiting for 127.0.0.1:2947"},
        {GpsdEnd::closedAtOnce, "gpsd: 127.0.0.1:2947 closed the connection at once"},
        {GpsdEnd::notGpsd, "gpsd: 127.0.0.1:2947 does not answer as gpsd"},
        {GpsdEnd::lineTooLong, "gpsd: line too long from 127.0.0.1:2947"},
        {GpsdEnd::failed, "gpsd: connection to 127.0.0.1:2947 failed"},
        {GpsdEnd::cancelled, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(gpsdEndStatus(c.end, server), c.status);
}

TEST(CommGpsd, AbsentGpsdIsAwaitedQuietlyAndStopIsPrompt) {
    // Nothing listening on a loopback port, and a listener whose queue is
    // full, which leaves new connection attempts hanging unanswered.
    GpsdServer refused;
    refused.port = closedPort();
    int err = 0;
    Socket full = Socket::tcp(err);
    ASSERT_EQ(full.bind("127.0.0.1", 0), 0);
    ASSERT_EQ(full.listen(0), 0);
    std::vector<Socket> queued;
    for (int i = 0; i < 3; ++i) {
        queued.push_back(Socket::tcp(err));
        queued.back().connect("127.0.0.1", full.localPort(), 200);
    }
    GpsdServer hanging;
    hanging.port = full.localPort();
    for (const GpsdServer& server : {refused, hanging}) {
        SCOPED_TRACE(server.text());
        Ccomm comm;
        comm.setGpsd(true, server);
        ASSERT_EQ(comm.start([](const std::string&) { return 1; }), 1);
        const std::string waiting = "gpsd: waiting for " + server.text();
        ASSERT_TRUE(waitFor([&] { return comm.status() == waiting; }));
        const double cpuBefore = processCpuSeconds();
        sleepMs(2000);
        // Waiting between attempts sleeps; a busy loop would burn the whole time.
        EXPECT_LT(processCpuSeconds() - cpuBefore, 0.3);
        EXPECT_EQ(comm.status(), waiting);
        comm.stop();
        EXPECT_TRUE(waitFor([&] { return !comm.running(); }, 1000));
        EXPECT_EQ(comm.status(), "Disconnected");
    }
}

TEST(CommGpsd, AServiceThatClosesAtOnceIsRetriedWithGrowingPauses) {
    ScriptedServer server("", false);
    GpsdServer where;
    where.port = server.port();
    Ccomm comm;
    comm.setGpsd(true, where);
    ASSERT_EQ(comm.start([](const std::string&) { return 1; }), 1);
    const std::string closedText = "gpsd: " + where.text() + " closed the connection at once";
    ASSERT_TRUE(waitFor([&] { return comm.status() == closedText; }));
    ASSERT_TRUE(waitFor([&] { return server.connections() >= 2; }, 5000));
    sleepMs(3000);
    // Attempts at 0, 1 s and 3 s, then 7 s: never more than three or four.
    EXPECT_LE(server.connections(), 4);
    EXPECT_EQ(comm.status(), closedText);
    comm.stop();
    EXPECT_TRUE(waitFor([&] { return !comm.running(); }, 1000));
}

TEST(CommGpsd, FixesReachTheHandlerAndTheStatusSaysReceiving) {
    const std::string tpv =
        R"({"class":"TPV","mode":3,"time":"2024-06-12T14:31:07.000Z","lat":47.3769983,)"
        R"("lon":8.5420483,"altMSL":409.1,"speed":10.2,"track":67.5})";
    const std::string sky = R"({"class":"SKY","nSat":10,"uSat":8})";
    ScriptedServer server(std::string(kVersion) + tpv + "\r\n" + sky + "\r\n", true, true);
    GpsdServer where;
    where.port = server.port();
    std::mutex lock;
    std::vector<std::string> got;
    Ccomm comm;
    comm.setGpsd(true, where);
    ASSERT_TRUE(comm.gpsd());
    ASSERT_EQ(comm.start([&](const std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        got.push_back(line);
        return 1;
    }),
              1);
    ASSERT_TRUE(waitFor([&] { return comm.status() == "Receiving"; }));
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(got, sentencesOf(tpv));
    }
    ASSERT_TRUE(waitFor([&] { return comm.gpsdStatus().used == 8; }));
    EXPECT_EQ(comm.gpsdStatus(), (GpsdStatus{3, 8, 10}));
    // Back to the serial port: the running reader leaves gpsd at once.
    comm.configure("/dev/nivra-no-such-port", 4800, kFlowNone, 0, 0);
    comm.setGpsd(false, where);
    EXPECT_TRUE(waitFor([&] {
        return comm.status() == "/dev/nivra-no-such-port is not there: is the receiver plugged in?";
    })) << comm.status();
    // What gpsd said of the receiver goes with the session.
    EXPECT_EQ(comm.gpsdStatus(), GpsdStatus());
    comm.stop();
    EXPECT_TRUE(waitFor([&] { return !comm.running(); }, 2000));
}
