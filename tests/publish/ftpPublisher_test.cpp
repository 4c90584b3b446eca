// The publisher against a real FTP server (pyftpdlib on loopback with a
// temporary home), against servers that misbehave on purpose, and writing a
// local file. The order of commands is read from the server's own record; the
// uploaded document is read back and parsed by ogrinfo.
#include "publish/ftpPublisher.h"

#include "app/OptionsDlg.h"
#include "app/appContext.h"
#include "common/shellRun.h"
#include "common/traceCapture.h"
#include "common/waitUntil.h"
#include "kml/kmlTestUtil.h"
#include "publish/ftpProtocol.h"
#include "remote/client.h"
#include "remote/scriptPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace kmltest;
namespace fs = std::filesystem;

const std::string kPython = "/usr/bin/python3";
const std::string kScripts = std::string(NIVRA_SOURCE_DIR) + "/tests/publish/";
const std::string kUser = "tracker";
const std::string kPassword = "s3cret-word";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    return out;
}

int countLines(const std::string& path, const std::string& prefix) {
    int n = 0;
    for (const std::string& l : lines(readFile(path)))
        n += l.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

class Publisher : public ::testing::Test {
protected:
    void SetUp() override {
        local = list.add("Me", "localhost");
        local->uName = "Me";
        ASSERT_EQ(list.designateLocal(), local);
        addPoint(local);
    }

    // One more point: the track's signature changes.
    void addPoint(CClient* v) {
        clock += 10;
        drive(*v, fixAt(clock, 48.1 + (clock - kUtc0) * 1e-5, 11.5, 520, 30, 45));
    }

    // pyftpdlib with the home `home`, its command record in the start dir.
    std::unique_ptr<ScriptPeer> realServer(const std::string& home, const char* banner = nullptr) {
        std::vector<std::string> args = {
            kPython, kScripts + "ftpTestServer.py", home, kUser, kPassword, record()};
        if (banner)
            args.push_back(banner);
        auto server = std::make_unique<ScriptPeer>(args);
        EXPECT_GT(server->port(), 0) << "pyftpdlib did not start";
        return server;
    }

    std::unique_ptr<ScriptPeer> hostileServer(const std::string& mode) {
        auto server = std::make_unique<ScriptPeer>(
            std::vector<std::string>{kPython, kScripts + "hostileFtp.py", mode, record()});
        EXPECT_GT(server->port(), 0) << "hostile server did not start";
        return server;
    }

    std::string record() const { return dir.file("commands.txt"); }
    std::vector<std::string> commands() const { return lines(readFile(record())); }

    void useServer(int port, const std::string& fileName, const std::string& user = kUser,
                   const std::string& password = kPassword) {
        ftp.m_port = port;
        FtpParams p;
        p.user = user;
        p.password = password;
        p.server = "127.0.0.1";
        p.fileName = fileName;
        ftp.setParams(p);
    }

    ZoneScope zone{"UTC"};
    StartDir dir;
    int64_t clock = kUtc0;
    CClients list{"ftp-test"};
    CClient* local = nullptr;
    CftpServer ftp{list};
    FtpPublishing publishing;
};

TEST_F(Publisher, CopyThenRenameReachesTheServerInOrderAndTheFileParses) {
    const std::string home = dir.file("home");
    fs::create_directories(home + "/www");
    // A banner this long comes as a multi-line greeting.
    auto server = realServer(home, "Nivra test server, a banner long enough to be sent over "
                                   "more than one line of the greeting");
    useServer(server->port(), "www/track.kml");
    TraceCapture log;

    const std::vector<std::string> order = {
        "USER " + kUser,     "PASS",          "CWD www",           "RNFR nivraftp.tmp",
        "TYPE L 8",          "PASV",          "STOR nivraftp.tmp", "DELE track.kml",
        "RNFR nivraftp.tmp", "RNTO track.kml"};
    // The first publication has no file to delete yet; the second replaces one.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        std::remove(record().c_str());
        if (round > 0)
            addPoint(local);
        ftp.uploadKml(publishing);
        EXPECT_EQ(ftp.status(), ftpDone) << log.all();
        EXPECT_EQ(commands(), order) << log.all();
        EXPECT_GT(ftp.lastSuccess(), 0);

        const std::string published = home + "/www/track.kml";
        const std::string kml = readFile(published);
        EXPECT_EQ(kml.rfind("<?xml", 0), 0u);
        EXPECT_NE(kml.find("<name>Me</name>"), std::string::npos);
        EXPECT_FALSE(fs::exists(home + "/www/" + kFtpTempName));
        const ShellOutcome info = ogrinfoKml(published);
        EXPECT_EQ(info.status, 0) << info.output;
        EXPECT_EQ(info.output.find("ERROR"), std::string::npos) << info.output;
        EXPECT_NE(info.output.find("Feature Count"), std::string::npos) << info.output;
    }
    EXPECT_FALSE(log.contains("ftp error")) << log.all();
    EXPECT_TRUE(log.contains("PASS ***"));
    EXPECT_FALSE(log.contains(kPassword)) << "the password never reaches the log";
}

