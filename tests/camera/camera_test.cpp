#include "camera/earthFixture.h"

#include "remote/client.h"

#include <cmath>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class Camera : public EarthFixture {
protected:
    Camera() : car("car@here") {
        car.curPos.lat = 48.1;
        car.curPos.lon = 11.5;
        car.curPos.hdg = 90;
        car.camRange = 1000;
        car.camTilt = 45;
        car.tracking = 1; // follow, no automatic view
    }
    CClient car;
};

} // namespace

TEST_F(Camera, SanityChecksReplaceUnusableValuesAndSayWhy) {
    struct Row {
        void (*fix)(double&);
        double in;
        double out;
        const char* message; // nullptr: the value is usable
    };
    const Row rows[] = {
        {fixRange, 0, 10000, "n2k.cpp:fixRange"},
        {fixRange, 2e8, 10000, "camera out of range!"},
        {fixRange, -3, 10000, "camera out of range!"},
        {fixRange, kNaN, 10000, "camera out of range!"},
        {fixRange, kInf, 10000, "camera out of range!"},
        {fixRange, 1e8, 1e8, nullptr},
        {fixRange, 0.5, 0.5, nullptr},
        {fixHdg, kNaN, 0, "camera hdg not a number!"},
        {fixHdg, -kInf, 0, "n2k.cpp:fixHdg"},
        {fixHdg, -725, -725, nullptr},
        {fixTilt, 91, 60, "camera tilt is bad or not a number!"},
        {fixTilt, -1.5, 60, "n2k.cpp:fixTilt"},
        {fixTilt, kNaN, 60, "camera tilt is bad or not a number!"},
        {fixTilt, -1, -1, nullptr},
        {fixTilt, 90, 90, nullptr},
    };
    for (const Row& r : rows) {
        TraceCapture lines;
        double v = r.in;
        r.fix(v);
        EXPECT_EQ(v, r.out) << "input " << r.in;
        if (r.message)
            EXPECT_EQ(lines.count(r.message), 1) << "input " << r.in;
        else
            EXPECT_TRUE(lines.lines().empty()) << "input " << r.in;
    }
}

TEST_F(Camera, SnapshotTruncatesTowardZeroAndSurvivesWildValues) {
    CameraSnapshot s;
    EarthCamera c = camera(-12.345678, 179.99999, 2e8, 33.33339, kNaN);
    c.focusAlt = 1e300;
    getCam(s, c);
    EXPECT_EQ(s.lat, -123456);
    EXPECT_EQ(s.lon, 1799999);
    EXPECT_EQ(s.tilt, 333333);
    EXPECT_EQ(s.range, 10000);
    EXPECT_EQ(s.hdg, 0);
    EXPECT_EQ(s.alt, INT32_MAX);
    EXPECT_EQ(trace.count("camera out of range!"), 1);
}

TEST_F(Camera, FailedReadsKeepWhatWasReadAndWhatWasNot) {
    CameraSnapshot s;
    s.tilt = 7;
    s.range = 8;
    EarthCamera c = camera(1, 2, 3000, 40, 10);
    c.failGet = EarthCamera::bit(CamProp::tilt);
    getCam(s, c);
    EXPECT_EQ(s.lat, 10000);
    EXPECT_EQ(s.lon, 20000);
    EXPECT_EQ(s.tilt, 7);
    EXPECT_EQ(s.range, 8);
    EXPECT_EQ(trace.count("n2k.cpp:getCam"), 1);
    EXPECT_EQ(trace.count("error getting camera parms"), 1);

    double out = -1;
    c.failGet = EarthCamera::bit(CamProp::range);
    camToClient(car, &out, c);
    EXPECT_EQ(out, -1);
    EXPECT_EQ(car.camRange, 1000);
    EXPECT_EQ(car.camTilt, 40);
    EXPECT_EQ(trace.count("n2k.cpp:camToClient"), 1);

    c.failGet = 0;
    camToClient(car, &out, c);
    EXPECT_EQ(out, 3000);
    EXPECT_EQ(car.camRange, 1000) << "with a range out the vehicle's range stays";
    camToClient(car, nullptr, c);
    EXPECT_EQ(car.camRange, 3000);
}

