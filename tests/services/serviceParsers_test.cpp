// The pure parts of the GpsGate, Mologogo and MapFactor links: what each
// service's text turns into, and what is refused.
#include "common/traceCapture.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "remote/gpsgateText.h"
#include "remote/mapfactorHistory.h"
#include "remote/mologogoPage.h"
#include "remote/updatePeriod.h"
#include "track/nmea.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

// The local calendar fields of a position time, read back independently of
// the parsers: position times are UTC seconds plus the zone offset.
struct LocalFields {
    int year, month, day, hour, minute, second;
    bool operator==(const LocalFields&) const = default;
};
LocalFields localFields(int64_t fixTime) {
    time_t utc = static_cast<time_t>(fixTimeToUtc(fixTime));
    struct tm t = {};
    localtime_r(&utc, &t);
    return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

std::string withChecksum(const std::string& sentence) {
    std::string line = sentence;
    appendNmeaChecksum(sentence.c_str(), line);
    return line;
}

// A "$FRPOS" line for buddy `name` at the given position (ddmm.mmm form).
std::string frpos(const std::string& lat, const std::string& lon, const std::string& name,
                  bool checksum = true) {
    std::string s = "$FRPOS," + lat + ",N," + lon + ",E,545.4,22.4,84.4,230309,123519.00," + name;
    return (checksum ? withChecksum(s) : s) + "\r\n";
}

std::string marker(const std::string& when, const std::string& lat, const std::string& lon) {
    return "createMarker(point,\"" + when + "\",\"icon\",\"" + lat + "\",\"" + lon +
           "\",\"info\");\n";
}

// A vehicle of its own for each test (vehicles are never destroyed).
CClient& freshVehicle(const std::string& key) {
    static CClients list("servicetests");
    return *list.add(key + std::to_string(list.vehicles(true).size()));
}

std::vector<GpsFix> trackOldestFirst(CClient& v) {
    std::vector<GpsFix> out;
    for (int i = v.track.pointCount() - 1; i >= 0; --i) {
        GpsFix f;
        CTrack::toFix(*v.track.point(i), f);
        out.push_back(f);
    }
    return out;
}

} // namespace

TEST(GpsGateText, passwordScrambling) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"abc", "XYZ"},
        {"", ""},
        {"0123456789", "0123456789"}, // backwards, and each digit c as 105 - c
        {"09", "09"},
        {"19", "08"},
        {"Az", "Az"},
        {"a-b!", "!Y-Z"}, // neither digit nor letter: kept as it is
        {"p@ss w0rd", "WI9D HH@K"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(scramblePassword(c.in), c.out) << c.in;
}

TEST(GpsGateText, linesCarryChecksumAndLineEnd) {
    EXPECT_EQ(gpsgateLine("$abc"), "$abc*60\r\n");
    EXPECT_EQ(gpsgateLine("$FRWDT,ALL"), withChecksum("$FRWDT,ALL") + "\r\n");
    std::string rdt = gpsgateLine("$FRRDT,_buddies,1");
    EXPECT_EQ(rdt.substr(0, 18), "$FRRDT,_buddies,1*");
    EXPECT_EQ(rdt.substr(rdt.size() - 2), "\r\n");
}

