#include "earth/trackDraw.h"
#include "kmlTestUtil.h"

#include <cmath>
#include <cstdint>
#include <sstream>
#include <vector>

using namespace kmltest;

namespace {

size_t count(const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + what.size()))
        ++n;
    return n;
}

std::vector<std::string> placemarkNames(const std::string& s) {
    std::vector<std::string> names;
    for (size_t p = s.find("<Placemark>\n<name>"); p != std::string::npos;
         p = s.find("<Placemark>\n<name>", p + 1)) {
        size_t b = p + 18;
        names.push_back(s.substr(b, s.find("</name>", b) - b));
    }
    return names;
}

// The coordinate lines of each LineString, in order.
std::vector<int> runLengths(const std::string& s) {
    std::vector<int> runs;
    for (size_t p = s.find("<coordinates>\n"); p != std::string::npos;
         p = s.find("<coordinates>\n", p + 1)) {
        size_t b = p + 14;
        std::string body = s.substr(b, s.find("</coordinates>", b) - b);
        runs.push_back(static_cast<int>(count(body, "\n")));
    }
    return runs;
}

// A vehicle whose track holds one point per entry, oldest first: {seconds after
// kUtc0, mph}.
struct Pt {
    int64_t t;
    double mph;
};
void fillTrack(CClient& v, const std::vector<Pt>& pts) {
    double lat = 48.0;
    for (const Pt& p : pts) {
        lat += 0.001;
        drive(v, fixAt(kUtc0 + p.t, lat, 11.0, 500, mphToKnots(p.mph), 0));
    }
}

double metres(double lat1, double lon1, double lat2, double lon2) {
    const double r = 0.017453292519943278;
    const double dlat = (lat2 - lat1) * r, dlon = (lon2 - lon1) * r;
    const double a =
        std::sin(dlat / 2) * std::sin(dlat / 2) +
        std::cos(lat1 * r) * std::cos(lat2 * r) * std::sin(dlon / 2) * std::sin(dlon / 2);
    return 2 * 6378137.0 * std::asin(std::sqrt(a));
}

class TrackDraw : public ::testing::Test {
protected:
    CClient v{"Bob@10.0.0.7"};
};

} // namespace

TEST_F(TrackDraw, ATrackWithoutALineWritesNoTrackFolder) {
    // No point, one point, and two points split by a time gap: none of them
    // has a line to draw, and an empty folder is left out with it.
    const std::vector<std::vector<Pt>> tracks = {{}, {{0, 30}}, {{0, 30}, {4000, 30}}};
    for (size_t k = 0; k < tracks.size(); ++k) {
        CClient w("Car@w" + std::to_string(k));
        fillTrack(w, tracks[k]);
        ASSERT_EQ(w.track.pointCount(), static_cast<int>(tracks[k].size()));
        std::string out = "before\n";
        trackFolder(out, w, 0, "ff0000ff", kKmlAllPoints);
        trackFolder(out, w, 0, std::nullopt, kKmlAllPoints);
        trackFolder(out, w, -1, "ff0000ff", kKmlAllPoints);
        EXPECT_EQ(out, "before\n") << "track " << k;
    }
    // Time stamps keep their folder; circles have none without points.
    std::string out;
    timeStampsFolder(out, v, kKmlAllPoints);
    circlesFolder(out, v, "ff0000ff", kKmlAllPoints);
    EXPECT_EQ(out, "<Folder>\n<name>TimeStamps</name>\n</Folder>\n");
}

TEST_F(TrackDraw, SteadySpeedIsOneRun) {
    fillTrack(v, {{0, 30}, {5, 30}, {10, 30}, {15, 30}});
    v.maxSpd = mphToKnots(60);
    std::string out;
    trackFolder(out, v, 0, std::nullopt, kKmlAllPoints);
    auto names = placemarkNames(out);
    ASSERT_GE(names.size(), 1u);
    EXPECT_EQ(names[0].substr(0, 9), "Track:30 ");
    EXPECT_EQ(runLengths(out)[0], 4);
    EXPECT_NE(out.find("<color>" + speedColor(30, 60) + "</color>"), std::string::npos);
}

TEST_F(TrackDraw, SpeedBandChangeStartsANewRunThatJoinsTheOld) {
    // Oldest first; the walk runs from the newest (33 mph) back to the 36 mph point.
    fillTrack(v, {{0, 36}, {5, 33}, {10, 33}, {15, 33}});
    std::string out;
    trackFolder(out, v, 0, std::nullopt, kKmlAllPoints);
    auto names = placemarkNames(out);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].substr(0, 9), "Track:33 ");
    // The 36 mph point ends the first run; the run of it alone would be a
    // line of one coordinate, which is not drawn.
    EXPECT_EQ(runLengths(out), (std::vector<int>{4}));
}

