#include "common/traceCapture.h"
#include "platform/paths.h"
#include "trace/throttle.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

TraceSite site(int header, const char* func = "CTrack::add") {
    return TraceSite{"src/track/track.cpp", func, 357, header};
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// The header is "hh:mm:ss:mmm[tid] " then the location; strip it for comparisons.
std::string afterHeader(const std::string& line) {
    size_t close = line.find("] ");
    return close == std::string::npos ? line : line.substr(close + 2);
}

} // namespace

TEST(Trace, HeaderedLineEndsInExactlyOneCrLf) {
    std::string line = formatTraceLine(site(1), "timed out\n");
    EXPECT_EQ(afterHeader(line), "CTrack::add(357) timed out\r\n");
    line = formatTraceLine(site(1), "timed out");
    EXPECT_EQ(afterHeader(line), "CTrack::add(357) timed out\r\n");
}

TEST(Trace, HeaderCarriesTimeAndThreadId) {
    std::string line = formatTraceLine(site(1), "x");
    ASSERT_GE(line.size(), 14u);
    EXPECT_EQ(line[2], ':');
    EXPECT_EQ(line[5], ':');
    EXPECT_EQ(line[8], ':');
    EXPECT_EQ(line[12], '[');
    EXPECT_NE(line.find("] CTrack::add(357) x"), std::string::npos);
}

TEST(Trace, PlainFunctionShowsFileBaseName) {
    std::string line = formatTraceLine(site(1, "parseGPRMC"), "bad day");
    EXPECT_EQ(afterHeader(line), "track.cpp:parseGPRMC(357) bad day\r\n");
    TraceSite win{"C:\\src\\nmea.cpp", "parseGPGGA", 12, 1};
    EXPECT_EQ(afterHeader(formatTraceLine(win, "z")), "nmea.cpp:parseGPGGA(12) z\r\n");
}

TEST(Trace, EmbeddedLineFeedsBecomeCrLf) {
    std::string line = formatTraceLine(site(1), "first\nsecond");
    EXPECT_EQ(afterHeader(line), "CTrack::add(357) first\r\nsecond\r\n");
}

TEST(Trace, RawSiteAddsNoLineEnd) {
    EXPECT_EQ(formatTraceLine(site(0), "cmd:%s, ", "$GPRMC"), "cmd:$GPRMC, ");
    EXPECT_EQ(formatTraceLine(site(0), "a\nb\n"), "a\r\nb\r\n");
}

TEST(Trace, PercentInArgumentsIsWrittenUnchanged) {
    EXPECT_EQ(formatTraceLine(site(0), "%s", "GET /a%20b%s HTTP"), "GET /a%20b%s HTTP");
}

TEST(Trace, LongMessagesAreCutAt1024) {
    std::string big(5000, 'x');
    std::string raw = formatTraceLine(site(0), "%s", big.c_str());
    EXPECT_EQ(raw.size(), 1023u);
    std::string headed = formatTraceLine(site(1), "%s", big.c_str());
    EXPECT_LE(headed.size(), 1024u);
    EXPECT_EQ(headed.substr(headed.size() - 2), "\r\n");
    std::string lfs(3000, '\n');
    EXPECT_LE(formatTraceLine(site(0), "%s", lfs.c_str()).size(), 1024u);
}

TEST(Trace, FunctionNameFromPrettySignature) {
    EXPECT_STREQ(traceFunctionName("void CTrack::add(const GpsFix&, int)"), "CTrack::add");
    EXPECT_STREQ(traceFunctionName("int parseGPRMC(char*, GpsFix&, double)"), "parseGPRMC");
    EXPECT_STREQ(traceFunctionName("std::vector<int> CClients::list() const"), "CClients::list");
    EXPECT_STREQ(traceFunctionName("static void Ccomm::staticThreadFuncx(void*)"),
                 "Ccomm::staticThreadFuncx");
}

TEST(Trace, SinksReceiveOnlyWhileEnabled) {
    TraceCapture cap;
    NTRACE("one %d", 1);
    enableTraceSink(&cap.sink(), 0);
    NTRACE("two");
    enableTraceSink(&cap.sink(), 1);
    NTRACE_RAW("three");
    const std::vector<std::string> lines = cap.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("one 1\r\n"), std::string::npos);
    EXPECT_EQ(lines[1], "three");
}

