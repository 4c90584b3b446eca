// Where `nivra` looks for its window program: beside itself (a build tree),
// then where the installation puts it, and nowhere when its own path is not
// a whole path.
#include "app/windowProgram.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(WindowProgram, CandidatesFollowTheProgramsOwnPlace) {
    struct Case {
        const char* self;
        const char* installed;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"/usr/bin/nivra",
         "../libexec/nivra/nivra-window",
         {"/usr/bin/nivra-window", "/usr/libexec/nivra/nivra-window"}},
        {"/home/ann/nivra/build/nivra",
         "../libexec/nivra/nivra-window",
         {"/home/ann/nivra/build/nivra-window", "/home/ann/nivra/libexec/nivra/nivra-window"}},
        {"/opt/nivra/bin/nivra",
         "/usr/local/libexec/nivra/nivra-window",
         {"/opt/nivra/bin/nivra-window", "/usr/local/libexec/nivra/nivra-window"}},
        {"/usr/bin/nivra", "", {"/usr/bin/nivra-window"}},
        // A bare or relative name would make the current directory decide
        // which program runs.
        {"nivra", "../libexec/nivra/nivra-window", {}},
        {"build/nivra", "../libexec/nivra/nivra-window", {}},
        {"", "../libexec/nivra/nivra-window", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.self);
        EXPECT_EQ(windowProgramCandidates(c.self, c.installed), c.expected);
    }
}
