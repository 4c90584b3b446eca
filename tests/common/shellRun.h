// Running a real program from a test (ogrinfo, xmllint, a Python server's
// helpers) and collecting what it printed.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>

struct ShellOutcome {
    int status = -1; // exit status, -1 when the command did not end normally
    std::string output;
};

// Runs `command` through the shell with stderr joined to stdout.
inline ShellOutcome runShell(const std::string& command) {
    ShellOutcome r;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
        r.output.append(buf, n);
    const int raw = ::pclose(pipe);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return r;
}

// ogrinfo (GDAL's KML reader) listing every feature of a KML file; status 0
// and no "ERROR" mean the document parsed.
inline ShellOutcome ogrinfoKml(const std::string& path) {
    return runShell("ogrinfo --config GDAL_SKIP LIBKML -ro -al '" + path + "'");
}