TEST_F(TrackDraw, NoLineStringHasFewerThanTwoCoordinates) {
    // KML requires two coordinates per LineString, in either folder.
    const std::vector<std::vector<Pt>> tracks = {
        {{0, 30}},                                        // one point
        {{0, 30}, {5, 30}},                               // two
        {{0, 36}, {5, 33}, {10, 33}},                     // the oldest alone in its band
        {{0, 10}, {4000, 10}, {8000, 10}, {8005, 10}},    // one point between two gaps
        {{0, 10}, {5, 20}, {10, 30}, {15, 40}, {20, 50}}, // a new band at every point
        {{0, 50}, {3700, 10}, {3705, 10}, {7400, 5}},     // gaps at both ends
    };
    for (size_t k = 0; k < tracks.size(); ++k) {
        CClient w("Car@w" + std::to_string(k));
        w.maxSpd = mphToKnots(60);
        fillTrack(w, tracks[k]);
        for (std::optional<std::string> color :
             {std::optional<std::string>("ff0000ff"), std::optional<std::string>()}) {
            std::string out;
            trackFolder(out, w, 0, color, kKmlAllPoints);
            const std::vector<int> runs = runLengths(out);
            EXPECT_EQ(runs.empty(), k == 0) << "track " << k; // every longer track draws
            EXPECT_EQ(out.find("<Folder>") == std::string::npos, k == 0) << "track " << k;
            for (int run : runs)
                EXPECT_GE(run, 2) << "track " << k << (color ? " plain" : " speed") << "\n" << out;
        }
    }
}

TEST_F(TrackDraw, TimeGapSplitsRunsAndIsLabelledOnBothSides) {
    fillTrack(v, {{0, 10}, {60, 10}, {120, 10}, {7320, 10}, {7380, 10}, {7440, 10}});
    std::string track;
    trackFolder(track, v, 0, "ff0000ff", kKmlAllPoints);
    std::vector<int> runs = runLengths(track);
    ASSERT_GE(runs.size(), 2u);
    EXPECT_EQ(runs[0], 3); // the three newest points, up to the gap
    for (const std::string& name : placemarkNames(track))
        EXPECT_EQ(name.substr(0, 9), "Track:-1 ");

    std::string stamps;
    timeStampsFolder(stamps, v, kKmlAllPoints);
    const int64_t off = tzOffset();
    EXPECT_EQ(placemarkNames(stamps), (std::vector<std::string>{formatFixTime(kUtc0 + 7320 + off),
                                                                formatFixTime(kUtc0 + 120 + off),
                                                                formatFixTime(kUtc0 + off)}));
}

TEST_F(TrackDraw, TimeStampsEveryFiveMinutesAndAtTheEnd) {
    std::vector<Pt> pts;
    for (int k = 0; k <= 20; ++k)
        pts.push_back({60 * k, 20});
    fillTrack(v, pts);
    std::string stamps;
    timeStampsFolder(stamps, v, kKmlAllPoints);
    const int64_t off = tzOffset();
    std::vector<std::string> expect;
    for (int s : {900, 600, 300, 0})
        expect.push_back(formatFixTime(kUtc0 + s + off));
    EXPECT_EQ(placemarkNames(stamps), expect);
    // The newest point (index 0, 1200 s) is never stamped; the stamp's
    // coordinates are the point's own coordinate text.
    EXPECT_NE(stamps.find("            11.00000,48.016"), std::string::npos);
    EXPECT_EQ(stamps.find("48.021"), std::string::npos);
    EXPECT_NE(stamps.find(",500.0\n        </coordinates>\n"), std::string::npos);

    // A point limit of 8 ends the range at index 7.
    stamps.clear();
    timeStampsFolder(stamps, v, 8);
    expect = {formatFixTime(kUtc0 + 900 + off), formatFixTime(kUtc0 + 780 + off)};
    EXPECT_EQ(placemarkNames(stamps), expect);
}

