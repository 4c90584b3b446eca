#include "sources/recording.h"

#include "app/OptionsDlg.h"
#include "platform/paths.h"
#include "remote/client.h"
#include "trace/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

// The intake's log state. Lines arrive on the serial reader's thread and the
// tracker port's thread while the dialog switches recording on the user
// interface thread, so the state and the recording members of the settings
// are read and written under this lock.
struct LogState {
    std::mutex mutex;
    std::string currentName;
    int64_t lastLoggedTime = 0; // fix time of the last logged line
};

LogState& logState() {
    static LogState state;
    return state;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

bool sameDatePart(const std::string& current, const std::string& candidate) {
    if (current.size() < kLogNameTail || candidate.size() < kLogNameTail)
        return false;
    return current.compare(current.size() - kLogNameTail, kLogNameDatePart, candidate,
                           candidate.size() - kLogNameTail, kLogNameDatePart) == 0;
}

} // namespace

std::string makeLogName(const std::string& uName, time_t now) {
    struct tm local {};
    localtime_r(&now, &local);
    std::string user = uName;
    for (char& c : user)
        if (c == '/' || c == '\\' || c == ':')
            c = '.';
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "_%02d%02d%02d_%02d%02d%02d.nme", local.tm_mon + 1,
                  local.tm_mday, (local.tm_year + 1900 - 2000) % 100, local.tm_hour, local.tm_min,
                  local.tm_sec);
    return user + stamp;
}

std::string makeLogName() {
    CClient* local = theClients().localVehicle();
    return makeLogName(local ? local->uName : theOptions().uName, time(nullptr));
}

std::string recordStart(COptionsDlg& opt, bool recordTicked, time_t now) {
    CClient* local = theClients().localVehicle();
    std::string name = makeLogName(local ? local->uName : opt.uName, now);
    {
        std::lock_guard<std::mutex> lock(logState().mutex);
        if (opt.recording || !recordTicked)
            return std::string();
        opt.recording = 1;
        opt.recordFileName = name;
    }
    // Create the log empty now, so that it exists (and can be chosen for
    // playback) even before the first line arrives.
    FilePtr f(std::fopen(FullPath(name).c_str(), "w+"));
    if (!f)
        NTRACE_AS("COptionsDlg::OnBnClickedRecord", "open:%s", std::strerror(errno));
    if (opt.LogFile.empty())
        opt.LogFile = name;
    return "Recording: " + name;
}

std::string recordStart(COptionsDlg& opt, bool recordTicked) {
    return recordStart(opt, recordTicked, time(nullptr));
}

std::string recordStop(COptionsDlg& opt) {
    std::lock_guard<std::mutex> lock(logState().mutex);
    opt.recording = 0;
    return "Recorded: " + opt.recordFileName;
}

std::string setContinuousLogging(COptionsDlg& opt, bool on) {
    LogState& state = logState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (on) {
        opt.recording = 0;
        state.lastLoggedTime = 0;
        opt.ContinuousLog = 1;
        return "Continuous Logging";
    }
    opt.ContinuousLog = 0;
    return std::string();
}

void appendLogLine(COptionsDlg& opt, std::string_view line, const std::string& uName,
                   int64_t fixTime, time_t now) {
    LogState& state = logState();
    std::string path;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!opt.recording && !opt.ContinuousLog)
            return;
        if (opt.ContinuousLog) {
            std::string candidate = makeLogName(uName, now);
            if (!sameDatePart(state.currentName, candidate)) {
                state.currentName = candidate;
            } else if (!state.currentName.empty() &&
                       fixTime > state.lastLoggedTime + kLogPauseSeconds) {
                // A fix earlier than the last logged one is not a pause.
                state.currentName = candidate;
            }
            state.lastLoggedTime = fixTime;
        } else {
            state.currentName = opt.recordFileName;
        }
        path = FullPath(state.currentName);
    }
    FilePtr f(std::fopen(path.c_str(), "a"));
    if (!f) {
        NTRACE("open:%s", std::strerror(errno));
        return;
    }
    bool written = std::fwrite(line.data(), 1, line.size(), f.get()) == line.size() &&
                   std::fputc('\n', f.get()) != EOF;
    if (std::fclose(f.release()) != 0)
        written = false;
    if (!written)
        NTRACE("write:%s", std::strerror(errno));
}

void appendLogLine(std::string_view line) {
    COptionsDlg& opt = theOptions();
    CClient* local = theClients().localVehicle();
    std::string uName = local ? local->uName : opt.uName;
    int64_t fixTime = local ? local->curPos.time : 0;
    appendLogLine(opt, line, uName, fixTime, time(nullptr));
}

std::string currentLogName() {
    std::lock_guard<std::mutex> lock(logState().mutex);
    return logState().currentName;
}

void resetLogState() {
    std::lock_guard<std::mutex> lock(logState().mutex);
    logState().currentName.clear();
    logState().lastLoggedTime = 0;
}
