// The GeoPackage pieces: time texts both ways, the times users type, and the
// point blobs GIS programs read.
#include "history/gpkg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

TEST(GpkgTime, RoundTripsAcrossCalendarEdges) {
    const struct {
        int64_t utc;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {951782400, "2000-02-29T00:00:00Z"}, // leap day of a century leap year
        {1245013393, "2009-06-14T21:03:13Z"},
        {1798761599, "2026-12-31T23:59:59Z"},
        {-1, "1969-12-31T23:59:59Z"},
        {4107542400, "2100-03-01T00:00:00Z"}, // 2100 is no leap year
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string stored = c.text;
        stored.insert(19, ".000");
        EXPECT_EQ(isoTime(c.utc), c.text);
        EXPECT_EQ(gpkgTime(c.utc), stored);
        EXPECT_EQ(parseGpkgTime(stored), std::optional<int64_t>(c.utc));
        EXPECT_EQ(parseGpkgTime(c.text), std::optional<int64_t>(c.utc));
    }
    // Another program's fraction is read and dropped.
    EXPECT_EQ(parseGpkgTime("2009-06-14T21:03:13.250Z"), std::optional<int64_t>(1245013393));
}

TEST(GpkgTime, StoredTextsThatAreNotTimesAreRefused) {
    for (const char* text :
         {"", "2009-06-14", "2009-06-14T21:03Z", "2009-02-29T00:00:00Z", "2009-13-01T00:00:00Z",
          "2009-06-14T24:00:00Z", "2009-06-14T21:03:13Zx", "2009-06-14T21:03:13.Z",
          "20x9-06-14T21:03:13Z"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(parseGpkgTime(text).has_value());
    }
}

TEST(UserTime, DatesTimesAndSecondsAreUtc) {
    const struct {
        const char* text;
        std::optional<int64_t> utc;
    } cases[] = {
        {"2009-06-14", 1244937600},
        {"2009-06-14T21:03", 1245013380},
        {"2009-06-14T21:03:13Z", 1245013393},
        {"2009-06-14 21:03:13", 1245013393},
        {"1245013393", 1245013393},
        {"0", 0},
        {"yesterday", std::nullopt},
        {"2009-06-31", std::nullopt},
        {"-5", std::nullopt},
        {"1234567890123", std::nullopt}, // too many digits to be a date of ours
        {"2009-06-14T21", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseUserTime(c.text), c.utc);
    }
}

TEST(GpkgPoint, BlobHasTheHeaderAndPointZAndReadsBack) {
    const std::string blob = gpkgPointBlob(-122.43971, 37.802475, 8.5);
    ASSERT_EQ(blob.size(), 8u + 5u + 24u);
    EXPECT_EQ(blob.substr(0, 2), "GP");
    EXPECT_EQ(blob[3], 1) << "little-endian, no envelope";
    int32_t srs;
    std::memcpy(&srs, blob.data() + 4, 4);
    EXPECT_EQ(srs, 4326);
    uint32_t type;
    std::memcpy(&type, blob.data() + 9, 4);
    EXPECT_EQ(type, 1001u) << "Point Z";
    double lon, lat, alt;
    ASSERT_TRUE(parseGpkgPoint(blob, lon, lat, alt));
    EXPECT_DOUBLE_EQ(lon, -122.43971);
    EXPECT_DOUBLE_EQ(lat, 37.802475);
    EXPECT_DOUBLE_EQ(alt, 8.5);
}

TEST(GpkgPoint, DamagedBlobsAreRefused) {
    const std::string good = gpkgPointBlob(1, 2, 3);
    std::string notGp = good;
    notGp[0] = 'X';
    std::string empty = good;
    empty[3] = 0x11; // the empty flag
    std::string line = good;
    line[9] = 2; // LineString
    std::string badOrder = good;
    badOrder[8] = 7;
    std::string envelope = good;
    envelope[3] = 0x03; // says an xy envelope follows, which is not there
    const struct {
        const char* name;
        std::string blob;
    } cases[] = {
        {"cut short", good.substr(0, good.size() - 1)},
        {"header only", good.substr(0, 8)},
        {"not GP", notGp},
        {"empty geometry", empty},
        {"not a point", line},
        {"no byte order", badOrder},
        {"missing envelope", envelope},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        double lon, lat, alt;
        EXPECT_FALSE(parseGpkgPoint(c.blob, lon, lat, alt));
    }
}
