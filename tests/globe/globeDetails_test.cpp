// What the globe's list and details read besides positions: the vehicle's
// source, battery, fix time and age, the length of its track today (only for
// the vehicle whose details are open), and the page's settings document with
// the tile server the user named.
#include "earth/globeConfig.h"
#include "earth/vehiclesJson.h"

#include "earth/kml.h"
#include "remote/client.h"
#include "track/nmea.h"
#include "track/track.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A point due north of the last every `step` seconds: 0.01 degrees of
// latitude, 1111.95 m on the mean Earth.
void driveNorth(CClient& v, int count, int64_t firstTime, int step = 60) {
    for (int i = 0; i < count; ++i) {
        GpsFix f;
        f.lat = 47.0 + 0.01 * v.track.pointCount();
        f.lon = 8.0;
        f.alt = 400;
        f.spd = 20;
        f.hdg = 0;
        f.status = 1;
        f.time = firstTime + i * step;
        v.curPos = f;
        v.track.add(f, 0);
    }
}

constexpr double kStep = 1111.95;

std::string valueOf(const std::string& doc, const std::string& name, size_t from = 0) {
    const std::string key = "\"" + name + "\":";
    const size_t at = doc.find(key, from);
    if (at == std::string::npos)
        return "(none)";
    const size_t start = at + key.size();
    return doc.substr(start, doc.find_first_of(",}", start) - start);
}

} // namespace

TEST(GlobeDetails, TrackLengthCountsOnlyPointsFromTheGivenTime) {
    CClient v("Walker@h");
    const int64_t t0 = 1700000000;
    driveNorth(v, 6, t0); // points at t0, t0+60, ... t0+300
    const struct {
        const char* what;
        int64_t from;
        int steps; // legs of 1111.95 m counted
    } cases[] = {
        {"all points", t0 - 1000, 5},
        {"from the first point on", t0, 5},
        {"from the third point on", t0 + 120, 3},
        {"between two points: the later ones only", t0 + 121, 2},
        {"only the newest point: no leg", t0 + 300, 0},
        {"after the newest point", t0 + 301, 0},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(trackLengthSince(v.track, c.from), c.steps * kStep, 2.0) << c.what;
    CClient empty("Empty@h");
    EXPECT_EQ(trackLengthSince(empty.track, 0), 0.0);
}

TEST(GlobeDetails, DetailsKeyIsTheFirstWellFormedEntry) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"s=1:a", ""},
        {"i=Me%40localhost", "Me@localhost"},
        {"s=1:a&i=b%3Ac&i=second", "b:c"},
        {"i=%zz", ""},
        {"i=" + std::string(264, 'k'), std::string(264, 'k')},
        {"i=" + std::string(265, 'k'), ""},
        {"key=abc&i=x", "x"},
    };
    for (const auto& [query, key] : cases)
        EXPECT_EQ(parseGlobeDetails(query), key) << query;
}

TEST(GlobeDetails, DocumentCarriesSourceBatteryAgeAndTodayForTheOpenVehicle) {
    CClients clients("globedetailstest");
    CClient* phone = clients.add("Pixel", "dev1");
    CClient* peer = clients.add("Friend", "far.example");
    clients.add("Nowhere", "h");
    phone->remoteType = remotePhone;
    phone->battery = 42;
    peer->battery = 140; // nonsense is not shown
    // Today starts at a midnight on the fix-time scale; yesterday's points
    // do not count.
    const int64_t midnight = 1700006400 - 1700006400 % 86400;
    driveNorth(*phone, 3, midnight - 120); // two points yesterday, one today
    driveNorth(*phone, 3, midnight + 600); // three more today
    driveNorth(*peer, 2, midnight + 60);
    const int64_t now = midnight + 900;

    const std::string doc =
        vehiclesJson(clients.vehicles(), nullptr, false, {}, KmlOptions{}, "Pixel@dev1", now);
    const size_t atPhone = doc.find("\"key\":\"Pixel@dev1\"");
    const size_t atPeer = doc.find("\"key\":\"Friend@far.example\"");
    const size_t atUnplaced = doc.find("\"key\":\"Nowhere@h\"");
    ASSERT_NE(atPhone, std::string::npos) << doc;
    ASSERT_NE(atPeer, std::string::npos) << doc;
    ASSERT_NE(atUnplaced, std::string::npos) << doc;

    const struct {
        size_t at;
        const char* name;
        std::string want;
    } fields[] = {
        {atPhone, "source", "\"phone\""},
        {atPhone, "battery", "42"},
        {atPhone, "time", std::to_string(fixTimeToUtc(midnight + 720))},
        {atPhone, "age", "180"},
        {atPeer, "source", "\"peer\""},
        {atPeer, "battery", "null"},
        {atPeer, "age", "780"},
        {atUnplaced, "time", "null"},
        {atUnplaced, "age", "null"},
    };
    for (const auto& f : fields)
        EXPECT_EQ(valueOf(doc, f.name, f.at), f.want) << f.name << " in " << doc.substr(f.at, 400);
    // From today's first point (the third, at midnight) to the newest: three legs.
    EXPECT_NEAR(std::stod(valueOf(doc, "today", atPhone)), 3 * kStep, 3.0) << doc;
    // Only the vehicle whose details are open costs the walk over its track.
    const size_t today = doc.find("\"today\"");
    EXPECT_GT(today, atPhone) << doc;
    EXPECT_EQ(doc.find("\"today\"", today + 1), std::string::npos) << doc;
}

