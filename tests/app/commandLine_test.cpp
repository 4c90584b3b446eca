// The command line and the desktop entry of --register / --unregister.
#include "app/desktopEntry.h"
#include "app/testApp.h"
#include "app/testDlg.h"
#include "platform/paths.h"
#include "registry/regTestUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

bool parse(std::vector<std::string> args, CommandLine& cmd, std::string& error) {
    cmd = CommandLine();
    error.clear();
    return parseCommandLine(args, cmd, error);
}

} // namespace

TEST(CommandLine, SwitchesAndValues) {
    CommandLine cmd;
    std::string error;
    ASSERT_TRUE(parse({"--headless", "--start", "--dir", "/tmp/x", "--bind=127.0.0.2", "--earth",
                       "none", "--debug-log"},
                      cmd, error))
        << error;
    EXPECT_TRUE(cmd.headless);
    EXPECT_TRUE(cmd.start);
    EXPECT_TRUE(cmd.debugLog);
    EXPECT_EQ(cmd.dir, "/tmp/x");
    EXPECT_EQ(cmd.bind, "127.0.0.2");
    EXPECT_EQ(cmd.earth, "none");

    // Everything after --kml belongs to the conversion.
    ASSERT_TRUE(parse({"--kml", "trip.nme", "-o", "out.kml", "--all-points"}, cmd, error));
    EXPECT_TRUE(cmd.kml);
    EXPECT_EQ(cmd.kmlArgs, (std::vector<std::string>{"trip.nme", "-o", "out.kml", "--all-points"}));
}

TEST(CommandLine, OnlyTheGivenSwitchesOverrideStoredSettings) {
    CommandLine cmd;
    std::string error;
    ASSERT_TRUE(parse({"--bind", "127.0.0.2", "--earth=none"}, cmd, error)) << error;
    SettingOverrides both = settingOverrides(cmd);
    EXPECT_EQ(both.bindAddress, std::optional<std::string>("127.0.0.2"));
    EXPECT_EQ(both.earthBackend, std::optional<std::string>("none"));

    ASSERT_TRUE(parse({"--headless"}, cmd, error)) << error;
    SettingOverrides none = settingOverrides(cmd);
    EXPECT_FALSE(none.bindAddress.has_value());
    EXPECT_FALSE(none.earthBackend.has_value());
}

TEST(CommandLine, GpsdWithOrWithoutAServer) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        std::string server; // what the override carries
        bool headless;
    } cases[] = {
        {{"--gpsd"}, true, "", false},
        {{"--gpsd", "--headless"}, true, "", true},
        {{"--headless", "--gpsd", "127.0.0.1:4000"}, true, "127.0.0.1:4000", true},
        {{"--gpsd=gpsbox"}, true, "gpsbox", false},
        {{"--gpsd", "gpsbox:2948", "--headless"}, true, "gpsbox:2948", true},
        {{"--gpsd", "host:99999"}, false, "", false},
        {{"--gpsd=bad host"}, false, "", false},
        {{"--gpsd="}, false, "", false},
    };
    for (const Case& c : cases) {
        CommandLine cmd;
        std::string error;
        EXPECT_EQ(parse(c.args, cmd, error), c.ok) << c.args.back();
        if (!c.ok) {
            EXPECT_NE(error.find("--gpsd"), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(cmd.headless, c.headless) << c.args.back();
        SettingOverrides ov = settingOverrides(cmd);
        EXPECT_EQ(ov.gpsdServer, std::optional<std::string>(c.server)) << c.args.back();
    }
    CommandLine cmd;
    std::string error;
    ASSERT_TRUE(parse({"--headless"}, cmd, error));
    EXPECT_FALSE(settingOverrides(cmd).gpsdServer.has_value());
    EXPECT_NE(usageText().find("--gpsd [HOST[:PORT]]"), std::string::npos);
}

TEST(CommandLine, BadInputIsRefusedWithAReason) {
    CommandLine cmd;
    std::string error;
    EXPECT_FALSE(parse({"--bogus"}, cmd, error));
    EXPECT_NE(error.find("--bogus"), std::string::npos);
    EXPECT_FALSE(parse({"--dir"}, cmd, error));
    EXPECT_FALSE(parse({"--bind", "localhost"}, cmd, error));
    EXPECT_FALSE(parse({"--bind", "300.1.1.1"}, cmd, error));
    EXPECT_FALSE(parse({"--earth", "googleearth"}, cmd, error));
    EXPECT_FALSE(parse({"--register", "--unregister"}, cmd, error));
    EXPECT_FALSE(parse({"--earth="}, cmd, error));
}

class DesktopEntry : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "nivra-xdg-XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        ASSERT_NE(mkdtemp(buf.data()), nullptr);
        dir = buf.data();
        const char* old = getenv("XDG_DATA_HOME");
        saved = old ? old : "";
        hadOld = old != nullptr;
        setenv("XDG_DATA_HOME", dir.c_str(), 1);
    }
    void TearDown() override {
        if (hadOld)
            setenv("XDG_DATA_HOME", saved.c_str(), 1);
        else
            unsetenv("XDG_DATA_HOME");
        std::filesystem::remove_all(dir);
    }
    std::string dir, saved;
    bool hadOld = false;
};

