// `nivra` with a display: the window program replaces it (same process), and
// a `nivra` whose window program is missing says so and runs headless.
#include "nivraProcess.h"

#include "common/shellRun.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace itest;
namespace fs = std::filesystem;

namespace {

std::string shellWord(const std::string& s) {
    std::string q = "'";
    q += s;
    q += '\'';
    return q;
}

// Starts `program` on Qt's offscreen display, waits (polling, up to 60 s) for
// `ready` in its output, prints the program behind its process, ends it
// with SIGTERM and prints its exit status.
ShellOutcome runWithDisplay(const std::string& program, const TempDir& dir,
                            const std::string& ready) {
    const std::string out = shellWord(dir.file("out.txt"));
    std::string script = "cd " + shellWord(dir.path()) + " && export QT_QPA_PLATFORM=offscreen" +
                         " NIVRA_REGISTRY=" + shellWord(dir.file("registry.reg")) +
                         " HOME=" + shellWord(dir.path()) +
                         " XDG_RUNTIME_DIR=" + shellWord(dir.path()) +
                         "; unset DISPLAY WAYLAND_DISPLAY; ";
    script += shellWord(program) + " --dir " + shellWord(dir.path()) + " --bind " +
              uniqueLoopbackAddress() + " --earth none >" + out + " 2>&1 & pid=$!; ";
    script += "for i in $(seq 600); do grep -q " + shellWord(ready) + " " + out +
              " && break; kill -0 $pid 2>/dev/null || break; sleep 0.1; done; ";
    script += "echo \"exe=$(readlink /proc/$pid/exe)\"; kill -TERM $pid; wait $pid; "
              "echo \"status=$?\"; cat " +
              out;
    return runShell(script);
}

} // namespace

TEST(WindowProgram, WithADisplayTheWindowProgramRunsOrHeadlessModeSaysWhy) {
    const fs::path built = NIVRA_EXE;
    struct Case {
        const char* what;
        bool alone;         // nivra copied to a directory of its own
        const char* ready;  // the start-up line to wait for
        const char* notice; // what nivra says on stderr, or ""
    };
    const std::vector<Case> cases = {
#ifdef NIVRA_WINDOW_EXE
        {"beside its window program", false, "is running in its window", ""},
#endif
        {"without its window program", true, "is running without a window",
         "nivra: the window is not available (no nivra-window beside it or in "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string program = built.string();
        if (c.alone) {
            fs::create_directories(dir.file("bin"));
            program = dir.file("bin/nivra");
            fs::copy_file(built, program);
        }
        const ShellOutcome r = runWithDisplay(program, dir, c.ready);
        EXPECT_NE(r.output.find(c.ready), std::string::npos) << r.output;
        const std::string exe = c.alone ? program : (built.parent_path() / "nivra-window").string();
        EXPECT_NE(r.output.find("exe=" + exe + "\n"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("status=0"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(c.notice), std::string::npos) << r.output;
        if (c.alone) {
            EXPECT_NE(r.output.find("); running headless"), std::string::npos) << r.output;
        }
    }
}