TEST_F(Camera, ClientToCamCorrectsTheVehicleAndWritesItsPosition) {
    car.camRange = 3e8;
    car.camTilt = 95;
    car.camHdg = kNaN;
    EarthCamera c;
    clientToCam(car, c);
    EXPECT_EQ(trace.count("n2k.cpp:clientToCam"), 1);
    EXPECT_EQ(trace.count("hey"), 1);
    EXPECT_EQ(car.camRange, 10000);
    EXPECT_EQ(car.camTilt, 60);
    EXPECT_EQ(car.camHdg, 0);
    EXPECT_EQ(c.focusLat, 48.1);
    EXPECT_EQ(c.focusLon, 11.5);
    EXPECT_EQ(c.focusAlt, 0);
    EXPECT_EQ(c.range, 10000);

    EarthCamera broken;
    broken.failPut = EarthCamera::bit(CamProp::focusAlt);
    clientToCam(car, broken);
    EXPECT_EQ(trace.count("error putting camera parms"), 1);
    EXPECT_EQ(broken.range, 0) << "writing stops at the failed call";
}

TEST_F(Camera, UserZoomOfMoreThanATenthMarksTheVehicleChanged) {
    EarthCamera c = camera(48, 11, 1200, 45, 0);
    clock->advance(600);
    EXPECT_EQ(checkRange(car, &c), 1) << "1000 -> 1200 m: r/d = 6";
    EXPECT_EQ(car.changed, 1);
    EXPECT_EQ(car.camRange, 1200);
    EXPECT_EQ(car.camTime, clock->tick());

    car.camRange = 1000;
    c.range = 1050;
    clock->advance(600);
    EXPECT_EQ(checkRange(car, &c), 0) << "1000 -> 1050 m: r/d = 21";
    EXPECT_EQ(car.camRange, 1050);

    car.camRange = 1000;
    c.range = 1200;
    clock->advance(500);
    EXPECT_EQ(checkRange(car, &c), 0) << "not when the last check is only 500 ms old";
    clock->advance(501);
    car.camRange = 1000;
    EXPECT_EQ(checkRange(car, &c), 1);

    EXPECT_EQ(checkRange(car, nullptr), 1) << "no camera counts as changed";
}

TEST_F(Camera, UnreadableRangeIsNoZoom) {
    EarthCamera c = camera(48, 11, 5000, 45, 0);
    c.failGet = EarthCamera::bit(CamProp::range);
    clock->advance(1000);
    EXPECT_EQ(checkRange(car, &c), 0);
    EXPECT_EQ(car.camRange, 1000);
}

TEST_F(Camera, UpdateCameraFliesAtFlyToSpeedAndRemembersWhatItSet) {
    car.camRange = 2500;
    car.camTilt = 30;
    car.camHdg = 15;
    EarthCamera c;
    updateCamera(car, c, 100);
    auto sets = ge->setCalls();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_DOUBLE_EQ(sets[0].speed, 1.0);
    EXPECT_EQ(sets[0].camera.focusLat, 48.1);
    EXPECT_EQ(sets[0].camera.focusLon, 11.5);
    EXPECT_EQ(sets[0].camera.range, 2500);
    EXPECT_EQ(sets[0].camera.tilt, 30);
    EXPECT_EQ(sets[0].camera.azimuth, 15);
    EXPECT_EQ(sets[0].camera.altMode, 1);
    CameraSnapshot s = lastCameraSnapshot();
    EXPECT_EQ(s.lat, 481000);
    EXPECT_EQ(s.range, 2500);

    ge->setSetCameraResult(kEarthFailed);
    updateCamera(car, c, 200);
    EXPECT_EQ(trace.count("n2k.cpp:updateCamera"), 1);
    EXPECT_EQ(trace.count("error setting camera"), 1);

    ge->setReachable(false);
    updateCamera(car, c, 200);
    EXPECT_EQ(ge->setCalls().size(), 2u) << "nothing is set when Google Earth is unreachable";
}