TEST_F(Publisher, WithoutCopyThenRenameTheFileIsStoredUnderItsName) {
    const std::string home = dir.file("home");
    fs::create_directories(home);
    auto server = realServer(home);
    useServer(server->port(), "Me.kml");
    publishing.copyThenRename = false;
    ftp.uploadKml(publishing);
    EXPECT_EQ(ftp.status(), ftpDone);
    EXPECT_EQ(commands(), (std::vector<std::string>{"USER " + kUser, "PASS", "TYPE L 8", "PASV",
                                                    "STOR Me.kml"}));
    EXPECT_EQ(ogrinfoKml(home + "/Me.kml").status, 0);
}

TEST_F(Publisher, RefusalsLeaveTheStatusOfTheirStep) {
    struct Case {
        const char* what;
        std::string user;
        std::string password;
        std::string fileName;
        bool serverUp;
        int status;
        std::vector<std::string> commands;
    };
    const std::vector<Case> cases = {
        {"unknown user",
         "intruder",
         kPassword,
         "www/track.kml",
         true,
         ftpBadPassword,
         {"USER intruder", "PASS"}},
        {"wrong password",
         kUser,
         "guess",
         "www/track.kml",
         true,
         ftpBadPassword,
         {"USER " + kUser, "PASS"}},
        {"missing directory",
         kUser,
         kPassword,
         "nowhere/track.kml",
         true,
         ftpChangingDir,
         {"USER " + kUser, "PASS", "CWD nowhere"}},
        {"no server", kUser, kPassword, "www/track.kml", false, ftpLoggingIn, {}},
    };
    const std::string home = dir.file("home");
    fs::create_directories(home + "/www");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(record().c_str());
        int port;
        {
            // A port that was just free: nothing listens there any more.
            auto server = realServer(home);
            port = server->port();
            if (c.serverUp) {
                useServer(port, c.fileName, c.user, c.password);
                TraceCapture log;
                addPoint(local);
                ftp.uploadKml(publishing);
                EXPECT_EQ(ftp.status(), c.status) << log.all();
                EXPECT_EQ(commands(), c.commands) << log.all();
                EXPECT_TRUE(log.contains("ftp error"));
                EXPECT_FALSE(log.contains("retrying login")) << "a refusal is not a lost line";
                continue;
            }
        }
        useServer(port, c.fileName, c.user, c.password);
        TraceCapture log;
        addPoint(local);
        ftp.uploadKml(publishing);
        EXPECT_EQ(ftp.status(), c.status) << log.all();
        EXPECT_TRUE(log.contains("ftp error"));
    }
    EXPECT_FALSE(fs::exists(home + "/www/track.kml"));
}

TEST_F(Publisher, OnlyAChangedSignatureOrForcedUpdatesPublish) {
    const std::string home = dir.file("home");
    fs::create_directories(home);
    auto server = realServer(home);
    useServer(server->port(), "all.kml");
    publishing.copyThenRename = false;
    CClient* bob = list.add("Bob", "10.0.0.7");

    struct Step {
        const char* what;
        int32_t local;
        int32_t bob;
        bool saveAll;
        bool force;
        bool publishes;
    };
    const std::vector<Step> steps = {
        {"local only, first time", 1, 0, false, false, true},
        {"local only, unchanged", 1, 0, false, false, false},
        {"local only, forced", 1, 0, false, true, true},
        {"all vehicles: 4 | 2 = 6", 4, 2, true, false, true},
        {"all vehicles: 6 | 0 = 6, no new publication", 6, 0, true, false, false},
        {"all vehicles: 6 | 0 forced", 6, 0, true, true, true},
        {"all vehicles: 6 | 1 = 7", 6, 1, true, false, true},
        {"nothing recorded anywhere", 0, 0, true, true, false},
        {"a negative count is no signature", -5, 0, false, true, false},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        local->track.m_seqNum = s.local;
        bob->track.m_seqNum = s.bob;
        publishing.saveAll = s.saveAll;
        publishing.forceUpdates = s.force;
        const int before = countLines(record(), "STOR");
        ftp.uploadKml(publishing);
        EXPECT_EQ(countLines(record(), "STOR") - before, s.publishes ? 1 : 0);
    }
    // The last all-vehicles document carries both vehicles.
    const std::string kml = readFile(home + "/all.kml");
    EXPECT_NE(kml.find("<name>Me</name>"), std::string::npos);
    EXPECT_NE(kml.find("<name>Bob@10.0.0.7</name>"), std::string::npos);
    EXPECT_EQ(ogrinfoKml(home + "/all.kml").status, 0);
}

