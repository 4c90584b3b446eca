// The window's "Export Track…": one vehicle's whole history into the file
// the user chose, and what the status line says when it cannot be done.
#include "historyTestUtil.h"

#include "app/historyCommands.h"
#include "history/historyWriter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

TEST(ExportTrack, OneVehiclesHistoryOrWhyNot) {
    TempDir dir;
    const std::string history = dir.file("history.gpkg");
    {
        HistoryWriter w;
        std::string error;
        ASSERT_TRUE(w.open(history, error)) << error;
        std::vector<HistoryWriter::Item> items;
        for (const HistoryTrack& t : {makeDrive("me@localhost", 4), makeDrive("car@h", 7)})
            for (const HistoryFix& f : t.fixes)
                items.push_back({HistoryPoint{t.key, "peer", f}, false});
        ASSERT_TRUE(w.write(items, false, error)) << error;
    }
    const struct {
        const char* key;
        std::string target;
        bool ok;
        const char* says;
    } cases[] = {
        {"car@h", dir.file("car.gpx"), true, "Exported 7 points of car@h to "},
        {"me@localhost", dir.file("me.geojson"), true, "Exported 4 points of me@localhost"},
        {"nobody@h", dir.file("nobody.gpx"), false, "no points of nobody@h"},
        {"car@h", dir.file("car.txt"), false, "must end in .gpx, .kml or .geojson"},
        {"car@h", dir.file("no-such-folder/car.kml"), false, "cannot write"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        std::string message;
        EXPECT_EQ(exportVehicleHistory(history, c.key, c.target, message), c.ok);
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
        EXPECT_EQ(fs::exists(c.target), c.ok);
    }
    std::ifstream in(dir.file("car.gpx"));
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("<name>car@h</name>"), std::string::npos);
    EXPECT_EQ(text.str().find("me@localhost"), std::string::npos) << "only the chosen vehicle";
    std::string message;
    EXPECT_FALSE(
        exportVehicleHistory(dir.file("absent.gpkg"), "car@h", dir.file("x.gpx"), message));
    EXPECT_NE(message.find("no history"), std::string::npos) << message;
}
