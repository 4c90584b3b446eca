#include "platform/registry.h"

#include "registry/regTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using regtest::readFile;
using regtest::TempDir;
using regtest::writeFile;

namespace {

std::string str(const RegistryStore& reg, const std::string& key, const std::string& name) {
    auto k = reg.openKey(key);
    std::string out = "<none>";
    if (k)
        k->queryString(name, out);
    return out;
}

uint32_t dw(const RegistryStore& reg, const std::string& key, const std::string& name) {
    auto k = reg.openKey(key);
    uint32_t out = 0xdeadbeef;
    if (k)
        k->queryDword(name, out);
    return out;
}

// Names of the files in a directory, to see that no temp file was left behind.
std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST(RegFile, TextRoundTripsThroughTheFile) {
    RegTree tree;
    RegKeyData k{"Software\\Nivra", {}};
    k.set("pftpPassword", {RegType::sz, "a\"b\\c\td\nend", 0});
    k.set("utf8", {RegType::sz, "K\xC3\xB6ln", 0});
    k.set("maxPts", {RegType::dword, "", 0xfffffffbu});
    k.set("", {RegType::sz, "default value", 0});
    tree.emplace(k.path, k);
    std::string text = formatRegFile(tree);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    EXPECT_NE(text.find("\"maxPts\"=dword:fffffffb\n"), std::string::npos);
    EXPECT_NE(text.find("\"pftpPassword\"=\"a\\\"b\\\\c\\x09d\\x0aend\"\n"), std::string::npos);
    EXPECT_NE(text.find("@=\"default value\""), std::string::npos);

    RegTree back;
    int line = -1;
    std::string why;
    ASSERT_TRUE(parseRegFile(text, back, line, why)) << line << ": " << why;
    ASSERT_EQ(back.size(), 1u);
    const RegKeyData& b = back.begin()->second;
    ASSERT_EQ(b.values.size(), 4u);
    EXPECT_EQ(b.find("PFTPPASSWORD")->text, "a\"b\\c\td\nend");
    EXPECT_EQ(b.find("utf8")->text, "K\xC3\xB6ln");
    EXPECT_EQ(b.find("maxpts")->dword, 0xfffffffbu);
    EXPECT_EQ(b.find("")->text, "default value");
    EXPECT_EQ(formatRegFile(back), text);
}

TEST(RegFile, ReadsAWindowsExport) {
    // What regedit writes (once converted from UTF-16): BOM, CRLF, the root name,
    // short dwords, comments.
    std::string text = "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
                       "; exported\r\n"
                       "[HKEY_CURRENT_USER\\Software\\Nivra]\r\n"
                       "\"Port\"=\"COM4:\"\r\n"
                       "\"Tracking\"=dword:2f\r\n";
    RegTree tree;
    int line = 0;
    std::string why;
    ASSERT_TRUE(parseRegFile(text, tree, line, why)) << line << ": " << why;
    auto it = tree.find("software\\nivra");
    ASSERT_NE(it, tree.end());
    EXPECT_EQ(it->second.path, "Software\\Nivra");
    EXPECT_EQ(it->second.find("Port")->text, "COM4:");
    EXPECT_EQ(it->second.find("Tracking")->dword, 47u);
}

TEST(RegFile, ARepeatedValueNameKeepsTheLastValueInItsFirstPlace) {
    // A hand-edited file may name a value twice, in another case or in a key
    // that appears twice; the last one read wins and the first spelling stays.
    const std::string text = "Windows Registry Editor Version 5.00\n"
                             "[Software\\Nivra]\n"
                             "\"Port\"=\"COM1:\"\n"
                             "\"Rate\"=\"4800\"\n"
                             "[Software\\Other]\n"
                             "\"Port\"=\"elsewhere\"\n"
                             "[software\\nivra]\n"
                             "\"PORT\"=\"COM7:\"\n"
                             "\"port\"=dword:00000003\n";
    RegTree tree;
    int line = 0;
    std::string why;
    ASSERT_TRUE(parseRegFile(text, tree, line, why)) << line << ": " << why;
    const RegKeyData& nivra = tree.find("Software\\Nivra")->second;
    ASSERT_EQ(nivra.values.size(), 2u);
    EXPECT_EQ(nivra.values[0].first, "Port");
    EXPECT_EQ(nivra.values[0].second.type, RegType::dword);
    EXPECT_EQ(nivra.values[0].second.dword, 3u);
    EXPECT_EQ(nivra.find("rate")->text, "4800");
    EXPECT_EQ(tree.find("Software\\Other")->second.find("Port")->text, "elsewhere");
}

TEST(RegFile, RejectsWhatItCannotRead) {
    const std::string head = "Windows Registry Editor Version 5.00\n";
    struct Case {
        std::string text;
        int line;
    } cases[] = {
        {"garbage\x01\x02 not a registry\n", 1},
        {head + "\"Port\"=\"COM4:\"\n", 2},                       // value before any key
        {head + "[Software\\Nivra]\n\"Bin\"=hex:01,02\n", 3},     // a type we do not keep
        {head + "[Software\\Nivra]\n\"D\"=dword:123456789\n", 3}, // more than 32 bits
        {head + "[Software\\Nivra]\n\"D\"=dword:12z4\n", 3},
        {head + "[Software\\Nivra]\n\"S\"=\"unterminated\n", 3},
        {head + "[Software\\Nivra]\n\"S\"=\"bad escape \\q\"\n", 3},
        {head + "[Software\\Nivra\n", 2},
        {head + "[Software\\\\Nivra]\n", 2},
        {head + "[-Software\\Nivra]\n", 2},
        {head + "[Software]\nPort=1\n", 3},
    };
    for (const Case& c : cases) {
        RegTree tree;
        int line = 0;
        std::string why;
        EXPECT_FALSE(parseRegFile(c.text, tree, line, why)) << c.text;
        EXPECT_EQ(line, c.line) << c.text;
        EXPECT_FALSE(why.empty());
        EXPECT_TRUE(tree.empty());
    }
}

TEST(RegTransaction, ChangesAppearOnlyWhenCommitted) {
    TempDir dir;
    RegistryStore reg(dir.file("registry.reg"));
    {
        RegTransaction tx(reg);
        ASSERT_EQ(tx.createKey("Software\\Nivra"), 0);
        ASSERT_EQ(tx.setString("Software\\Nivra", "Port", "COM5:"), 0);
        EXPECT_FALSE(reg.keyExists("Software\\Nivra"));
        // dropped without commit
    }
    EXPECT_FALSE(reg.keyExists("Software"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("registry.reg")));

    RegTransaction tx(reg);
    EXPECT_EQ(tx.setString("Software\\Nivra", "Port", "COM5:"), ENOENT); // key not created
    ASSERT_EQ(tx.createKey("Software\\Nivra"), 0);
    EXPECT_EQ(tx.createKey("Software\\\\Nivra"), EINVAL);
    EXPECT_EQ(tx.createKey(""), EINVAL);
    EXPECT_EQ(tx.setString("software\\NIVRA", "Port", std::string("COM5:\0junk", 10)), 0);
    EXPECT_EQ(tx.setDword("Software\\Nivra", "Rate", 9600), 0);
    EXPECT_EQ(tx.setDword("Software\\Nivra", "rate", 4800), 0); // same value, other case
    ASSERT_EQ(tx.commit(), 0);
    EXPECT_TRUE(reg.keyExists("Software"));
    EXPECT_EQ(str(reg, "Software\\Nivra", "port"), "COM5:");
    EXPECT_EQ(dw(reg, "Software\\Nivra", "Rate"), 4800u);
    EXPECT_EQ(reg.snapshot().at("Software\\Nivra").values.size(), 2u);
}

TEST(RegTransaction, DeleteTreeTakesTheKeyAndEverythingBelowOnly) {
    TempDir dir;
    RegistryStore reg(dir.file("registry.reg"));
    RegTransaction tx(reg);
    for (const char* k :
         {"Software\\Nivra\\servers1", "Software\\Nivra\\servers1\\deep\\er",
          "Software\\Nivra\\servers10", "Software\\Nivra\\servers1x", "Software\\Nivra\\servers2"})
        ASSERT_EQ(tx.createKey(k), 0);
    EXPECT_EQ(tx.deleteTree("Software\\Nivra\\SERVERS1"), 0);
    EXPECT_EQ(tx.deleteTree("Software\\Nivra\\servers1"), ENOENT);
    EXPECT_EQ(tx.deleteTree("Software\\Nivra\\servers3"), ENOENT);
    ASSERT_EQ(tx.commit(), 0);
    std::vector<std::string> keys;
    for (const auto& [k, v] : reg.snapshot())
        keys.push_back(v.path);
    EXPECT_EQ(keys, (std::vector<std::string>{
                        "Software", "Software\\Nivra", "Software\\Nivra\\servers10",
                        "Software\\Nivra\\servers1x", "Software\\Nivra\\servers2"}));
}

TEST(RegStore, CommitWritesAPrivateFileThatTheNextStartReads) {
    TempDir dir;
    std::string path = dir.file("config/nivra/registry.reg"); // directories made on demand
    {
        RegistryStore reg(path);
        RegTransaction tx(reg);
        ASSERT_EQ(tx.createKey("Software\\Nivra\\servers0"), 0);
        ASSERT_EQ(tx.setString("Software\\Nivra\\servers0", "name", "Me@localhost"), 0);
        ASSERT_EQ(tx.setDword("Software\\Nivra\\servers0", "maxPts", 2000), 0);
        ASSERT_EQ(tx.commit(), 0);
    }
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(dir.file("config/nivra").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(readFile(path), "Windows Registry Editor Version 5.00\n\n"
                              "[Software]\n\n"
                              "[Software\\Nivra]\n\n"
                              "[Software\\Nivra\\servers0]\n"
                              "\"name\"=\"Me@localhost\"\n"
                              "\"maxPts\"=dword:000007d0\n");
    EXPECT_EQ(listDir(dir.file("config/nivra")), std::vector<std::string>{"registry.reg"});

    RegistryStore again(path);
    EXPECT_EQ(str(again, "Software\\Nivra\\servers0", "name"), "Me@localhost");
    EXPECT_EQ(dw(again, "Software\\Nivra\\servers0", "maxPts"), 2000u);
}

TEST(RegStore, GarbageFileIsMovedAsideOnceAndDefaultsUsed) {
    TempDir dir;
    std::string path = dir.file("registry.reg");
    const std::string garbage = "\x7f"
                                "ELF\x02\x01 this is not a registry file\n[Software\n";
    writeFile(path, garbage);
    TraceCapture trace;
    RegistryStore reg(path);
    EXPECT_FALSE(reg.keyExists("Software\\Nivra"));
    EXPECT_FALSE(reg.keyExists("Software"));
    EXPECT_EQ(reg.error(), 0);
    EXPECT_EQ(readFile(path + ".bad"), garbage);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(trace.matching("moved aside").size(), 1u);

    RegTransaction tx(reg);
    ASSERT_EQ(tx.createKey("Software\\Nivra"), 0);
    ASSERT_EQ(tx.commit(), 0);
    EXPECT_TRUE(reg.keyExists("Software\\Nivra"));
    EXPECT_EQ(readFile(path + ".bad"), garbage); // the user's file is never overwritten
    EXPECT_EQ(trace.matching("moved aside").size(), 1u);
}

TEST(RegStore, ASecondDamagedFileDoesNotReplaceTheFirstOnesCopy) {
    TempDir dir;
    std::string path = dir.file("registry.reg");
    const std::string damaged[] = {"[Software\nfirst", "[Software\nsecond", "[Software\nthird"};
    const std::string kept[] = {path + ".bad", path + ".2.bad", path + ".3.bad"};
    for (int i = 0; i < 3; ++i) {
        writeFile(path, damaged[i]);
        TraceCapture trace;
        RegistryStore reg(path);
        EXPECT_FALSE(reg.keyExists("Software"));
        EXPECT_EQ(trace.matching("moved aside to " + kept[i]).size(), 1u) << i;
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(readFile(kept[i]), damaged[i]) << kept[i];
}

TEST(RegStore, NeverReplacesSomethingThatIsNotAFile) {
    // NIVRA_REGISTRY=/dev/null must not turn /dev/null into a file, even as root.
    TraceCapture trace;
    RegistryStore reg("/dev/null");
    RegTransaction tx(reg);
    EXPECT_EQ(tx.error(), EINVAL);
    ASSERT_EQ(tx.createKey("Software"), 0);
    EXPECT_EQ(tx.commit(), EINVAL);
    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(trace.matching("not a regular file").size(), 1u);
}

TEST(RegStore, NeverMovesADirectoryAside) {
    // NIVRA_REGISTRY naming a folder by mistake must leave the folder and its
    // files where they are, and no save may put a file in its place.
    TempDir dir;
    const std::string folder = dir.file("config");
    std::filesystem::create_directory(folder);
    writeFile(folder + "/notes.txt", "keep me");
    TraceCapture trace;
    RegistryStore reg(folder);
    RegTransaction tx(reg);
    EXPECT_NE(tx.error(), 0);
    ASSERT_EQ(tx.createKey("Software"), 0);
    EXPECT_NE(tx.commit(), 0);
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(readFile(folder + "/notes.txt"), "keep me");
    EXPECT_FALSE(std::filesystem::exists(folder + ".bad"));
    EXPECT_EQ(trace.matching("not a regular file").size(), 1u);
}

TEST(RegStore, FailedWriteLeavesFileAndStoreAsTheyWere) {
    TempDir dir;
    std::string path = dir.file("registry.reg");
    RegistryStore reg(path);
    {
        RegTransaction tx(reg);
        ASSERT_EQ(tx.createKey("Software\\Nivra"), 0);
        ASSERT_EQ(tx.setString("Software\\Nivra", "Port", "COM3:"), 0);
        ASSERT_EQ(tx.commit(), 0);
    }
    const std::string before = readFile(path);
    {
        RegTransaction tx(reg);
        ASSERT_EQ(tx.setString("Software\\Nivra", "Port", std::string(4000, 'x')), 0);
        regtest::FileSizeLimit limit(1024); // the disk fills up mid-write
        EXPECT_EQ(tx.commit(), EFBIG);
    }
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"registry.reg"});
    EXPECT_EQ(str(reg, "Software\\Nivra", "Port"), "COM3:");

    // A directory that cannot exist: its parent is a regular file.
    RegistryStore nowhere(path + "/registry.reg");
    RegTransaction tx(nowhere);
    ASSERT_EQ(tx.createKey("Software"), 0);
    EXPECT_EQ(tx.commit(), ENOTDIR);
    EXPECT_EQ(readFile(path), before);
}

TEST(RegStore, SymlinkedFileStaysALink) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("dotfiles"));
    writeFile(dir.file("dotfiles/nivra.reg"), "Windows Registry Editor Version 5.00\n");
    std::filesystem::create_symlink(dir.file("dotfiles/nivra.reg"), dir.file("registry.reg"));
    RegistryStore reg(dir.file("registry.reg"));
    RegTransaction tx(reg);
    ASSERT_EQ(tx.createKey("Software\\Nivra"), 0);
    ASSERT_EQ(tx.commit(), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("registry.reg")));
    EXPECT_NE(readFile(dir.file("dotfiles/nivra.reg")).find("[Software\\Nivra]"),
              std::string::npos);
}

