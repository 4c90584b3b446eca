#include "app/OptionsDlg.h"
#include "platform/registry.h"

#include "registry/regTestUtil.h"

#include <gtest/gtest.h>

using regtest::readFile;
using regtest::TempDir;
using regtest::writeFile;

// TlsVerify is read like BindAddress: set by the user in the file, never
// written by the program; anything but 0 keeps the checks on.
TEST(Settings, TlsVerifyIsOnUnlessTheUserWroteZero) {
    struct Case {
        const char* what;
        std::string value; // the line in the file, empty for none
        int32_t expected;
    };
    const Case cases[] = {
        {"missing", "", 1},
        {"zero", "\"TlsVerify\"=dword:00000000\n", 0},
        {"one", "\"TlsVerify\"=dword:00000001\n", 1},
        {"any other number", "\"TlsVerify\"=dword:ffffffff\n", 1},
        {"text instead of a number", "\"TlsVerify\"=\"0\"\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.file("registry.reg");
        writeFile(path, "Windows Registry Editor Version 5.00\n\n[Software\\Nivra]\n" + c.value);
        RegistryStore reg(path);
        COptionsDlg o;
        o.load(reg);
        EXPECT_EQ(o.TlsVerify, c.expected);
        ASSERT_TRUE(o.save(reg));
        const std::string saved = readFile(path);
        EXPECT_EQ(saved.find("TlsVerify") != std::string::npos, !c.value.empty())
            << "the program never adds it";
    }
}
