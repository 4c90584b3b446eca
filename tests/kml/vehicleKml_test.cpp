#include "earth/autoViewState.h"
#include "earth/kml.h"
#include "kmlTestUtil.h"

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

// The altitudes of every polygon vertex line ("lon, lat, alt ").
std::vector<long long> vertexAltitudes(const std::string& kml) {
    std::vector<long long> alts;
    std::istringstream in(kml);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("            ", 0) != 0 || line.size() < 2 || line.back() != ' ')
            continue;
        line.pop_back();
        alts.push_back(std::stoll(line.substr(line.rfind(' ') + 1)));
    }
    return alts;
}

class VehicleKml : public ::testing::Test {
protected:
    void SetUp() override {
        setAutoViewHeadingMode(1);
        v.uName = "Bob";
        v.host = "10.0.0.7";
        v.online = 1;
        v.showName = 1;
        v.showSpeed = 1;
        v.showTime = 0;
        v.curPos = fixAt(kUtc0, 48.1, 11.6, 100, 10, 123.45);
    }
    StartDir dir; // no AutoView.cfg unless a test writes one
    CClient v{"Bob@10.0.0.7"};
    KmlOptions opt = statuteOptions();
};

} // namespace

TEST_F(VehicleKml, LabelInEachUnitSystem) {
    EXPECT_EQ(vehicleLabel(v, opt), "Bob 11.5mph");
    opt.metric = true;
    EXPECT_EQ(vehicleLabel(v, opt), "Bob 18.5km/h");
    opt.speedInKnots = true; // knots win over metric
    EXPECT_EQ(vehicleLabel(v, opt), "Bob 10.0kt");

    opt = statuteOptions();
    v.showHdg = v.showAlt = v.showHost = 1;
    v.online = 0;
    EXPECT_EQ(vehicleLabel(v, opt), "Bob@10.0.0.7! 11.5mph, 123.5, 328.1 ft");
    opt.metric = true;
    EXPECT_EQ(vehicleLabel(v, opt), "Bob@10.0.0.7! 18.5km/h, 123.5, 100.0 m");
}

TEST_F(VehicleKml, LabelSeparators) {
    v.showSpeed = 0;
    v.showHdg = 1;
    EXPECT_EQ(vehicleLabel(v, opt), "Bob 123.5");
    v.showAlt = 1;
    EXPECT_EQ(vehicleLabel(v, opt), "Bob 123.5, 328.1 ft");
    v.showHdg = 0;
    EXPECT_EQ(vehicleLabel(v, opt), "Bob 328.1 ft");
    v.showName = 0;
    v.showAlt = 0;
    v.showSpeed = 1;
    EXPECT_EQ(vehicleLabel(v, opt), "11.5mph");

    v.showTime = 1; // no points yet: no time
    EXPECT_EQ(vehicleLabel(v, opt), "11.5mph");
    drive(v, v.curPos);
    EXPECT_EQ(vehicleLabel(v, opt), "11.5mph " + formatFixTime(v.curPos.time));
}

TEST_F(VehicleKml, LocalVehicleWithoutFixShowsTheStatus) {
    v.isLocal = 1;
    v.changed = 0;
    opt.statusText = "Acquiring Signal...";
    EXPECT_EQ(vehicleLabel(v, opt), "Acquiring Signal...");
    EXPECT_EQ(v.changed, 1);
    v.isDemo = 1; // the demo vehicle has no receiver to wait for
    EXPECT_EQ(vehicleLabel(v, opt), "Bob 11.5mph");
    v.isDemo = 0;
    opt.statusText = "Signal Acquired";
    EXPECT_EQ(vehicleLabel(v, opt), "Bob 11.5mph");
}

