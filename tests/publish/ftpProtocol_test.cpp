// What the publisher reads from an FTP server and checks before it sends:
// reply framing, the PASV address and the published file name.
#include "publish/ftpProtocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(FtpReply, RepliesAreTakenWholeOneAtATime) {
    struct Case {
        const char* what;
        std::string pending;
        int result;
        std::string reply;
        std::string left;
    };
    const std::string endless(kFtpReplyMax + 1, 'x');
    const std::vector<Case> cases = {
        {"nothing yet", "", 0, "", ""},
        {"half a line", "220 read", 0, "", "220 read"},
        {"one line", "220 ready\r\n", 1, "220 ready\r\n", ""},
        {"code only", "200\r\n", 1, "200\r\n", ""},
        {"two replies", "150 go\r\n226 done\r\n", 1, "150 go\r\n", "226 done\r\n"},
        {"multi-line", "220-Welcome\r\n to it\r\n220-still\r\n220 ready\r\n331 x\r\n", 1,
         "220-Welcome\r\n to it\r\n220-still\r\n220 ready\r\n", "331 x\r\n"},
        {"multi-line not ended", "220-Welcome\r\n220-more\r\n", 0, "",
         "220-Welcome\r\n220-more\r\n"},
        {"another code does not end it", "220-a\r\n230 b\r\n220 c\r\n", 1,
         "220-a\r\n230 b\r\n220 c\r\n", ""},
        {"last line of the code alone", "211-a\r\n211\r\n", 1, "211-a\r\n211\r\n", ""},
        {"no code", "hello\r\n", -1, "", "hello\r\n"},
        {"short code", "22 x\r\n", -1, "", "22 x\r\n"},
        {"endless line", endless, -1, "", endless},
        {"endless multi-line", "220-a\r\n" + endless, -1, "", "220-a\r\n" + endless},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string pending = c.pending;
        std::string reply;
        EXPECT_EQ(takeFtpReply(pending, reply), c.result);
        EXPECT_EQ(reply, c.reply);
        EXPECT_EQ(pending, c.left);
    }
}

TEST(FtpReply, CodesAreTheFirstThreeDigits) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"220 ready", 220}, {"331-x", 331}, {"099", 99}, {"22", 0}, {"x220", 0}, {"", 0},
    };
    for (const auto& [text, code] : cases)
        EXPECT_EQ(ftpReplyCode(text), code) << text;
}

TEST(PassiveReply, OnlySixNumbersFrom0To255AfterTheParenthesisMakeAnAddress) {
    struct Case {
        const char* reply;
        bool ok;
        const char* host;
        int port;
    };
    const std::vector<Case> cases = {
        {"227 Entering Passive Mode (10,0,0,1,4,1).", true, "10.0.0.1", 1025},
        {"227 Entering Passive Mode (127,0,0,1,195,80)\r\n", true, "127.0.0.1", 50000},
        {"227 =( 192, 168, 1, 2, 0, 21)", true, "192.168.1.2", 21},
        {"227 Entering Passive Mode (127,0,0,1,256,1)", false, "", 0},
        {"227 Entering Passive Mode (127,0,0,300,4,1)", false, "", 0},
        {"227 Entering Passive Mode (127,0,0,1,-4,1)", false, "", 0},
        {"227 Entering Passive Mode (-127,0,0,1,4,1)", false, "", 0},
        {"227 Entering Passive Mode 127,0,0,1,4,1", false, "", 0},
        {"227 Entering Passive Mode (127,0,0,1,4)", false, "", 0},
        {"227 Entering Passive Mode (127,0,0,1,4,", false, "", 0},
        {"227 Entering Passive Mode (127;0;0;1;4;1)", false, "", 0},
        {"227 Entering Passive Mode (127,0,0,1,0,0)", false, "", 0},
        {"227 Entering Passive Mode (99999999999,0,0,1,4,1)", false, "", 0},
        {"227 (a,b,c,d,e,f)", false, "", 0},
        {"", false, "", 0},
    };
    for (const Case& c : cases) {
        std::string host = "unchanged";
        int port = -7;
        EXPECT_EQ(parsePassiveReply(c.reply, host, port), c.ok) << c.reply;
        if (c.ok) {
            EXPECT_EQ(host, c.host) << c.reply;
            EXPECT_EQ(port, c.port) << c.reply;
        } else {
            EXPECT_EQ(host, "unchanged") << c.reply;
            EXPECT_EQ(port, -7) << c.reply;
        }
    }
}

TEST(FtpFileName, NamesAreSplitAndBadOnesRefusedWithAReason) {
    struct Case {
        std::string fileName;
        const char* reason; // empty: accepted
        const char* directory;
        const char* name;
    };
    const std::vector<Case> cases = {
        {"Me.kml", "", "", "Me.kml"},
        {"  www/tracks/Me.kml", "", "www/tracks", "Me.kml"},
        {"/public_html/Me.kml", "", "/public_html", "Me.kml"},
        {"www\\Me.kml", "", "www", "Me.kml"},
        {"my..track.kml", "", "", "my..track.kml"},
        {"www/", "no file name after the last '/'", "", ""},
        {"", "no file name after the last '/'", "", ""},
        {"   ", "no file name after the last '/'", "", ""},
        {"..", "'..' in the name", "", ""},
        {"../Me.kml", "'..' in the name", "", ""},
        {"www/../../etc/Me.kml", "'..' in the name", "", ""},
        {"www\\..\\Me.kml", "'..' in the name", "", ""},
        {std::string(1000, 'a'), "longer than 255 characters", "", ""},
        {"Me.kml\r\nDELE index.html", "control characters in the name", "", ""},
        {std::string("Me\0.kml", 7), "control characters in the name", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fileName.substr(0, 40));
        std::string directory = "unchanged", name = "unchanged";
        EXPECT_EQ(splitFtpFileName(c.fileName, directory, name), c.reason);
        if (*c.reason == '\0') {
            EXPECT_EQ(directory, c.directory);
            EXPECT_EQ(name, c.name);
        } else {
            EXPECT_EQ(directory, "unchanged");
            EXPECT_EQ(name, "unchanged");
        }
    }
    EXPECT_TRUE(fitsFtpCommand("anonymous"));
    EXPECT_FALSE(fitsFtpCommand("me\r\nDELE x"));
    EXPECT_FALSE(fitsFtpCommand(std::string("a\tb")));
}

} // namespace
