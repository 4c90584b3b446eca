#include "earth/autoView.h"
#include "earth/autoViewState.h"
#include "kmlTestUtil.h"

#include <atomic>
#include <cmath>
#include <thread>

using namespace kmltest;

namespace {

// A vehicle moving at `mph` (through its current position).
void setSpeed(CClient& v, double mph) {
    v.curPos.spd = mphToKnots(mph);
}

ViewTable withSmoothing(int s) {
    ViewTable t = defaultViewTable();
    t.smoothing = s;
    return t;
}

} // namespace

TEST(AutoView, DefaultTableRangeAndTilt) {
    const ViewTable t = defaultViewTable();
    ASSERT_EQ(t.count, 4);
    CClient v("car@localhost");
    struct Case {
        double mph, range, tilt;
    } cases[] = {{0, 304.8, 70}, {10, 467.36, 63.333333}, {60, 1093.694118, 45}};
    for (const Case& c : cases) {
        v.speedBandIndex = 99;
        setSpeed(v, c.mph);
        RangeTilt rt = autoRangeTilt(v, t);
        EXPECT_NEAR(rt.range, c.range, 0.005) << c.mph << " mph";
        EXPECT_NEAR(rt.tilt, c.tilt, 0.005) << c.mph << " mph";
    }
}

TEST(AutoView, SpeedBandIsFirstRowReachingWholeMph) {
    const ViewTable t = defaultViewTable();
    EXPECT_EQ(speedBand(t, 0), 1); // whole mph counts as at least 1
    EXPECT_EQ(speedBand(t, mphToKnots(5)), 1);
    EXPECT_EQ(speedBand(t, mphToKnots(5.9)), 1); // truncated to 5
    EXPECT_EQ(speedBand(t, mphToKnots(6)), 2);
    EXPECT_EQ(speedBand(t, mphToKnots(50)), 3);
    EXPECT_EQ(speedBand(t, mphToKnots(51)), -1);
}

TEST(AutoView, SmoothingKeepsTheBandWithinItsMargins) {
    const ViewTable t = withSmoothing(5);
    CClient v("car@localhost");
    setSpeed(v, 22);
    autoRangeTilt(v, t);
    ASSERT_EQ(v.speedBandIndex, 3);
    EXPECT_EQ(v.bandSpeed, 22);
    for (double mph : {15.0, 19.0, 30.0, 55.0}) {
        setSpeed(v, mph);
        autoRangeTilt(v, t);
        EXPECT_EQ(v.speedBandIndex, 3) << mph << " mph";
        EXPECT_EQ(v.bandSpeed, 22);
    }
    // Band 3 interpolates rows 2 and 3 even at 15 mph: tilt 50 + (15-20)/30*(45-50).
    setSpeed(v, 15);
    EXPECT_NEAR(autoRangeTilt(v, t).tilt, 50 + 5.0 / 6.0, 1e-9);

    setSpeed(v, 14);
    autoRangeTilt(v, t);
    EXPECT_EQ(v.speedBandIndex, 2);
    EXPECT_EQ(v.bandSpeed, 14);

    v.speedBandIndex = 3;
    setSpeed(v, 56);
    autoRangeTilt(v, t);
    EXPECT_EQ(v.speedBandIndex, -1);
}

TEST(AutoView, SmoothingAboveTheLastRowLeavesWhenTheVehicleSlows) {
    const ViewTable t = withSmoothing(5);
    CClient v("car@localhost");
    setSpeed(v, 70);
    autoRangeTilt(v, t);
    ASSERT_EQ(v.speedBandIndex, -1);
    setSpeed(v, 46); // within 5 mph of the last row: stays above it
    autoRangeTilt(v, t);
    EXPECT_EQ(v.speedBandIndex, -1);
    setSpeed(v, 0); // stopped: back to the first band, the close view
    RangeTilt rt = autoRangeTilt(v, t);
    EXPECT_EQ(v.speedBandIndex, 1);
    EXPECT_NEAR(rt.range, 304.8, 1e-9);
    EXPECT_NEAR(rt.tilt, 70, 1e-9);
}