TEST(GlobeConfig, TileTemplatesAreCheckedBeforeThePageGetsThem) {
    const struct {
        std::string url;
        bool used;
    } cases[] = {
        {"https://tile.openstreetmap.org/{z}/{x}/{y}.png", true},
        {"http://127.0.0.1:8080/tiles/{z}/{x}/{-y}.png", true},
        {"https://{s}.tiles.example/{z}/{x}/{y}.png?api=abc&x=1", false}, // no fixed host
        {"ftp://tiles.example/{z}/{x}/{y}.png", false},
        {"tiles.example/{z}/{x}/{y}.png", false},
        {"https://tiles.example/{z}/{x}.png", false},
        {"https://tiles.example/{z}/{y}/{y}.png", false},
        {"https://tiles.example/{z}/{x}/{y}.png\"onload=\"x", false},
        {"https://tiles.example/{z}/{x}/{y} .png", false},
        {"https://tiles.example/<{z}>/{x}/{y}.png", false},
        {"https://tiles.example/{z}/{x}/{y}.png\n", false},
        {"https:///{z}/{x}/{y}.png", false},
        {"https://t.example/" + std::string(1000, 'a') + "/{z}/{x}/{y}", false},
    };
    for (const auto& c : cases) {
        const std::string problem = globeTilesProblem(c.url);
        EXPECT_EQ(problem.empty(), c.used) << c.url << ": " << problem;
        const std::string doc = globeConfigJson({c.url, ""}, false, true);
        EXPECT_EQ(doc.find("\"tiles\":null") == std::string::npos, c.used) << doc;
        EXPECT_EQ(doc.find("\"tilesRefused\":null") != std::string::npos, c.used) << doc;
    }
}

TEST(GlobeConfig, DocumentNamesTheTilesTheirCreditAndTheSpeedUnit) {
    EXPECT_EQ(globeConfigJson({}, false, false),
              "{\"tiles\":null,\"tilesRefused\":null,\"speedUnit\":\"mph\"}");
    EXPECT_EQ(globeConfigJson({"https://t.example:81/a/{z}/{x}/{y}.png", ""}, true, false),
              "{\"tiles\":{\"url\":\"https://t.example:81/a/{z}/{x}/{y}.png\","
              "\"attribution\":\"Tiles: t.example:81\"},\"tilesRefused\":null,"
              "\"speedUnit\":\"kn\"}");
    // The credit is outside text: escaped for the page, cut, never empty.
    const std::string doc = globeConfigJson(
        {"https://t.example/{z}/{x}/{y}.png", "\xc2\xa9 <b>Map</b> \"folk\"\x01"}, false, true);
    EXPECT_NE(doc.find("\"attribution\":\"\xc2\xa9 \\u003cb\\u003eMap\\u003c/b\\u003e "
                       "\\\"folk\\\"?\""),
              std::string::npos)
        << doc;
    EXPECT_NE(doc.find("\"speedUnit\":\"km/h\""), std::string::npos);
    EXPECT_EQ(globeTilesCredit("https://t.example/{z}/{x}/{y}", std::string(400, 'c')).size(),
              kGlobeAttributionMax);
    EXPECT_NE(globeConfigJson({"javascript:alert(1)//{z}{x}{y}", ""}, false, false)
                  .find("\"tilesRefused\":\"GlobeTiles is not used: not an http:// or https:// "
                        "address\""),
              std::string::npos);
}
