// A write that the system cuts short (a full disk, a file size limit) must
// leave the old file as it was and no temporary file beside it, for every
// file the program replaces whole. The limit is set in a child process
// (RLIMIT_FSIZE), so the write really fails half way.
#include "platform/atomicFile.h"
#include "platform/registry.h"
#include "track/track.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class Scratch {
public:
    Scratch() {
        std::string tmpl = (fs::temp_directory_path() / "nivra-fsize-XXXXXX").string();
        if (::mkdtemp(tmpl.data()))
            m_path = tmpl;
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    std::vector<std::string> entries() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(m_path))
            out.push_back(e.path().filename().string());
        return out;
    }

private:
    std::string m_path;
};

// Runs `write` in a child whose files may grow to `limit` bytes at most; its
// result (true: written) as the child's exit status. -1 when the child did
// not end normally (a signal: SIGXFSZ must not end the program).
int inChildLimitedTo(rlim_t limit, const std::function<bool()>& write) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN); // the write then fails with EFBIG
        const rlimit r{limit, limit};
        if (::setrlimit(RLIMIT_FSIZE, &r) != 0)
            ::_exit(3);
        ::_exit(write() ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace

TEST(FailedWrite, AWholeFileReplacementCutShortLeavesTheOldFile) {
    struct Case {
        size_t newBytes;
        rlim_t limit;
        bool written;
    };
    const Case cases[] = {
        {4096, 4096, true},  // exactly at the limit
        {4097, 4096, false}, // one byte over it
        {1 << 20, 65536, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.newBytes);
        Scratch dir;
        const std::string path = dir.file("doc.kml");
        std::string error;
        ASSERT_TRUE(writeFileAtomically(path, "old document\n", error)) << error;
        const std::string text(c.newBytes, 'n');
        const int status = inChildLimitedTo(c.limit, [&] {
            std::string why;
            const bool ok = writeFileAtomically(path, text, why);
            // A failure must say so, naming the write.
            return ok || why.find("cannot write") == std::string::npos ? ok : false;
        });
        ASSERT_GE(status, 0) << "the child was ended by a signal";
        EXPECT_EQ(status == 0, c.written);
        EXPECT_EQ(readFile(path), c.written ? text : "old document\n");
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"doc.kml"}) << "no temporary file left";
    }
}

TEST(FailedWrite, TrackFilesAndTheRegistryCutShortLeaveTheOldFile) {
    // A track file is 1,612,828 bytes long whatever it holds (mostly a hole):
    // a limit below that refuses it even with one point.
    struct Case {
        const char* what;
        rlim_t limit;
        bool written;
    };
    const Case trackCases[] = {
        {"a limit of the whole layout", static_cast<rlim_t>(kTrackFileSize), true},
        {"one byte less", static_cast<rlim_t>(kTrackFileSize - 1), false},
        {"a limit inside the points", 4096, false},
    };
    for (const Case& c : trackCases) {
        SCOPED_TRACE(c.what);
        Scratch dir;
        const std::string path = dir.file("t.trk");
        CTrack old;
        GpsFix f;
        f.lat = 48;
        f.lon = 11;
        f.time = 1700000000;
        old.add(f, 2);
        ASSERT_TRUE(old.save(path));
        const std::string before = readFile(path);
        CTrack bigger;
        for (int i = 0; i < 200; ++i) {
            f.lat = 40 + i * 1e-3;
            f.time = 1700000000 + i;
            bigger.add(f, 2);
        }
        const int status = inChildLimitedTo(c.limit, [&] { return bigger.save(path); });
        ASSERT_GE(status, 0) << "the child was ended by a signal";
        EXPECT_EQ(status == 0, c.written);
        CTrack back;
        ASSERT_TRUE(back.load(path));
        EXPECT_EQ(back.pointCount(), c.written ? 200 : 1);
        if (!c.written) {
            EXPECT_EQ(readFile(path), before);
        }
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"t.trk"});
    }

    Scratch dir;
    const std::string path = dir.file("registry.reg");
    {
        RegistryStore reg(path);
        RegTransaction tx(reg);
        ASSERT_EQ(tx.createKey("Software\\Nivra"), 0);
        ASSERT_EQ(tx.setString("Software\\Nivra", "Name", "Me@localhost"), 0);
        ASSERT_EQ(tx.commit(), 0);
    }
    const std::string before = readFile(path);
    const int status = inChildLimitedTo(before.size() + 16, [&] {
        RegistryStore reg(path);
        RegTransaction tx(reg);
        return tx.createKey("Software\\Nivra") == 0 &&
               tx.setString("Software\\Nivra", "Big", std::string(4096, 'b')) == 0 &&
               tx.commit() == 0;
    });
    ASSERT_GE(status, 0);
    EXPECT_NE(status, 0) << "the registry file did not fit";
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"registry.reg"});
}