TEST(AutoView, RowsOfEqualSpeedDoNotDivideByZero) {
    ViewTable t = parseAutoView("0,500,60\n10,800,50\n10,900,40\n");
    ASSERT_EQ(t.count, 3);
    CClient v("car@localhost");
    // Kept in band 2 by smoothing while the speed sits on the shared row speed.
    t.smoothing = 5;
    v.speedBandIndex = 2;
    setSpeed(v, 10);
    RangeTilt rt = autoRangeTilt(v, t);
    EXPECT_TRUE(std::isfinite(rt.range));
    EXPECT_NEAR(rt.range, 800 * 0.3048, 1e-9);
    EXPECT_NEAR(rt.tilt, 50, 1e-9);
}

TEST(AutoView, LastRowAtMinusOneMphDoesNotDivideByZero) {
    // Beyond the last row the range grows by g / (l + 1): a file whose last
    // row sits at -1 mph must not turn the view into an infinity or a NaN.
    CClient v("car@localhost");
    setSpeed(v, 10);
    for (const char* file : {"-1,500,60\n", "-1,0,60\n"}) {
        ViewTable t = parseAutoView(file);
        ASSERT_EQ(t.count, 2);
        v.speedBandIndex = 99;
        RangeTilt rt = autoRangeTilt(v, t);
        EXPECT_TRUE(std::isfinite(rt.range)) << file;
        EXPECT_GE(rt.range, 0) << file;
        EXPECT_NEAR(rt.tilt, 60, 1e-9) << file;
    }
}

TEST(AutoView, ExtremesAreClamped) {
    ViewTable t = parseAutoView("0,-100,-120\n5,-300,100\n");
    CClient v("car@localhost");
    setSpeed(v, 3);
    RangeTilt rt = autoRangeTilt(v, t);
    EXPECT_NEAR(rt.tilt, 90, 1e-9); // |-120| held to 90
    EXPECT_NEAR(rt.range, 100 * 0.3048, 1e-9);
    // A band kept by smoothing far below its rows extrapolates to a negative
    // range, which becomes 200 ft.
    t = parseAutoView("0,-100,70\n10,100,50\n20,3000,40\n");
    t.smoothing = 30;
    v.speedBandIndex = 2;
    setSpeed(v, 0);
    rt = autoRangeTilt(v, t);
    EXPECT_EQ(v.speedBandIndex, 2);
    EXPECT_NEAR(rt.range, 200 * 0.3048, 1e-9);
    EXPECT_NEAR(rt.tilt, 60, 1e-9);
}

TEST(AutoView, HeadingModes) {
    const ViewTable t = defaultViewTable();
    CClient v("car@localhost");
    v.tracking = kTrackFollow | kTrackHeading | kTrackViewControl;
    v.curPos.hdg = 10;
    v.curPos.spd = 20;

    setAutoViewHeadingMode(3);
    computeView(v, t);
    EXPECT_DOUBLE_EQ(v.camHdg, 100);
    setAutoViewHeadingMode(1);
    computeView(v, t);
    EXPECT_DOUBLE_EQ(v.camHdg, 10);
    setAutoViewHeadingMode(8); // front-right of a course of 350 wraps below 360
    v.curPos.hdg = 350;
    computeView(v, t);
    EXPECT_DOUBLE_EQ(v.camHdg, 305);

    // Free mode: the user's offset from the course is kept.
    setAutoViewHeadingMode(0);
    setAutoViewHeadingOffset(0);
    setAutoViewLastHeading(0);
    setAutoViewHeadingHold(true);
    v.curPos.hdg = 10;
    v.camHdg = 77; // held: the camera's heading is not taken as the user's
    computeView(v, t);
    EXPECT_DOUBLE_EQ(v.camHdg, 10);
    EXPECT_FALSE(autoViewHeadingHold());
    EXPECT_DOUBLE_EQ(autoViewLastHeading(), 10);

    v.camHdg = 40; // the user turned the view 30 degrees right of the course
    computeView(v, t);
    EXPECT_DOUBLE_EQ(autoViewHeadingOffset(), 30);
    EXPECT_DOUBLE_EQ(v.camHdg, 40);
    v.curPos.hdg = 340; // the course turns; the offset goes along, wrapped
    computeView(v, t);
    EXPECT_DOUBLE_EQ(v.camHdg, 10);
    v.curPos.hdg = -20; // a negative course counts as 340
    computeView(v, t);
    EXPECT_DOUBLE_EQ(v.camHdg, 10);
    setAutoViewHeadingMode(1);
}

