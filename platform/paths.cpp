#include "platform/paths.h"

#include <climits>
#include <unistd.h>

std::string g_startDir;

namespace {
constexpr size_t kStartDirMax = 512;
}

void setStartDir(const std::string& dir) {
    if (!dir.empty()) {
        g_startDir = dir.substr(0, kStartDirMax - 1);
    } else {
        char buf[PATH_MAX];
        g_startDir = getcwd(buf, sizeof buf) ? std::string(buf).substr(0, kStartDirMax - 1) : ".";
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