TEST(RegStore, ALinkToAFileNotYetWrittenStaysALink) {
    // A dotfiles setup made before the first run: the link points to a file
    // that the first save creates.
    TempDir dir;
    std::filesystem::create_directory(dir.file("dotfiles"));
    std::filesystem::create_symlink("dotfiles/nivra.reg", dir.file("registry.reg"));
    RegistryStore reg(dir.file("registry.reg"));
    RegTransaction tx(reg);
    ASSERT_EQ(tx.createKey("Software\\Nivra"), 0);
    ASSERT_EQ(tx.commit(), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("registry.reg")));
    EXPECT_NE(readFile(dir.file("dotfiles/nivra.reg")).find("[Software\\Nivra]"),
              std::string::npos);
}

TEST(RegStore, AnUnreadableLinkedFileIsMovedAsideAndTheLinkStays) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("dotfiles"));
    writeFile(dir.file("dotfiles/nivra.reg"), "garbage\n");
    std::filesystem::create_symlink("dotfiles/nivra.reg", dir.file("registry.reg"));
    RegistryStore reg(dir.file("registry.reg"));
    EXPECT_EQ(reg.error(), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("registry.reg")));
    EXPECT_EQ(readFile(dir.file("dotfiles/nivra.reg.bad")), "garbage\n");
    RegTransaction tx(reg);
    ASSERT_EQ(tx.createKey("Software\\Nivra"), 0);
    ASSERT_EQ(tx.commit(), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("registry.reg")));
    EXPECT_NE(readFile(dir.file("dotfiles/nivra.reg")).find("[Software\\Nivra]"),
              std::string::npos);
}