TEST(AutoView, HeadingModeFromTheRegistryDoesNotOverflow) {
    // AutoHdg is a registry number; the largest one still gives a heading
    // of (mode - 1) x 45 plus the course, without wrapping the arithmetic.
    const ViewTable t = defaultViewTable();
    CClient v("car@localhost");
    v.tracking = kTrackFollow | kTrackHeading | kTrackViewControl;
    v.curPos.hdg = 10;
    v.curPos.spd = 20;
    setAutoViewHeadingMode(INT32_MAX);
    computeView(v, t);
    setAutoViewHeadingMode(1);
    EXPECT_DOUBLE_EQ(v.camHdg, (double(INT32_MAX) - 1) * 45 + 10 - 360);
}

TEST(AutoView, ViewUpdateFollowsTheTrackingBits) {
    ViewTable t = defaultViewTable();
    setAutoViewHeadingMode(1);
    CClient v("car@localhost");
    v.curPos.hdg = 90;
    setSpeed(v, 10);
    v.camHdg = 5, v.camRange = 1, v.camTilt = 2;

    v.tracking = kTrackHeading | kTrackRange | kTrackTilt | kTrackViewControl; // not followed
    computeView(v, t);
    EXPECT_EQ(v.camHdg, 5);
    v.tracking = kTrackFollow | kTrackHeading | kTrackRange | kTrackTilt; // no view control
    computeView(v, t);
    EXPECT_EQ(v.camRange, 1);

    v.tracking = kTrackFollow | kTrackViewControl | kTrackRange;
    computeView(v, t);
    EXPECT_NEAR(v.camRange, 467.36, 0.005);
    EXPECT_EQ(v.camTilt, 2);
    EXPECT_EQ(v.camHdg, 5);

    v.tracking = kTrackFollow | kTrackViewControl | kTrackTilt | kTrackHeading;
    t.rotateMinimum = 9; // knots; the vehicle does 8.7
    computeView(v, t);
    EXPECT_NEAR(v.camTilt, 63.333, 0.001);
    EXPECT_EQ(v.camHdg, 5); // too slow to turn the view
    t.rotateMinimum = 8;
    computeView(v, t);
    EXPECT_EQ(v.camHdg, 90);
}

TEST(AutoView, LookAtElement) {
    const ViewTable t = defaultViewTable();
    setAutoViewHeadingMode(1);
    CClient v("car@localhost");
    v.curPos.lat = 48.123456;
    v.curPos.lon = -11.5;
    v.curPos.hdg = 12.3456;
    v.camRange = 1000;
    v.camTilt = 30;
    EXPECT_EQ(lookAtElement(v, t), "");
    v.tracking = kTrackFollow | kTrackViewControl | kTrackHeading | kTrackRange | kTrackTilt;
    EXPECT_EQ(lookAtElement(v, t), "<LookAt>\n"
                                   "<longitude>-11.50000</longitude>\n"
                                   "<latitude>48.12346</latitude>\n"
                                   "<range>304.80000000</range>\n"
                                   "<tilt>70.00000000</tilt>\n"
                                   "<heading>12.346</heading>\n"
                                   "</LookAt>\n");
}