TEST_F(DesktopEntry, RegisterInstallsEntryAndIconAndUnregisterRemovesThem) {
    std::string error;
    ASSERT_TRUE(registerDesktopEntry("/opt/nivra/bin/nivra", error)) << error;
    const std::string entry = dir + "/applications/nivra.desktop";
    const std::string icon = dir + "/icons/hicolor/scalable/apps/nivra.svg";
    ASSERT_TRUE(std::filesystem::exists(entry));
    ASSERT_TRUE(std::filesystem::exists(icon));
    std::ifstream in(entry);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str().rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_NE(text.str().find("Exec=\"/opt/nivra/bin/nivra\"\n"), std::string::npos);
    EXPECT_NE(text.str().find("Icon=nivra\n"), std::string::npos);

    bool removed = false;
    ASSERT_TRUE(unregisterDesktopEntry(error, &removed)) << error;
    EXPECT_TRUE(removed);
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_FALSE(std::filesystem::exists(icon));
    // Removing what is not there is no error, and says there was nothing.
    EXPECT_TRUE(unregisterDesktopEntry(error, &removed));
    EXPECT_FALSE(removed);
}

TEST_F(DesktopEntry, TheProgramSaysWhetherItRemovedAnything) {
    const std::string savedStart = g_startDir;
    auto runWith = [](std::vector<std::string> args) {
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        CtestApp app;
        return app.InitInstance(static_cast<int>(argv.size()), argv.data(), nullptr);
    };
    EXPECT_EQ(runWith({"nivra", "--unregister"}), 1) << "nothing was registered";
    EXPECT_EQ(runWith({"nivra", "--register"}), 0);
    EXPECT_TRUE(std::filesystem::exists(dir + "/applications/nivra.desktop"));
    EXPECT_EQ(runWith({"nivra", "--unregister"}), 0);
    EXPECT_FALSE(std::filesystem::exists(dir + "/applications/nivra.desktop"));
    EXPECT_EQ(runWith({"nivra", "--unregister"}), 1);
    // --dir makes a folder that is not there yet.
    const std::string made = dir + "/new/start";
    EXPECT_EQ(runWith({"nivra", "--dir", made, "--register"}), 0);
    EXPECT_TRUE(std::filesystem::is_directory(made));
    EXPECT_EQ(g_startDir, made);
    g_startDir = savedStart;
}

namespace {
std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
} // namespace

TEST_F(DesktopEntry, RegisterWritesTheFilesTheInstallPutsInPlace) {
    std::string error;
    ASSERT_TRUE(registerDesktopEntry("/opt/nivra/bin/nivra", error)) << error;
    // The installed entry is the template with "nivra" for Exec; the
    // registered one names this copy of the program.
    std::string expected = fileText(NIVRA_SOURCE_DIR "/packaging/nivra.desktop.in");
    const size_t at = expected.find("@NIVRA_EXEC@");
    ASSERT_NE(at, std::string::npos);
    expected.replace(at, 12, "\"/opt/nivra/bin/nivra\"");
    EXPECT_EQ(fileText(dir + "/applications/nivra.desktop"), expected);
    const std::string icon = fileText(NIVRA_SOURCE_DIR "/app/ui/icon/nivra.svg");
    ASSERT_FALSE(icon.empty());
    EXPECT_EQ(fileText(dir + "/icons/hicolor/scalable/apps/nivra.svg"), icon);
}

TEST(DesktopEntryText, ExecQuotesAndEscapesThePath) {
    // Inside quotes '$' and '"' need a backslash, which the entry's string
    // escaping doubles; '%' is doubled for the field codes.
    const std::string text = desktopEntryText("/home/a b/$x\"%/nivra");
    EXPECT_NE(text.find("Exec=\"/home/a b/\\\\$x\\\\\"%%/nivra\"\n"), std::string::npos) << text;
}

TEST_F(DesktopEntry, ALongDirKeepsEveryFileInThatDirectory) {
    // A deep folder: its path is longer than 512 bytes.
    std::filesystem::path deep = dir;
    while (deep.string().size() <= 600)
        deep /= std::string(60, 'd');
    std::filesystem::create_directories(deep);
    const std::string savedStart = g_startDir;
    const std::string dirArg = "--dir=" + deep.string();
    std::vector<std::string> args{"nivra", dirArg, "--register"};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    CtestApp app;
    const int status = app.InitInstance(static_cast<int>(argv.size()), argv.data(), nullptr);
    const std::string start = g_startDir;
    const std::string track = FullPath("Nivra.trk");
    g_startDir = savedStart;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(start, deep.string());
    EXPECT_EQ(track, (deep / "Nivra.trk").string());
}

TEST_F(DesktopEntry, AFailedRegisterLeavesNoHalfWrittenFiles) {
    std::string error;
    {
        regtest::FileSizeLimit limit(100); // the disk fills up mid-write
        EXPECT_FALSE(registerDesktopEntry("/opt/nivra/bin/nivra", error));
    }
    EXPECT_FALSE(error.empty());
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        EXPECT_FALSE(e.is_regular_file()) << e.path();
}