TEST_F(VehicleKml, ModesDifferInIconCursorAndView) {
    v.tracking = kTrackFollow | kTrackViewControl | kTrackRange | kTrackTilt;
    v.camRange = 1000;
    // A track of two points draws a line in either kind of track folder.
    const GpsFix here = v.curPos;
    drive(v, fixAt(kUtc0 - 5, 48.0999, 11.5999, 100, 10, 123.45));
    drive(v, here);
    std::string link, single, multi;
    vehicleKml(v, link, kmlLink, kKmlAllPoints, opt);
    vehicleKml(v, single, kmlSingle, kKmlAllPoints, opt);
    EXPECT_NEAR(v.camRange, 512.064, 1e-9); // the LookAt set the automatic range
    v.camRange = 1000;
    vehicleKml(v, multi, kmlMulti, kKmlAllPoints, opt);

    EXPECT_EQ(link.rfind("<Folder>\n  <name>Bob@10.0.0.7</name>\n", 0), 0u);
    EXPECT_NE(link.find("<name>Cursor</name>"), std::string::npos); // arrow
    EXPECT_EQ(link.find("<LookAt>"), std::string::npos);
    EXPECT_EQ(link.find("<name>Track</name>"), std::string::npos); // speed track only
    EXPECT_NE(link.find("<name>SpeedTrack</name>"), std::string::npos);

    EXPECT_EQ(single.rfind(kmlDocumentHead(), 0), 0u);
    EXPECT_EQ(single.substr(single.size() - kmlDocumentTail().size()), kmlDocumentTail());
    EXPECT_EQ(single.find("<name>Cursor</name>"), std::string::npos);
    EXPECT_NE(single.find(std::string("<href>") + kKmlStockIcon + "</href>"), std::string::npos);
    EXPECT_NE(single.find("<altitudeMode>clampedToGround</altitudeMode>"), std::string::npos);
    EXPECT_NE(single.find("<name>Track</name>"), std::string::npos); // faint plain track
    EXPECT_NE(single.find("<LookAt>"), std::string::npos);

    EXPECT_EQ(multi,
              single.substr(kmlDocumentHead().size(),
                            single.size() - kmlDocumentHead().size() - kmlDocumentTail().size()));
}

TEST_F(VehicleKml, ArrowOfAHugeCursorSizeKeepsItsHeights) {
    // CursorSize is a registry number: at its largest the arrow's height unit
    // 3 x f no longer fits an int, and the heights must not wrap around.
    opt.cursorSize = INT32_MAX;
    v.tracking = kTrackFollow;
    v.camRange = 10000;
    v.fly = 0;
    std::string out;
    arrowCursor(out, v, "ff0000ff", opt);
    // Tip h / 3 (f truncated), wings h, tail 1.8 h, each held to the int range.
    const long long top = INT32_MAX, bottom = INT32_MIN;
    EXPECT_EQ(vertexAltitudes(out), (std::vector<long long>{top, top, top, top, top, top}));

    v.fly = 1;
    v.curPos.alt = 100;
    out.clear();
    arrowCursor(out, v, "ff0000ff", opt);
    const long long tip = 100 - top;
    EXPECT_EQ(vertexAltitudes(out), (std::vector<long long>{tip, 100, top, 100, tip, top, tip, 100,
                                                            bottom, 100, tip, bottom}));
}

TEST_F(VehicleKml, ModelCursorScale) {
    v.tracking = kTrackFollow;
    v.camRange = 2000; // view scale 10
    std::string out;
    modelCursor(out, v, "car.dae", 2.0, opt);
    EXPECT_NE(out.find("<x>66.6667</x>\n<y>66.6667</y>\n<z>66.6667</z>"), std::string::npos);
    v.tracking = 0; // not followed: a third smaller
    out.clear();
    modelCursor(out, v, "car.dae", 2.0, opt);
    EXPECT_NE(out.find("<x>44.4444</x>"), std::string::npos);
    v.camRange = 149; // close in: CursorSize / 150 whatever the scale
    out.clear();
    modelCursor(out, v, "car.dae", 7.0, opt);
    EXPECT_NE(out.find("<x>0.6667</x>"), std::string::npos);
    EXPECT_NE(out.find("<altitudeMode>clampedToGround</altitudeMode>"), std::string::npos);
    EXPECT_NE(out.find("<altitude>2.000000</altitude>"), std::string::npos);
}

