// The real program and the real readers: a recorded drive is imported with
// `nivra --import`, GDAL lists the GeoPackage layer, and every export is read
// back by the program it is for (gpsbabel for GPX, ogr2ogr for KML and
// GeoJSON, xmllint for well-formed XML).
#include "historyTestUtil.h"

#include "common/shellRun.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#ifdef NIVRA_PROGRAM

namespace {

std::string shellQuoted(const std::string& s) {
    return "'" + s + "'";
}

// The harbour log's drive, as its compressed track keeps it: 9 points from
// 21:03:13 to 21:03:33 UTC on 14 June 2009.
const char* const kHarbourTimes[] = {"21:03:13", "21:03:17", "21:03:19", "21:03:21", "21:03:23",
                                     "21:03:27", "21:03:29", "21:03:31", "21:03:33"};

class Consumers : public ::testing::Test {
protected:
    void SetUp() override {
        m_log = std::string(NIVRA_TEST_DATA) + "/../logkml/harbour.nme";
        const ShellOutcome r = nivra("--import " + shellQuoted(m_log));
        ASSERT_EQ(r.status, 0) << r.output;
        ASSERT_NE(r.output.find("9 of 9 points added to harbour"), std::string::npos) << r.output;
    }
    ShellOutcome nivra(const std::string& args) {
        return runShell("cd " + shellQuoted(m_dir.path().string()) + " && " +
                        shellQuoted(NIVRA_PROGRAM) + " --dir " + shellQuoted(m_dir.file("run")) +
                        " " + args);
    }
    std::string history() const { return m_dir.file("run/history.gpkg"); }

    TempDir m_dir;
    std::string m_log;
};

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = 0; (p = text.find(what, p)) != std::string::npos; p += what.size())
        ++n;
    return n;
}

} // namespace

