// The exporters against golden files (tests/data/history), in every zone the
// tests run under: exports are UTC whatever the machine's zone. A key with
// XML and JSON specials shows the escaping. NIVRA_UPDATE_GOLDEN=1 rewrites
// the files (check the difference before committing them).
#include "historyTestUtil.h"

#include "history/historyExport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<HistoryTrack> goldenTracks() {
    // Five points, a two-hour gap after the third (a new run), then a second
    // vehicle whose key needs escaping.
    return {makeDrive("me@localhost", 5, 2), makeDrive("a<b>&\"c'@x", 2)};
}

std::string exported(ExportFormat format, const std::vector<HistoryTrack>& tracks,
                     size_t failAfter = 0) {
    std::string text;
    size_t chunks = 0;
    const bool ok = writeExport(format, tracks, [&](std::string_view chunk) {
        if (failAfter > 0 && ++chunks >= failAfter)
            return false;
        text += chunk;
        return true;
    });
    return ok ? text : "(failed)";
}

} // namespace

TEST(Exporters, MatchTheGoldenFiles) {
    const struct {
        ExportFormat format;
        const char* golden;
    } cases[] = {
        {ExportFormat::gpx, "drive.gpx"},
        {ExportFormat::kml, "drive.kml"},
        {ExportFormat::geojson, "drive.geojson"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.golden);
        const std::string path = std::string(NIVRA_TEST_DATA) + "/" + c.golden;
        const std::string text = exported(c.format, goldenTracks());
        if (const char* update = std::getenv("NIVRA_UPDATE_GOLDEN"); update && *update == '1')
            std::ofstream(path, std::ios::binary) << text;
        EXPECT_EQ(text, readFile(path));
    }
}

TEST(Exporters, RunsSplitAtGapsOfMoreThanAnHour) {
    // 3 points, 3601 s later 2 more: two runs. 3600 s later: still one.
    for (int64_t gap : {3600, 3601}) {
        HistoryTrack t = makeDrive("v@h", 5);
        for (size_t i = 3; i < t.fixes.size(); ++i)
            t.fixes[i].utc += gap - 1; // the step from point 2 to 3 becomes `gap`
        const std::string gpx = exported(ExportFormat::gpx, {t});
        const std::string kml = exported(ExportFormat::kml, {t});
        size_t segs = 0, tracks = 0;
        for (size_t p = 0; (p = gpx.find("<trkseg>", p)) != std::string::npos; ++p)
            ++segs;
        for (size_t p = 0; (p = kml.find("<gx:Track>", p)) != std::string::npos; ++p)
            ++tracks;
        const size_t runs = gap > 3600 ? 2u : 1u;
        EXPECT_EQ(segs, runs) << gap;
        EXPECT_EQ(tracks, runs) << gap;
    }
}

TEST(Exporters, ASinkThatFailsFailsTheExport) {
    // Enough points for several chunks; the second chunk is refused.
    const std::vector<HistoryTrack> big{makeDrive("v@h", 5000)};
    for (ExportFormat f : {ExportFormat::gpx, ExportFormat::kml, ExportFormat::geojson}) {
        EXPECT_EQ(exported(f, big, 2), "(failed)");
        EXPECT_NE(exported(f, big), "(failed)");
    }
    EXPECT_FALSE(writeExport(ExportFormat::none, big, [](std::string_view) { return true; }));
}

TEST(ExportFormat, ComesFromTheNamesExtension) {
    const struct {
        const char* name;
        ExportFormat format;
    } cases[] = {
        {"a.gpx", ExportFormat::gpx},         {"dir.x/A.GPX", ExportFormat::gpx},
        {"a.kml", ExportFormat::kml},         {"a.geojson", ExportFormat::geojson},
        {"a.GeoJSON", ExportFormat::geojson}, {"a.json", ExportFormat::none},
        {"a.kmz", ExportFormat::none},        {"gpx", ExportFormat::none},
        {"a.gpx.txt", ExportFormat::none},    {"", ExportFormat::none},
    };
    for (const auto& c : cases)
        EXPECT_EQ(exportFormatOf(c.name), c.format) << c.name;
}
