// Whole vehicles in each output mode, compared byte for byte with documents
// kept under tests/data/kml/. The zone is pinned to UTC and every time comes
// from the fixed track, so the output is the same on every machine.
// NIVRA_UPDATE_GOLDEN=1 rewrites the files (read them before committing).
#include "earth/autoViewState.h"
#include "earth/kml.h"
#include "kmlTestUtil.h"

#include <array>
#include <cstdio>
#include <memory>

using namespace kmltest;

namespace {

const std::string kGoldenDir = std::string(NIVRA_TEST_DATA) + "/";

// A drive north of Munich: 60 s apart, speeding up through several 5 mph bands,
// then a two-hour stop and three more points. Oldest first.
void fillDrive(CClient& v, double alt) {
    struct P {
        int t;
        double lat, lon, mph, hdg;
    } pts[] = {
        {0, 48.13510, 11.58200, 4, 10},     {60, 48.13710, 11.58250, 12, 12},
        {120, 48.14010, 11.58320, 18, 15},  {180, 48.14410, 11.58400, 26, 14},
        {240, 48.14910, 11.58500, 34, 12},  {300, 48.15510, 11.58610, 35, 11},
        {360, 48.16110, 11.58700, 47, 10},  {420, 48.16810, 11.58810, 52, 9},
        {480, 48.17510, 11.58900, 44, 9},   {540, 48.18110, 11.59010, 30, 20},
        {7740, 48.18200, 11.59100, 3, 90},  {7800, 48.18220, 11.59200, 8, 88},
        {7860, 48.18250, 11.59330, 11, 85}, {7920, 48.18270, 11.59480, 13.5, 84},
    };
    for (const P& p : pts)
        drive(v, fixAt(kUtc0 + p.t, p.lat, p.lon, alt + p.t / 60.0, mphToKnots(p.mph), p.hdg));
}

void expectGolden(const std::string& name, const std::string& text) {
    const std::string path = kGoldenDir + name;
    if (const char* update = std::getenv("NIVRA_UPDATE_GOLDEN"); update && *update == '1') {
        writeFile(path, text);
        return;
    }
    const std::string golden = readFile(path);
    ASSERT_FALSE(golden.empty()) << "missing " << path;
    if (golden != text) {
        size_t i = 0;
        while (i < golden.size() && i < text.size() && golden[i] == text[i])
            ++i;
        FAIL() << name << " differs at byte " << i << ":\n--- expected\n"
               << golden.substr(i > 80 ? i - 80 : 0, 200) << "\n--- got\n"
               << text.substr(i > 80 ? i - 80 : 0, 200);
    }
}

// ogrinfo's listing of every feature; `driver` picks GDAL's KML reader
// ("KML", the expat one, or "LIBKML", Google's library).
std::string runOgrinfo(const std::string& path, const std::string& driver) {
    std::string out;
    const std::string skip = driver == "KML" ? "LIBKML" : "KML";
    // Warnings go to a file read after the listing: merged into the same
    // pipe they could land in the middle of a listed name and hide it.
    const std::string cmd = "ogrinfo --config GDAL_SKIP " + skip + " -ro -al '" + path + "' 2>'" +
                            path + ".err'; cat '" + path + ".err'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
    if (!pipe)
        return out;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe.get())) > 0)
        out.append(buf.data(), n);
    return out;
}

size_t count(const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + what.size()))
        ++n;
    return n;
}

class Golden : public ::testing::Test {
protected:
    void SetUp() override {
        setAutoViewHeadingMode(1);
        setAutoViewHeadingHold(true);
    }
    ZoneScope zone{"UTC"};
    StartDir dir;
    KmlOptions opt = statuteOptions();

    // A peer followed in Google Earth, drawn with the arrow, its speed track,
    // time stamps and circles.
    void makePeer(CClient& v) {
        v.uName = "Bob";
        v.host = "10.0.0.7";
        v.online = 1;
        v.showHdg = 1;
        v.tracking = kTrackFollow | kTrackHeading | kTrackRange | kTrackTilt | kTrackViewControl;
        v.camRange = 1500;
        v.camTilt = 45;
        v.camHdg = 10;
        v.maxSpd = mphToKnots(60);
        v.trackWidth = 15;
        fillDrive(v, 520);
    }
    // The local vehicle with a model from the view table.
    void makeLocal(CClient& v) {
        writeFile(dir.file("AutoView.cfg"), "; speed, range ft, tilt, model, scale\n"
                                            "0,-1000,70\n"
                                            "5,800,70,car.dae,-2\n"
                                            "20,3000,50,car.dae,-2\n");
        v.uName = "Me";
        v.host = "localhost";
        v.isLocal = 1;
        v.online = 1;
        v.color = "Orange";
        v.tracking = kTrackFollow | kTrackHeading | kTrackRange | kTrackTilt | kTrackViewControl;
        v.camRange = 800;
        v.maxSpd = mphToKnots(60);
        fillDrive(v, 520);
    }
    // A glider: flying, extruded, a plain track in its own colour, not followed.
    void makeFlyer(CClient& v) {
        v.uName = "Ann";
        v.host = "gps.example";
        v.online = 0;
        v.showAlt = 1;
        v.color = "ff112233";
        v.speedTrack = 0;
        v.fly = 1;
        v.extrude = 1;
        v.camRange = 20000;
        fillDrive(v, 1500);
    }
};

} // namespace

