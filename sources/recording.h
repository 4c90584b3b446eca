// Recording the local receiver to NMEA logs (".nme": one sentence per line, as
// received). Either one stretch, from the Record control to stop recording,
// or continuously, with a new file each day and after every pause of more than
// ten minutes between fixes. The line intake hands every accepted line of the
// local receiver to appendLogLine; the options dialog drives the rest.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

class COptionsDlg;

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
// The same for the local vehicle at the present moment.
std::string makeLogName();

// The Record control. Nothing happens while recording is already on or when
// the control is not ticked; otherwise recording starts into a new, empty log
// (which also becomes LogFile when none is chosen, so Play plays it).
// Returns the recording status line (empty when nothing happened).
std::string recordStart(COptionsDlg& opt, bool recordTicked, time_t now);
std::string recordStart(COptionsDlg& opt, bool recordTicked);
// Stops recording; returns "Recorded: <file>".
std::string recordStop(COptionsDlg& opt);
// Switches continuous logging (ContinuousLog) on or off; switching it on ends
// a one-stretch recording. Returns the status line ("Continuous Logging" or
// empty). The dialog unticks Record and disables the Record controls while on.
std::string setContinuousLogging(COptionsDlg& opt, bool on);

// Appends one accepted line of the local receiver to the current log when
// recording or continuous logging is on. `fixTime` is the local vehicle's fix
// time after the line was parsed; `uName` names new continuous logs.
void appendLogLine(COptionsDlg& opt, std::string_view line, const std::string& uName,
                   int64_t fixTime, time_t now);
// The line intake's hook: the settings object, the local vehicle and the clock.
void appendLogLine(std::string_view line);

// The log the next line goes to (empty before the first line).
std::string currentLogName();
// Forgets the current log and the last logged fix time (the program starts so).
void resetLogState();