TEST_F(Consumers, OgrinfoListsTheLayerWithItsCountExtentAndTimes) {
    const ShellOutcome r = runShell("ogrinfo -ro -al " + shellQuoted(history()));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("using driver `GPKG' successful"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Layer name: track_points"), std::string::npos);
    EXPECT_NE(r.output.find("Geometry: 3D Point"), std::string::npos);
    EXPECT_NE(r.output.find("Feature Count: 9"), std::string::npos);
    EXPECT_NE(r.output.find("Extent: (-122.440280, 37.802475) - (-122.439710, 37.803598)"),
              std::string::npos)
        << r.output;
    for (const char* t : kHarbourTimes)
        EXPECT_NE(r.output.find(std::string("time (DateTime) = 2009/06/14 ") + t + "+00"),
                  std::string::npos)
            << t;
    EXPECT_NE(r.output.find("vehicle (String) = harbour"), std::string::npos);
    EXPECT_EQ(r.output.find("Warning"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("ERROR"), std::string::npos) << r.output;
    EXPECT_EQ(sqlValue(history(), "PRAGMA integrity_check"), "ok");
}

TEST_F(Consumers, GpsbabelReadsTheGpxBackWithTheSamePointsAndTimes) {
    ShellOutcome r = nivra("--export -o trip.gpx");
    ASSERT_EQ(r.status, 0) << r.output;
    const std::string gpx = m_dir.file("trip.gpx");
    r = runShell("xmllint --noout " + shellQuoted(gpx));
    EXPECT_EQ(r.status, 0) << r.output;
    // Tracks need -t: without it unicsv writes waypoints only.
    r = runShell("TZ=UTC gpsbabel -t -i gpx -f " + shellQuoted(gpx) + " -o unicsv -F -");
    ASSERT_EQ(r.status, 0) << r.output;
    std::istringstream lines(r.output);
    std::string line;
    // unicsv ends its lines with CR LF.
    auto next = [&lines](std::string& l) {
        if (!std::getline(lines, l))
            return false;
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        return true;
    };
    next(line);
    EXPECT_EQ(line, "No,Latitude,Longitude,Altitude,Date,Time");
    // The same points the GeoPackage holds, in order, with the same times.
    std::vector<std::string> rows;
    while (next(line))
        rows.push_back(line);
    ASSERT_EQ(rows.size(), 9u) << r.output;
    EXPECT_EQ(rows.front(), "1,37.802475,-122.439710,8.0,2009/06/14,21:03:13");
    EXPECT_EQ(rows.back(), "9,37.803598,-122.440280,8.0,2009/06/14,21:03:33");
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_NE(rows[i].find(std::string("2009/06/14,") + kHarbourTimes[i]), std::string::npos)
            << rows[i];
    // The log converted straight to GPX gives the very same points.
    r = nivra("--kml " + shellQuoted(m_log) + " -o " + shellQuoted(m_dir.file("direct.gpx")));
    ASSERT_EQ(r.status, 0) << r.output;
    const ShellOutcome direct = runShell("TZ=UTC gpsbabel -t -i gpx -f " +
                                         shellQuoted(m_dir.file("direct.gpx")) + " -o unicsv -F -");
    const ShellOutcome exported =
        runShell("TZ=UTC gpsbabel -t -i gpx -f " + shellQuoted(gpx) + " -o unicsv -F -");
    EXPECT_EQ(direct.output, exported.output);
}

TEST_F(Consumers, Ogr2ogrConvertsTheKmlAndTheGeoJson) {
    const struct {
        const char* name;
        bool xml;
    } cases[] = {{"trip.kml", true}, {"trip.geojson", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ShellOutcome r = nivra(std::string("--export -o ") + c.name);
        ASSERT_EQ(r.status, 0) << r.output;
        const std::string file = m_dir.file(c.name);
        if (c.xml) {
            r = runShell("xmllint --noout " + shellQuoted(file));
            EXPECT_EQ(r.status, 0) << r.output;
        }
        r = runShell("ogr2ogr -f CSV /vsistdout/ " + shellQuoted(file) + " -lco GEOMETRY=AS_WKT");
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output.find("ERROR"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("nknown geometry"), std::string::npos) << r.output;
        if (c.xml) {
            // One run: a line of the nine points, from the first time to the last.
            EXPECT_EQ(count(r.output, "LINESTRING Z"), 1u) << r.output;
            EXPECT_NE(r.output.find("-122.43971 37.802475 8,"), std::string::npos) << r.output;
            EXPECT_NE(r.output.find("2009/06/14 21:03:13+00,2009/06/14 21:03:33+00"),
                      std::string::npos)
                << r.output;
        } else {
            EXPECT_EQ(count(r.output, "POINT Z"), 9u) << r.output;
            EXPECT_NE(r.output.find("POINT Z (-122.44028 37.8035983 8)"), std::string::npos)
                << r.output;
            EXPECT_NE(r.output.find("2009/06/14 21:03:33"), std::string::npos) << r.output;
        }
    }
}

TEST_F(Consumers, ChoicesAndRefusals) {
    const struct {
        const char* args;
        int status;
        const char* says;
        const char* file; // written, or "" for none
    } cases[] = {
        {"--export -o t.gpx --from 2009-06-14T21:03:20Z", 0, "t.gpx: 6 points of 1 vehicle",
         "t.gpx"},
        {"--export -o u.gpx --to 2009-06-14T21:03:17", 0, "u.gpx: 2 points", "u.gpx"},
        {"--export -o v.gpx --vehicle harbour --vehicle nobody", 0, "9 points", "v.gpx"},
        {"--export -o w.gpx --vehicle nobody", 1, "no points", ""},
        {"--export -o x.txt", 2, "must end in .gpx, .kml or .geojson", ""},
        {"--export -o y.gpx --from tomorrow", 2, "not a time", ""},
        {"--export -o z.gpx --from 2010-01-01 --to 2009-01-01", 2, "later than", ""},
        {"--export", 2, "needs -o FILE", ""},
        {"--export -o", 2, "-o needs a value", ""},
        {"--import notes.txt", 2, "only track files (.trk) and NMEA logs (.nme)", ""},
        {"--import absent.nme", 1, "cannot read", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const ShellOutcome r = nivra(c.args);
        EXPECT_EQ(r.status, c.status) << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        if (*c.file) {
            EXPECT_TRUE(fs::exists(m_dir.file(c.file)));
        }
    }
    for (const char* none : {"w.gpx", "x.txt", "y.gpx", "z.gpx"})
        EXPECT_FALSE(fs::exists(m_dir.file(none))) << none;
}

TEST_F(Consumers, ImportingAgainAddsNothingAndTrackFilesComeIn) {
    ShellOutcome r = nivra("--import " + shellQuoted(m_log));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("0 of 9 points added"), std::string::npos) << r.output;
    const std::string trk = std::string(NIVRA_TEST_DATA) + "/../track/cap10_wrapped.trk";
    r = nivra("--import --vehicle 'car@10.0.0.7' " + shellQuoted(trk));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("10 of 10 points added to car@10.0.0.7"), std::string::npos)
        << r.output;
    EXPECT_EQ(rowCount(history()), 19);
    // The drives are from 2009: the user hears that the days rule will take them.
    EXPECT_NE(r.output.find("older than HistoryDays"), std::string::npos) << r.output;
    EXPECT_EQ(sqlValue(history(), "SELECT count(*) FROM track_points WHERE source = 'import'"),
              "19");
}

#endif
