// The flight path: route files made here (good, damaged, hostile), the
// corridor walk of a vehicle along a route, the "FlightTracker" folder read
// back by ogrinfo, and the engine's hook on real NMEA lines.
#include "publish/flightPath.h"

#include "common/shellRun.h"
#include "common/traceCapture.h"
#include "earth/kml.h"
#include "earth/n2k.h"
#include "kml/kmlTestUtil.h"
#include "remote/client.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using namespace kmltest;

// Five route points 0.01 degrees of latitude (about 1113 m) apart.
constexpr double kRouteLon = 10.0;
double routeLat(int i) {
    return 50.0 + 0.01 * i;
}

std::string routeCoordinates() {
    std::string s;
    for (int i = 0; i < 5; ++i)
        s += "10.0," + std::to_string(routeLat(i)) + ",1000.0 ";
    return s;
}

std::string routeDocument(bool withPlacemark) {
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<kml xmlns=\"http://earth.google.com/kml/2.0\">\n<Document>\n";
    if (withPlacemark)
        doc += "<Placemark>\n<name>Plan</name>\n<styleUrl>#redLine</styleUrl>\n<LineString>\n";
    doc += "<coordinates>\n" + routeCoordinates() + "\n</coordinates>\n";
    if (withPlacemark)
        doc += "</LineString>\n</Placemark>\n";
    return doc + "</Document>\n</kml>\n";
}

// Deterministic bytes of every value, NUL included.
std::string binaryNoise(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (char& c : s) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return s;
}

class FlightPath : public ::testing::Test {
protected:
    ZoneScope zone{"UTC"};
    StartDir dir;
    int64_t clock = kUtc0;

    void writeRoute(const std::string& text) { writeFile(dir.file(kFlightPathFile), text); }

    // The vehicle reaches a position: one more point in its track.
    int fly(CFlightPath& path, CClient& v, double lat, double lon) {
        clock += 10;
        drive(v, fixAt(clock, lat, lon, 1000, 100, 0));
        return path.update(v);
    }
};

TEST(RouteParse, TuplesAreReadUntilTheListEndsAndOnlyPointsOnTheGlobeAreKept) {
    struct Case {
        const char* what;
        std::string text;
        size_t points;
        int refused;
        bool cut;
    };
    std::string many = "<coordinates>";
    for (int i = 0; i < 5000; ++i)
        many += "10.0,50.0,100 ";
    const std::vector<Case> cases = {
        {"empty", "", 0, 0, false},
        {"no coordinates element", "<Placemark><name>x</name></Placemark>", 0, 0, false},
        {"two tuples", "<coordinates>1,2,3 4,5,6</coordinates>", 2, 0, false},
        {"blanks after commas", "<coordinates>\n  1, 2, 3\n</coordinates>", 1, 0, false},
        {"negative values", "<coordinates>-1.5,-2.5,-3</coordinates>", 1, 0, false},
        {"two numbers end the list", "<coordinates>1,2 3,4,5</coordinates>", 0, 0, false},
        {"only the first list", "<coordinates>1,2,3</coordinates><coordinates>4,5,6", 1, 0, false},
        {"NaN and infinity refused", "<coordinates>10,nan,0 10,50,0 10,50.01,inf</coordinates>", 1,
         2, false},
        {"outside the globe refused", "<coordinates>200,50,0 10,95,0 10,50,2e6 10,50,0", 1, 3,
         false},
        {"a number too large ends the list", "<coordinates>10,50,0 1e999,50,0 10,51,0", 1, 0,
         false},
        {"a lone minus ends the list", "<coordinates>10,50,0 -,1,2 10,51,0", 1, 0, false},
        {"no end tag", "<coordinates>10,50,0 11,51,", 1, 0, false},
        {"long route cut", many, kRouteMaxPoints, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const RouteParse r = parseRoute(c.text);
        EXPECT_EQ(r.points.size(), c.points);
        EXPECT_EQ(r.refused, c.refused);
        EXPECT_EQ(r.cut, c.cut);
    }
    const RouteParse two = parseRoute("<coordinates>1,2,3 4,5,6</coordinates>");
    ASSERT_EQ(two.points.size(), 2u);
    EXPECT_DOUBLE_EQ(two.points[1].lon, 4);
    EXPECT_DOUBLE_EQ(two.points[1].lat, 5);
    EXPECT_DOUBLE_EQ(two.points[1].alt, 6);
}

TEST(RouteParse, BinaryNoiseNeverGivesAPointOffTheGlobe) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        const std::string text = "<coordinates>" + binaryNoise(20000, seed);
        for (const RoutePoint& p : parseRoute(text).points) {
            ASSERT_TRUE(std::isfinite(p.alt)) << "seed " << seed;
            ASSERT_LE(std::fabs(p.lat), 90) << "seed " << seed;
            ASSERT_LE(std::fabs(p.lon), 180) << "seed " << seed;
        }
    }
}

