// The start directory and the placement of bare file names in it.
#pragma once

#include <string>

// The directory that was current when the program started, or the one given
// with --dir. Set once before any worker thread exists.
extern std::string g_startDir;

// Captures the current directory as the start directory (or `dir` when given).
void setStartDir(const std::string& dir = std::string());
// The process's current directory ("." when it cannot be read).
std::string currentDirectory();

// A name with none of ':', '\\' and '/' lives in the start directory; any
// other name is used unchanged.
std::string FullPath(const std::string& name);

// The base of the user's data files: XDG_DATA_HOME when it is an absolute
// path, else $HOME/.local/share; empty when neither is set.
std::string dataHomeDir();
