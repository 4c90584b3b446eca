// Text from outside made safe: cleaned names, XML text that stays well-formed,
// and file names that stay in the start directory.
#include "track/outsideText.h"

#include "earth/kmlText.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

TEST(OutsideText, InvalidBytesAndControlsAreReplaced) {
    struct Case {
        std::string in, clean, xml;
    };
    const Case cases[] = {
        {"plain text", "plain text", "plain text"},
        {"Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x9a\x97", "Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x9a\x97",
         "Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x9a\x97"},
        {"Caf\xe9", "Caf?", "Caf?"},                                    // Latin-1, not UTF-8
        {std::string("a\0b", 3), "a?b", "a?b"},                         // NUL
        {"\x1b[31mred", "?[31mred", "?[31mred"},                        // terminal escape
        {"tab\tline\ncr\r", "tab?line?cr?", "tab\tline\ncr\r"},         // kept in XML only
        {"\x7f\xc2\x80\xc2\x9f\xc2\xa0", "???\xc2\xa0", "???\xc2\xa0"}, // DEL, C1, NBSP
        {"\xc0\xaf", "??", "??"},                                       // overlong '/'
        {"\xed\xa0\x80", "???", "???"},                                 // surrogate
        {"\xf4\x90\x80\x80", "????", "????"},                           // past U+10FFFF
        {"\xef\xbf\xbe\xef\xbf\xbd", "?\xef\xbf\xbd", "?\xef\xbf\xbd"}, // U+FFFE, U+FFFD
        {"cut \xe2\x82", "cut ??", "cut ??"},                           // sequence cut short
        {"<a & b>", "<a & b>", "&lt;a &amp; b&gt;"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cleanText(c.in), c.clean) << c.in;
        std::string xml;
        appendXmlText(xml, c.in);
        EXPECT_EQ(xml, c.xml) << c.in;
    }
}

TEST(OutsideText, FileStemsStayInTheStartDirectoryAndNeverCollide) {
    struct Case {
        std::string key;
        bool keepsName;
        const char* why;
    };
    const Case cases[] = {
        {"Me@localhost", true, "the local vehicle's file keeps its name"},
        {"SANAV GC101@352024020000000", true, "blanks and digits are safe"},
        {"Truck (7)@unit-42_a.b+c,d", true, "the safe punctuation"},
        {"M\xc3\xbcller@host", true, "printable non-ASCII stays"},
        {"a/b@x", false, "a slash"},
        {"a.b@x", true, "not the same file as a/b@x"},
        {"C:\\Windows@id5", false, "drive and backslash"},
        {std::string(".bash_login\0@x", 14), false, "NUL and a leading dot"},
        {"..@x", false, "a leading dot"},
        {"", false, "empty"},
        {"*?<>|\"'$`@x", false, "shell and Windows specials"},
        {"Car\x01@7", false, "a control byte"},
        {std::string(300, 'a'), false, "too long"},
        {std::string(300, 'a') + "b", false, "too long, differs only past the cut"},
    };
    std::set<std::string> stems;
    for (const Case& c : cases) {
        std::string stem = safeFileStem(c.key);
        SCOPED_TRACE(c.why);
        EXPECT_EQ(stem == c.key, c.keepsName) << stem;
        EXPECT_FALSE(stem.empty());
        EXPECT_NE(stem[0], '.');
        EXPECT_LE(stem.size(), kSafeStemMax + 9);
        EXPECT_EQ(stem.find_first_of(std::string("/\\:\0", 4)), std::string::npos) << stem;
        EXPECT_EQ(cleanText(stem), stem) << "no controls, valid UTF-8";
        EXPECT_TRUE(stems.insert(stem).second) << "two keys share " << stem;
        EXPECT_EQ(safeFileStem(c.key), stem) << "the same key gives the same file every time";
    }
}

TEST(OutsideText, LogTextShowsControlsAsEscapesAndCannotStartALine) {
    struct Case {
        std::string in;
        size_t max;
        std::string logged;
    };
    const Case cases[] = {
        {"220 Welcome", kLogTextMax, "220 Welcome"},
        {"230 ok\r\n", kLogTextMax, "230 ok\\x0d\\x0a"},
        {"a\n19:00:00:000[1] CTrack::add(1) forged", kLogTextMax,
         "a\\x0a19:00:00:000[1] CTrack::add(1) forged"},
        {std::string("\0\x1b[2J\x7f", 6), kLogTextMax, "\\x00\\x1b[2J\\x7f"},
        {"C1 \xc2\x9b"
         "31m",
         kLogTextMax, "C1 \\xc2\\x9b31m"},                            // a C1 escape
        {"Caf\xe9 Z\xc3\xbcrich", kLogTextMax, "Caf? Z\xc3\xbcrich"}, // Latin-1, UTF-8
        {"0123456789", 4, "0123..."},
        {"ab\xc3\xbc", 3, "ab?..."}, // cut inside a character
        {"", kLogTextMax, ""},
    };
    for (const Case& c : cases) {
        const std::string logged = logText(c.in, c.max);
        EXPECT_EQ(logged, c.logged) << c.in;
        EXPECT_EQ(logged.find_first_of(std::string("\r\n\0\x1b", 4)), std::string::npos);
        EXPECT_EQ(cleanText(logged), logged) << "valid UTF-8 without controls";
    }
}

TEST(OutsideText, CleanKeysStayKeysAndNeverMeet) {
    const std::string keys[] = {"Me@localhost", "Reg\xff@2", "Reg\xfe@2",      "Reg?@2",
                                "Car\x01@7",    "Car\x02@7", "M\xc3\xbcller@h"};
    std::set<std::string> seen;
    for (const std::string& key : keys) {
        const std::string clean = cleanKey(key);
        EXPECT_EQ(cleanText(clean), clean) << key;
        EXPECT_EQ(clean == key, cleanText(key) == key) << "a clean key stays as it is: " << key;
        EXPECT_TRUE(seen.insert(clean).second) << "two keys became " << clean;
        EXPECT_EQ(cleanKey(key), clean);
    }
}