TEST(RouteDistance, GreatCircleOnTheRouteSphere) {
    struct Case {
        double lat1, lon1, lat2, lon2, metres, tolerance;
    };
    const double degree = kRouteEarthRadiusKm * 1000 * 0.017453292519943278; // 111,330 m
    const std::vector<Case> cases = {
        {50.0, 10.0, 50.0, 10.0, 0, 0},
        {40.0002055, 10.0, 40.0002055, 10.0, 0, 0}, // the cosine rounds past 1 here
        {0, 0, 1, 0, degree, 1e-6},
        {0, 0, 0, 1, degree, 1e-6},
        {60, 0, 60, 1, degree / 2, 1},
        {0, 0, 0, 180, degree * 180, 1e-3},
    };
    for (const Case& c : cases) {
        const double d = routeDistance(c.lat1, c.lon1, c.lat2, c.lon2);
        EXPECT_NEAR(d, c.metres, c.tolerance) << c.lat1 << "," << c.lon1;
        EXPECT_DOUBLE_EQ(d, routeDistance(c.lat2, c.lon2, c.lat1, c.lon1));
    }
}

TEST(WholeXmlElements, OnlyBalancedElementsArePasted) {
    struct Case {
        const char* text;
        bool whole;
    };
    const std::vector<Case> cases = {
        {"<Placemark><name>a</name></Placemark>", true},
        {"<Placemark><name>a &amp; b</name><br/><x a=\"1>2\"/></Placemark>\n", true},
        {"<Placemark><!-- note <b> --><description><![CDATA[<i>x</i>]]></description></Placemark>",
         true},
        {"<Placemark><name>a</name></Placemark>\n</kml>\n", false},
        {"<Placemark><name>a</Placemark></name>", false},
        {"<Placemark>", false},
        {"<Placemark><name>a & b</name></Placemark>", false},
        {"<Placemark><name>a</name", false},
        {"<Placemark><!DOCTYPE x></Placemark>", false},
        {"<Placemark><?pi x?></Placemark>", false},
        {"<Placemark><!-- never ends </Placemark>", false},
        {"<Placemark></></Placemark>", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(wholeXmlElements(c.text), c.whole) << c.text;
}

TEST_F(FlightPath, RouteFilesGiveOnlyValidPointsAndTheirDiscs) {
    struct Case {
        const char* what;
        std::optional<std::string> file; // none: no file at all
        int points;
        bool routeLine;
    };
    std::string big = "<coordinates>";
    while (big.size() < 10 * 1024 * 1024)
        big += "10.0,50.0,100 ";
    std::string lateCoordinates(2 * 1024 * 1024, ' ');
    lateCoordinates += "<coordinates>10,50,0</coordinates>";
    std::string unclosed = routeDocument(true);
    unclosed.erase(unclosed.find("</Document>"), std::string("</Document>").size());
    const std::vector<Case> cases = {
        {"missing", std::nullopt, 0, false},
        {"empty", std::string(), 0, false},
        {"binary", binaryNoise(50000, 7), 0, false},
        {"10 MB of tuples", big, int(kRouteMaxPoints), false},
        {"coordinates beyond the first megabyte", lateCoordinates, 0, false},
        {"placemark without coordinates", "<Placemark><name>x</name></Placemark>", 0, false},
        {"NaN tuples", "<coordinates>10,nan,0 10,50,0 10,50.01,nan 10,50.02,0", 2, false},
        {"route without placemark", routeDocument(false), 5, false},
        {"route with placemark", routeDocument(true), 5, true},
        {"placemark without document end", unclosed, 5, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(dir.file(kFlightPathFile).c_str());
        if (c.file)
            writeRoute(*c.file);
        CFlightPath path;
        EXPECT_EQ(path.loadRoute(400), c.points);
        EXPECT_EQ(path.routeSize(), c.points);

        CClient v("Me@localhost");
        v.isLocal = 1;
        v.curPos = fixAt(kUtc0, 50, 10, 1000, 0, 0);
        const std::string kml = path.fragment(v);
        if (c.points == 0) {
            EXPECT_EQ(kml, "");
            continue;
        }
        size_t discs = 0;
        for (size_t p = kml.find("<name>circle</name>"); p != std::string::npos;
             p = kml.find("<name>circle</name>", p + 1))
            ++discs;
        EXPECT_EQ(discs, size_t(c.points));
        EXPECT_EQ(kml.find("<Style id=\"redLine\">") != std::string::npos, c.routeLine);
        EXPECT_EQ(kml.find("<name>Plan</name>") != std::string::npos, c.routeLine);
        EXPECT_EQ(kml.find("</kml>"), std::string::npos);
        EXPECT_TRUE(wholeXmlElements(kml)) << kml.substr(0, 300);
    }
}

TEST_F(FlightPath, TheVehicleIsFollowedAlongTheCorridor) {
    struct Step {
        double lat;
        int onCourse;
        int index;
    };
    struct Case {
        const char* what;
        double trackWidth;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"exactly on point 0 stays at 0", 200, {{routeLat(0), 1, 0}, {routeLat(0), 1, 0}}},
        {"near point 0 inside the radius", 200, {{routeLat(0) + 0.001, 1, 0}}},
        {"walks every point",
         200,
         {{routeLat(0), 1, 0},
          {routeLat(1), 1, 1},
          {routeLat(2), 1, 2},
          {routeLat(3), 1, 3},
          {routeLat(4), 1, 4},
          {routeLat(4), 1, 4}}},
        {"a skipped point is picked up at the next but one",
         200,
         {{routeLat(0), 1, 0}, {routeLat(2), 1, 2}, {routeLat(4), 1, 4}}},
        {"skipping two is off course",
         200,
         {{routeLat(0), 1, 0}, {routeLat(3), 0, 0}, {routeLat(1), 1, 1}}},
        {"between two discs is off course",
         200,
         {{routeLat(0), 1, 0}, {routeLat(0) + 0.005, 0, 0}}},
        {"the index never goes back",
         200,
         {{routeLat(0), 1, 0}, {routeLat(2), 1, 2}, {routeLat(0), 0, 2}}},
        {"width 0 is always off course", 0, {{routeLat(0), 0, 0}, {routeLat(1), 0, 0}}},
    };
    writeRoute(routeDocument(true));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TraceCapture log;
        CFlightPath path;
        CClient v("Me@localhost");
        v.isLocal = 1;
        v.trackWidth = c.trackWidth;
        int offCourse = 0;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(fly(path, v, c.steps[i].lat, kRouteLon), c.steps[i].onCourse);
            EXPECT_EQ(path.currentIndex(), c.steps[i].index);
            EXPECT_EQ(path.onCourse(), c.steps[i].onCourse);
            offCourse += c.steps[i].onCourse == 0 ? 1 : 0;
        }
        EXPECT_EQ(log.count("off course"), offCourse);
        if (offCourse > 0) {
            EXPECT_TRUE(log.contains("flightPath.cpp")) << log.all();
        }
    }
}