TEST_F(Golden, LinkModePeer) {
    CClient v("Bob@10.0.0.7");
    makePeer(v);
    std::string out;
    vehicleKml(v, out, kmlLink, kKmlAllPoints, opt);
    expectGolden("link_peer.kml", out);
}

TEST_F(Golden, LinkModeFlyingArrow) {
    CClient v("Ann@gps.example");
    makeFlyer(v);
    v.speedTrack = 1;
    v.tracking = kTrackFollow;
    std::string out;
    vehicleKml(v, out, kmlLink, kKmlAllPoints, opt);
    expectGolden("link_flying.kml", out);
}

TEST_F(Golden, SingleDocumentOfTheLocalVehicle) {
    CClient v("Me@localhost");
    makeLocal(v);
    std::string out;
    vehicleKml(v, out, kmlSingle, kKmlAllPoints, opt);
    expectGolden("single_local.kml", out);
}

TEST_F(Golden, MultiModeFlyer) {
    CClient v("Ann@gps.example");
    makeFlyer(v);
    std::string out;
    vehicleKml(v, out, kmlMulti, kKmlAllPoints, opt);
    expectGolden("multi_flyer.kml", out);
}

// A real KML consumer reads what we write: both of GDAL's KML readers find
// every placemark of the document, under the names we gave them.
TEST_F(Golden, OgrinfoReadsTheDocuments) {
    CClient peer("Bob@10.0.0.7"), local("Me@localhost"), flyer("Ann@gps.example");
    makePeer(peer);
    makeLocal(local);
    makeFlyer(flyer);
    std::vector<CClient*> all{&flyer, &peer, &local};
    std::string doc;
    allVehiclesKml(doc, kKmlAllPoints, all, opt);
    const std::string multiPath = dir.file("all.kml");
    writeFile(multiPath, doc);

    std::string single;
    vehicleKml(local, single, kmlSingle, kKmlAllPoints, opt);
    const std::string singlePath = dir.file("single.kml");
    writeFile(singlePath, single);

    for (const std::string driver : {"KML", "LIBKML"}) {
        SCOPED_TRACE(driver);
        // The expat reader knows no <Model> geometry and skips the model cursor.
        const bool models = driver == "LIBKML";
        auto features = [&](const std::string& kml) {
            return count(kml, "<Placemark>") - (models ? 0 : count(kml, "<Model>"));
        };
        const std::string info = runOgrinfo(multiPath, driver);
        ASSERT_NE(info.find("using driver `" + driver + "' successful"), std::string::npos) << info;
        EXPECT_EQ(info.find("ERROR"), std::string::npos) << info;
        EXPECT_EQ(count(info, "Name (String) ="), features(doc));
        for (const char* layer :
             {"Layer name: Ann@gps.example\n", "Layer name: Bob@10.0.0.7\n", "Layer name: Me\n",
              "Layer name: Track\n", "Layer name: SpeedTrack\n", "Layer name: TimeStamps\n",
              "Layer name: Circles\n"})
            EXPECT_NE(info.find(layer), std::string::npos) << layer;
        for (const char* name :
             {"Ann! 13.5mph, 5354.3 ft 05/01/24 14:12", "Bob 13.5mph, 84.0 05/01/24 14:12",
              "Me 13.5mph 05/01/24 14:12", "Track:-1 05/01/24 14:09", "Track:11 05/01/24 14:10",
              "05/01/24 12:05", "circle"})
            EXPECT_NE(info.find(std::string("Name (String) = ") + name + "\n"), std::string::npos)
                << name;

        const std::string info1 = runOgrinfo(singlePath, driver);
        ASSERT_NE(info1.find("using driver `" + driver + "' successful"), std::string::npos)
            << info1;
        EXPECT_EQ(info1.find("ERROR"), std::string::npos) << info1;
        EXPECT_EQ(count(info1, "Name (String) ="), features(single));
        EXPECT_NE(info1.find("Name (String) = Me 13.5mph 05/01/24 14:12\n"), std::string::npos);
        if (models) {
            EXPECT_NE(info.find("Name (String) = Cursor\n"), std::string::npos);
            EXPECT_NE(info1.find("Name (String) = Cursor\n"), std::string::npos);
        }
    }
}
