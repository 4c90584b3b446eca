#include "platform/paths.h"

#include <climits>
#include <unistd.h>

std::string g_startDir;

void setStartDir(const std::string& dir) {
    // The whole path: a directory cut short would put every track file, log
    // and snapshot somewhere else (or nowhere).
    if (!dir.empty()) {
        g_startDir = dir;
    } else {
        char buf[PATH_MAX];
        g_startDir = getcwd(buf, sizeof buf) ? std::string(buf) : ".";
    }
    while (g_startDir.size() > 1 && g_startDir.back() == '/')
        g_startDir.pop_back();
}

std::string FullPath(const std::string& name) {
    if (name.find_first_of(":\\/") != std::string::npos)
        return name;
    if (g_startDir.empty())
        setStartDir();
    if (g_startDir == "/")
        return "/" + name;
    return g_startDir + "/" + name;
}
