#include "sources/recording.h"

#include "platform/paths.h"
#include "trace/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

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

std::string CRecording::start(const std::string& uName, bool recordTicked, time_t now,
                              std::string* started) {
    std::string name = makeLogName(uName, now);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_recording || !recordTicked)
            return std::string();
        m_recording = true;
        m_recordFileName = name;
    }
    // Create the log empty now, so that it exists (and can be chosen for
    // playback) even before the first line arrives.
    FilePtr f(std::fopen(FullPath(name).c_str(), "w+"));
    if (!f)
        NTRACE_AS("COptionsDlg::OnBnClickedRecord", "open:%s", std::strerror(errno));
    if (started)
        *started = name;
    return "Recording: " + name;
}

std::string CRecording::stop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_recording = false;
    return "Recorded: " + m_recordFileName;
}

std::string CRecording::setContinuous(bool on) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (on) {
        m_recording = false;
        m_lastLoggedTime = 0;
        m_continuous = true;
        return "Continuous Logging";
    }
    m_continuous = false;
    return std::string();
}

void CRecording::appendLine(std::string_view line, const std::string& uName, int64_t fixTime,
                            time_t now) {
    std::string path;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_recording && !m_continuous)
            return;
        if (m_continuous) {
            std::string candidate = makeLogName(uName, now);
            if (!sameDatePart(m_currentName, candidate)) {
                m_currentName = candidate;
            } else if (!m_currentName.empty() && fixTime > m_lastLoggedTime + kLogPauseSeconds) {
                // A fix earlier than the last logged one is not a pause.
                m_currentName = candidate;
            }
            m_lastLoggedTime = fixTime;
        } else {
            m_currentName = m_recordFileName;
        }
        path = FullPath(m_currentName);
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

bool CRecording::recording() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_recording;
}

bool CRecording::continuous() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_continuous;
}

std::string CRecording::recordFileName() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_recordFileName;
}

std::string CRecording::currentLogName() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_currentName;
}
