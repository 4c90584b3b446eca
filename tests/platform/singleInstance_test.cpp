// One window program per settings file: the socket's place, the first and
// the second start, a socket left by a killed copy, and askers that say the
// wrong thing or nothing at all.
#include "platform/singleInstance.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class SingleInstance : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "nivra-one-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    // A connection that says `words` (nothing when empty) and stays open.
    int connectAndSay(const std::string& path, const std::string& words) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        if (!words.empty()) {
            EXPECT_EQ(::send(fd, words.data(), words.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(words.size()));
        }
        return fd;
    }

    std::string dir;
};

TEST_F(SingleInstance, TheSocketIsNamedAfterTheSettingsFile) {
    const std::string a = singleInstanceSocketPath(dir, dir + "/a.reg");
    EXPECT_EQ(a.rfind(dir + "/nivra-window-", 0), 0u) << a;
    EXPECT_EQ(singleInstanceSocketPath(dir, dir + "/a.reg"), a);
    EXPECT_EQ(singleInstanceSocketPath(dir, dir + "/./x/../a.reg"), a) << "the same file";
    fs::create_symlink(dir + "/a.reg", dir + "/link.reg");
    EXPECT_EQ(singleInstanceSocketPath(dir, dir + "/link.reg"), a) << "through a link";
    EXPECT_NE(singleInstanceSocketPath(dir, dir + "/b.reg"), a);
    // Without a runtime directory: a private one in /tmp.
    const std::string fallback = singleInstanceSocketPath("", dir + "/a.reg");
    EXPECT_EQ(fallback.rfind("/tmp/nivra-" + std::to_string(::getuid()) + "/", 0), 0u) << fallback;
    EXPECT_EQ(fs::status(fs::path(fallback).parent_path()).permissions() & fs::perms::all,
              fs::perms::owner_all);
}

TEST_F(SingleInstance, TheSecondStartRaisesTheFirstAndItsOwnSettingsDoNot) {
    const std::string path = singleInstanceSocketPath(dir, dir + "/a.reg");
    std::string why;
    CSingleInstance first;
    ASSERT_EQ(first.claim(path, why), CSingleInstance::Claim::First) << why;
    EXPECT_GE(first.fd(), 0);
    EXPECT_EQ(fs::status(path).permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none)
        << "only this user may ask";
    EXPECT_EQ(first.takeRequests(0), 0) << "nobody asked yet";

    // The first answers on its own thread here, as its window's event loop would.
    std::thread answer([&] {
        for (int i = 0; i < 100; ++i) {
            if (first.takeRequests() > 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ADD_FAILURE() << "no request came";
    });
    CSingleInstance second;
    EXPECT_EQ(second.claim(path, why), CSingleInstance::Claim::Raised);
    answer.join();
    EXPECT_EQ(second.fd(), -1);

    CSingleInstance other;
    EXPECT_EQ(other.claim(singleInstanceSocketPath(dir, dir + "/b.reg"), why),
              CSingleInstance::Claim::First)
        << "other settings, another program";
}

TEST_F(SingleInstance, ASocketLeftByAKilledCopyIsTakenOver) {
    const std::string path = singleInstanceSocketPath(dir, dir + "/a.reg");
    {
        // A socket file nobody listens on any more.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    ASSERT_TRUE(fs::exists(path));
    std::string why;
    CSingleInstance one;
    EXPECT_EQ(one.claim(path, why), CSingleInstance::Claim::First) << why;
}

TEST_F(SingleInstance, WrongWordsSilenceAndLongPathsAreNoRaise) {
    const std::string path = singleInstanceSocketPath(dir, dir + "/a.reg");
    std::string why;
    CSingleInstance first;
    ASSERT_EQ(first.claim(path, why), CSingleInstance::Claim::First) << why;
    struct Case {
        const char* what;
        std::string words;
    } cases[] = {
        {"other words", "quit\n"},
        {"too many words", std::string(4096, 'r')},
        {"silence", ""},
    };
    for (const Case& c : cases) {
        const int fd = connectAndSay(path, c.words);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(first.takeRequests(200), 0) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2))
            << c.what << ": a silent asker holds nobody up";
        ::close(fd);
    }
    CSingleInstance far;
    EXPECT_EQ(far.claim(dir + "/" + std::string(200, 'x'), why), CSingleInstance::Claim::Failed);
    EXPECT_NE(why.find("too long"), std::string::npos) << why;
    EXPECT_EQ(far.claim("", why), CSingleInstance::Claim::Failed);
}

TEST_F(SingleInstance, TheSocketGoesWithTheProgram) {
    const std::string path = singleInstanceSocketPath(dir, dir + "/a.reg");
    std::string why;
    {
        CSingleInstance first;
        ASSERT_EQ(first.claim(path, why), CSingleInstance::Claim::First);
        EXPECT_TRUE(fs::exists(path));
    }
    EXPECT_FALSE(fs::exists(path));
}

} // namespace