namespace {
struct SeverityLog {
    std::vector<std::pair<int, std::string>> lines;
    static void handler(int severity, const char* line, void* self) {
        static_cast<SeverityLog*>(self)->lines.emplace_back(severity, line);
    }
};
} // namespace

TEST(Trace, SeveritiesReachTheSinksAndOnlyWarningsAndErrorsReachStderr) {
    SeverityLog log;
    TraceObserver sink{SeverityLog::handler, &log};
    registerTraceSink(&sink);
    // stderr into a file for the length of the test.
    std::FILE* capture = std::tmpfile();
    ASSERT_NE(capture, nullptr);
    std::fflush(stderr);
    const int saved = dup(fileno(stderr));
    dup2(fileno(capture), fileno(stderr));
    setTraceToStderr(true);
    NTRACE("plain %d", 1);
    NTRACE_WARN("careful %d", 2);
    NTRACE_ERROR("broken %d", 3);
    NTRACE("ERROR binding:%d port:%d", 98, 51233); // the old error style
    NTRACE("Unhandled exception in comm thread");
    ::trace(TraceSite{"x.cpp", "noticeUser", 1, 1, kTraceNotice}, "told the user");
    setTraceToStderr(false);
    NTRACE_ERROR("after the copy was switched off");
    std::fflush(stderr);
    dup2(saved, fileno(stderr));
    close(saved);
    unregisterTraceSink(&sink);

    const std::vector<int> expected = {kTraceInfo,  kTraceWarning, kTraceError, kTraceError,
                                       kTraceError, kTraceNotice,  kTraceError};
    ASSERT_EQ(log.lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(log.lines[i].first, expected[i]) << log.lines[i].second;

    std::rewind(capture);
    std::string err;
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, capture))
        err.append(buf, n);
    std::fclose(capture);
    for (const char* shown : {"careful 2", "broken 3", "ERROR binding:98", "Unhandled exception"})
        EXPECT_NE(err.find(shown), std::string::npos) << shown << " in " << err;
    for (const char* hidden : {"plain 1", "told the user", "after the copy"})
        EXPECT_EQ(err.find(hidden), std::string::npos) << hidden << " in " << err;
    EXPECT_EQ(err.find('\r'), std::string::npos); // plain line ends on a terminal
}

TEST(Trace, RegistryHoldsAtMost32Sinks) {
    std::vector<std::unique_ptr<TraceObserver>> extra;
    int accepted = 0;
    for (int i = 0; i < 40; ++i) {
        extra.push_back(std::make_unique<TraceObserver>());
        extra.back()->handler = [](int, const char*, void*) {};
        if (registerTraceSink(extra.back().get()))
            ++accepted;
    }
    EXPECT_LT(accepted, 32); // the default sink already holds a place
    EXPECT_GT(accepted, 0);
    for (auto& s : extra)
        unregisterTraceSink(s.get());
    TraceObserver again;
    EXPECT_TRUE(registerTraceSink(&again));
    unregisterTraceSink(&again);
}

TEST(Trace, DebugFileIsEmptiedOnlyTheFirstTime) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("nivra-trace-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string log = (dir / "nivraDebug.log").string();
    {
        std::ofstream f(log);
        f << "old content\n";
    }
    setDebugLogFile(log);
    setDebugLogging(true);
    EXPECT_EQ(readFile(log), "");
    NTRACE("hello");
    std::string after = readFile(log);
    EXPECT_NE(after.find("hello\r\n"), std::string::npos);
    setDebugLogging(false);
    NTRACE("silent");
    setDebugLogging(true);
    NTRACE("again");
    std::string last = readFile(log);
    EXPECT_NE(last.find("hello"), std::string::npos) << "second switch-on must not empty the file";
    EXPECT_EQ(last.find("silent"), std::string::npos);
    EXPECT_NE(last.find("again"), std::string::npos);
    setDebugLogging(false);
    fs::remove_all(dir);
}

