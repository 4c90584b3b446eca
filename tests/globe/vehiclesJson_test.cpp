// The live data of the browser globe: which part of a track a poll carries,
// how the page's positions are read, and the document itself.
#include "earth/vehiclesJson.h"

#include "earth/kml.h"
#include "remote/client.h"
#include "track/track.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// One point a minute on a line going north-east.
void addPoints(CClient& v, int count, double startLat = 47.0) {
    static int64_t time = 1230000000;
    for (int i = 0; i < count; ++i) {
        GpsFix f;
        f.lat = startLat + 0.001 * v.track.pointCount();
        f.lon = 8.0 + 0.001 * v.track.pointCount();
        f.alt = 400;
        f.spd = 20;
        f.hdg = 45;
        f.status = 1;
        f.time = time += 60;
        v.curPos = f;
        v.track.add(f, 0);
    }
}

// The text of a JSON array or object that starts at `from` in `doc`.
std::string section(const std::string& doc, const std::string& from) {
    const size_t at = doc.find(from);
    if (at == std::string::npos)
        return std::string();
    const size_t end = doc.find(']', at);
    return doc.substr(at, end - at + 1);
}

size_t countOf(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(GlobeTrackSlice, GivesThePageOnlyWhatItLacks) {
    struct Case {
        const char* what;
        int64_t seqNum;
        int nPts;
        int64_t since;
        int keep;
        int budget;
        TrackSlice want;
    } cases[] = {
        // from, count, reset, more
        {"a new page gets the newest it keeps", 100, 100, 0, 30, 1000, {71, 30, true, false}},
        {"a new page gets the whole short track", 10, 10, 0, 5000, 1000, {1, 10, true, false}},
        {"an empty track", 0, 0, 0, 5000, 1000, {1, 0, true, false}},
        {"a page in step gets its last point again", 50, 50, 50, 5000, 1000, {50, 1, false, false}},
        {"a page behind gets its last point and the new ones",
         50,
         50,
         45,
         5000,
         1000,
         {45, 6, false, false}},
        {"a page ahead of the track (a cleared track) starts again",
         5,
         5,
         50,
         5000,
         1000,
         {1, 5, true, false}},
        {"a page whose last point left the ring starts again",
         30000,
         28800,
         1000,
         28800,
         40000,
         {1201, 28800, true, false}},
        {"a page further behind than it keeps starts again",
         100,
         100,
         60,
         30,
         1000,
         {71, 30, true, false}},
        {"the reply's budget cuts a fresh track, oldest first",
         100,
         100,
         0,
         50,
         20,
         {51, 20, true, true}},
        {"the reply's budget cuts a catch-up", 100, 100, 61, 5000, 10, {61, 10, false, true}},
        {"no budget left", 100, 100, 90, 5000, 0, {90, 0, false, true}},
        {"a vehicle keeping nothing", 100, 100, 0, 0, 1000, {101, 0, true, false}},
        {"nonsense counts stay in range", 100, -5, -7, -1, -3, {101, 0, true, false}},
    };
    for (const Case& c : cases) {
        const TrackSlice s = trackSlice(c.seqNum, c.nPts, c.since, c.keep, c.budget);
        EXPECT_EQ(s.from, c.want.from) << c.what;
        EXPECT_EQ(s.count, c.want.count) << c.what;
        EXPECT_EQ(s.reset, c.want.reset) << c.what;
        EXPECT_EQ(s.more, c.want.more) << c.what;
    }
}

TEST(GlobeSinceQuery, ReadsWellFormedEntriesAndCountsTheRest) {
    struct Case {
        std::string query;
        GlobeSince want;
        size_t refused;
    } cases[] = {
        {"", {}, 0},
        {"s=12:Me%40localhost", {{"Me@localhost", 12}}, 0},
        {"s=1:a&s=2:b%3Ac&t=99", {{"a", 1}, {"b:c", 2}}, 0},
        {"s=3:x:y", {{"x:y", 3}}, 0},
        {"s=:a&s=-1:a&s=1e3:a&s=12", {}, 4},
        {"s=1:&s=1:%zz&s=1:%00", {}, 3},
        {"s=9999999999999:a", {}, 1},
        {"s=1:" + std::string(300, 'k'), {}, 1},
        // The longest key the document gives: 255 characters and the clean
        // key's hash.
        {"s=1:" + std::string(264, 'k'), {{std::string(264, 'k'), 1}}, 0},
        {"s=1:" + std::string(265, 'k'), {}, 1},
        {"s=1:" + std::string(254, 'k') + "%C3%BC", {{std::string(254, 'k') + "\xc3\xbc", 1}}, 0},
        {"s=4:ok&bogus&s=x:y", {{"ok", 4}}, 1},
    };
    for (const Case& c : cases) {
        size_t refused = 99;
        EXPECT_EQ(parseGlobeSince(c.query, refused), c.want) << c.query;
        EXPECT_EQ(refused, c.refused) << c.query;
    }
    std::string many;
    for (size_t i = 0; i < kGlobeMaxSince + 10; ++i)
        many += "s=1:v" + std::to_string(i) + "&";
    size_t refused = 0;
    EXPECT_EQ(parseGlobeSince(many, refused).size(), kGlobeMaxSince);
    EXPECT_EQ(refused, 10u);
}

TEST(GlobeText, ColoursAndStringsAreSafeForThePage) {
    const std::pair<std::string, std::string> colours[] = {
        {"Orange", "#ff8040"},   {"lightblue", "#00ffff"}, {"RED", "#ff0000"},
        {"ff00ff00", "#00ff00"}, {"80123456", "#563412"},  {"no such colour", "#ff8040"},
        {"ff0000zz", "#ff8040"}, {"", "#ff8040"},
    };
    for (const auto& [in, css] : colours)
        EXPECT_EQ(cssColor(in), css) << in;

    const std::pair<std::string, std::string> strings[] = {
        {"plain", "\"plain\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"back\\slash", "\"back\\\\slash\""},
        {"</script><b>&", "\"\\u003c/script\\u003e\\u003cb\\u003e\\u0026\""},
        // Control characters and bytes that are not UTF-8 become '?', as in the KML.
        {std::string("tab\tnl\n\x01\x7f", 9), "\"tab\\u0009nl\\u000a??\""},
        {"Z\xc3\xbcrich", "\"Z\xc3\xbcrich\""},
        {"Reg\xff@2", "\"Reg?@2\""},
        {"cut \xc3", "\"cut ?\""},
        {"C1 \xc2\x85", "\"C1 ?\""},
    };
    for (const auto& [in, json] : strings) {
        std::string out = "x";
        appendJsonString(out, in);
        EXPECT_EQ(out, "x" + json) << in;
    }
}

TEST(GlobeDocument, CarriesEveryShownVehicleAndOnlyTheNewPoints) {
    CClients clients("globejsontest");
    CClient* alpha = clients.add("Alpha", "h1");
    CClient* bravo = clients.add("Bra\"vo</script>", "h2");
    CClient* hidden = clients.add("Hidden", "h3");
    clients.add("Unplaced", "h4");
    hidden->visible = 0;
    bravo->color = "red";
    addPoints(*alpha, 5);
    addPoints(*bravo, 3, 46.0);
    addPoints(*hidden, 2);
    alpha->tracking = kTrackFollow;

    std::string doc = vehiclesJson(clients.vehicles(), alpha, false, {}, KmlOptions{});
    EXPECT_NE(doc.find("{\"tracked\":\"Alpha@h1\",\"view\":{\"follow\":true,\"heading\":null,"
                       "\"range\":null,\"tilt\":null}"),
              std::string::npos)
        << doc;
    EXPECT_NE(doc.find("\"key\":\"Alpha@h1\",\"name\":\"Alpha\""), std::string::npos) << doc;
    EXPECT_NE(doc.find("\"key\":\"Bra\\\"vo\\u003c/script\\u003e@h2\""), std::string::npos) << doc;
    EXPECT_EQ(doc.find("</script>"), std::string::npos) << "no raw markup reaches the page";
    EXPECT_EQ(doc.find("Hidden"), std::string::npos) << "hidden vehicles stay hidden";
    EXPECT_NE(doc.find("\"key\":\"Unplaced@h4\",\"name\":\"Unplaced\",\"label\":"),
              std::string::npos);
    EXPECT_NE(doc.find("\"lat\":null,\"lon\":null"), std::string::npos) << "no position yet";
    EXPECT_NE(doc.find("\"color\":\"#ff0000\",\"lat\":46.002000,\"lon\":8.002000"),
              std::string::npos)
        << doc;
    // Alpha's whole track, oldest first, lon,lat,alt.
    EXPECT_EQ(section(doc, "\"from\":1,\"reset\":true,\"more\":false,\"keep\":2000,\"points\":["),
              "\"from\":1,\"reset\":true,\"more\":false,\"keep\":2000,\"points\":["
              "8.00000,47.00000,400.0,8.00100,47.00100,400.0,8.00200,47.00200,400.0,"
              "8.00300,47.00300,400.0,8.00400,47.00400,400.0]");

    // The page has Alpha to point 5 and Bravo to point 3; two new Alpha points.
    addPoints(*alpha, 2);
    const GlobeSince since = {{"Alpha@h1", 5}, {"Bra\"vo</script>@h2", 3}};
    doc = vehiclesJson(clients.vehicles(), alpha, false, since, KmlOptions{});
    EXPECT_EQ(section(doc, "\"from\":5,"),
              "\"from\":5,\"reset\":false,\"more\":false,\"keep\":2000,\"points\":["
              "8.00400,47.00400,400.0,8.00500,47.00500,400.0,8.00600,47.00600,400.0]");
    EXPECT_EQ(section(doc, "\"from\":3,"),
              "\"from\":3,\"reset\":false,\"more\":false,\"keep\":2000,\"points\":["
              "8.00200,46.00200,400.0]");

    // Only the tracked vehicle with "selected track only".
    doc = vehiclesJson(clients.vehicles(), alpha, true, since, KmlOptions{});
    EXPECT_EQ(countOf(doc, "\"key\":"), 1u) << doc;
    EXPECT_NE(doc.find("\"key\":\"Alpha@h1\""), std::string::npos);
}

TEST(GlobeDocument, BoundsVehiclesAndPointsOfOneReply) {
    CClients clients("globejsonbounds");
    for (size_t i = 0; i < kGlobeMaxVehicles + 20; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "V%04zu", i);
        CClient* v = clients.add(key, "h");
        v->maxPts = kGlobeTrackPoints;
        addPoints(*v, i < 6 ? 4000 : 1);
    }
    CClient* tracked = clients.find("V0275@h");
    ASSERT_NE(tracked, nullptr);
    const std::string doc = vehiclesJson(clients.vehicles(), tracked, false, {}, KmlOptions{});
    EXPECT_EQ(countOf(doc, "\"key\":"), kGlobeMaxVehicles);
    EXPECT_NE(doc.find("\"truncated\":true"), std::string::npos);
    EXPECT_NE(doc.find("\"key\":\"V0275@h\""), std::string::npos) << "the tracked one has a place";
    EXPECT_EQ(doc.find("\"key\":\"V0255@h\""), std::string::npos);
    // 6 x 4000 points wanted; the reply stops at its budget and says more wait.
    EXPECT_EQ(countOf(doc, ",400.0"), static_cast<size_t>(kGlobeReplyPoints));
    EXPECT_NE(doc.find("\"more\":true"), std::string::npos);
}
