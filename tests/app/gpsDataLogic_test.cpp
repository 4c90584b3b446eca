// The GPS data window's rules without a window: the text in every unit
// combination, the title, the placement of a stored rectangle, the refresh
// from the local vehicle, remembering moves and the close command.
#include "app/OptionsDlg.h"
#include "app/gpsDataLogic.h"
#include "platform/runtime.h"
#include "remote/client.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

class FakeDataView : public CGpsDataView {
public:
    std::vector<WindowRect> places;
    std::vector<bool> shows;
    std::string text;
    std::string title;
    std::vector<unsigned> timers;
    void place(const WindowRect& r) override { places.push_back(r); }
    void showWindow(bool show) override { shows.push_back(show); }
    void setText(const std::string& t) override { text = t; }
    void setTitle(const std::string& t) override { title = t; }
    void setTimer(unsigned ms) override { timers.push_back(ms); }
};

GpsFix moving(double knots, double metres, double heading) {
    GpsFix f;
    f.lat = 48.1;
    f.lon = 11.5;
    f.spd = knots;
    f.alt = metres;
    f.hdg = heading;
    f.status = 1;
    return f;
}

int64_t fixTimeOf(int year, int month, int day, int hour, int minute) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    return static_cast<int64_t>(timegm(&t)) + tzOffset();
}

