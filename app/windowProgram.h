// The window lives in a program of its own, "nivra-window", so that `nivra`
// itself loads no Qt library: the switches that end without a window
// (--kml, --version, --help, --register) and headless mode start as fast as a
// small program. When the window is wanted, `nivra` replaces itself with the
// window program (same process, same arguments, same start directory).
#pragma once

#include <string>
#include <vector>

class CtestApp;

// The places the window program is looked for, in order, given the path of
// the running program: beside it (a build tree), then where the installation
// puts it relative to the program's directory (`installedRelative`, for
// example "../libexec/nivra/nivra-window").
std::vector<std::string> windowProgramCandidates(const std::string& selfPath,
                                                 const std::string& installedRelative);

// The front end of the `nivra` program: execs the first window program found
// with the same arguments. Returns only when none could be started; it then
// says why on stderr and runs headless instead.
int startWindowProgram(CtestApp& app, int argc, char** argv);