TEST_F(Camera, StartupOverviewReachesTheCameraDespiteTheAutomaticView) {
    g_startupCounter = 0;
    car.tracking = 47; // follow with automatic heading, range and tilt
    EarthCamera c = camera(48, 11, 900, 50, 0);
    checkRange(car, &c);
    EXPECT_EQ(car.camRange, 8000);
    EXPECT_EQ(car.camTilt, 40);
    updateCamera(car, c, 200);
    ASSERT_EQ(ge->setCalls().size(), 1u);
    EXPECT_EQ(ge->setCalls()[0].camera.range, 8000);
    EXPECT_EQ(ge->setCalls()[0].camera.tilt, 40);

    g_startupCounter = 25;
    updateCamera(car, c, 200);
    EXPECT_NE(ge->setCalls()[1].camera.range, 8000) << "the automatic range takes over";
}

TEST_F(Camera, CheckChangeWaitsUntilTwoReadingsAgree) {
    ge->queueCameraReadings({{kEarthOk, camera(1, 1, 900, 10, 0)},
                             {kEarthOk, camera(1, 2, 950, 10, 0)},
                             {kEarthOk, camera(1, 2, 950, 10, 0)}});
    EarthCamera c;
    EXPECT_EQ(checkChange(c), 1);
    EXPECT_EQ(ge->callCount("getCamera"), 3);
    EXPECT_EQ(clock->slept(), 600u);
    EXPECT_EQ(viewRange.load(), 950);
    EXPECT_EQ(lastCameraSnapshot().lon, 20000);

    ge->clearCalls();
    EXPECT_EQ(checkChange(c), 1) << "a camera at rest is read once";
    EXPECT_EQ(ge->callCount("getCamera"), 1);
    EXPECT_EQ(clock->slept(), 600u);
}

TEST_F(Camera, CheckChangeFailsWithoutGoogleEarthAndKeepsViewRange) {
    viewRange = 1234;
    EarthCamera c;
    ge->queueCameraReadings({{kEarthOk, camera(1, 1, 900, 10, 0)}, {kEarthFailed, EarthCamera{}}});
    EXPECT_EQ(checkChange(c), 0) << "a reading that fails while waiting";
    ge->setCameraReading(EarthCamera{}, kEarthFailed);
    EXPECT_EQ(checkChange(c), 0) << "the first reading fails";
    ge->setReachable(false);
    EXPECT_EQ(checkChange(c), 0) << "Google Earth unreachable";
    EXPECT_EQ(viewRange.load(), 1234);

    ge->setReachable(true);
    ge->setCameraReading(camera(3, 3, 700, 10, 0));
    g_bShutdown = 1;
    EXPECT_EQ(checkChange(c), 0) << "shutting down";
}

TEST_F(Camera, CameraThatNeverSettlesIsTakenAsAtRestAfterTheLimit) {
    std::vector<EarthTestDouble::Reading> moving;
    for (int i = 0; i < 100; ++i)
        moving.push_back({kEarthOk, camera(1, 1 + i * 0.01, 900, 10, 0)});
    ge->queueCameraReadings(moving);
    EarthCamera c;
    EXPECT_EQ(checkChange(c), 1);
    EXPECT_GE(clock->slept(), kCameraSettleLimitMs);
    EXPECT_LT(clock->slept(), kCameraSettleLimitMs + kCameraSettleStepMs);
    EXPECT_EQ(trace.count("taken as at rest"), 1);
    EXPECT_EQ(viewRange.load(), 900);
}
