#include "trace/trace.h"

#include "trace/journal.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sys/time.h>
#include <unistd.h>

std::atomic<int> traceDetail::g_listeners{0};

namespace {

// Registration happens on the main thread; delivery reads the table without a
// lock, so entries are atomics and the count only grows or shrinks by one.
std::atomic<TraceObserver*> g_sinks[kMaxTraceSinks];
std::atomic<int> g_sinkCount{0};
std::mutex g_registerMutex;

void noSink(int, const char*, void*) {}
TraceObserver g_defaultSink{noSink, nullptr, 1};

struct DefaultSinkInstaller {
    DefaultSinkInstaller() { registerTraceSink(&g_defaultSink); }
} g_installDefault;

const char* baseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '/' || *p == '\\')
            base = p + 1;
    }
    return base;
}

// Formats the message alone (at most kTraceLineMax - 1 characters).
void formatMessage(char* msg, const char* fmt, va_list args) {
    if (vsnprintf(msg, kTraceLineMax, fmt, args) < 0)
        msg[0] = 0;
}

// Builds the whole line into `out` (at most kTraceLineMax characters): the
// header when the site asks for one, the message with CRLF line ends.
size_t buildLine(char* out, const TraceSite& site, const char* msg) {
    size_t len = 0;
    const size_t cap = kTraceLineMax; // characters, plus room for the terminator in `out`
    auto put = [&](char c) {
        if (len < cap)
            out[len++] = c;
    };
    auto puts = [&](const char* s) {
        while (*s)
            put(*s++);
    };

    if (site.header) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        struct tm lt;
        time_t secs = tv.tv_sec;
        localtime_r(&secs, &lt);
        char head[128];
        snprintf(head, sizeof head, "%02d:%02d:%02d:%03ld[%d] ", lt.tm_hour, lt.tm_min, lt.tm_sec,
                 static_cast<long>(tv.tv_usec / 1000), static_cast<int>(gettid()));
        puts(head);
        const char* func = site.func ? site.func : "";
        if (site.pretty)
            func = traceFunctionName(func);
        char loc[512];
        if (strstr(func, "::"))
            snprintf(loc, sizeof loc, "%s(%d) ", func, site.line);
        else
            snprintf(loc, sizeof loc, "%s:%s(%d) ", baseName(site.file ? site.file : ""), func,
                     site.line);
        puts(loc);
    }
    for (const char* p = msg; *p; ++p) {
        if (*p == '\n')
            put('\r');
        put(*p);
    }
    if (site.header && (len == 0 || out[len - 1] != '\n')) {
        // keep room for the line end even when the message filled the line
        if (len > cap - 2)
            len = cap - 2;
        out[len++] = '\r';
        out[len++] = '\n';
    }
    out[len] = 0;
    return len;
}

std::atomic<bool> g_debugRegistered{false};
std::atomic<bool> g_debugFresh{true}; // the file is emptied at the first switch
std::atomic<bool> g_debugOn{false};
std::mutex g_debugPathMutex;
std::string g_debugPath = "nivraDebug.log";

std::string debugLogPath() {
    std::lock_guard<std::mutex> lock(g_debugPathMutex);
    return g_debugPath;
}

void debugFileSink(int, const char* line, void*) {
    std::string path = debugLogPath();
    FILE* f = fopen(path.c_str(), "ab");
    if (!f)
        return; // a sink that cannot open the file drops the line
    fputs(line, f);
    fclose(f);
}
TraceObserver g_debugSink{debugFileSink, nullptr, 1};

} // namespace

const char* traceFunctionName(const char* pretty) {
    thread_local char buf[256];
    if (!pretty)
        return "";
    // Cut at the parameter list, then drop the return type and qualifiers
    // before the last blank outside template brackets.
    const char* end = strchr(pretty, '(');
    if (!end)
        end = pretty + strlen(pretty);
    const char* start = pretty;
    int depth = 0;
    for (const char* p = pretty; p < end; ++p) {
        if (*p == '<')
            ++depth;
        else if (*p == '>')
            --depth;
        else if (*p == ' ' && depth == 0)
            start = p + 1;
    }
    size_t n = static_cast<size_t>(end - start);
    if (n >= sizeof buf)
        n = sizeof buf - 1;
    memcpy(buf, start, n);
    buf[n] = 0;
    return buf;
}

namespace {
std::mutex g_stderrMutex;
// Bare while stderr goes to the journal: the line is the message behind its
// priority; else the log file's line without its carriage returns.
void stderrSink(int severity, const char* line, void*);
TraceObserver g_stderrSink{stderrSink, nullptr, 1};

// Warnings and errors go to stderr; under the journal, while the debug log is
// on, the information lines too (as debug output, which the journal keeps
// apart): a service's user reads the journal, not a file in its state folder.
bool stderrTakes(int severity) {
    if (severity == kTraceNotice)
        return false;
    return severity >= kTraceWarning || (g_stderrSink.bare && g_debugOn);
}

void stderrSink(int severity, const char* line, void*) {
    if (!stderrTakes(severity))
        return;
    const std::string text = stderrLines(journalPriority(severity), line);
    std::lock_guard<std::mutex> lock(g_stderrMutex);
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}
} // namespace

