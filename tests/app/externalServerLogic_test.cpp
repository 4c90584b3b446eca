// The external server dialog's rules without a window: the period floors of
// both variants, the trimmed accounts, Enter that stores and stays, the close
// that stores and ends, refused input and the web-site buttons.
#include "app/OptionsDlg.h"
#include "app/dialogFields.h"
#include "app/externalServerLogic.h"

#include <gtest/gtest.h>

namespace {

class FakeServerView : public CExternalServerView {
public:
    int refreshes = 0;
    std::vector<std::string> messages;
    int ends = 0;
    std::vector<std::string> opened;
    void refresh() override { ++refreshes; }
    void message(const std::string& text) override { messages.push_back(text); }
    void endDialog() override { ++ends; }
    void openWebSite(const std::string& url) override { opened.push_back(url); }
};

TEST(ExternalServerPeriods, FloorsByService) {
    struct Case {
        bool mapFactor;
        const char* web;
        const char* gpsg;
        int32_t moloFreq, gpsgFreq;
    } cases[] = {
        {false, "5", "5", 10, 5},
        {true, "5", "5", 5, 5},
        {false, "10", "1", 10, 1},
        {false, "600", "45", 600, 45},
        {false, "-20", "-20", 10, 1},
        {true, "0", "0", 1, 1},
        {false, "1000000000000", "1000000000000", 86400, 86400},
        {true, " 42 ", "+7", 42, 7},
    };
    for (const Case& c : cases) {
        COptionsDlg o;
        FakeServerView v;
        CExternalServerLogic l(v, o, c.mapFactor);
        l.open();
        l.fields().webFreq = c.web;
        l.fields().gpsgFreq = c.gpsg;
        ASSERT_TRUE(l.store()) << c.web;
        EXPECT_EQ(o.moloFreq, c.moloFreq) << c.mapFactor << " " << c.web;
        EXPECT_EQ(o.gpsgFreq, c.gpsgFreq) << c.gpsg;
        // The fields show what was stored.
        EXPECT_EQ(l.fields().webFreq, std::to_string(c.moloFreq));
    }
}

class ExternalServerTest : public ::testing::Test {
protected:
    COptionsDlg options;
    FakeServerView view;
    CExternalServerLogic logic{view, options, false};
};

TEST_F(ExternalServerTest, OpeningShowsTheSettings) {
    options.moloName = "bob";
    options.moloFreq = 90;
    options.gpsgEnable = 1;
    options.gpsgUpdate = 1;
    options.gpsgPass = "pw";
    logic.open();
    EXPECT_EQ(view.refreshes, 1);
    EXPECT_EQ(logic.fields().webName, "bob");
    EXPECT_EQ(logic.fields().webFreq, "90");
    EXPECT_EQ(logic.fields().gpsgFreq, "60");
    EXPECT_TRUE(logic.fields().gpsgEnable);
    EXPECT_TRUE(logic.fields().gpsgUpdate);
    EXPECT_FALSE(logic.fields().webEnable);
    EXPECT_EQ(logic.fields().gpsgPass, "pw");
    EXPECT_EQ(logic.fields().gpsgServer, options.gpsgServerName);
}

TEST_F(ExternalServerTest, EnterStoresAndStaysCloseStoresAndEnds) {
    logic.open();
    ExternalServerFields& f = logic.fields();
    f.webEnable = true;
    f.webName = "  alice ";
    f.webPass = "\tpw1 ";
    f.webFreq = "5";
    f.gpsgEnable = true;
    f.gpsgName = " carol";
    f.gpsgPass = "pw2\t";
    f.gpsgFreq = "5";
    f.gpsgUpdate = true;
    f.gpsgServer = " online.gpsgate.com ";
    logic.onEnter();
    EXPECT_EQ(view.ends, 0);
    EXPECT_EQ(options.moloEnable, 1);
    EXPECT_EQ(options.moloName, "alice");
    EXPECT_EQ(options.moloPass, "pw1");
    EXPECT_EQ(options.moloFreq, 10);
    EXPECT_EQ(options.gpsgEnable, 1);
    EXPECT_EQ(options.gpsgName, "carol");
    EXPECT_EQ(options.gpsgPass, "pw2");
    EXPECT_EQ(options.gpsgFreq, 5);
    EXPECT_EQ(options.gpsgUpdate, 1);
    EXPECT_EQ(options.gpsgServerName, "online.gpsgate.com");
    EXPECT_EQ(logic.fields().webFreq, "10");

    // Escape and the close box keep what was typed since.
    logic.fields().webName = "dave";
    logic.fields().gpsgUpdate = false;
    logic.onClose();
    EXPECT_EQ(view.ends, 1);
    EXPECT_EQ(options.moloName, "dave");
    EXPECT_EQ(options.gpsgUpdate, 0);
}

TEST_F(ExternalServerTest, UnusableFieldsAreRefusedWithAMessage) {
    struct Case {
        const char* web;
        const char* gpsg;
        const char* server;
    } cases[] = {
        {"ten", "60", "online.gpsgate.com"}, {"60", "", "online.gpsgate.com"},
        {"60", "1e3", "online.gpsgate.com"}, {"60", "60", "http://online.gpsgate.com"},
        {"60", "60", "online gpsgate.com"},
    };
    for (const Case& c : cases) {
        COptionsDlg o;
        FakeServerView v;
        CExternalServerLogic l(v, o, false);
        l.open();
        const std::string serverBefore = o.gpsgServerName;
        l.fields().webName = "changed";
        l.fields().webFreq = c.web;
        l.fields().gpsgFreq = c.gpsg;
        l.fields().gpsgServer = c.server;
        l.onClose();
        EXPECT_EQ(v.ends, 0) << c.web << " " << c.gpsg << " " << c.server;
        EXPECT_EQ(v.messages.size(), 1u) << c.server;
        // Nothing is stored from a refused read.
        EXPECT_EQ(o.moloName, "");
        EXPECT_EQ(o.gpsgServerName, serverBefore);
        // A server name is explained with a GpsGate server, not an FTP one.
        if (!v.messages.empty() && v.messages[0].find("server name") != std::string::npos) {
            EXPECT_NE(v.messages[0].find("online.gpsgate.com."), std::string::npos)
                << v.messages[0];
            EXPECT_EQ(v.messages[0].find("ftp.example"), std::string::npos) << v.messages[0];
        }
    }
}

TEST(ExternalServerSites, ButtonsOpenTheServicesSites) {
    COptionsDlg o;
    for (bool mapFactor : {false, true}) {
        FakeServerView v;
        CExternalServerLogic l(v, o, mapFactor);
        l.onWebSite();
        l.onGpsGateSite();
        EXPECT_EQ(v.opened, (std::vector<std::string>{mapFactor ? kMapFactorSite : kMologogoSite,
                                                      kGpsGateSite}));
        const ExternalServerTexts t = externalServerTexts(mapFactor);
        EXPECT_EQ(t.webGroup, mapFactor ? "MapFactor" : "Mologogo");
        EXPECT_NE(t.webInstructions.find(mapFactor ? "VTU" : "mologogo.com/public"),
                  std::string::npos);
        EXPECT_NE(t.gpsgInstructions.find("gpsgate.com"), std::string::npos);
    }
}

TEST(DialogFields, WholeNumbersTrimsAndHostNames) {
    struct Num {
        const char* text;
        std::optional<int32_t> value;
    } nums[] = {
        {"42", 42},
        {" 42\t", 42},
        {"+5", 5},
        {"-5", 0},
        {"99999", 1000},
        {"", {}},
        {"-", {}},
        {"4 2", {}},
        {"1.5", {}},
        {"12s", {}},
        {"0x10", {}},
        {"ten", {}},
        {"1000000000000000000000000000000", 1000},
        {"-1000000000000000000000000000000", 0},
    };
    for (const Num& n : nums)
        EXPECT_EQ(readWholeNumber(n.text, 0, 1000), n.value) << n.text;

    EXPECT_EQ(trimBlanks(" \t a b \t"), "a b");
    EXPECT_EQ(trimBlanks(" \t "), "");

    struct Host {
        const char* host;
        bool ok;
    } hosts[] = {
        {"ftp.example.org", true}, {"", true},       {"10.0.0.1", true},
        {"ftp://h", false},        {"a b", false},   {"h/dir", false},
        {"h\\dir", false},         {"h\x01", false}, {"host\tname", false},
    };
    for (const Host& h : hosts) {
        const std::string problem = hostNameProblem(h.host, "ftp.example.com");
        EXPECT_EQ(problem.empty(), h.ok) << h.host;
        if (!h.ok) {
            EXPECT_NE(problem.find("for example ftp.example.com."), std::string::npos) << problem;
        }
    }
}

} // namespace
