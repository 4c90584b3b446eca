// Problems the user has to hear about, each once: a damaged file moved aside,
// a save that failed. Every notice is also an error line of the trace log (so
// headless mode prints it on stderr); the window shows the waiting notices on
// its status line.
#pragma once

#include <string>
#include <vector>

// Thread-safe. `where` names the reporting function for the trace log.
void noticeUser(const char* where, const std::string& text);
// The notices not yet shown, oldest first; they are then gone.
std::vector<std::string> takeUserNotices();
