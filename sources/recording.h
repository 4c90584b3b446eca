// Recording the local receiver to NMEA logs (".nme": one sentence per line, as
// received). Either one stretch, from the Record control to stop recording,
// or continuously, with a new file each day and after every pause of more than
// ten minutes between fixes.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

// A gap between two fixes longer than this starts a new continuous log.
constexpr int64_t kLogPauseSeconds = 600;
// "_MMDDYY_hhmmss.nme": the last 17 characters of every log name.
constexpr size_t kLogNameTail = 17;
// "MMDDYY_": the date part at the start of that tail.
constexpr size_t kLogNameDatePart = 7;

// "<uName>_MMDDYY_hhmmss.nme" of the local time `now` (year - 2000). Path
// separators in the user name become '.', so the log always lands in the
// start directory.
std::string makeLogName(const std::string& uName, time_t now);

// The recording of the local receiver's lines. The program has one, built by
// the composition root: the options dialog drives it on the user-interface
// thread, the line intake hands it every accepted line on the serial reader's
// and the tracker port's threads; one lock keeps its state whole.
class CRecording {
public:
    // The Record control. Nothing happens while recording is already on or
    // when the control is not ticked; otherwise recording starts into a new,
    // empty log named for `uName` (the local vehicle). Returns the recording
    // status line (empty when nothing happened); `started` gets the new log's
    // name (the dialog makes it LogFile when none is chosen, so Play plays it).
    std::string start(const std::string& uName, bool recordTicked, time_t now,
                      std::string* started = nullptr);
    // Stops recording; returns "Recorded: <file>".
    std::string stop();
    // Switches continuous logging (ContinuousLog) on or off; switching it on
    // ends a one-stretch recording. Returns the status line ("Continuous
    // Logging" or empty).
    std::string setContinuous(bool on);

    // Appends one accepted line of the local receiver to the current log when
    // recording or continuous logging is on. `fixTime` is the local vehicle's
    // fix time after the line was parsed; `uName` names new continuous logs.
    void appendLine(std::string_view line, const std::string& uName, int64_t fixTime, time_t now);

    bool recording() const;
    bool continuous() const;
    // The log of the one-stretch recording (empty before the first).
    std::string recordFileName() const;
    // The log the next line goes to (empty before the first line).
    std::string currentLogName() const;

private:
    mutable std::mutex m_mutex;
    bool m_recording = false;
    bool m_continuous = false;
    std::string m_recordFileName;
    std::string m_currentName;
    int64_t m_lastLoggedTime = 0; // fix time of the last logged line
};