TEST(Paths, BareNamesLiveInTheStartDirectory) {
    setStartDir("/data/nivra");
    EXPECT_EQ(FullPath("Nivra.trk"), "/data/nivra/Nivra.trk");
    EXPECT_EQ(FullPath("logs/a.nme"), "logs/a.nme");
    EXPECT_EQ(FullPath("/tmp/x.trk"), "/tmp/x.trk");
    EXPECT_EQ(FullPath("C:\\x.trk"), "C:\\x.trk");
    EXPECT_EQ(FullPath("a:b"), "a:b");
    setStartDir("/");
    EXPECT_EQ(FullPath("n.trk"), "/n.trk");
}

namespace {
int g_evaluated = 0;
int countEvaluation() {
    return ++g_evaluated;
}
} // namespace

TEST(Trace, NothingIsEvaluatedWhileNoSinkListens) {
    // Each row: the sinks registered, and whether a line's arguments (and so
    // its formatting) are worked out at all.
    struct Row {
        const char* what;
        bool capture;
        bool stderrCopy;
        bool evaluated;
    };
    const Row rows[] = {
        {"only the silent default sink", false, false, false},
        {"a capturing sink", true, false, true},
        {"the stderr copy", false, true, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        g_evaluated = 0;
        {
            std::unique_ptr<TraceCapture> cap;
            if (r.capture)
                cap = std::make_unique<TraceCapture>();
            if (r.stderrCopy)
                setTraceToStderr(true);
            NTRACE("n %d", countEvaluation());
            NTRACE_RAW("raw %d", countEvaluation());
            NTRACE_AS("Some::where", "as %d", countEvaluation());
            if (r.stderrCopy)
                setTraceToStderr(false);
            if (cap) {
                EXPECT_EQ(cap->count("n 1"), 1);
                EXPECT_EQ(cap->count("Some::where"), 1);
            }
        }
        EXPECT_EQ(g_evaluated, r.evaluated ? 3 : 0);
    }
}

TEST(Trace, TheFunctionNameIsWorkedOutWhenTheLineIsBuilt) {
    TraceCapture cap;
    NTRACE("from here");
    ASSERT_EQ(cap.count("from here"), 1);
    // A plain function in this file: its base name, then the name without
    // return type and parameters.
    EXPECT_EQ(cap.count("trace_test.cpp:TestBody("), 0);
    EXPECT_EQ(cap.count("Trace_TheFunctionNameIsWorkedOutWhenTheLineIsBuilt_Test::TestBody("), 1);
}

TEST(TraceThrottles, OneLineAMinuteForEachKindAndAddress) {
    using Clock = KeyedTraceThrottle::Clock;
    const Clock::time_point t0{};
    KeyedTraceThrottle throttle(std::chrono::seconds(60), 3);
    struct Step {
        int second;
        const char* kind;
        const char* address;
        bool allowed;
        int heldBack; // reported with an allowed line
    };
    const Step steps[] = {
        {0, "recv error:104", "127.0.0.4", true, 0},
        {1, "recv error:104", "127.0.0.4", false, 0},
        {2, "recv error:104", "127.0.0.4", false, 0},
        {2, "recv error:104", "127.0.0.5", true, 0}, // another address
        {3, "send error:110", "127.0.0.4", true, 0}, // another kind
        {59, "recv error:104", "127.0.0.4", false, 0},
        {60, "recv error:104", "127.0.0.4", true, 3}, // the minute is over
        // The table holds three keys and none has been idle for a minute:
        // newcomers share one throttle.
        {61, "recv error:104", "127.0.0.6", true, 0},
        {61, "recv error:104", "127.0.0.7", false, 0},
        // A key idle for a minute (127.0.0.5's) makes room again.
        {62, "recv error:104", "127.0.0.8", true, 0},
        {63, "recv error:104", "127.0.0.8", false, 0},
    };
    for (const Step& s : steps) {
        int heldBack = -1;
        const bool allowed =
            throttle.allow(s.kind, s.address, t0 + std::chrono::seconds(s.second), heldBack);
        EXPECT_EQ(allowed, s.allowed) << s.second << " " << s.kind << " " << s.address;
        if (allowed) {
            EXPECT_EQ(heldBack, s.heldBack) << s.second;
        }
        EXPECT_LE(throttle.keys(), 3u);
    }
}
