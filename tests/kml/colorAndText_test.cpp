#include "earth/kml.h"
#include "earth/kmlText.h"
#include "kmlTestUtil.h"

#include <cmath>
#include <cstdio>
#include <random>

using namespace kmltest;

namespace {
std::string colored(std::string text, const char* alpha) {
    kmlColor(text, alpha);
    return text;
}
} // namespace

TEST(KmlColor, NamesIgnoreCaseAndTextsGetANewAlpha) {
    EXPECT_EQ(colored("Orange", "ff"), "ff4080ff");
    EXPECT_EQ(colored("RED", "A0"), "A00000ff");
    EXPECT_EQ(colored("lightBlue", "40"), "40ffff00");
    EXPECT_EQ(colored("blue", "FF"), "FFff0000");
    EXPECT_EQ(colored("green", "ff"), "ff408000");
    EXPECT_EQ(colored("yellow", "ff"), "ff00ffff");
    EXPECT_EQ(colored("violet", "ff"), "ffff4080");
    EXPECT_EQ(colored("Purple", "ff"), "ffff00ff");
    EXPECT_EQ(colored("ff112233", "A0"), "A0112233");
    EXPECT_EQ(colored("magenta", "40"), "40genta"); // unknown name: first two replaced
    EXPECT_EQ(colored("x", "40"), "40");
    EXPECT_EQ(colored("", "40"), "40");
}

TEST(SpeedColor, RampAgainstTopSpeed) {
    EXPECT_EQ(speedColor(0, 60), "FFff0000");  // blue
    EXPECT_EQ(speedColor(45, 60), "FF00feff"); // just past yellow
    EXPECT_EQ(speedColor(72, 60), "FF65ff00"); // over the top: 72 - 48 = 24, cyan-green
    EXPECT_EQ(speedColor(30, 60), "FF00ff00"); // half way: green
    EXPECT_EQ(speedColor(-1, 60), "ff00ff00");
    EXPECT_EQ(speedColor(59.99, 60), "FF0000ff"); // red at the top
}

TEST(SpeedColor, BrokenTopSpeedStillGivesAColourText) {
    for (double top : {0.0, -10.0, double(NAN)}) {
        const std::string c = speedColor(20, top);
        ASSERT_EQ(c.size(), 8u) << top;
        EXPECT_EQ(c.substr(0, 2), "FF");
    }
    EXPECT_EQ(speedColor(NAN, 60).size(), 8u);
}

TEST(FixTime, PinnedZones) {
    EXPECT_EQ(formatFixTime(0), "");
    EXPECT_EQ(formatFixTime(0, true), "");
    {
        ZoneScope zone("UTC");
        EXPECT_EQ(formatFixTime(kUtc0), "05/01/24 12:00");
        EXPECT_EQ(formatFixTime(kUtc0, true), "2024-05-01+12");
    }
    {
        // Standard time is UTC-5, so the fix time is UTC + 18000; in May the
        // wall clock is on daylight time, UTC-4.
        ZoneScope zone("America/New_York");
        EXPECT_EQ(formatFixTime(kUtc0 + 18000), "05/01/24 08:00");
    }
}

TEST(ArrowOffset, WholeDegreesAndPolarStretch) {
    LatLonOffset a = arrowOffset(450.7, 1.0, 0);
    EXPECT_NEAR(a.lat, 0, 1e-12); // 450.7 -> 450 -> 90 degrees: due east
    EXPECT_NEAR(a.lon, 1.0, 1e-12);
    a = arrowOffset(-90.9, 2.0, 10);
    EXPECT_NEAR(a.lon, -2.0 * 1.1, 1e-12); // -90, k = 10/100 + 1
    a = arrowOffset(0, 1.0, 45);
    EXPECT_NEAR(a.lat, 1.0, 1e-12);
    EXPECT_NEAR(a.lon, 0, 1e-12);
    struct Case {
        double lat, k;
    } cases[] = {{-50, 1.5}, {57.5, 1.775},     {65, 2.5}, {75, 4.25}, {82.5, 8.0}, {87.5, 58.0},
                 {55, 1.55}, {60, 1.55 + 0.45}, {70, 3.0}, {80, 5.5},  {85, 10.5}};
    for (const Case& c : cases)
        EXPECT_NEAR(arrowOffset(90, 1.0, c.lat).lon, c.k, 1e-9) << c.lat;
}

TEST(KmlText, NumbersMatchPrintfInTheCLocale) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> dist(-20000, 20000);
    for (int i = 0; i < 2000; ++i) {
        const double v = i < 8 ? (i - 4) * 0.125 - 0.0000049 : dist(rng) / (1 << (i % 12));
        for (int prec : {1, 2, 5, 6, 8}) {
            char expect[64];
            std::snprintf(expect, sizeof expect, "%.*f", prec, v);
            std::string got;
            appendFixed(got, v, prec);
            ASSERT_EQ(got, expect) << v << " %." << prec << "f";
        }
    }
    std::string s;
    appendXmlText(s, "Tom & Jerry <cats>");
    EXPECT_EQ(s, "Tom &amp; Jerry &lt;cats&gt;");
}
