// Converting a recorded NMEA log into one standalone KML document, for users
// who want to share a trip: `nivra --kml LOG.nme [-o OUT.kml|OUT.gpx|-] [--all-points]`.
// The log is played into a playback vehicle as fast as it can be read (no
// pacing), the track keeps up to the ring's 28800 newest points, compressed
// as a live vehicle's track is unless --all-points asks for every fix, and the
// vehicle is written as a one-vehicle document. The log is read and parsed on
// a second thread while the first hands the fixes to the track.
#pragma once

#include "history/historyPoint.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

struct KmlConversion {
    int64_t lines = 0;    // lines read from the log
    int64_t fixes = 0;    // complete fixes offered to the track
    int64_t appended = 0; // points appended (compressed fixes overwrite the newest)
    int points = 0;       // points in the document
};

// The output name that means standard output.
inline constexpr const char* kStandardOutput = "-";

// Plays `logPath` (bare names live in the start directory) and writes the
// document to `outPath` through a temporary file renamed into place. Returns
// false with `error` set when the log cannot be read, gives no valid fix (no
// file is written then) or the document cannot be written.
bool convertLogToKml(const std::string& logPath, const std::string& outPath, bool allPoints,
                     KmlConversion& stats, std::string& error);
// Whether the log is read ahead on a second thread (`automatic`: yes, unless
// the trace listens, the log is a file of one read block (64 KiB) or no
// thread can be started) or on the caller's alone.
// The result is the same either way.
enum class LogReadAhead { automatic, none };

// The same, the document left in `kml` instead of a file.
bool logToKmlText(const std::string& logPath, bool allPoints, KmlConversion& stats,
                  std::string& kml, std::string& error,
                  LogReadAhead readAhead = LogReadAhead::automatic);

// Plays the log and gives every point the track takes, oldest first, with
// UTC times (the whole log, not only the ring's newest points): for GPX
// and for loading a log into the history. False as logToKmlText, and for a
// log of more than kLogFixesMax points (which would not fit in memory).
constexpr size_t kLogFixesMax = 5000000;
bool logToFixes(const std::string& logPath, bool allPoints, KmlConversion& stats,
                std::vector<HistoryFix>& fixes, std::string& error,
                LogReadAhead readAhead = LogReadAhead::automatic);

// Why the document cannot go to `outPath`, or empty: the name must end in
// ".kml" or ".gpx" (any case, GPX 1.1 with times), or be "-" for standard
// output (KML).
std::string kmlOutputProblem(const std::string& outPath);

// The output name when none is given: the log's name with ".kml" in place of
// its extension.
std::string defaultKmlName(const std::string& logPath);

// True when the command line asks for the conversion (it holds "--kml").
bool isKmlCommand(int argc, const char* const* argv);
// Runs `--kml LOG [-o OUT|-] [--all-points]` (other arguments are refused)
// and returns the process exit status: 0 done, 1 the log (no valid fix
// included) or the output failed, 2 a usage error (an output that is not
// KML too). The summary goes to `out`, problems to `err`; with "-o -" the
// document goes to `out` and the summary to `err`.
int kmlCommand(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