TEST(GpsGateText, buddyMatchedOnItsNameField) {
    // Appended piece by piece: GCC 12 at -O3 takes a chain of + and replace()
    // for an overlapping copy (-Wrestrict).
    std::string reply = "$FRSES,1\r\n";
    reply += frpos("4807.038", "01131.000", "joanna");
    reply += frpos("5130.000", "00007.000", "ann");
    reply += frpos("4000.000", "00300.000", "bob", false);
    std::string damaged = frpos("4100.000", "00400.000", "eve");
    damaged[20] = '9'; // the checksum no longer matches
    reply += damaged;
    reply += "$FRPOS,4807.038,N,01131.000,E,545.4,22.4,84.4,230394,123519.00\r\n";
    reply += frpos("9100.000", "00000.000", "far"); // latitude beyond the pole
    reply += frpos("4807.038", "01131.000", "dan$");
    struct Case {
        const char* name;
        int result;
        double lat;
        double lon;
    } cases[] = {
        {"ann", 1, 51.5, 7.0 / 60}, // not joanna's position
        {"joanna", 1, 48.1173, 11.0 + 31.0 / 60},
        {"bob", 1, 40.0, 3.0}, // a line without a checksum is read as it is
        {"eve", -1, 0, 0},     // its checksum does not hold
        {"carl", 0, 0, 0},     // not in the reply
        {"", 0, 0, 0},
        {"Ann", 0, 0, 0},  // names compare case-sensitively
        {"far", -1, 0, 0}, // latitude ignored, leaving 0,0: refused
        {"dan$", 1, 48.1173, 11.0 + 31.0 / 60},
    };
    for (const Case& c : cases) {
        GpsFix fix;
        TraceCapture log;
        EXPECT_EQ(findBuddyPosition(reply, c.name, fix), c.result) << c.name;
        if (c.result == 1) {
            EXPECT_NEAR(fix.lat, c.lat, 1e-9) << c.name;
            EXPECT_NEAR(fix.lon, c.lon, 1e-9) << c.name;
            EXPECT_NE(fix.time, 0) << c.name;
        } else {
            EXPECT_EQ(fix.lat, 0) << c.name;
            EXPECT_EQ(fix.time, 0) << c.name;
        }
        if (std::string(c.name) == "eve") {
            EXPECT_TRUE(log.contains("bad nmea checksum")) << log.all();
        }
    }
}