TEST(GpsDataText, FollowsUnitsAndKnots) {
    struct Case {
        int32_t knots, units;
        const char* text;
    } cases[] = {
        {0, 0, " 12.3 mph   1234.6 ft   270.0 deg"},
        {0, 1, " 19.8 km/h   376.3 m   270.0 deg"},
        {1, 0, " 10.7 kt   1234.6 ft   270.0 deg"},
        // Knots take precedence for the speed; the altitude follows Units.
        {1, 1, " 10.7 kt   376.3 m   270.0 deg"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(gpsDataText(moving(10.7, 376.3, 270), c.knots, c.units), c.text)
            << c.knots << "/" << c.units;
    EXPECT_EQ(gpsDataText(GpsFix{}, 0, 0), " 0.0 mph   0.0 ft   0.0 deg");
}

TEST(GpsDataText, GpsdsFixModeAndSatellitesFollowWhatIsKnown) {
    struct Case {
        GpsdStatus status;
        const char* text;
    } cases[] = {
        {{}, ""},
        {{3, 8, 10}, "   3D fix, 8 of 10 satellites"},
        {{2, 3, 12}, "   2D fix, 3 of 12 satellites"},
        {{1, 0, 4}, "   no fix, 0 of 4 satellites"},
        {{0, -1, -1}, "   no fix"},
        {{-1, 5, -1}, "   5 satellites"},
        {{-1, -1, 7}, "   7 satellites in view"},
        {{3, -1, -1}, "   3D fix"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(gpsdStatusText(c.status), c.text)
            << c.status.mode << " " << c.status.used << " " << c.status.seen;
}

TEST(GpsDataTitle, NewestPointTimeOrNothing) {
    EXPECT_EQ(gpsDataTitle(0), "Nivra GPS Data - ");
    EXPECT_EQ(gpsDataTitle(fixTimeOf(2026, 3, 14, 9, 26)), "Nivra GPS Data - 03/14/26 09:26");
    EXPECT_EQ(gpsDataTitle(fixTimeOf(2031, 12, 1, 23, 5)), "Nivra GPS Data - 12/01/31 23:05");
}

TEST(GpsDataPlacement, KeepsTheWindowWithinSight) {
    const std::vector<WindowRect> oneScreen = {{0, 0, 1920, 1080}};
    const std::vector<WindowRect> twoScreens = {{0, 0, 1920, 1080}, {1920, 0, 3200, 1024}};
    struct Case {
        const char* what;
        WindowRect stored;
        std::vector<WindowRect> screens;
        WindowRect placed;
    } cases[] = {
        {"first start, main window unknown: origin, own size",
         {0, 0, 0, 0},
         oneScreen,
         {0, 0, 230, 40}},
        {"stored rectangle", {100, 200, 400, 260}, oneScreen, {100, 200, 400, 260}},
        {"own size when right is 0", {300, 400, 0, 0}, oneScreen, {300, 400, 530, 440}},
        {"negative size", {100, 100, 50, 20}, oneScreen, {100, 100, 330, 140}},
        {"zero height", {100, 100, 400, 100}, oneScreen, {100, 100, 330, 140}},
        {"on the second screen", {2000, 50, 2300, 90}, twoScreens, {2000, 50, 2300, 90}},
        {"second screen gone", {2000, 50, 2300, 90}, oneScreen, {0, 0, 300, 40}},
        {"far off every screen", {-90000, 700000, -89700, 700040}, oneScreen, {0, 0, 300, 40}},
        {"int32 extremes",
         {INT32_MIN, INT32_MAX, INT32_MAX, INT32_MIN},
         oneScreen,
         {0, 0, 230, 40}},
        {"larger than any screen", {0, 0, 5000, 4000}, oneScreen, {0, 0, 1920, 1080}},
        {"main screen not at 0,0",
         {-5000, -5000, -4700, -4960},
         {{100, 50, 900, 650}},
         {100, 50, 400, 90}},
        {"no screens known", {10, 20, 310, 60}, {}, {10, 20, 310, 60}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(placeGpsData(c.stored, 230, 40, c.screens), c.placed) << c.what;
}

TEST(GpsDataPlacement, FirstStartGoesBesideTheMainWindowNotOverIt) {
    const std::vector<WindowRect> screens = {{0, 0, 1024, 768}, {1024, 0, 2048, 768}};
    const WindowRect nothing{};
    struct Case {
        const char* what;
        WindowRect stored;
        WindowRect main;
        WindowRect placed;
    } cases[] = {
        {"right of the main window", nothing, {0, 0, 200, 300}, {208, 0, 438, 40}},
        {"below it when the right has no room",
         nothing,
         {850, 100, 1020, 400},
         {794, 408, 1024, 448}},
        {"on the main window's own screen", nothing, {1100, 50, 1300, 350}, {1308, 50, 1538, 90}},
        {"neither right nor below: the corner", nothing, {800, 700, 1020, 766}, {0, 0, 230, 40}},
        {"main window unknown: the corner", nothing, {}, {0, 0, 230, 40}},
        {"a stored place wins", {300, 400, 600, 440}, {0, 0, 200, 300}, {300, 400, 600, 440}},
        {"a stored corner wins", {300, 400, 0, 0}, {0, 0, 200, 300}, {300, 400, 530, 440}},
    };
    for (const Case& c : cases) {
        const WindowRect placed = placeGpsData(c.stored, 230, 40, screens, c.main);
        EXPECT_EQ(placed, c.placed) << c.what;
        const bool overlaps = placed.left < c.main.right && c.main.left < placed.right &&
                              placed.top < c.main.bottom && c.main.top < placed.bottom;
        if (c.stored == nothing && c.main.width() > 0 && c.placed.left != 0) {
            EXPECT_FALSE(overlaps) << c.what;
        }
    }
}

class GpsDataLogicTest : public ::testing::Test {
protected:
    void SetUp() override {
        me = clients.add("Me", "localhost");
        clients.designateLocal();
    }
    COptionsDlg options;
    CClients clients{"gpsDataTest"};
    CClient* me = nullptr;
    FakeDataView view;
    CGpsDataLogic logic{view, options, clients};
    const std::vector<WindowRect> screens = {{0, 0, 1024, 768}};
};

TEST_F(GpsDataLogicTest, CreationPlacesAndShowsByTheSettings) {
    struct Case {
        int32_t show, left, top, right, bottom;
        WindowRect placed;
    } cases[] = {
        {0, 0, 0, 0, 0, {0, 0, 230, 40}},
        {1, 0, 0, 0, 0, {0, 0, 230, 40}},
        {1, 500, 300, 800, 360, {500, 300, 800, 360}},
        {1, 5000, 300, 5300, 360, {0, 0, 300, 60}},
    };
    for (const Case& c : cases) {
        FakeDataView v;
        CGpsDataLogic l(v, options, clients);
        options.ShowGpsData = c.show;
        options.GpsDataLeft = c.left;
        options.GpsDataTop = c.top;
        options.GpsDataRight = c.right;
        options.GpsDataBottom = c.bottom;
        l.create(230, 40, screens);
        ASSERT_EQ(v.places.size(), 1u);
        EXPECT_EQ(v.places[0], c.placed);
        EXPECT_EQ(v.shows, std::vector<bool>{c.show != 0});
        EXPECT_EQ(v.timers, std::vector<unsigned>{2000});
        EXPECT_EQ(v.text, kGpsDataTemplateText);
        EXPECT_EQ(v.title, "Nivra GPS Data - ");
    }
}

TEST_F(GpsDataLogicTest, RefreshShowsTheLocalVehicleEveryTwoSeconds) {
    logic.create(230, 40, screens);
    // An empty track: the title ends at the dash.
    me->curPos = moving(10.7, 376.3, 270);
    logic.onTimer();
    EXPECT_EQ(view.text, " 12.3 mph   1234.6 ft   270.0 deg");
    EXPECT_EQ(view.title, "Nivra GPS Data - ");
    EXPECT_EQ(view.timers, (std::vector<unsigned>{2000, 2000}));

    GpsFix f = moving(10.7, 376.3, 270);
    f.time = fixTimeOf(2026, 3, 14, 9, 26);
    me->track.add(f, 2);
    me->curPos = f;
    options.Units = 1;
    options.SpeedInKnots = 1;
    logic.onTimer();
    EXPECT_EQ(view.text, " 10.7 kt   376.3 m   270.0 deg");
    EXPECT_EQ(view.title, "Nivra GPS Data - 03/14/26 09:26");

    // The demo stands in for the local vehicle while it runs.
    CClient* demo = clients.add("Demo", "localhost");
    demo->curPos = moving(20, 10, 90);
    clients.setLocalVehicle(demo);
    logic.onTimer();
    EXPECT_EQ(view.text, " 20.0 kt   10.0 m   90.0 deg");
    EXPECT_EQ(view.title, "Nivra GPS Data - ");
    clients.setLocalVehicle(nullptr);
}

TEST_F(GpsDataLogicTest, WithGpsdTheLineEndsWithItsFixModeAndSatellites) {
    GpsdStatus reported{3, 8, 10};
    CGpsDataLogic withGpsd(view, options, clients, [&] { return reported; });
    me->curPos = moving(10.7, 376.3, 270);
    withGpsd.onTimer();
    EXPECT_EQ(view.text, " 12.3 mph   1234.6 ft   270.0 deg   3D fix, 8 of 10 satellites");
    // Read afresh at every refresh; without gpsd's word nothing is added.
    reported = GpsdStatus{1, 0, 9};
    withGpsd.onTimer();
    EXPECT_EQ(view.text, " 12.3 mph   1234.6 ft   270.0 deg   no fix, 0 of 9 satellites");
    reported = GpsdStatus();
    withGpsd.onTimer();
    EXPECT_EQ(view.text, " 12.3 mph   1234.6 ft   270.0 deg");
}

TEST_F(GpsDataLogicTest, MovesAreRememberedOnlyWhileVisibleAndNormal) {
    struct Case {
        WindowRect rect;
        bool visible, minimized;
        WindowRect stored;
    } cases[] = {
        {{10, 20, 240, 60}, true, false, {10, 20, 240, 60}},
        {{-32000, -32000, -31840, -31970}, true, true, {10, 20, 240, 60}},
        {{400, 20, 640, 60}, false, false, {10, 20, 240, 60}},
        {{400, 500, 700, 560}, true, false, {400, 500, 700, 560}},
    };
    for (const Case& c : cases) {
        logic.onMoved(c.rect, c.visible, c.minimized);
        EXPECT_EQ((WindowRect{options.GpsDataLeft, options.GpsDataTop, options.GpsDataRight,
                              options.GpsDataBottom}),
                  c.stored);
    }
}

TEST_F(GpsDataLogicTest, CloseClearsTheSettingAndTheOptionsCanShowItAgain) {
    options.ShowGpsData = 1;
    logic.create(230, 40, screens);
    logic.onClose();
    EXPECT_EQ(options.ShowGpsData, 0);
    logic.applyShowSetting();
    options.ShowGpsData = 1;
    logic.applyShowSetting();
    EXPECT_EQ(view.shows, (std::vector<bool>{true, false, false, true}));
}

} // namespace