TEST_F(Publisher, BadFileNamesAreRefusedBeforeAnyConnection) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"..", "'..' in the name"},
        {"www/../../track.kml", "'..' in the name"},
        {"www/", "no file name after the last '/'"},
        {std::string(1000, 'k'), "longer than 255 characters"},
        {"track.kml\r\nDELE index.html", "control characters"},
    };
    const std::string home = dir.file("home");
    fs::create_directories(home);
    auto server = realServer(home);
    for (const auto& [name, reason] : cases) {
        SCOPED_TRACE(name.substr(0, 40));
        useServer(server->port(), name);
        TraceCapture log;
        addPoint(local);
        ftp.uploadKml(publishing);
        EXPECT_EQ(ftp.status(), ftpSending);
        EXPECT_TRUE(log.contains("file name refused: " + reason)) << log.all();
        EXPECT_TRUE(log.contains("ftp error"));
        EXPECT_FALSE(log.contains("Connecting"));
    }
    useServer(server->port(), "track.kml", "me\r\nDELE index.html");
    addPoint(local);
    ftp.uploadKml(publishing);
    EXPECT_EQ(ftp.status(), ftpLoggingIn);
    EXPECT_EQ(commands(), std::vector<std::string>{}) << "the server never heard from us";
}

TEST_F(Publisher, MisbehavingServersEndInBoundedTimeWithTheRightStatus) {
    struct Case {
        const char* mode;
        int status;
        std::vector<const char*> logged;
        int connects;
        bool dataSent;
    };
    const std::vector<Case> cases = {
        {"multiline", ftpDone, {"received 220-"}, 1, true},
        {"close-at-greeting", ftpLoggingIn, {"connection closed by the server"}, 1, false},
        {"close-at-user", ftpLoggingIn, {"connection closed by the server"}, 1, false},
        {"stall-at-user", ftpLoggingIn, {"no reply within"}, 1, false},
        {"garbage", ftpLoggingIn, {"not an FTP reply"}, 1, false},
        {"endless-line", ftpLoggingIn, {"not an FTP reply"}, 1, false},
        {"user-531", ftpBadUser, {"user name refused"}, 1, false},
        {"pass-332", ftpBadPassword, {"password refused"}, 1, false},
        {"close-at-cwd", ftpChangingDir, {"retrying login"}, 2, false},
        {"cwd-unexpected", ftpChangingDir, {"didn't get expected resp 250"}, 1, false},
        {"pasv-over-255", ftpSending, {"PASV reply refused"}, 1, false},
        {"pasv-negative", ftpSending, {"PASV reply refused"}, 1, false},
        {"pasv-no-parenthesis", ftpSending, {"PASV reply refused"}, 1, false},
        {"pasv-dead-port", ftpSending, {"error sending file"}, 1, false},
        // The upload goes to the server's own address, never the one named.
        {"pasv-bounce", ftpDone, {"PASV named 127.0.0.99"}, 1, true},
        {"no-226", ftpSending, {"file sent ok", "didn't get 226??"}, 1, true},
    };
    ftp.m_replyBudgetMs = 1500;
    ftp.m_commandBudgetMs = 2000;
    ftp.m_dataBudgetMs = 3000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        std::remove(record().c_str());
        std::remove((record() + ".data").c_str());
        std::remove((record() + ".bounce").c_str());
        auto server = hostileServer(c.mode);
        useServer(server->port(), "www/track.kml");
        const int descriptors = openDescriptorCount();
        TraceCapture log;
        addPoint(local);
        ftp.uploadKml(publishing);
        EXPECT_EQ(ftp.status(), c.status) << log.all();
        for (const char* text : c.logged)
            EXPECT_TRUE(log.contains(text)) << text << "\n" << log.all();
        EXPECT_EQ(log.contains("ftp error"), c.status != ftpDone) << log.all();
        EXPECT_EQ(openDescriptorCount(), descriptors) << "the control socket is closed";
        EXPECT_EQ(countLines(record(), "CONNECT"), c.connects);
        EXPECT_EQ(fs::exists(record() + ".data"), c.dataSent);
        // A refused PASV reply never leads to STOR; a dead data port is only
        // found out after it (the server may still be reading it).
        EXPECT_FALSE(fs::exists(record() + ".bounce")) << "another host received the upload";
        const int stors = c.mode == std::string("pasv-dead-port") ? 1 : 0;
        if (std::string(c.mode).starts_with("pasv-") && c.status != ftpDone) {
            EXPECT_TRUE(waitUntil([&] { return countLines(record(), "STOR") == stors; }));
        }
    }
}