TEST_F(FlightPath, WithoutARouteThereIsNothingToFollow) {
    struct Case {
        const char* what;
        std::optional<std::string> file;
    };
    const std::vector<Case> cases = {
        {"no file", std::nullopt},
        {"no coordinates", std::string("<kml><Document></Document></kml>")},
        {"binary", binaryNoise(4096, 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(dir.file(kFlightPathFile).c_str());
        if (c.file)
            writeRoute(*c.file);
        CFlightPath path;
        CClient v("Me@localhost");
        v.trackWidth = 200;
        EXPECT_EQ(fly(path, v, routeLat(0), kRouteLon), -1);
        EXPECT_EQ(fly(path, v, routeLat(1), kRouteLon), -1);
        EXPECT_EQ(path.onCourse(), -1);
        EXPECT_EQ(path.fragment(v), "");
    }
}

TEST_F(FlightPath, ANewFlightReadsTheRouteAgainFromItsStart) {
    writeRoute(routeDocument(false));
    CFlightPath path;
    CClient v("Me@localhost");
    v.trackWidth = 200;
    fly(path, v, routeLat(0), kRouteLon);
    fly(path, v, routeLat(2), kRouteLon);
    ASSERT_EQ(path.currentIndex(), 2);

    // A track that carries on (the stored one) keeps the loaded route even
    // when the file changes; a track that starts over takes the new file.
    writeRoute("<coordinates>10.0,50.03,0 10.0,50.04,0</coordinates>");
    fly(path, v, routeLat(3), kRouteLon);
    EXPECT_EQ(path.routeSize(), 5);
    v.track.clear();
    EXPECT_EQ(fly(path, v, routeLat(3), kRouteLon), 1);
    EXPECT_EQ(path.routeSize(), 2);
    EXPECT_EQ(path.currentIndex(), 0);
}

TEST_F(FlightPath, TheDifferenceVectorPointsAtTheNextRoutePointAndTheFolderParses) {
    struct Case {
        const char* what;
        std::vector<double> lats;
        int target;
        const char* color;
    };
    const std::vector<Case> cases = {
        {"on course at 0", {routeLat(0)}, 1, "ff00ff00"},
        {"on course at 2", {routeLat(0), routeLat(2)}, 3, "ff00ff00"},
        {"off course", {routeLat(0), routeLat(0) + 0.005}, 1, "ff0000ff"},
        {"at the last point", {routeLat(0), routeLat(2), routeLat(4)}, 4, "ff00ff00"},
    };
    writeRoute(routeDocument(true));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CFlightPath path;
        CClient v("Me@localhost");
        v.isLocal = 1;
        v.trackWidth = 200;
        for (double lat : c.lats)
            fly(path, v, lat, kRouteLon);
        const std::string kml = path.fragment(v);
        ASSERT_EQ(kml.rfind("<Folder>\n<name>FlightTracker</name><Placemark>\n", 0), 0u);

        const size_t vector = kml.find("<name>DifferenceVector</name>");
        ASSERT_NE(vector, std::string::npos);
        const std::string line = kml.substr(vector);
        EXPECT_NE(line.find("<color>" + std::string(c.color) + "</color>"), std::string::npos);
        EXPECT_NE(line.find("<outline>1</outline>"), std::string::npos);
        EXPECT_NE(line.find("<width>5</width>"), std::string::npos);
        EXPECT_NE(line.find("<extrude>0</extrude>"), std::string::npos);
        EXPECT_NE(line.find("<altitudeMode>absolute</altitudeMode>"), std::string::npos);
        char coords[128];
        std::snprintf(coords, sizeof coords,
                      "<coordinates>\n10.00000,%.5f,1000.0\n 10.00000,%.5f,1000.0\n</coordinates>",
                      c.lats.back(), routeLat(c.target));
        EXPECT_NE(line.find(coords), std::string::npos) << line;
        EXPECT_EQ(kml.substr(kml.size() - 10), "</Folder>\n");

        const std::string file = dir.file("fragment.kml");
        writeFile(file, kmlDocumentHead() + kml + kmlDocumentTail());
        const ShellOutcome info = ogrinfoKml(file);
        EXPECT_EQ(info.status, 0) << info.output;
        EXPECT_EQ(info.output.find("ERROR"), std::string::npos) << info.output;
        EXPECT_NE(info.output.find("DifferenceVector"), std::string::npos) << info.output;
        EXPECT_NE(info.output.find("Plan"), std::string::npos) << info.output;
    }
}

// The engine runs the update for the local vehicle after each point, in
// flight-path mode only; the local vehicle's document then carries the folder.
TEST_F(FlightPath, TheEngineHookFollowsTheLocalVehicleOnRealLines) {
    // 4807.038 N 01131.000 E, there a second later, then about 300 m further
    // north-east.
    const std::vector<std::string> lines = {
        "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230324,003.1,W*61",
        "$GPRMC,123520,A,4807.038,N,01131.000,E,022.4,084.4,230324,003.1,W*6B",
        "$GPRMC,123521,A,4807.238,N,01131.200,E,022.4,084.4,230324,003.1,W*6A",
    };
    writeRoute("<coordinates>11.516667,48.1173,500 11.52,48.1206,500 11.6,48.2,500</coordinates>");
    CClients clients("flightpath-test");
    CClient* local = clients.add("Me", "localhost");
    local->isLocal = 1;
    local->trackWidth = 200;
    local->compress = 0;
    Cn2k engine(clients);
    engine.m_local = local;
    CFlightPath flightPath;
    engine.m_flightPath = &flightPath;

    struct Case {
        int mode;
        int onCourse;
        int index;
    };
    // Off, nothing moves; on, the first point starts the flight at route point
    // 0, the second one reaches route point 1.
    const std::vector<Case> cases = {{0, -1, 0}, {1, 1, 0}, {1, 1, 1}};
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        EngineSettings settings;
        settings.flightTracker = cases[i].mode != 0;
        engine.setSettings(settings);
        if (i == 1)
            local->track.clear();
        ASSERT_EQ(engine.parseLine(lines[i]), 2);
        EXPECT_EQ(flightPath.onCourse(), cases[i].onCourse);
        EXPECT_EQ(flightPath.currentIndex(), cases[i].index);
    }

    std::string kml;
    KmlOptions opt = statuteOptions();
    opt.flightPath = &flightPath;
    vehicleKml(*local, kml, kmlSingle, kKmlAllPoints, opt);
    EXPECT_NE(kml.find("<name>FlightTracker</name>"), std::string::npos);
    const std::string file = dir.file("local.kml");
    writeFile(file, kml);
    const ShellOutcome info = ogrinfoKml(file);
    EXPECT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find("DifferenceVector"), std::string::npos) << info.output;
}

} // namespace
