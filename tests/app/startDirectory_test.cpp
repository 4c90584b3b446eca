// Where a run keeps its files: --dir or the data folder, made when missing,
// and an older setup in the directory the program was started from carried
// over once.
#include "app/startDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

class StartDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "nivra-startdir-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        m_root = tmpl;
        fs::create_directories(m_root / "cwd");
    }
    void TearDown() override { fs::remove_all(m_root); }

    std::string path(const std::string& rel) const { return (m_root / rel).string(); }
    void put(const std::string& rel, const std::string& text) const {
        fs::create_directories((m_root / rel).parent_path());
        std::ofstream(m_root / rel, std::ios::binary) << text;
    }
    std::string text(const std::string& rel) const {
        std::ifstream in(m_root / rel, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    fs::path m_root;
};

} // namespace

TEST(StartDirectoryDefault, TheDataFolderOrNothing) {
    EXPECT_EQ(defaultStartDirectory("/home/u/.local/share"), "/home/u/.local/share/nivra");
    EXPECT_EQ(defaultStartDirectory(""), "");
}

TEST_F(StartDirectoryTest, TheChosenFolderIsMadeAndEntered) {
    struct Case {
        const char* what;
        const char* given;      // --dir, "" for none
        const char* defaultDir; // relative to the test's root, "" for none
        const char* expected;   // relative to the test's root
    };
    const Case cases[] = {
        {"--dir relative to the current directory", "a/b", "data/nivra", "cwd/a/b"},
        {"--dir absolute, with a trailing slash", "@/abs/dir/", "data/nivra", "abs/dir"},
        {"the data folder", "", "data/nivra", "data/nivra"},
        {"no home at all: the current directory", "", "", "cwd"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string given = c.given;
        if (given.starts_with("@"))
            given = m_root.string() + given.substr(1);
        const std::string defaultDir = *c.defaultDir ? path(c.defaultDir) : std::string();
        StartDirectory out;
        std::string error;
        ASSERT_TRUE(prepareStartDirectory(given, path("cwd"), defaultDir, out, error)) << error;
        EXPECT_EQ(out.dir, path(c.expected));
        EXPECT_TRUE(fs::is_directory(out.dir));
        EXPECT_TRUE(out.notice.empty()) << out.notice;
    }
    // Folders made here are the user's alone.
    struct stat st {};
    ASSERT_EQ(stat(path("data").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(path("data/nivra").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(StartDirectoryTest, AFolderThatCannotBeMadeIsAnError) {
    put("file", "not a folder");
    StartDirectory out;
    std::string error;
    EXPECT_FALSE(prepareStartDirectory(path("file"), path("cwd"), "", out, error));
    EXPECT_NE(error.find("is not a directory"), std::string::npos) << error;
    EXPECT_FALSE(prepareStartDirectory(path("file/below"), path("cwd"), "", out, error));
    EXPECT_NE(error.find("cannot create " + path("file/below")), std::string::npos) << error;
    EXPECT_FALSE(prepareStartDirectory("", path("cwd"), path("file/nivra"), out, error));
}

TEST_F(StartDirectoryTest, AnOlderSetupIsCarriedOverOnceAndNeverOverwritesTheNewOne) {
    put("cwd/Nivra.trk", "local track");
    put("cwd/Alpha@host.trk", "alpha track");
    put("cwd/AutoView.cfg", "view table");
    put("cwd/notes.txt", "not ours");
    put("cwd/trip.nme", "a log stays where it is");
    put("data/nivra/Alpha@host.trk", "newer alpha track");

    StartDirectory out;
    std::string error;
    ASSERT_TRUE(prepareStartDirectory("", path("cwd"), path("data/nivra"), out, error)) << error;
    EXPECT_EQ(text("data/nivra/Nivra.trk"), "local track");
    EXPECT_EQ(text("data/nivra/AutoView.cfg"), "view table");
    EXPECT_EQ(text("data/nivra/Alpha@host.trk"), "newer alpha track") << "kept, not replaced";
    EXPECT_FALSE(fs::exists(path("data/nivra/notes.txt")));
    EXPECT_FALSE(fs::exists(path("data/nivra/trip.nme")));
    EXPECT_EQ(text("cwd/Nivra.trk"), "local track") << "the old files stay";
    EXPECT_NE(out.notice.find("Nivra keeps its files in " + path("data/nivra") + " now"),
              std::string::npos)
        << out.notice;
    EXPECT_NE(out.notice.find("Nivra.trk and AutoView.cfg were copied there from " + path("cwd")),
              std::string::npos)
        << out.notice;

    // The next start finds its Nivra.trk in the new folder: nothing to say.
    put("cwd/Nivra.trk", "changed meanwhile");
    ASSERT_TRUE(prepareStartDirectory("", path("cwd"), path("data/nivra"), out, error));
    EXPECT_TRUE(out.notice.empty()) << out.notice;
    EXPECT_EQ(text("data/nivra/Nivra.trk"), "local track");
}

TEST_F(StartDirectoryTest, NothingIsCarriedOverWithoutAnOldTrackOrWithDir) {
    struct Case {
        const char* what;
        bool oldTrack;
        bool withDir;
        bool startedInTheDataFolder;
    };
    const Case cases[] = {
        {"no Nivra.trk where it was started", false, false, false},
        {"--dir given", true, true, false},
        {"started in the data folder itself", true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(m_root / "data");
        fs::remove_all(m_root / "cwd");
        put("cwd/AutoView.cfg", "view table");
        if (c.oldTrack)
            put("cwd/Nivra.trk", "local track");
        const std::string cwd = c.startedInTheDataFolder ? path("data/nivra") : path("cwd");
        if (c.startedInTheDataFolder)
            put("data/nivra/Nivra.trk", "local track");
        StartDirectory out;
        std::string error;
        ASSERT_TRUE(prepareStartDirectory(c.withDir ? path("given") : "", cwd, path("data/nivra"),
                                          out, error))
            << error;
        EXPECT_TRUE(out.notice.empty()) << out.notice;
        EXPECT_FALSE(fs::exists(path("data/nivra/AutoView.cfg")));
    }
}

TEST_F(StartDirectoryTest, AFileThatCannotBeCopiedIsTold) {
    put("cwd/Nivra.trk", "local track");
    // Far larger than any track file (sparse: it takes no room).
    put("cwd/Huge@host.trk", "");
    fs::resize_file(path("cwd/Huge@host.trk"), 100u << 20);
    StartDirectory out;
    std::string error;
    ASSERT_TRUE(prepareStartDirectory("", path("cwd"), path("data/nivra"), out, error));
    EXPECT_EQ(text("data/nivra/Nivra.trk"), "local track");
    EXPECT_FALSE(fs::exists(path("data/nivra/Huge@host.trk")));
    EXPECT_NE(out.notice.find("Nivra.trk was copied there"), std::string::npos) << out.notice;
    EXPECT_NE(
        out.notice.find("Not everything could be copied: cannot read " + path("cwd/Huge@host.trk")),
        std::string::npos)
        << out.notice;
}