TEST_F(Publisher, ALocalFileIsReplacedWhole) {
    struct Case {
        const char* what;
        std::string fileName;
        int status;
    };
    fs::create_directories(dir.file("web"));
    const std::vector<Case> cases = {
        {"bare name in the start directory", "Me.kml", ftpDone},
        {"full path", dir.file("web/track.kml"), ftpDone},
        {"missing directory", dir.file("nowhere/track.kml"), ftpSending},
        {"empty name", "", ftpNothing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FtpParams p;
        p.useFtp = 0;
        p.fileName = c.fileName;
        ftp.setParams(p);
        TraceCapture log;
        addPoint(local);
        ftp.uploadKml(publishing);
        EXPECT_EQ(ftp.status(), c.status) << log.all();
        if (c.status == ftpDone) {
            const std::string path =
                c.fileName.find('/') == std::string::npos ? dir.file(c.fileName) : c.fileName;
            EXPECT_EQ(ogrinfoKml(path).status, 0);
        }
        if (c.status == ftpSending) {
            EXPECT_TRUE(log.contains("cannot create")) << log.all();
        }
    }
    // Nothing but the published files: no temporary file stays behind.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path()))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Me.kml", "web"}));
    EXPECT_EQ(fs::directory_iterator(dir.file("web"))->path().filename(), "track.kml");
}

TEST_F(Publisher, TheThreadPublishesEachChangeAndStopsWhenAsked) {
    FtpParams p;
    p.useFtp = 0;
    p.fileName = "Me.kml";
    p.period = 1;
    ftp.setParams(p);
    const std::string path = dir.file("Me.kml");

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        std::remove(path.c_str());
        addPoint(local);
        ftp.start();
        ftp.start(); // a second start while it runs changes nothing
        EXPECT_TRUE(ftp.running());
        ASSERT_TRUE(waitUntil([&] { return fs::exists(path); }, 20000));
        EXPECT_EQ(ftp.status(), ftpDone);
        // A new point is published on a later pass.
        const int64_t first = ftp.lastSuccess();
        std::remove(path.c_str());
        addPoint(local);
        ASSERT_TRUE(waitUntil([&] { return fs::exists(path); }, 20000));
        EXPECT_GE(ftp.lastSuccess(), first);

        ftp.stop();
        EXPECT_TRUE(waitUntil([&] { return !ftp.running(); }, 20000));
    }
    // Stopped and started again at once: the thread carries on.
    ftp.start();
    ftp.stop();
    ftp.start();
    std::remove(path.c_str());
    addPoint(local);
    EXPECT_TRUE(waitUntil([&] { return fs::exists(path); }, 20000));
    EXPECT_TRUE(ftp.running());
    ftp.stop();
    EXPECT_TRUE(waitUntil([&] { return !ftp.running(); }, 20000));
}

} // namespace

namespace {

// The main window hands the publishing settings over at start-up and after
// the options dialog; pftpEnabled starts and stops the thread.
TEST_F(Publisher, TheSettingsStartAndStopThePublisher) {
    CAppContext app(dir.file("registry.reg"));
    CClient* me = app.clients().add("Me", "localhost");
    ASSERT_EQ(app.clients().designateLocal(), me);
    addPoint(me);
    CSubsystems& links = app.links();
    CftpServer& ftp = app.publisher();
    COptionsDlg o;
    o.pftpUserName = "web";
    o.pftpPassword = "pw";
    o.pftpServerName = "ftp.example.org";
    o.pftpFileName = "Me.kml";
    o.pftpUseFtp = 0;
    o.pftpSavePeriod = 1;

    struct Step {
        int enabled;
        bool running;
    };
    for (const Step& s : std::vector<Step>{{0, false}, {1, true}, {1, true}, {0, false}}) {
        o.pftpEnabled = s.enabled;
        links.setUpPublisher(o);
        EXPECT_TRUE(waitUntil([&] { return ftp.running() == s.running; }, 20000)) << s.enabled;
        const FtpParams p = ftp.params();
        EXPECT_EQ(p.user, "web");
        EXPECT_EQ(p.password, "pw");
        EXPECT_EQ(p.server, "ftp.example.org");
        EXPECT_EQ(p.fileName, "Me.kml");
        EXPECT_EQ(p.useFtp, 0);
        EXPECT_EQ(p.period, 1);
        if (s.running) {
            EXPECT_TRUE(waitUntil([&] { return fs::exists(dir.file("Me.kml")); }, 20000));
        }
    }
}

} // namespace