TEST(AutoViewFile, RowsCommentsAndSettings) {
    ViewTable t = parseAutoView("10,500,60");
    ASSERT_EQ(t.count, 2);
    EXPECT_EQ(t.rows[0].speed, 0);
    EXPECT_EQ(t.rows[0].range, -1000);
    EXPECT_EQ(t.rows[0].tilt, 70);
    EXPECT_EQ(t.rows[1].speed, 10);
    EXPECT_EQ(t.rows[1].range, 500);
    EXPECT_EQ(t.rows[1].tilt, 60);
    EXPECT_EQ(t.rows[1].model, "");

    t = parseAutoView("; speed, range, tilt\n"
                      "\n"
                      "0 , 400 ,\t80\n"
                      "20,3000,50 ;fast\n"
                      "30, 2000, 40, car.dae, -2\n"
                      "<Smoothing> 7\n"
                      "<RotateMinimum>2.5\n"
                      "<Circle>-3\n");
    ASSERT_EQ(t.count, 2);
    EXPECT_EQ(t.rows[0].range, 400);
    EXPECT_EQ(t.rows[0].tilt, 80);
    EXPECT_EQ(t.rows[1].speed, 30); // the commented row is gone entirely
    EXPECT_EQ(t.rows[1].model, "car.dae");
    EXPECT_EQ(t.rows[1].scale, -2);
    EXPECT_EQ(t.smoothing, 7);
    EXPECT_EQ(t.rotateMinimum, 2.5);
    EXPECT_EQ(t.circle, 0);
}

TEST(AutoViewFile, ReadingStopsAtALineThatIsNotARow) {
    ViewTable t = parseAutoView("0,100,60\nabc\n10,200,50\n<Smoothing>4\n");
    EXPECT_EQ(t.count, 1);
    EXPECT_EQ(t.smoothing, 0);
}

TEST(AutoViewFile, ModelTextAndScaleRules) {
    ViewTable t = parseAutoView("0,100,60,My Car.dae  ,5\n"
                                "5,200,50,http://x/icon.png\n"
                                "10,300,40,big.dae,5000\n"
                                "15,300,40,tiny.dae,-5000\n"
                                "20,300,40,car 2 x.dae 9 ,1.5\n");
    ASSERT_EQ(t.count, 5);
    EXPECT_EQ(t.rows[0].model, "My Car.dae");
    EXPECT_EQ(t.rows[0].scale, 5);
    EXPECT_EQ(t.rows[1].model, "http://x/icon.png");
    EXPECT_EQ(t.rows[1].scale, 1.0); // no comma after the model: default
    EXPECT_EQ(t.rows[2].scale, 1);
    EXPECT_EQ(t.rows[3].scale, -1);
    EXPECT_EQ(t.rows[4].model, "car 2 x.dae"); // ends before the blank after its last letter
    EXPECT_EQ(t.rows[4].scale, 1.5);
}

TEST(AutoViewFile, WindowsLineEndsAndLongFiles) {
    ViewTable t = parseAutoView("; made on Windows\r\n\r\n0,100,60,car.dae\r\n5,200,50\r\n");
    ASSERT_EQ(t.count, 2);
    EXPECT_EQ(t.rows[0].model, "car.dae");
    EXPECT_EQ(t.rows[1].tilt, 50);

    std::string rows;
    for (int i = 0; i < 40; ++i)
        rows += std::to_string(i * 5) + ",1000,60\n";
    rows += "<Smoothing>3\n";
    t = parseAutoView(rows);
    EXPECT_EQ(t.count, kViewBandMax);
    EXPECT_EQ(t.last().speed, 31 * 5);
    EXPECT_EQ(t.smoothing, 3); // settings after the ignored rows still count

    t = parseAutoView("0,1,2," + std::string(300, 'm'));
    EXPECT_EQ(t.rows[0].model.size(), kViewModelMax);
}

