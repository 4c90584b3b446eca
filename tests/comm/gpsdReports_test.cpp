// gpsd's reports read into fixes and receiver state: TPV reports as gpsd 3.22
// sends them and damaged ones, SKY reports of old and new gpsd, gpsd's
// times, and the sentences a fix becomes, which must parse back to it.
#include "sources/gpsdReports.h"

#include "platform/runtime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

JsonValue report(const std::string& json) {
    JsonValue v;
    JsonError e;
    EXPECT_TRUE(parseJson(json, v, e, gpsdJsonLimits())) << json << ": " << e.reason;
    return v;
}

int64_t fixTimeOf(int y, int mo, int d, int h, int mi, int s) {
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return utcToFixTime(static_cast<int64_t>(timegm(&t)));
}

// A TPV of a moving car as gpsd 3.22 reports one, with `extra` members.
std::string tpv(const std::string& members) {
    return R"({"class":"TPV","device":"/dev/ttyACM0",)" + members + "}";
}

} // namespace

TEST(GpsdTime, IsoTimesOfTheCenturyOnly) {
    struct Case {
        const char* text;
        int64_t expected;
    } cases[] = {
        {"2024-06-12T14:31:09.000Z", fixTimeOf(2024, 6, 12, 14, 31, 9)},
        {"2024-06-12T14:31:09Z", fixTimeOf(2024, 6, 12, 14, 31, 9)},
        {"2024-02-29T23:59:59.999999Z", fixTimeOf(2024, 2, 29, 23, 59, 59)},
        {"2000-01-01T00:00:00.0Z", fixTimeOf(2000, 1, 1, 0, 0, 0)},
        {"2023-02-29T12:00:00.000Z", 0}, // no such day
        {"2024-13-01T12:00:00.000Z", 0},
        {"2024-06-12T24:00:00.000Z", 0},
        {"2016-12-31T23:59:60.000Z", 0}, // a leap second: no sentence can carry it
        {"1999-12-31T23:59:59.000Z", 0}, // the sentences' two-digit year
        {"2100-01-01T00:00:00.000Z", 0},
        {"2024-06-12T14:31:09.Z", 0},
        {"2024-06-12T14:31:09.000", 0},
        {"2024-06-12T14:31:09.000Z ", 0},
        {"2024-06-12 14:31:09.000Z", 0},
        {"1718202669.0", 0}, // seconds, as gpsd 2 sent them
        {"", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(gpsdTimeToFixTime(c.text), c.expected) << c.text;
}

TEST(GpsdTpv, FixesNoFixesAndRefusedReports) {
    const double kKnots = 3600.0 / 1852.0;
    struct Case {
        const char* what;
        std::string json;
        TpvOutcome outcome;
        int mode;
        double lat, lon, alt, spd, hdg;
        bool withAltitude;
    } cases[] = {
        {"a 3D fix",
         tpv(R"("mode":3,"time":"2024-06-12T14:31:09.000Z","ept":0.005,"lat":47.377065,)"
             R"("lon":8.542316667,"altHAE":457.9,"altMSL":409.9,"alt":409.9,"track":70.5,)"
             R"("speed":10.958,"eph":17.1)"),
         TpvOutcome::fix, 3, 47.377065, 8.542316667, 409.9, 10.958 * kKnots, 70.5, true},
        {"an old gpsd's altitude",
         tpv(R"("mode":3,"time":"2024-06-12T14:31:10.000Z","lat":-33.9,"lon":-70.1,"alt":-12.5)"),
         TpvOutcome::fix, 3, -33.9, -70.1, -12.5, 0, 0, true},
        {"a 2D fix has no height",
         tpv(R"("mode":2,"time":"2024-06-12T14:31:10.000Z","lat":47.1,"lon":8.1,"altMSL":999,)"
             R"("speed":0.5)"),
         TpvOutcome::fix, 2, 47.1, 8.1, 0, 0.5 * kKnots, 0, false},
        {"absurd speed, course and altitude are left out",
         tpv(R"("mode":3,"time":"2024-06-12T14:31:10.000Z","lat":47.1,"lon":8.1,)"
             R"("altMSL":-20000,"speed":-1,"track":400)"),
         TpvOutcome::fix, 3, 47.1, 8.1, 0, 0, 0, false},
        {"no fix yet", tpv(R"("mode":1,"time":"2024-06-12T14:31:10.000Z")"), TpvOutcome::noFix, 1,
         0, 0, 0, 0, 0, false},
        {"no mode seen", tpv(R"("mode":0)"), TpvOutcome::noFix, 0, 0, 0, 0, 0, 0, false},
        {"a fix before its time is known", tpv(R"("mode":3,"lat":47.1,"lon":8.1,"altMSL":400)"),
         TpvOutcome::refused, 3, 0, 0, 0, 0, 0, false},
        {"a fix without a position", tpv(R"("mode":3,"time":"2024-06-12T14:31:10.000Z")"),
         TpvOutcome::refused, 3, 0, 0, 0, 0, 0, false},
        {"latitude beyond the pole",
         tpv(R"("mode":2,"time":"2024-06-12T14:31:10.000Z","lat":90.5,"lon":8.1)"),
         TpvOutcome::refused, 2, 0, 0, 0, 0, 0, false},
        {"the zero position", tpv(R"("mode":2,"time":"2024-06-12T14:31:10.000Z","lat":0,"lon":0)"),
         TpvOutcome::refused, 2, 0, 0, 0, 0, 0, false},
        {"a position given as text",
         tpv(R"("mode":2,"time":"2024-06-12T14:31:10.000Z","lat":"47.1","lon":8.1)"),
         TpvOutcome::refused, 2, 0, 0, 0, 0, 0, false},
        {"no mode", tpv(R"("time":"2024-06-12T14:31:10.000Z","lat":47.1,"lon":8.1)"),
         TpvOutcome::refused, -1, 0, 0, 0, 0, 0, false},
        {"mode 4", tpv(R"("mode":4,"time":"2024-06-12T14:31:10.000Z","lat":47.1,"lon":8.1)"),
         TpvOutcome::refused, -1, 0, 0, 0, 0, 0, false},
        {"mode 2.5", tpv(R"("mode":2.5,"time":"2024-06-12T14:31:10.000Z","lat":47.1,"lon":8.1)"),
         TpvOutcome::refused, -1, 0, 0, 0, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        GpsdFix state;
        const GpsdFix before = state;
        int mode = 99;
        std::string why;
        EXPECT_EQ(readTpv(report(c.json), state, mode, why), c.outcome);
        EXPECT_EQ(mode, c.mode);
        EXPECT_EQ(why.empty(), c.outcome != TpvOutcome::refused) << why;
        if (c.outcome != TpvOutcome::fix) {
            EXPECT_EQ(state.fix.time, before.fix.time);
            EXPECT_EQ(state.fix.lat, before.fix.lat);
            continue;
        }
        EXPECT_NE(state.fix.time, 0);
        EXPECT_DOUBLE_EQ(state.fix.lat, c.lat);
        EXPECT_DOUBLE_EQ(state.fix.lon, c.lon);
        EXPECT_DOUBLE_EQ(state.fix.alt, c.alt);
        EXPECT_NEAR(state.fix.spd, c.spd, 1e-9);
        EXPECT_DOUBLE_EQ(state.fix.hdg, c.hdg);
        EXPECT_EQ(state.withAltitude, c.withAltitude);
    }
}

TEST(GpsdTpv, WhatAReportLeavesOutKeepsTheValueBefore) {
    GpsdFix state;
    int mode;
    std::string why;
    ASSERT_EQ(readTpv(report(tpv(R"("mode":3,"time":"2024-06-12T14:31:09.000Z","lat":47.1,)"
                                 R"("lon":8.1,"altMSL":410,"speed":5,"track":90)")),
                      state, mode, why),
              TpvOutcome::fix);
    // At rest gpsd leaves the course out; a 2D fix reports no height.
    ASSERT_EQ(readTpv(report(tpv(R"("mode":2,"time":"2024-06-12T14:31:10.000Z","lat":47.2,)"
                                 R"("lon":8.2,"speed":0)")),
                      state, mode, why),
              TpvOutcome::fix);
    EXPECT_DOUBLE_EQ(state.fix.hdg, 90);
    EXPECT_DOUBLE_EQ(state.fix.spd, 0);
    EXPECT_DOUBLE_EQ(state.fix.alt, 410);
    EXPECT_FALSE(state.withAltitude);
    EXPECT_EQ(state.fix.time, fixTimeOf(2024, 6, 12, 14, 31, 10));
}

TEST(GpsdSky, SatellitesInUseAndInView) {
    struct Case {
        const char* what;
        const char* json;
        bool ok;
        int used, seen;
    } cases[] = {
        {"gpsd 3.22", R"({"class":"SKY","hdop":0.9,"nSat":10,"uSat":8,"satellites":[]})", true, 8,
         10},
        {"only the list (gpsd before 3.20)",
         R"({"class":"SKY","satellites":[{"PRN":4,"used":true},{"PRN":5,"used":false},)"
         R"({"PRN":9,"used":true},{"PRN":12}]})",
         true, 2, 4},
        {"counts win over the list",
         R"({"class":"SKY","nSat":3,"uSat":1,"satellites":[{"PRN":4,"used":true}]})", true, 1, 3},
        {"a used flag that is not true", R"({"class":"SKY","satellites":[{"used":"yes"}]})", true,
         0, 1},
        {"no satellites at all", R"({"class":"SKY","hdop":0.9})", false, -1, -1},
        {"counts that are no counts", R"({"class":"SKY","nSat":-1,"uSat":2.5})", false, -1, -1},
        {"a list that is no list", R"({"class":"SKY","satellites":7})", false, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        GpsdStatus status;
        status.mode = 3;
        EXPECT_EQ(readSky(report(c.json), status), c.ok);
        EXPECT_EQ(status.used, c.used);
        EXPECT_EQ(status.seen, c.seen);
        EXPECT_EQ(status.mode, 3); // SKY says nothing of the mode
    }
}

TEST(GpsdSentences, AFixBecomesGgaAndRmcThatParseBackToIt) {
    struct Case {
        const char* json;
        bool withAltitude;
    } cases[] = {
        {R"("mode":3,"time":"2024-06-12T14:31:09.000Z","lat":47.377065,"lon":8.542316667,)"
         R"("altMSL":409.9,"speed":10.958,"track":70.5)",
         true},
        {R"("mode":3,"time":"2024-12-31T23:59:59.500Z","lat":-33.45694,"lon":-70.64827,)"
         R"("altMSL":-3.2,"speed":0.2,"track":359.9)",
         true},
        {R"("mode":2,"time":"2025-01-01T00:00:00.000Z","lat":0.00001,"lon":-179.99999,)"
         R"("speed":300)",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        GpsdFix state;
        state.fix.alt = 123.4; // the height known before
        int mode;
        std::string why;
        ASSERT_EQ(readTpv(report(tpv(c.json)), state, mode, why), TpvOutcome::fix) << why;
        const std::vector<std::string> lines = fixSentences(state);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].rfind("$GPGGA,", 0), 0u);
        EXPECT_EQ(lines[1].rfind("$GPRMC,", 0), 0u);
        GpsFix back;
        back.alt = 123.4;
        for (const std::string& line : lines) {
            EXPECT_EQ(line.back(), '\r');
            EXPECT_EQ(line.find('\n'), std::string::npos);
        }
        // As the intake takes them: GGA first, then the RMC makes the point.
        EXPECT_EQ(parseNmea(lines[0], back), 2);
        EXPECT_EQ(parseNmea(lines[1], back), 2);
        EXPECT_NEAR(back.lat, state.fix.lat, 2e-6);
        EXPECT_NEAR(back.lon, state.fix.lon, 2e-6);
        EXPECT_NEAR(back.spd, state.fix.spd, 0.05);
        EXPECT_NEAR(back.hdg, state.fix.hdg, 0.05);
        EXPECT_EQ(back.time, state.fix.time);
        EXPECT_EQ(back.status, 1);
        // A 2D fix keeps the height the receiver had; a 3D one brings its own.
        EXPECT_NEAR(back.alt, c.withAltitude ? state.fix.alt : 123.4, 0.05);
        EXPECT_EQ(lines[0].find(",,M,") != std::string::npos, !c.withAltitude) << lines[0];
    }
}
