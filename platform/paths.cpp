#include "platform/paths.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>

std::string g_startDir;

void setStartDir(const std::string& dir) {
    // The whole path: a directory cut short would put every track file, log
    // and snapshot somewhere else (or nowhere).
    g_startDir = dir.empty() ? currentDirectory() : dir;
    while (g_startDir.size() > 1 && g_startDir.back() == '/')
        g_startDir.pop_back();
}

std::string currentDirectory() {
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
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

std::string dataHomeDir() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/')
        return xdg;
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.local/share";
    return std::string();
}