TEST(RegStore, ConcurrentTransactionsLoseNoUpdate) {
    TempDir dir;
    std::string path = dir.file("registry.reg");
    RegistryStore reg(path);
    constexpr int kRounds = 40;
    auto writer = [&reg](const std::string& name) {
        for (int i = 1; i <= kRounds; ++i) {
            RegTransaction tx(reg);
            tx.createKey("Software\\Nivra");
            tx.setDword("Software\\Nivra", name, static_cast<uint32_t>(i));
            tx.commit();
        }
    };
    std::thread a(writer, "a"), b(writer, "b");
    for (int i = 0; i < kRounds; ++i)
        reg.openKey("Software\\Nivra"); // readers run alongside
    a.join();
    b.join();
    RegistryStore fresh(path);
    EXPECT_EQ(dw(fresh, "Software\\Nivra", "a"), static_cast<uint32_t>(kRounds));
    EXPECT_EQ(dw(fresh, "Software\\Nivra", "b"), static_cast<uint32_t>(kRounds));
}

TEST(RegStore, ReopenReadsAnotherFile) {
    TempDir dir;
    writeFile(dir.file("one.reg"), "Windows Registry Editor Version 5.00\n[Software\\Nivra]\n"
                                   "\"Port\"=\"one\"\n");
    writeFile(dir.file("two.reg"), "Windows Registry Editor Version 5.00\n[Software\\Nivra]\n"
                                   "\"Port\"=\"two\"\n");
    RegistryStore reg(dir.file("one.reg"));
    EXPECT_EQ(str(reg, "Software\\Nivra", "Port"), "one");
    reg.reopen(dir.file("two.reg"));
    EXPECT_EQ(reg.path(), dir.file("two.reg"));
    EXPECT_EQ(str(reg, "Software\\Nivra", "Port"), "two");
}

