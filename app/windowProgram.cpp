#include "app/windowProgram.h"

#include "app/headless.h"
#include "app/testApp.h"
#include "trace/journal.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

// Where the installation puts the window program, relative to the directory
// of `nivra` (the build sets it from the install directories).
#ifndef NIVRA_WINDOW_INSTALLED
#define NIVRA_WINDOW_INSTALLED "../libexec/nivra/nivra-window"
#endif

namespace {
constexpr const char* kWindowProgram = "nivra-window";
} // namespace

std::vector<std::string> windowProgramCandidates(const std::string& selfPath,
                                                 const std::string& installedRelative) {
    std::vector<std::string> out;
    // Only next to a program whose whole path is known: a bare name would
    // look in the current directory, which anyone may have filled.
    const std::filesystem::path self(selfPath);
    if (!self.is_absolute())
        return out;
    const std::filesystem::path dir = self.parent_path();
    out.push_back((dir / kWindowProgram).string());
    if (!installedRelative.empty())
        out.push_back((dir / installedRelative).lexically_normal().string());
    return out;
}

int startWindowProgram(CtestApp& app, int /*argc*/, char** argv) {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    std::string why = "the running program's path is unknown";
    const std::vector<std::string> candidates =
        windowProgramCandidates(ec ? std::string() : self.string(), NIVRA_WINDOW_INSTALLED);
    if (!candidates.empty())
        why = "no " + std::string(kWindowProgram) + " beside it or in " + candidates.back();
    for (const std::string& path : candidates) {
        if (::access(path.c_str(), X_OK) != 0)
            continue;
        // Nothing written so far may be lost or doubled by the exec.
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
        ::execv(path.c_str(), argv);
        why = "cannot start " + path + ": " + std::strerror(errno);
        break;
    }
    std::cerr << stderrLines(kJournalWarning,
                             "nivra: the window is not available (" + why + "); running headless");
    if (!app.enterStartDirectory())
        return 2;
    return runHeadless(app.commandLine());
}
