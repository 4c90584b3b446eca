// The trace log: every component reports through one call that names its
// source file, function and line. A line is formatted with an optional header
// (local time to the millisecond, thread id, location) and handed to the
// registered sinks. Only the debug-file sink writes anywhere ("nivraDebug.log"
// in the start directory), and only while the user has switched it on.
#pragma once

#include <atomic>
#include <string>

// Where a message comes from. `func` is "Class::method" for members or a plain
// function name; a plain name is shown with the source file's base name.
struct TraceSite {
    const char* file;
    const char* func;
    int line;
    int header; // 1: add header and line end; 0: pass the message on raw
    int severity = 0;
    // `func` is a __PRETTY_FUNCTION__ text, shortened by traceFunctionName
    // only when a line is really built.
    bool pretty = false;
};

namespace traceDetail {
// Sinks registered besides the silent default one. While there are none no
// line can reach anyone, and the macros below skip the call with its
// arguments: the parsers and the track store log several lines per fix.
extern std::atomic<int> g_listeners;
} // namespace traceDetail

inline bool traceMayDeliver() {
    return traceDetail::g_listeners.load(std::memory_order_relaxed) != 0;
}

// Formats one message (cut at 1024 characters) and delivers it to every
// enabled sink. Never fails.
void trace(const TraceSite& site, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Formats the line exactly as `trace` would deliver it (without delivering).
std::string formatTraceLine(const TraceSite& site, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

// Turns __PRETTY_FUNCTION__ ("void CTrack::add(const GpsFix&, int)") into the
// name the log shows ("CTrack::add"). Returns a pointer into a small
// per-thread buffer, valid until the next call on the same thread.
const char* traceFunctionName(const char* prettyFunction);

// A sink: a handler and an enable count (1 when constructed; lines are
// delivered while it is non-zero). A bare sink gets the message alone, as
// written ('\n' line ends, no header even where the call asked for one).
struct TraceObserver {
    using Handler = void (*)(int severity, const char* line, void* context);
    Handler handler = nullptr;
    void* context = nullptr;
    std::atomic<int> enabled{1};
    std::atomic<bool> bare{false};
};

constexpr int kMaxTraceSinks = 32;
constexpr int kTraceLineMax = 1024;

// Appends a sink to the fixed table of 32. Returns false when the table is full
// or the sink is already registered.
bool registerTraceSink(TraceObserver* sink);
// Removes a sink (used by tests that capture lines).
void unregisterTraceSink(TraceObserver* sink);
void enableTraceSink(TraceObserver* sink, int on);

// The debug-file sink. The first call after program start (or after the file
// was named) empties the debug log file; `on` is the sink's enable state.
void setDebugLogging(bool on);
// Where the debug log goes: the program names "nivraDebug.log" in its start
// directory once that is known (the default is that name in the current
// directory).
void setDebugLogFile(const std::string& path);
bool debugLoggingOn();

// Log with header, attributed to the calling function.
#define NTRACE(...) NTRACE_AT(1, 0, __VA_ARGS__)
// Log without header (the message text only, "\n" becoming "\r\n").
#define NTRACE_RAW(...) NTRACE_AT(0, 0, __VA_ARGS__)
// The common form: nothing is evaluated unless a sink could take the line.
#define NTRACE_AT(header, severity, ...)                                                           \
    (::traceMayDeliver()                                                                           \
         ? ::trace(::TraceSite{__FILE__, __PRETTY_FUNCTION__, __LINE__, header, severity, true},   \
                   __VA_ARGS__)                                                                    \
         : void())
// Severities: a plain line is information. Warnings and errors are what the
// user should see; headless mode copies them to stderr. Lines in the
// program's old error styles ("ERROR ...", "Unhandled exception ...") count
// as errors whichever macro logged them.
constexpr int kTraceInfo = 0;
constexpr int kTraceWarning = 1;
constexpr int kTraceError = 2;
// An error the front end shows the user itself (trace/notice.h); the stderr
// copy leaves it out so it is not printed twice.
constexpr int kTraceNotice = 3;
#define NTRACE_WARN(...) NTRACE_AT(1, kTraceWarning, __VA_ARGS__)
#define NTRACE_ERROR(...) NTRACE_AT(1, kTraceError, __VA_ARGS__)

// Copies warnings and errors to stderr (headless mode), or stops doing so.
// When stderr goes to the systemd journal (trace/journal.h) each line is the
// message alone behind its priority ("<4>" a warning, "<3>" an error): the
// journal keeps the time itself.
void setTraceToStderr(bool on);

// Log with header under an explicit function name ("CClients::save").
#define NTRACE_AS(funcName, ...) NTRACE_AS_AT(funcName, 0, __VA_ARGS__)
#define NTRACE_AS_AT(funcName, severity, ...)                                                      \
    (::traceMayDeliver()                                                                           \
         ? ::trace(::TraceSite{__FILE__, funcName, __LINE__, 1, severity}, __VA_ARGS__)            \
         : void())