TEST(RegStore, DefaultPathFollowsTheEnvironment) {
    struct SavedEnv {
        const char* name;
        std::string value;
        bool set;
    } saved[] = {
        {"NIVRA_REGISTRY", "", false}, {"XDG_CONFIG_HOME", "", false}, {"HOME", "", false}};
    for (SavedEnv& s : saved)
        if (const char* v = std::getenv(s.name)) {
            s.value = v;
            s.set = true;
        }
    ::setenv("NIVRA_REGISTRY", "/srv/test.reg", 1);
    ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
    ::setenv("HOME", "/home/u", 1);
    EXPECT_EQ(defaultRegistryPath(), "/srv/test.reg");
    ::unsetenv("NIVRA_REGISTRY");
    EXPECT_EQ(defaultRegistryPath(), "/xdg/nivra/registry.reg");
    ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1); // must be absolute to count
    EXPECT_EQ(defaultRegistryPath(), "/home/u/.config/nivra/registry.reg");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(defaultRegistryPath(), "/home/u/.config/nivra/registry.reg");
    for (const SavedEnv& s : saved) {
        if (s.set)
            ::setenv(s.name, s.value.c_str(), 1);
        else
            ::unsetenv(s.name);
    }
}

TEST(RegScaled, TruncatesTowardZeroWithinRange) {
    EXPECT_EQ(scaledDword(61.0), 610000u);
    EXPECT_EQ(scaledDword(0.99999), 9999u);
    EXPECT_EQ(static_cast<int32_t>(scaledDword(-0.99999)), -9999);
    EXPECT_EQ(static_cast<int32_t>(scaledDword(1e12)), INT32_MAX);
    EXPECT_EQ(static_cast<int32_t>(scaledDword(-1e12)), INT32_MIN);
    EXPECT_EQ(scaledDword(std::nan("")), 0u);
}
