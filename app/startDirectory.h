// Where a run of the tracker keeps its files (the start directory: track
// files, logs, AutoView.cfg, the debug log): the folder given with --dir, or
// $XDG_DATA_HOME/nivra (~/.local/share/nivra), either created when missing.
// Older versions kept these files in the directory they were started from
// (for a desktop launch, the home folder); such a setup is carried over to
// the new folder once, and the user is told where the files now go. Used on
// the main thread before any other thread starts.
#pragma once

#include <string>
#include <vector>

// The folder of the files when no --dir is given: `dataHome` + "/nivra";
// empty when `dataHome` is.
std::string defaultStartDirectory(const std::string& dataHome);

// Makes `dir` exist, its parents too. Folders made here are readable by the
// user only (tracks say where someone has been). False, with `error`, when it
// cannot be made or is not a folder.
bool ensureDirectory(const std::string& dir, std::string& error);

// The files an older setup left in `oldDir` that the program reads at start-up:
// "Nivra.trk", the other vehicles' track files ("*.trk") and the automatic
// view's tables. Copied to `newDir` (each replaced whole) when `oldDir` holds
// a "Nivra.trk" and `newDir` does not; files `newDir` already has are kept.
// Returns the names copied; `error` tells of a file that could not be.
std::vector<std::string> carryOverFiles(const std::string& oldDir, const std::string& newDir,
                                        std::string& error);

struct StartDirectory {
    std::string dir;    // absolute, without a trailing '/'
    std::string notice; // for the user, once: where the files now go, or empty
};

// Chooses and prepares the start directory of a run: `given` (--dir,
// relative to `cwd`), else `defaultDir`, with an older setup in `cwd`
// carried over. Without either, `cwd` itself. False, with `error`, when the
// folder cannot be made.
bool prepareStartDirectory(const std::string& given, const std::string& cwd,
                           const std::string& defaultDir, StartDirectory& out, std::string& error);
