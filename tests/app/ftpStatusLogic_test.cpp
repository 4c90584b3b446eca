// The FTP status dialog's rules without a window: the status line through a
// whole upload on a manual clock, the enable rules, the publisher started and
// stopped, the fields stored trimmed and within their limits, and a server
// name that is no host name refused with a message.
#include "app/OptionsDlg.h"
#include "app/ftpStatusLogic.h"

#include <gtest/gtest.h>

namespace {

class FakePublisher : public CFtpPublisherControl {
public:
    int32_t code = ftpNothing;
    int64_t last = 0;
    FtpParams given;
    std::vector<std::string> calls;
    int32_t status() const override { return code; }
    int64_t lastSuccess() const override { return last; }
    FtpParams params() const override { return given; }
    void setParams(const FtpParams& p) override {
        given = p;
        calls.push_back("params");
    }
    void start() override { calls.push_back("start"); }
    void stop() override { calls.push_back("stop"); }
};

class FakeFtpView : public CFtpStatusView {
public:
    int refreshes = 0;
    std::string status;
    std::string lastSuccess;
    std::vector<unsigned> timers;
    std::vector<std::string> messages;
    std::vector<bool> ends;
    void refresh() override { ++refreshes; }
    void showStatus(const std::string& s, const std::string& l) override {
        status = s;
        lastSuccess = l;
    }
    void setTimer(unsigned ms) override { timers.push_back(ms); }
    void message(const std::string& text) override { messages.push_back(text); }
    void endDialog(bool ok) override { ends.push_back(ok); }
};

TEST(FtpStatusLine, EveryCode) {
    const int64_t now = 1'700'000'000;
    struct Case {
        int32_t code;
        int64_t last;
        const char* line;
    } cases[] = {
        {0, 0, ""},
        {1, 0, "Error logging in"},
        {2, 0, "Error: Bad user name or password"},
        {3, 0, "Error: Bad user name"},
        {4, 0, "Error changing directory"},
        {5, 0, "Error sending file"},
        {6, 0, "Error renaming file"},
        {7, now, "Update successful"},
        {7, now - 3, "Update successful"},
        {7, now - 4, "Waiting to update"},
        {7, 0, "Waiting to update"},
        // A clock set back after the upload still reads as just done.
        {7, now + 60, "Update successful"},
        {8, 0, ""},
        {-1, 0, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ftpStatusLine(c.code, c.last, now), c.line) << c.code;
}

class FtpStatusTest : public ::testing::Test {
protected:
    COptionsDlg options;
    FakePublisher publisher;
    FakeFtpView view;
    int64_t now = 1'700'000'000;
    CFtpStatusLogic logic{view, options, &publisher, [this] { return now; }};
};

TEST_F(FtpStatusTest, StatusLineFollowsAWholeUpload) {
    logic.open();
    EXPECT_EQ(view.timers, std::vector<unsigned>{1000});
    // The steps as the publisher goes through them, each seen by a refresh,
    // then "Update successful" for about 3 s and "Waiting to update".
    struct Step {
        int32_t code;
        int advance;
        const char* line;
    } steps[] = {
        {ftpNothing, 0, ""},
        {ftpLoggingIn, 1, "Error logging in"},
        {ftpChangingDir, 1, "Error changing directory"},
        {ftpSending, 1, "Error sending file"},
        {ftpRenaming, 1, "Error renaming file"},
        {ftpDone, 0, "Update successful"},
        {ftpDone, 2, "Update successful"},
        {ftpDone, 1, "Update successful"},
        {ftpDone, 1, "Waiting to update"},
        {ftpDone, 60, "Waiting to update"},
    };
    for (const Step& s : steps) {
        now += s.advance;
        publisher.code = s.code;
        if (s.code == ftpDone && publisher.last == 0)
            publisher.last = now;
        logic.onTimer();
        EXPECT_EQ(view.status, s.line) << "code " << s.code << " at +" << now - 1'700'000'000;
    }
    EXPECT_EQ(view.lastSuccess, "11/14/23 22:13");
    EXPECT_EQ(view.timers.size(), 11u);
    EXPECT_EQ(view.timers.back(), 2000u);
}

TEST_F(FtpStatusTest, LocalFileKeepsTheStatusLine) {
    logic.open();
    publisher.code = ftpSending;
    logic.onTimer();
    EXPECT_EQ(view.status, "Error sending file");
    logic.onUseFtp(false);
    EXPECT_FALSE(logic.accountEnabled());
    publisher.code = ftpDone;
    publisher.last = now;
    logic.onTimer();
    EXPECT_EQ(view.status, "Error sending file");
    EXPECT_EQ(view.lastSuccess, "11/14/23 22:13");
}

TEST_F(FtpStatusTest, EnableRulesAndThePublisherThread) {
    options.pftpEnabled = 0;
    options.pftpUseFtp = 1;
    logic.open();
    struct Step {
        const char* what;
        bool enabled, useFtp;
        bool accountOn, publishingOn;
        std::vector<std::string> calls;
    } steps[] = {
        {"opened", false, true, true, false, {}},
        {"publishing on", true, true, true, true, {"start"}},
        {"local file", true, false, false, true, {"start"}},
        {"publishing off", false, false, false, false, {"start", "stop"}},
        {"ftp again", false, true, true, false, {"start", "stop"}},
    };
    for (const Step& s : steps) {
        if (s.enabled != logic.fields().enabled)
            logic.onEnabled(s.enabled);
        if (s.useFtp != logic.fields().useFtp)
            logic.onUseFtp(s.useFtp);
        EXPECT_EQ(logic.accountEnabled(), s.accountOn) << s.what;
        EXPECT_EQ(logic.publishingEnabled(), s.publishingOn) << s.what;
        EXPECT_EQ(publisher.calls, s.calls) << s.what;
    }
    // The radio pairs are stored only by OK; Cancel puts the thread back as
    // the setting says.
    EXPECT_EQ(options.pftpEnabled, 0);
    logic.onEnabled(true);
    logic.onCancel();
    EXPECT_EQ(publisher.calls.back(), "stop");
    EXPECT_EQ(view.ends, std::vector<bool>{false});
    EXPECT_EQ(options.pftpEnabled, 0);
}

TEST_F(FtpStatusTest, BoxesAndVehicleChoiceWriteAtOnce) {
    logic.open();
    logic.onSaveAll(true);
    logic.onForceUpdates(true);
    logic.onCopyThenRename(false);
    EXPECT_EQ(options.pftpSaveAll, 1);
    EXPECT_EQ(options.pftpForceUpdates, 1);
    EXPECT_EQ(options.pftpCopyThenRename, 0);
    logic.onCancel();
    EXPECT_EQ(options.pftpSaveAll, 1);
}

TEST_F(FtpStatusTest, OkStoresTrimmedFieldsAndHandsThemToThePublisher) {
    logic.open();
    EXPECT_EQ(logic.fields().period, "7");
    EXPECT_EQ(logic.fields().maxPts, "20000");
    EXPECT_EQ(logic.fields().user, "anonymous");
    logic.onEnabled(true);
    logic.onText(FtpText::User, "  alice\t");
    logic.onText(FtpText::Password, " s3cret ");
    logic.onText(FtpText::Server, "\tftp.example.org ");
    logic.onText(FtpText::FileName, " tracks/me.kml ");
    logic.onText(FtpText::Period, " 30 ");
    logic.onText(FtpText::MaxPts, "5000");
    logic.onOk();
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(view.ends, std::vector<bool>{true});
    EXPECT_EQ(options.pftpEnabled, 1);
    EXPECT_EQ(options.pftpUserName, "alice");
    EXPECT_EQ(options.pftpPassword, "s3cret");
    EXPECT_EQ(options.pftpServerName, "ftp.example.org");
    EXPECT_EQ(options.pftpFileName, "tracks/me.kml");
    EXPECT_EQ(options.pftpSavePeriod, 30);
    EXPECT_EQ(options.pftpMaxPts, 5000);
    EXPECT_EQ(publisher.given.user, "alice");
    EXPECT_EQ(publisher.given.password, "s3cret");
    EXPECT_EQ(publisher.given.server, "ftp.example.org");
    EXPECT_EQ(publisher.given.fileName, "tracks/me.kml");
    EXPECT_EQ(publisher.given.useFtp, 1);
    EXPECT_EQ(publisher.given.period, 30);
}

TEST_F(FtpStatusTest, BadNumbersAndServerNames) {
    struct Case {
        const char* period;
        const char* maxPts;
        const char* server;
        bool accepted;
        int32_t storedPeriod, storedMaxPts;
    } cases[] = {
        // A period of 0 stops publishing; below 0 counts as 0.
        {"-5", "20000", "ftp.example.org", true, 0, 20000},
        {"1000000000000", "1000000000000", "ftp.example.org", true, 86400, 1000000},
        {"0", "-3", "ftp.example.org", true, 0, 1},
        {" 1", "0", "ftp.example.org", true, 1, 1},
        {"ten", "20000", "ftp.example.org", false, 3, 0},
        {"", "20000", "ftp.example.org", false, 3, 0},
        {"7", "20k", "ftp.example.org", false, 3, 0},
        {"7", "20000", "ftp://ftp.example.org", false, 3, 0},
        {"7", "20000", "ftp.exa mple.org", false, 3, 0},
        {"7", "20000", "ftp.example.org/dir", false, 3, 0},
        {"7", "20000", "", true, 7, 20000},
    };
    for (const Case& c : cases) {
        COptionsDlg o;
        o.pftpSavePeriod = 3;
        o.pftpMaxPts = 0;
        FakeFtpView v;
        CFtpStatusLogic l(v, o, nullptr, [] { return int64_t{0}; });
        l.open();
        l.onText(FtpText::Period, c.period);
        l.onText(FtpText::MaxPts, c.maxPts);
        l.onText(FtpText::Server, c.server);
        l.onOk();
        EXPECT_EQ(v.ends.size(), c.accepted ? 1u : 0u) << c.period << " " << c.server;
        EXPECT_EQ(v.messages.size(), c.accepted ? 0u : 1u) << c.period << " " << c.server;
        EXPECT_EQ(o.pftpSavePeriod, c.storedPeriod) << c.period;
        EXPECT_EQ(o.pftpMaxPts, c.storedMaxPts) << c.maxPts;
    }
}

TEST_F(FtpStatusTest, AnEmptyServerIsRefusedOnlyWhilePublishingByFtp) {
    struct Case {
        bool enabled;
        bool useFtp;
        const char* server;
        bool accepted;
    } cases[] = {
        {true, true, "", false}, {true, true, " \t ", false},           {true, false, "", true},
        {false, true, "", true}, {true, true, "ftp.example.org", true},
    };
    for (const Case& c : cases) {
        COptionsDlg o;
        FakeFtpView v;
        CFtpStatusLogic l(v, o, nullptr, [] { return int64_t{0}; });
        l.open();
        l.onEnabled(c.enabled);
        l.onUseFtp(c.useFtp);
        l.onText(FtpText::Server, c.server);
        l.onOk();
        const std::string what = std::string(c.enabled ? "on" : "off") +
                                 (c.useFtp ? " ftp " : " file ") + "\"" + c.server + "\"";
        EXPECT_EQ(v.ends.size(), c.accepted ? 1u : 0u) << what;
        if (!c.accepted) {
            EXPECT_EQ(v.messages, std::vector<std::string>{kFtpServerMissing}) << what;
            EXPECT_NE(o.pftpEnabled, 1) << "nothing stored: " << what;
        }
    }
}

} // namespace
