// The start directory and the placement of bare file names in it.
#pragma once

#include <string>

// The directory that was current when the program started, or the one given
// with --dir. Set once before any worker thread exists.
extern std::string g_startDir;

// Captures the current directory as the start directory (or `dir` when given).
void setStartDir(const std::string& dir = std::string());

// A name with none of ':', '\\' and '/' lives in the start directory; any
// other name is used unchanged.
std::string FullPath(const std::string& name);