// True when some enabled sink would see the line. The default sink discards
// everything, so while it is alone the line need not be built at all: the
// parsers and the track store log several lines per fix, and a log of a day's
// fixes converts many times faster without formatting them for nobody.
// The stderr copy takes warnings and errors only (but see stderrTakes), so
// information lines are not built for it either.
static bool anySinkListens(int severity) {
    int count = g_sinkCount.load();
    for (int i = 0; i < count; ++i) {
        TraceObserver* s = g_sinks[i].load();
        if (s && s->enabled && s->handler && s->handler != noSink &&
            (s != &g_stderrSink || stderrTakes(severity)))
            return true;
    }
    return false;
}

// The program's error messages that predate severities.
static int severityOf(const TraceSite& site, const char* fmt) {
    if (site.severity != kTraceInfo)
        return site.severity;
    if (std::strncmp(fmt, "ERROR", 5) == 0 || std::strstr(fmt, "Unhandled exception"))
        return kTraceError;
    return kTraceInfo;
}

void trace(const TraceSite& site, const char* fmt, ...) {
    const int severity = severityOf(site, fmt ? fmt : "");
    if (!anySinkListens(severity))
        return;
    char msg[kTraceLineMax];
    va_list args;
    va_start(args, fmt);
    formatMessage(msg, fmt, args);
    va_end(args);
    char line[kTraceLineMax + 1];
    bool built = false;
    int count = g_sinkCount.load();
    for (int i = 0; i < count; ++i) {
        TraceObserver* s = g_sinks[i].load();
        if (!s || !s->enabled || !s->handler)
            continue;
        if (s->bare) {
            s->handler(severity, msg, s->context);
            continue;
        }
        if (!built) {
            buildLine(line, site, msg);
            built = true;
        }
        s->handler(severity, line, s->context);
    }
}

std::string formatTraceLine(const TraceSite& site, const char* fmt, ...) {
    char msg[kTraceLineMax];
    va_list args;
    va_start(args, fmt);
    formatMessage(msg, fmt, args);
    va_end(args);
    char line[kTraceLineMax + 1];
    size_t n = buildLine(line, site, msg);
    return std::string(line, n);
}

namespace {

// The listeners are the registered sinks (besides the silent default) that
// are switched on: a sink registered but off (the debug file after the user
// turned it off) must not make every line be worked out. Called under
// g_registerMutex.
void recountListeners() {
    int listening = 0;
    const int count = g_sinkCount.load();
    for (int i = 0; i < count; ++i) {
        const TraceObserver* s = g_sinks[i].load();
        listening += s && s != &g_defaultSink && s->enabled.load() != 0;
    }
    traceDetail::g_listeners = listening;
}

} // namespace

bool registerTraceSink(TraceObserver* sink) {
    std::lock_guard<std::mutex> lock(g_registerMutex);
    int count = g_sinkCount.load();
    for (int i = 0; i < count; ++i)
        if (g_sinks[i].load() == sink)
            return false;
    if (count >= kMaxTraceSinks)
        return false;
    g_sinks[count].store(sink);
    g_sinkCount.store(count + 1);
    recountListeners();
    return true;
}

void unregisterTraceSink(TraceObserver* sink) {
    std::lock_guard<std::mutex> lock(g_registerMutex);
    int count = g_sinkCount.load();
    for (int i = 0; i < count; ++i) {
        if (g_sinks[i].load() == sink) {
            for (int j = i; j + 1 < count; ++j)
                g_sinks[j].store(g_sinks[j + 1].load());
            g_sinks[count - 1].store(nullptr);
            g_sinkCount.store(count - 1);
            recountListeners();
            return;
        }
    }
}

void enableTraceSink(TraceObserver* sink, int on) {
    if (!sink)
        return;
    std::lock_guard<std::mutex> lock(g_registerMutex);
    sink->enabled = on;
    recountListeners();
}

void setDebugLogging(bool on) {
    if (g_debugFresh.exchange(false)) {
        // first switch after start (or after naming the file): empty it
        std::string path = debugLogPath();
        if (FILE* f = fopen(path.c_str(), "wb"))
            fclose(f);
    }
    if (!g_debugRegistered.exchange(true))
        registerTraceSink(&g_debugSink);
    enableTraceSink(&g_debugSink, on ? 1 : 0);
    g_debugOn = on;
}

void setDebugLogFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_debugPathMutex);
    g_debugPath = path;
    g_debugFresh = true;
}

bool debugLoggingOn() {
    return g_debugOn.load();
}

void setTraceToStderr(bool on) {
    if (on) {
        g_stderrSink.bare = detectStderrJournal();
        registerTraceSink(&g_stderrSink);
    } else {
        unregisterTraceSink(&g_stderrSink);
    }
}