TEST_F(VehicleKml, ViewTableModelOfTheLocalVehicle) {
    writeFile(dir.file("AutoView.cfg"), "0,-1000,70,slow.png,2\n"
                                        "30,2000,40,car.dae,-2\n");
    v.isLocal = 1;
    v.curPos.spd = mphToKnots(20); // band 1: row 0
    std::string out;
    vehicleKml(v, out, kmlLink, kKmlAllPoints, opt);
    EXPECT_NE(out.find("<scale>1.333333</scale>\n        <Icon>\n          <href>slow.png</href>"),
              std::string::npos);
    EXPECT_EQ(out.find("<name>Cursor</name>"), std::string::npos); // the icon replaces the arrow

    v.curPos.spd = mphToKnots(40); // beyond the last row: the last row, proportional scale
    vehicleKml(v, out, kmlSingle, kKmlAllPoints, opt);
    EXPECT_NE(out.find("<href>car.dae</href>"), std::string::npos);
    EXPECT_NE(out.find(std::string("<href>") + kKmlStockIcon), std::string::npos);
}

TEST_F(VehicleKml, FlightPathJoinsTheLocalVehicleOnly) {
    struct Route : FlightPathHook {
        int update(CClient&) override { return -1; }
        std::string fragment(CClient&) override {
            return "<Folder>\n<name>FlightTracker</name>\n</Folder>\n";
        }
    } route;
    opt.flightPath = &route;
    std::string out;
    vehicleKml(v, out, kmlMulti, kKmlAllPoints, opt);
    EXPECT_EQ(out.find("FlightTracker"), std::string::npos);
    v.isLocal = 1;
    vehicleKml(v, out, kmlMulti, kKmlAllPoints, opt);
    EXPECT_EQ(
        out.rfind("<Folder>\n<name>FlightTracker</name>\n</Folder>\n<Folder>\n  <name>Bob</name>",
                  0),
        0u);
    opt.flightPath = nullptr;
}

TEST_F(VehicleKml, NamesFromOutsideCannotBreakTheDocument) {
    CClient odd("a<b>&c@evil");
    odd.uName = "a<b>&c";
    odd.host = "evil";
    odd.color = "</color>";
    std::string out;
    vehicleKml(odd, out, kmlLink, kKmlAllPoints, opt);
    EXPECT_EQ(out.find("a<b>"), std::string::npos);
    EXPECT_NE(out.find("<name>a&lt;b&gt;&amp;c@evil</name>"), std::string::npos);
    EXPECT_EQ(count(out, "</color>"), count(out, "<color>"));
}

TEST_F(VehicleKml, AllVehiclesSkipsHiddenAndStopsAtShutdown) {
    CClient hidden("Hid@den");
    hidden.visible = 0;
    CClient other("Eve@10.0.0.8");
    v.tracking = kTrackFollow;
    std::vector<CClient*> list{&v, &hidden, &other};
    std::string out;
    allVehiclesKml(out, kKmlAllPoints, list, opt);
    EXPECT_EQ(out.rfind(kmlDocumentHead() + "<Folder>\n  <name>Bob@10.0.0.7</name>", 0), 0u);
    EXPECT_EQ(out.find("Hid@den"), std::string::npos);
    EXPECT_NE(out.find("<name>Eve@10.0.0.8</name>"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 22), "\n\n\n</Document>\n</kml>\n");
    EXPECT_EQ(count(out, "<LookAt>"), 1u); // Bob's: the only vehicle with tracking bits
    g_bShutdown = 1;
    allVehiclesKml(out, kKmlAllPoints, list, opt);
    g_bShutdown = 0;
    EXPECT_EQ(out, kmlDocumentHead() + "\n" + kmlDocumentTail());
}