TEST(AutoViewFile, OutOfRangeSettingsFallBackToZero) {
    ViewTable t = parseAutoView("<Smoothing>31\n<RotateMinimum>-1\n<Circle>12\n");
    EXPECT_EQ(t.smoothing, 0);
    EXPECT_EQ(t.rotateMinimum, 0);
    EXPECT_EQ(t.circle, 12);
    EXPECT_EQ(t.count, 4); // no rows: the defaults stay
    t = parseAutoView("<Smoothing>30\n<RotateMinimum>9999999\n");
    EXPECT_EQ(t.smoothing, 30);
    EXPECT_EQ(t.rotateMinimum, 9999999);
}

TEST(AutoViewFile, SomethingNotAFileNamedAutoViewIsPassedOver) {
    // A folder (or a pipe) of that name cannot be read as a table: the reader
    // goes on to AutoZoom.cfg as when AutoView.cfg is missing, and never waits.
    StartDir dir;
    writeFile(dir.file("AutoZoom.cfg"), "10,500,60\n");
    std::filesystem::create_directory(dir.file("AutoView.cfg"));
    auto t = loadAutoView();
    EXPECT_EQ(t->count, 2);
    EXPECT_EQ(t->rows[1].range, 500);
}

TEST(AutoViewFile, LoadsFromTheStartDirectory) {
    StartDir dir;
    auto t = loadAutoView();
    EXPECT_EQ(t->count, 4); // no file: defaults

    writeFile(dir.file("AutoZoom.cfg"), "10,500,60\n");
    t = loadAutoView();
    EXPECT_EQ(t->count, 2);
    EXPECT_EQ(autoViewTable()->rows[1].range, 500);

    writeFile(dir.file("AutoView.cfg"), "0,900,20\n"); // preferred over AutoZoom.cfg
    t = loadAutoView();
    EXPECT_EQ(t->count, 1);
    EXPECT_EQ(t->rows[0].range, 900);

    // Only the first 8191 bytes count: a row past them is never seen.
    writeFile(dir.file("AutoView.cfg"), ";" + std::string(8200, 'x') + "\n0,900,20\n");
    EXPECT_EQ(loadAutoView()->count, 4);
}

TEST(AutoViewFile, ReloadWhileAnotherThreadReads) {
    StartDir a, b;
    writeFile(a.file("AutoView.cfg"), "0,100,60,a.dae\n5,200,50,b.dae\n9,300,40,c.dae\n");
    writeFile(b.file("AutoView.cfg"), "0,900,20,x.dae\n7,800,30,y.dae\n");
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 400; ++i) {
            setStartDir(i % 2 ? a.path() : b.path());
            loadAutoView();
        }
        stop = true;
    });
    int reads = 0;
    do {
        auto t = autoViewTable();
        // A snapshot holds one whole file, never rows of both.
        if (t->count == 3) {
            EXPECT_EQ(t->rows[0].model + t->rows[1].model + t->rows[2].model, "a.daeb.daec.dae");
        } else if (t->count == 2) {
            EXPECT_EQ(t->rows[0].model + t->rows[1].model, "x.daey.dae");
            EXPECT_EQ(t->rows[1].range, 800);
        } else {
            EXPECT_EQ(t->count, 4); // the defaults before the first load
        }
        ++reads;
    } while (!stop || reads < 1000);
    writer.join();
}

TEST(AutoViewFile, ControlBytesAndBadUtf8InAModelNameAreReplaced) {
    ViewTable t = parseAutoView("0,100,60,ca\x01r.dae,1\n"
                                "5,200,50,Caf\xe9.dae,1\n"
                                "10,300,40,M\xc3\xbcller.dae,1\n");
    ASSERT_EQ(t.count, 3);
    EXPECT_EQ(t.rows[0].model, "ca?r.dae");
    EXPECT_EQ(t.rows[1].model, "Caf?.dae");
    EXPECT_EQ(t.rows[2].model, "M\xc3\xbcller.dae") << "valid UTF-8 stays";
}
