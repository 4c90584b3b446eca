// stderr as the systemd journal reads it. systemd hands a service a stream
// into the journal as stdout and stderr and names it in JOURNAL_STREAM
// ("DEVICE:INODE" of that stream). A line there may begin with "<N>", the
// syslog priority of the line, and needs no time stamp of its own: the
// journal keeps one for every line.
#pragma once

#include <string>

constexpr int kJournalError = 3;
constexpr int kJournalWarning = 4;
constexpr int kJournalInfo = 6;
constexpr int kJournalDebug = 7;

// True when `journalStream` ("DEVICE:INODE", decimal) names the file that
// `fd` is open on. A value inherited by a program whose stderr now goes
// elsewhere (a child with its stderr redirected) names another file.
bool journalStreamIs(const char* journalStream, int fd);

// Whether stderr goes to the journal: JOURNAL_STREAM compared with stderr,
// looked at the first time and again after detectStderrJournal().
bool stderrIsJournal();
// Looks again (after stderr or the environment changed) and returns it.
bool detectStderrJournal();

// The journal priority of a trace log severity (kTraceError errors, notices
// to the user and kTraceWarning warnings, information lines debug output).
int journalPriority(int traceSeverity);

// "<N>" for `priority` while stderr goes to the journal, else "".
const char* stderrPrefix(int priority);

// `text` as lines for stderr: with the prefix in front of every line while
// stderr goes to the journal (a line without one would be filed as
// information), carriage returns dropped, ending in one line end.
std::string stderrLines(int priority, const std::string& text);