TEST_F(TrackDraw, TimeSpanIndices) {
    std::vector<Pt> pts;
    for (int k = 0; k < 10; ++k) // index i has time 60 * (9 - i)
        pts.push_back({60 * k, 20});
    fillTrack(v, pts);
    const int32_t off = static_cast<int32_t>(tzOffset());
    v.useTimeSpan = 1;
    v.endTime = static_cast<int32_t>(kUtc0) + off + 60 * 6 + 30;
    v.startTime = static_cast<int32_t>(kUtc0) + off + 60 * 2 + 30;
    IndexRange r = timeSpanRange(v);
    EXPECT_EQ(r.first, 2); // k = 7, the first point at or after the end
    EXPECT_EQ(r.last, 7);  // k = 2, the last point at or before the start

    std::string stamps;
    timeStampsFolder(stamps, v, kKmlAllPoints);
    std::vector<std::string> names = placemarkNames(stamps);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), formatFixTime(kUtc0 + off + 120)); // index 7 is the last stamped

    std::string circles;
    v.trackWidth = 10;
    circlesFolder(circles, v, "a0112233", kKmlAllPoints);
    EXPECT_EQ(count(circles, "<name>circle</name>"), 6u); // indices 2 to 7

    std::string track;
    trackFolder(track, v, 0, "ff112233", kKmlAllPoints);
    int drawn = 0;
    for (int n : runLengths(track))
        drawn += n;
    // Indices 2..6 in one run; the run of the joint point alone would be a
    // line of one coordinate and is not drawn.
    EXPECT_EQ(drawn, 5);
    EXPECT_EQ(runLengths(track)[0], 5);

    // A span before the whole track: nothing at all to stamp.
    v.endTime = static_cast<int32_t>(kUtc0) + off - 1000;
    r = timeSpanRange(v);
    EXPECT_EQ(r.first, 10);
    stamps.clear();
    timeStampsFolder(stamps, v, kKmlAllPoints);
    EXPECT_EQ(stamps, "<Folder>\n<name>TimeStamps</name>\n</Folder>\n");

    // A start before the oldest point keeps the oldest.
    v.endTime = static_cast<int32_t>(kUtc0) + off + 100000;
    v.startTime = static_cast<int32_t>(kUtc0) + off - 100;
    r = timeSpanRange(v);
    EXPECT_EQ(r.first, 0);
    EXPECT_EQ(r.last, 10);
}

// maxPts comes from the vehicle's registry values; the largest and smallest
// numbers there must neither wrap the drawn range nor lose the track.
TEST_F(TrackDraw, ExtremePointLimitsNeitherWrapNorHideTheTrack) {
    std::vector<Pt> pts;
    for (int k = 0; k < 10; ++k) // index i has time 60 * (9 - i)
        pts.push_back({60 * k, 20});
    fillTrack(v, pts);
    const int32_t off = static_cast<int32_t>(tzOffset());
    v.useTimeSpan = 1;
    v.endTime = static_cast<int32_t>(kUtc0) + off + 60 * 6 + 30;
    v.startTime = static_cast<int32_t>(kUtc0) + off + 60 * 2 + 30;
    v.maxPts = INT32_MAX;

    IndexRange r = timeSpanRange(v);
    EXPECT_EQ(r.first, 2);
    EXPECT_EQ(r.last, 7);
    std::string track;
    trackFolder(track, v, 0, "ff112233", kKmlAllPoints);
    int drawn = 0;
    for (int n : runLengths(track))
        drawn += n;
    EXPECT_EQ(drawn, 5) << "indices 2..6, as with any limit above the span";

    v.useTimeSpan = 0;
    track.clear();
    trackFolder(track, v, 0, "ff112233", INT32_MAX);
    std::string whole;
    trackFolder(whole, v, 0, "ff112233", kKmlAllPoints);
    EXPECT_EQ(runLengths(track)[0], 10);
    EXPECT_EQ(track, whole);

    v.maxPts = INT32_MIN;
    v.useTimeSpan = 1;
    r = timeSpanRange(v);
    EXPECT_LT(r.last, 0) << "no point lies inside a negative limit";
    v.useTimeSpan = 0;
    std::string stamps;
    timeStampsFolder(stamps, v, kKmlAllPoints);
    EXPECT_EQ(stamps, "<Folder>\n<name>TimeStamps</name>\n</Folder>\n");
    v.trackWidth = 10;
    std::string circles;
    circlesFolder(circles, v, "a0112233", INT32_MIN);
    EXPECT_EQ(circles, "<Folder>\n<name>Circles</name>\n</Folder>\n");
}

TEST(CirclePlacemark, TwentySixVerticesAtTheRadius) {
    std::string out;
    circlePlacemark(out, 48.5, 11.25, 25, 20, "ff0000ff");
    EXPECT_NE(out.find("   <color>450000ff</color>\n"), std::string::npos);
    size_t b = out.find("<coordinates>\n") + 14;
    std::istringstream body(out.substr(b, out.find("        </coordinates>") - b));
    std::string line;
    int vertices = 0;
    while (std::getline(body, line)) {
        double lon = 0, lat = 0;
        int alt = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "%lf,%lf,%d", &lon, &lat, &alt), 3) << line;
        EXPECT_EQ(alt, 0);
        EXPECT_NEAR(metres(48.5, 11.25, lat, lon), 10.0, 0.1) << line;
        ++vertices;
    }
    EXPECT_EQ(vertices, 26);
    // The first vertex lies due north.
    EXPECT_NE(out.find("<coordinates>\n11.250000,48.500090,0\n"), std::string::npos);

    out.clear();
    circlePlacemark(out, 0, 0, 25, 20, "A0112233");
    EXPECT_NE(out.find("<color>A0112233</color>"), std::string::npos);

    out.clear(); // absurd step counts still end
    circlePlacemark(out, 0, 0, 0, 20, "ff0000ff");
    circlePlacemark(out, 0, 0, 1000, 20, "ff0000ff");
    EXPECT_EQ(count(out, "</Placemark>"), 2u);
}