TEST(GpsGateText, sentenceStartStaysInsideTheReply) {
    std::string line = frpos("4807.038", "01131.000", "ann");
    struct Case {
        std::string reply;
        size_t pos;
        int result;
    } cases[] = {
        {line, line.size() - 5, 1},
        {line, 0, 1},                // the '$' itself
        {line, line.size() + 10, 0}, // beyond the reply
        {"no dollar here", 5, 0},
        {std::string(2000, 'x') + line, 2000 + 30, 1},
        {line + std::string(1100, 'x'), line.size() + 1099, 0}, // '$' further back than 1023
        {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W", 20, 0},
        {std::string(40000, 'x'), 39999, 0}, // a long reply without a line end
    };
    for (const Case& c : cases) {
        GpsFix fix;
        EXPECT_EQ(findSentenceStart(c.reply, c.pos, fix), c.result) << c.reply.substr(0, 40);
    }
    GpsFix fix;
    EXPECT_EQ(findBuddyPosition(std::string(40000, 'a'), "aaa", fix), 0);
}

TEST(MologogoText, nextQuotedField) {
    struct Case {
        const char* text;
        size_t offset;
    } cases[] = {
        {"createMarker(p,\"x\"", 16}, {"a,\"", 3},        {"a\",\"", 4},
        {"no comma \"", 0},           {"a, no quote", 0}, {"", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(nextQuotedField(c.text), c.offset) << c.text;
}

TEST(MologogoText, markerTimesReadAsLocalTwelveHourClock) {
    struct Case {
        const char* when;
        LocalFields local;
    } cases[] = {
        {"12:15 AM 3/4/2009", {2009, 3, 4, 0, 15, 0}},
        {"12:15 PM 3/4/2009", {2009, 3, 4, 12, 15, 0}},
        {"1:15 PM 3/4/2009", {2009, 3, 4, 13, 15, 0}},
        {"1:15 AM 3/4/2009", {2009, 3, 4, 1, 15, 0}},
        {"11:59 PM 12/31/2008", {2008, 12, 31, 23, 59, 0}},
        {"7:05 PM 7/14/2010", {2010, 7, 14, 19, 5, 0}}, // a summer date
    };
    for (const Case& c : cases) {
        std::string text = marker(c.when, "48.1", "11.5");
        int64_t t = 0;
        double lat = 0, lon = 0;
        size_t used = parseMarker(text, t, lat, lon);
        EXPECT_EQ(used, text.find("info")) << c.when;
        EXPECT_EQ(localFields(t), c.local) << c.when;
        EXPECT_DOUBLE_EQ(lat, 48.1);
        EXPECT_DOUBLE_EQ(lon, 11.5);
    }
}

TEST(MologogoText, unusableMarkersRefused) {
    struct Case {
        std::string text;
        const char* why;
    } cases[] = {
        {marker("1:15 PM 3/4/2009", "0", "11.5"), "unreadable latitude"},
        {marker("1:15 PM 3/4/2009", "48.1", "0"), "unreadable longitude"},
        {marker("1:15 PM 3/4/2009", "1e308", "11.5"), "position out of range"},
        {marker("1:15 PM 3/4/2009", "48.1", "-180.5"), "position out of range"},
        {marker("1:15 PM 3/4/2009", "NaN", "11.5"), "unreadable latitude"},
        {marker("1:15 PM 3/4/2009", "48.1", "inf"), "unreadable longitude"},
        {marker("1:15 PM 3/4/2009", "1e999", "11.5"), "unreadable latitude"},
        {marker("13:75 PM 3/4/2009", "48.1", "11.5"), "time out of range"},
        {marker("1:15 PM 99/99/99", "48.1", "11.5"), "date out of range"},
        {marker("1:15 PM 2/30/1969", "48.1", "11.5"), "date out of range"},
        {marker("1:15 PM 2/3/99999999999", "48.1", "11.5"), "unreadable date"},
        {marker("noon", "48.1", "11.5"), "unreadable time"},
        {marker("1:15 PM", "48.1", "11.5"), "no date"},
        {"createMarker(point,\"1:15 PM 3/4/2009\",\"icon\",\"48.1\",\"11.5\")",
         "cut off after the longitude"},
        {"createMarker(point,1:15 PM 3/4/2009,icon,48.1,11.5,info)", "no quoted time argument"},
        {"createMarker(", "no quoted time argument"},
        {"createMarker(p,\"1:15 PM 3/4/2009\"", "no latitude"},
        {"createMarker(p,\"1:15 PM 3/4/2009\",\"i\",\"48.1\"", "no longitude"},
    };
    for (const Case& c : cases) {
        int64_t t = 7;
        double lat = 7, lon = 7;
        const char* why = "";
        EXPECT_EQ(parseMarker(c.text, t, lat, lon, &why), 0u) << c.text;
        EXPECT_STREQ(why, c.why) << c.text;
        EXPECT_EQ(t, 7) << c.text; // outputs untouched
    }
}

TEST(MologogoPage, newestFirstPageAddedOldestFirst) {
    std::string page = "<html><script>function show(){}\n" +
                       marker("3:00 PM 3/4/2009", "48.3", "11.3") +
                       marker("2:00 PM 3/4/2009", "48.2", "11.2") +
                       marker("1:00 PM 3/4/2009", "48.1", "11.1") + "</script></html>";
    CClient& v = freshVehicle("page");
    EXPECT_EQ(parseMarkerPage(page, v), 3);
    auto pts = trackOldestFirst(v);
    ASSERT_EQ(pts.size(), 3u);
    EXPECT_NEAR(pts[0].lat, 48.1, 1e-5);
    EXPECT_NEAR(pts[2].lat, 48.3, 1e-5);
    EXPECT_EQ(localFields(pts[0].time).hour, 13);
    EXPECT_EQ(localFields(pts[2].time).hour, 15);
    EXPECT_EQ(v.online, 1);
    EXPECT_NEAR(v.curPos.lat, 48.3, 1e-9); // the newest entry

    // The same page again holds nothing new; a page with one newer entry adds one.
    EXPECT_EQ(parseMarkerPage(page, v), 0);
    EXPECT_EQ(parseMarkerPage(marker("4:00 PM 3/4/2009", "48.4", "11.4") + page, v), 1);
    EXPECT_EQ(v.track.pointCount(), 4);
    // A page whose first entry is not newer adds nothing, even if older ones follow.
    EXPECT_EQ(parseMarkerPage(marker("4:00 PM 3/4/2009", "48.5", "11.5") +
                                  marker("5:00 PM 3/4/2009", "48.6", "11.6"),
                              v),
              0);
    EXPECT_EQ(v.track.pointCount(), 4);
}

TEST(MologogoPage, hostilePagesHeldToTheLimits) {
    // 10000 marker calls in a page of 999999 bytes, newest first, a minute apart.
    std::string page;
    for (int i = 0; i < 10000; ++i) {
        int minutes = 10000 - i;
        char when[64];
        std::snprintf(when, sizeof when, "%d:%02d AM %d/%d/2009",
                      (minutes / 60) % 12 == 0 ? 12 : (minutes / 60) % 12, minutes % 60,
                      1 + (minutes / 60 / 24) / 28, 1 + (minutes / 60 / 24) % 28);
        page += marker(when, "48.1", "11.5");
    }
    page.resize(kMoloPageMax, ' ');
    CClient& v = freshVehicle("big");
    TraceCapture log;
    int added = parseMarkerPage(page, v);
    EXPECT_LE(added, kMoloMaxEntries);
    EXPECT_GT(added, 0);
    EXPECT_TRUE(log.contains("more than 2047 new entries")) << log.all().substr(0, 2000);

    // Broken markers: each refused with a line, the good one still read.
    CClient& w = freshVehicle("broken");
    TraceCapture log2;
    std::string broken = marker("1:00 PM 3/4/2009", "1e308", "11.5") + "createMarker(point,\"1:00" +
                         marker("9:00 AM 3/4/2009", "48.1", "NaN") +
                         marker("8:00 AM 3/4/2009", "48.1", "11.1") + "createMarker(";
    EXPECT_EQ(parseMarkerPage(broken, w), 1);
    EXPECT_EQ(w.track.pointCount(), 1);
    EXPECT_TRUE(log2.contains("refused: position out of range")) << log2.all();
    EXPECT_TRUE(log2.contains("createMarker entries refused")) << log2.all();
}

TEST(MologogoText, cookieStore) {
    struct Case {
        std::string reply;
        bool taken;
        std::string line; // the store afterwards
    } cases[] = {
        {"HTTP/1.1 302 Found\r\nSet-Cookie: sid=abc123; path=/\r\n\r\n", true,
         "Cookie: sid=abc123"},
        {"HTTP/1.1 200 OK\r\nSet-Cookie: sid=xyz\r\nContent-Length: 0\r\n\r\nbody", true,
         "Cookie: sid=xyz"},
        {"HTTP/1.1 200 OK\r\n\r\nno cookie", false, "Cookie: sid=xyz"},
        {"HTTP/1.1 200 OK\r\nSet-Cookie: sid=" + std::string(10000, 'c') + "; path=/\r\n\r\n",
         false, "Cookie: sid=xyz"},
        {"Set-Cookie: s=" + std::string(kMoloCookieMax - 10, 'k'), true,
         "Cookie: s=" + std::string(kMoloCookieMax - 10, 'k')},
    };
    MoloCookieStore store;
    EXPECT_EQ(store.line(), "");
    for (const Case& c : cases) {
        TraceCapture log;
        EXPECT_EQ(store.takeFromReply(c.reply), c.taken) << c.reply.substr(0, 60);
        EXPECT_EQ(store.line(), c.line);
        if (!c.taken) {
            EXPECT_FALSE(log.lines().empty());
        }
    }
}

TEST(MologogoText, requestsByteForByte) {
    EXPECT_EQ(moloPageRequest("ann", true, "mologogo.com", "Cookie: x=1"),
              "GET /waypoints/public/ann HTTP/1.0\r\nAccept: */*\r\nUser-Agent: nivramolo/1.0\r\n"
              "Host: mologogo.com\r\n\r\n\r\n");
    EXPECT_EQ(moloPageRequest("ann", false, "mologogo.com", "Cookie: x=1"),
              "GET /friends/private/ann HTTP/1.0\r\nAccept: */*\r\nUser-Agent: nivramolo/1.0\r\n"
              "Host: mologogo.com\r\nCookie: x=1\r\n\r\n\r\n");
    EXPECT_EQ(moloPageRequest("ann", false, "mologogo.com", ""),
              "GET /friends/private/ann HTTP/1.0\r\nAccept: */*\r\nUser-Agent: nivramolo/1.0\r\n"
              "Host: mologogo.com\r\n\r\n\r\n\r\n");
    // A name cannot break the request line or add a header.
    EXPECT_EQ(moloPageRequest("a b\r\nX: y", true, "h", "").substr(0, 42),
              "GET /waypoints/public/a%20b%0D%0AX%3A%20y ");
    std::string body = "user_login=me&user_password=pw&login=Login+%C2%BB\r\n";
    EXPECT_EQ(moloLoginRequest("mologogo.com", "me", "pw"),
              "POST /account/login HTTP/1.1\r\nAccept: */*\r\nUser-Agent: nivramolo/1.0\r\n"
              "Host: mologogo.com\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_NE(moloLoginRequest("h", "me", "a&b=c").find("user_password=a%26b%3Dc&login"),
              std::string::npos);
}

TEST(MapFactorText, historyRecords) {
    struct Case {
        std::string text;
        int result;
        LocalFields local;
        double lat, lon, alt, spd;
    } cases[] = {
        {"2009-01-02 13:14:15;3600000;18000000;120;35;0;0;0",
         1,
         {2009, 1, 2, 13, 14, 15},
         5.0,
         1.0,
         120,
         35},
        {"2010-07-14 19:05:00;-3600000;-18000000;-5;0;1;2;3</td>",
         1,
         {2010, 7, 14, 19, 5, 0},
         -5.0,
         -1.0,
         -5,
         0},
        {"2009-01-02 13:14:15;3600000;18000000;120;35;0;0", 0, {}, 0, 0, 0, 0},    // 12 fields
        {"2009-01-02 13:14:15;3600000;324000001;120;35;0;0;0", 0, {}, 0, 0, 0, 0}, // beyond the
                                                                                   // pole
        {"2009-01-02 13:14:15;1e308;18000000;120;35;0;0;0", 0, {}, 0, 0, 0, 0},
        {"2009-01-02 13:14:15;nan;18000000;120;35;0;0;0", 0, {}, 0, 0, 0, 0},
        {"2009-13-02 13:14:15;3600000;18000000;120;35;0;0;0", 0, {}, 0, 0, 0, 0},
        {"2009-01-02 25:14:15;3600000;18000000;120;35;0;0;0", 0, {}, 0, 0, 0, 0},
        {"99-99-99 99:99:99;3600000;18000000;120;35;0;0;0", 0, {}, 0, 0, 0, 0},
        {"2009-01-02 13:14:15;0;0;120;35;0;0;0", 0, {}, 0, 0, 0, 0},
        {"2009-01-02", 0, {}, 0, 0, 0, 0},
        {"", 0, {}, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        int64_t t = 0;
        double lat = 0, lon = 0, alt = 0, spd = 0;
        EXPECT_EQ(parseHistoryRecord(c.text, t, lat, lon, alt, spd), c.result) << c.text;
        if (c.result == 1) {
            EXPECT_EQ(localFields(t), c.local) << c.text;
            EXPECT_DOUBLE_EQ(lat, c.lat);
            EXPECT_DOUBLE_EQ(lon, c.lon);
            EXPECT_EQ(alt, c.alt);
            EXPECT_EQ(spd, c.spd);
        } else {
            EXPECT_EQ(t, 0) << c.text;
        }
    }
}

TEST(MapFactorText, recordStarts) {
    struct Case {
        const char* text;
        std::ptrdiff_t pos;
        std::optional<size_t> start;
    } cases[] = {
        {"<a>rec1<b>rec2", 13, 10},
        {"<a>rec1<b>rec2", 9, 10},
        {"<a>rec1<b>rec2", 8, 3},
        {"<a>rec1<b>rec2", 1, 0},
        {"rec", 1, 0},
        {"rec", -1, std::nullopt},
        {"", 0, std::nullopt},
        {"ab>", 100, 3},
    };
    for (const Case& c : cases)
        EXPECT_EQ(findRecordStart(c.text, c.pos), c.start) << c.text << " " << c.pos;
}

TEST(MapFactorHistory, mergedOldestFirstFromTheEnd) {
    std::string reply = "<html><body>"
                        "<br>2009-01-02 13:14:15;3600000;18000000;120;35;0;0;0"
                        "<br>2009-01-02 13:15:15;3600000;18036000;121;36;0;0;0"
                        "<br>2009-01-02 13:16:15;3600000;18072000;122;37;0;0;0"
                        "<br></body></html>";
    CClient& v = freshVehicle("history");
    EXPECT_EQ(mapFactorStartHour(v.track), "2005-06-22+00");
    EXPECT_EQ(mapFactorObjectPath("dev 1", mapFactorStartHour(v.track)),
              "/gprs/cmd_downHistory.php?vtu=dev%201&datetime=2005-06-22+00%3A42");
    EXPECT_EQ(mergeHistory(reply, v), 3);
    auto pts = trackOldestFirst(v);
    ASSERT_EQ(pts.size(), 3u);
    EXPECT_EQ(localFields(pts[0].time), (LocalFields{2009, 1, 2, 13, 14, 15}));
    EXPECT_EQ(localFields(pts[2].time), (LocalFields{2009, 1, 2, 13, 16, 15}));
    EXPECT_NEAR(pts[0].lat, 5.0, 1e-5);
    EXPECT_NEAR(pts[0].lon, 1.0, 1e-5);
    EXPECT_EQ(v.online, 1);
    EXPECT_EQ(mapFactorStartHour(v.track), "2009-01-02+13");

    // Nothing newer: nothing added.
    EXPECT_EQ(mergeHistory(reply, v), 0);
    EXPECT_EQ(v.track.pointCount(), 3);

    // Too short to hold anything: the vehicle is not marked online.
    CClient& w = freshVehicle("short");
    EXPECT_EQ(mergeHistory("<>", w), 0);
    EXPECT_EQ(w.online, 0);
}

TEST(MapFactorHistory, hostileRepliesHeldToTheLimits) {
    // 5 MB of records, each a second newer than the one before.
    std::string reply;
    reply.reserve(5 << 20);
    int64_t n = 0;
    while (reply.size() < (5u << 20)) {
        char rec[128];
        std::snprintf(rec, sizeof rec,
                      "<br>2009-%02d-%02d %02d:%02d:%02d;3600000;18000000;1;2;0;0;0",
                      int(1 + n / 86400 / 28 % 12), int(1 + n / 86400 % 28), int(n / 3600 % 24),
                      int(n / 60 % 60), int(n % 60));
        reply += rec;
        ++n;
    }
    reply += "<br>";
    CClient& v = freshVehicle("flood");
    TraceCapture log;
    EXPECT_EQ(mergeHistory(reply, v), kMapFactorMaxRows);
    EXPECT_EQ(v.track.pointCount(), kMapFactorMaxRows);
    EXPECT_TRUE(log.contains("more than 3000 new records"));

    // 5 MB without a single '>' or record: nothing, nothing read out of bounds.
    CClient& w = freshVehicle("junk");
    EXPECT_EQ(mergeHistory(std::string(5 << 20, '9'), w), 0);
    EXPECT_EQ(w.track.pointCount(), 0);

    // Fields out of range are refused, each with a line; the good record stays.
    CClient& x = freshVehicle("range");
    TraceCapture log2;
    EXPECT_EQ(mergeHistory("<br>2009-01-02 13:14:15;3600000;18000000;1;2;0;0;0"
                           "<br>2009-01-02 13:15:15;1e308;18000000;1;2;0;0;0"
                           "<br>2009-14-02 13:16:15;3600000;18000000;1;2;0;0;0<br>",
                           x),
              1);
    EXPECT_TRUE(log2.contains("refused: position out of range")) << log2.all();
    EXPECT_TRUE(log2.contains("refused: date or time out of range")) << log2.all();
}

TEST(UpdatePeriodTest, sixtySecondsGiveExchanges61To63Apart) {
    // The thread calls every 2 s by its own clock, which drifts against the
    // seconds of the wall clock; start phases 0..999 ms and several drifts.
    for (int phase : {0, 250, 500, 999}) {
        for (int stepMs : {2000, 2003, 2040}) {
            UpdatePeriod period;
            std::vector<int64_t> exchanges;
            int64_t startMs = 1700000000000LL + phase;
            for (int call = 0; call < 400; ++call) {
                int64_t now = (startMs + int64_t(call) * stepMs) / 1000;
                if (period.due(now, 60))
                    exchanges.push_back(now);
            }
            ASSERT_GE(exchanges.size(), 10u);
            EXPECT_EQ(exchanges[0], startMs / 1000); // the first at once
            for (size_t i = 1; i < exchanges.size(); ++i) {
                EXPECT_GE(exchanges[i] - exchanges[i - 1], 61) << phase << " " << stepMs;
                EXPECT_LE(exchanges[i] - exchanges[i - 1], 63) << phase << " " << stepMs;
            }
        }
    }
}

namespace {

// While a reply is read, tries from another thread whether the track lock
// can be had: at every line the reading logs (each refused record).
class LockProbe {
public:
    LockProbe() {
        setTrackLockWaitMs(200);
        registerTraceSink(&m_sink);
    }
    ~LockProbe() {
        unregisterTraceSink(&m_sink);
        setTrackLockWaitMs(0);
    }
    int probes = 0;
    int held = 0; // probes that could not take the lock

private:
    static void onLine(int, const char* line, void* ctx) {
        auto* self = static_cast<LockProbe*>(ctx);
        if (!std::strstr(line, "refused: date"))
            return;
        ++self->probes;
        std::thread other([self] {
            if (trackLock())
                trackUnlock();
            else
                ++self->held;
        });
        other.join();
    }
    TraceObserver m_sink{&LockProbe::onLine, this, 1};
};

} // namespace

TEST(MapFactorHistory, TheReplyIsReadWithoutTheTrackLock) {
    // Records the reading refuses (and logs), then good ones.
    std::string reply;
    for (int i = 0; i < 5; ++i)
        reply += "<br>2009-14-02 13:16:15;3600000;18000000;1;2;0;0;0";
    reply += "<br>2009-01-02 13:14:15;3600000;18000000;1;2;0;0;0"
             "<br>2009-01-02 13:15:15;3600000;18036000;1;2;0;0;0<br>";
    CClient& v = freshVehicle("unlocked");
    int added = 0;
    int probes = 0;
    int held = 0;
    {
        LockProbe probe;
        added = mergeHistory(reply, v);
        probes = probe.probes;
        held = probe.held;
    }
    EXPECT_EQ(added, 2);
    EXPECT_EQ(v.track.pointCount(), 2);
    EXPECT_GE(probes, 5);
    EXPECT_EQ(held, 0) << "Google Earth's poll would have waited for the reading";
}
