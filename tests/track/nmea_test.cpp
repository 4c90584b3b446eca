// NMEA sentences: checksums, hemispheres, field limits, time handling under
// the zone in TZ, sentence interplay in parseNmea, and sentence output.
#include "track_test_util.h"

#include "platform/runtime.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <optional>
#include <random>

using tt::withChecksum;

namespace {

const char* kGgaBody = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,";
const char* kRmcBody = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230309,003.1,W";

int64_t march23() {
    return tt::utcEpoch(2009, 3, 23, 12, 35, 19) + tt::expectedZoneOffset();
}

// Parses a body with a correct checksum appended.
int parse(const std::string& body, GpsFix& fix, double altOffset = 0, double courseOffset = 0) {
    return parseNmea(withChecksum(body).c_str(), fix, altOffset, courseOffset);
}

std::string rmcWith(const std::string& lat, const std::string& ns, const std::string& lon,
                    const std::string& ew, const std::string& spd = "022.4",
                    const std::string& hdg = "084.4", const std::string& date = "230309",
                    const std::string& time = "123519", const std::string& status = "A") {
    return "$GPRMC," + time + "," + status + "," + lat + "," + ns + "," + lon + "," + ew + "," +
           spd + "," + hdg + "," + date + ",003.1,W";
}

bool sameFix(const GpsFix& a, const GpsFix& b) {
    return a.lat == b.lat && a.lon == b.lon && a.alt == b.alt && a.hdg == b.hdg && a.spd == b.spd &&
           a.time == b.time && a.rmcSeen == b.rmcSeen && a.status == b.status;
}

} // namespace

// --- checksums ----------------------------------------------------------------

TEST(NmeaChecksum, XorOfEverythingAfterTheFirstCharacter) {
    EXPECT_EQ(nmeaChecksum("$abc"), 0x60);
    std::string out;
    appendNmeaChecksum("$abc", out);
    EXPECT_EQ(out, "*60");
    // The classic example sentence.
    EXPECT_EQ(nmeaChecksum(kRmcBody),
              std::stoi(tt::withChecksum(kRmcBody).substr(std::strlen(kRmcBody) + 1), nullptr, 16));
}

TEST(NmeaChecksum, CharactersAboveAsciiDoNotGoNegative) {
    EXPECT_EQ(nmeaChecksum("$\xE9"), 0xE9);
    std::string out;
    appendNmeaChecksum("$\x0A", out);
    EXPECT_EQ(out, "*0A"); // two upper-case digits, zero padded
}

TEST(NmeaChecksum, CorrectChecksumPasses) {
    GpsFix fix;
    EXPECT_EQ(parse(kGgaBody, fix), 2);
    EXPECT_NEAR(fix.lat, 48.1173, 1e-9);
}

TEST(NmeaChecksum, TrailingLineEndAfterChecksumPasses) {
    GpsFix fix;
    EXPECT_EQ(parseNmea((withChecksum(kGgaBody) + "\r\n").c_str(), fix), 2);
}

TEST(NmeaChecksum, LowerCaseHexPasses) {
    // This body's checksum is 6E: send it as 6e.
    std::string body = kRmcBody;
    std::string sent = withChecksum(body);
    std::string digits = sent.substr(body.size() + 1);
    ASSERT_TRUE(std::isalpha(static_cast<unsigned char>(digits[0])) ||
                std::isalpha(static_cast<unsigned char>(digits[1])))
        << "test sentence needs a hex letter in its checksum: " << digits;
    for (auto& c : digits)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(digits, "6e");
    GpsFix fix;
    EXPECT_EQ(parseNmea((body + "*" + digits).c_str(), fix), 2);
    // A wrong lower-case value still fails.
    EXPECT_EQ(parseNmea((body + "*6f").c_str(), fix), 0);
}

// A sentence handed over as a view ends at a NUL and at the work buffer's
// size; the checksum and its '*' are looked for only in what is left.
TEST(NmeaChecksum, TheSentenceEndsAtANulAndAtTheWorkBuffer) {
    const std::string gga = withChecksum(kGgaBody);
    const std::string body = kGgaBody;
    struct Case {
        const char* what;
        std::string sentence;
        int result;
    };
    const Case cases[] = {
        {"whole", gga, 2},
        {"a NUL after the checksum", gga + std::string("\0*00garbage", 12), 2},
        {"a NUL before the star", body + std::string("\0", 1) + gga.substr(body.size()), 0},
        {"a NUL inside a field", body.substr(0, 20) + std::string("\0", 1) + gga.substr(20), 0},
        {"padding beyond the work buffer", gga + std::string(3000, ' '), 2},
        {"the star beyond the work buffer",
         body + std::string(kNmeaWorkBuffer, ',') + gga.substr(body.size()), 0},
        // What the cut leaves is a star without digits: unchecked, as such.
        {"the checksum's digits beyond the work buffer",
         body + std::string(kNmeaWorkBuffer - 2 - body.size(), ',') + "*7F", 2},
        {"five characters", "$GPGG", 0},
        {"no star", body, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        GpsFix fix;
        EXPECT_EQ(parseNmea(std::string_view(c.sentence), fix), c.result);
    }
}

// Sentences that change nothing (other types, VTG once RMC was seen) give 0
// and leave the record alone whether or not anyone listens to the log; a
// listener still hears of their bad checksums.
TEST(NmeaChecksum, SentencesThatChangeNothingAreLoggedOnlyWhenSomeoneListens) {
    GpsFix seen;
    ASSERT_EQ(parseNmea(withChecksum(kRmcBody).c_str(), seen), 2);
    struct Case {
        const char* what;
        std::string sentence;
        bool badChecksum;
    };
    const Case cases[] = {
        {"GSV", withChecksum("$GPGSV,3,1,12,02,42,236,35,05,16,003,30"), false},
        {"GSV with a wrong checksum", "$GPGSV,3,1,12,02,42,236,35,05,16,003,30*12", true},
        {"VTG after RMC", withChecksum("$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K"), false},
        {"VTG after RMC, wrong checksum", "$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*01", true},
        {"a proprietary sentence", withChecksum("$PGRME,15.0,M,45.0,M,25.0,M"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (bool listening : {false, true}) {
            std::optional<TraceCapture> cap;
            if (listening)
                cap.emplace();
            GpsFix fix = seen;
            EXPECT_EQ(parseNmea(std::string_view(c.sentence), fix), 0);
            EXPECT_EQ(fix.spd, seen.spd);
            EXPECT_EQ(fix.hdg, seen.hdg);
            if (cap) {
                EXPECT_EQ(cap->contains("bad nmea checksum"), c.badChecksum) << cap->all();
            }
        }
    }
}

TEST(NmeaChecksum, WrongChecksumIsRejectedAndLogged) {
    std::string sent = withChecksum(kGgaBody);
    sent.back() = sent.back() == '0' ? '1' : '0';
    GpsFix fix;
    TraceCapture cap;
    EXPECT_EQ(parseNmea(sent.c_str(), fix), 0);
    EXPECT_TRUE(cap.contains("bad nmea checksum " + sent)) << cap.all();
    EXPECT_TRUE(sameFix(fix, GpsFix()));
}

TEST(NmeaChecksum, ChecksumCoversEveryCharacterBetweenDollarAndStar) {
    // Same checksum digits, one field changed: must fail.
    std::string sent = withChecksum(kGgaBody);
    sent.replace(sent.find("545.4"), 5, "545.5");
    GpsFix fix;
    EXPECT_EQ(parseNmea(sent.c_str(), fix), 0);
}

TEST(NmeaChecksum, ZeroChecksumPassesUnchecked) {
    GpsFix fix;
    EXPECT_EQ(parseNmea((std::string(kGgaBody) + "*00").c_str(), fix), 2);
    EXPECT_NEAR(fix.alt, 545.4, 1e-9);
    // The sentence is not cut at the '*': the last field still carries it,
    // and a number in that field is still read.
    GpsFix vtg;
    EXPECT_EQ(parseNmea("$GPVTG,054.7,T,034.4,M,005.5*00", vtg), 1);
    EXPECT_DOUBLE_EQ(vtg.spd, 5.5);
}

TEST(NmeaChecksum, UnreadableDigitsPassUnchecked) {
    GpsFix fix;
    EXPECT_EQ(parseNmea((std::string(kGgaBody) + "*ZZ").c_str(), fix), 2);
    GpsFix fix2;
    EXPECT_EQ(parseNmea((std::string(kGgaBody) + "*").c_str(), fix2), 2);
}

TEST(NmeaChecksum, NoStarIsABadChecksum) {
    GpsFix fix;
    TraceCapture cap;
    EXPECT_EQ(parseNmea(kGgaBody, fix), 0);
    EXPECT_TRUE(cap.contains("bad nmea checksum")) << cap.all();
}

TEST(NmeaChecksum, OnlyTheLastStarCounts) {
    // A '*' inside a field must not be taken for the checksum.
    std::string body = std::string(kGgaBody) + "x*y";
    GpsFix fix;
    EXPECT_EQ(parseNmea(withChecksum(body).c_str(), fix), 2);
}

TEST(NmeaChecksum, OverlongChecksumNeverMatches) {
    std::string sent = withChecksum(kGgaBody); // "...*XX"
    GpsFix fix;
    EXPECT_EQ(parseNmea((sent + "00").c_str(), fix), 0); // "*XX00" is not XX
}

// --- dispatch -------------------------------------------------------------------

TEST(ParseNmea, NullAndShortTextGiveZero) {
    GpsFix fix;
    TraceCapture cap;
    EXPECT_EQ(parseNmea(nullptr, fix), 0);
    EXPECT_EQ(parseNmea("$GPGG", fix), 0);
    EXPECT_TRUE(cap.lines().empty());
}

TEST(ParseNmea, UnknownAndLowerCaseSentenceNamesGiveZero) {
    GpsFix fix;
    EXPECT_EQ(parse("$GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00", fix), 0);
    std::string lower = kRmcBody;
    lower.replace(0, 6, "$gprmc");
    EXPECT_EQ(parse(lower, fix), 0);
    EXPECT_TRUE(sameFix(fix, GpsFix()));
}

TEST(ParseNmea, PositionSentencesOfEveryTalkerAndNmeaVersion) {
    // As receivers send them: 2.0 without, 2.3 with the mode indicator, 4.1
    // with the navigational status after it.
    struct Case {
        const char* what;
        const char* body;
        int result; // from a fresh record
        double lat, lon;
    } cases[] = {
        {"GPS, NMEA 2.0", "$GPRMC,143105,A,4722.6156,N,00832.5082,E,18.5,64.5,120624,2.1,E", 2,
         47.37693, 8.54180},
        {"multi-system, 2.3 mode A",
         "$GNRMC,143105.00,A,4722.6156,N,00832.5082,E,18.5,64.5,120624,,,A", 2, 47.37693, 8.54180},
        {"multi-system, 4.1 status V",
         "$GNRMC,143105.00,A,4722.6156,N,00832.5082,E,18.5,64.5,120624,,,A,V", 2, 47.37693,
         8.54180},
        {"multi-system GGA", "$GNGGA,143105.00,4722.6156,N,00832.5082,E,1,12,0.6,408.3,M,48.0,M,,",
         2, 47.37693, 8.54180},
        {"multi-system VTG", "$GNVTG,64.5,T,62.4,M,18.5,N,34.3,K,A", 1, 0, 0},
        {"GLONASS", "$GLRMC,080025.00,A,5545.1234,N,03737.5678,E,0.0,,010224,,,D", 2, 55.75206,
         37.62613},
        {"Galileo", "$GARMC,120000.000,A,4151.6500,N,01229.9000,E,1.2,270.0,150324,,,A,V", 2,
         41.86083, 12.49833},
        {"BeiDou (BD)", "$BDGGA,020304.00,3954.6000,N,11623.4000,E,1,09,1.1,50.0,M,-8.0,M,,", 2,
         39.91000, 116.39000},
        {"BeiDou (GB)", "$GBRMC,020304.00,A,3954.6000,N,11623.4000,E,0.1,5.0,010524,,,A,V", 2,
         39.91000, 116.39000},
        {"QZSS", "$GQRMC,031500.00,A,3541.2000,N,13945.6000,E,3.0,180.0,200224,,,A", 2, 35.68667,
         139.76000},
        {"integrated navigation", "$INGGA,123519,4807.038,S,01131.000,W,1,08,0.9,-12.0,M,46.9,M,,",
         2, -48.11730, -11.51667},
        {"any two capitals", "$ZZRMC,143105,A,4722.6156,N,00832.5082,E,18.5,64.5,120624,,", 2,
         47.37693, 8.54180},
        {"Garmin's own sentence", "$PGRMC,A,218.8,100,,,,,,A,3,1,2,4,30", 0, 0, 0},
        {"proprietary RMC-like", "$PXRMC,143105,A,4722.6156,N,00832.5082,E,18.5,64.5,120624,,", 0,
         0, 0},
        {"a digit in the talker", "$G1RMC,143105,A,4722.6156,N,00832.5082,E,18.5,64.5,120624,,", 0,
         0, 0},
        {"lower-case talker", "$gnRMC,143105,A,4722.6156,N,00832.5082,E,18.5,64.5,120624,,", 0, 0,
         0},
        {"satellites in view", "$GLGSV,1,1,00", 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        GpsFix fix;
        EXPECT_EQ(parse(c.body, fix), c.result);
        if (c.lat != 0) {
            EXPECT_NEAR(fix.lat, c.lat, 1e-5);
            EXPECT_NEAR(fix.lon, c.lon, 1e-5);
        }
        EXPECT_EQ(nmeaSentenceType(c.body) != NmeaType::other, c.result != 0);
    }
}

TEST(ParseNmea, OneFixUnderTwoTalkersIsTakenOnce) {
    // A multi-system receiver that reports each second as GPS and as combined
    // solution: every second gives one complete fix, whatever comes first.
    const std::string second1[] = {
        "$GPGGA,143105.00,4722.6156,N,00832.5082,E,1,08,0.9,408.3,M,48.0,M,,",
        "$GPRMC,143105.00,A,4722.6156,N,00832.5082,E,18.5,64.5,120624,,,A",
        "$GNGGA,143105.00,4722.6157,N,00832.5083,E,1,14,0.6,408.4,M,48.0,M,,",
        "$GNRMC,143105.00,A,4722.6157,N,00832.5083,E,18.5,64.5,120624,,,A,V",
    };
    const std::string second2[] = {
        "$GNRMC,143106.00,A,4722.6178,N,00832.5154,E,19.2,66.0,120624,,,A,V",
        "$GPRMC,143106.00,A,4722.6178,N,00832.5154,E,19.2,66.0,120624,,,A",
        "$GNRMC,143106.00,A,4722.6178,N,00832.5154,E,19.2,66.0,120624,,,A,V", // sent twice
        "$GNGGA,143106.00,4722.6178,N,00832.5154,E,1,14,0.6,408.7,M,48.0,M,,",
    };
    GpsFix fix;
    std::vector<int> results;
    for (const std::string& s : second1)
        results.push_back(parse(s, fix));
    // The GGA before the first RMC gives a fix, as any GGA-only receiver's does.
    EXPECT_EQ(results, (std::vector<int>{2, 2, 1, 1}));
    // The repeat still updates the record: its last words count.
    EXPECT_NEAR(fix.lon, 8.54180500, 1e-8);
    const int64_t first = fix.time;
    results.clear();
    for (const std::string& s : second2)
        results.push_back(parse(s, fix));
    EXPECT_EQ(results, (std::vector<int>{2, 1, 1, 1}));
    EXPECT_EQ(fix.time, first + 1);
    EXPECT_NEAR(fix.alt, 408.7, 1e-9);
    // A later second, and an earlier one (a receiver reset), are new fixes.
    EXPECT_EQ(parse("$GNRMC,143107.00,A,4722.6199,N,00832.5229,E,19.9,67.5,120624,,,A,V", fix), 2);
    EXPECT_EQ(parse("$GNRMC,143100.00,A,4722.6000,N,00832.5000,E,19.9,67.5,120624,,,A,V", fix), 2);
}

TEST(ParseNmea, GgaGivesTwoUntilTheFirstRmcThenOne) {
    GpsFix fix;
    EXPECT_EQ(parse(kGgaBody, fix), 2);
    EXPECT_EQ(fix.time, 0); // a GGA carries no usable time
    EXPECT_EQ(parse(kRmcBody, fix), 2);
    EXPECT_EQ(fix.rmcSeen, 1);
    EXPECT_EQ(parse(kGgaBody, fix), 1);
    EXPECT_NEAR(fix.alt, 545.4, 1e-9);
    EXPECT_EQ(fix.time, march23()); // kept from the RMC
}

TEST(ParseNmea, VtgUpdatesUntilAnRmcIsSeenThenIsIgnored) {
    GpsFix fix;
    EXPECT_EQ(parse("$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K", fix), 1);
    EXPECT_DOUBLE_EQ(fix.hdg, 54.7);
    EXPECT_DOUBLE_EQ(fix.spd, 5.5);
    EXPECT_EQ(parse(kRmcBody, fix), 2);
    EXPECT_DOUBLE_EQ(fix.spd, 22.4);
    EXPECT_EQ(parse("$GPVTG,100.0,T,034.4,M,009.9,N,010.2,K", fix), 0);
    EXPECT_DOUBLE_EQ(fix.hdg, 84.4);
    EXPECT_DOUBLE_EQ(fix.spd, 22.4);
}

TEST(ParseNmea, VtgWithNothingUsableGivesZero) {
    GpsFix fix;
    EXPECT_EQ(parse("$GPVTG,,T,,M,,N,,K", fix), 0);
    EXPECT_EQ(parse("$GPVTG,400,T,,M,10000,N,,K", fix), 0);
    EXPECT_TRUE(sameFix(fix, GpsFix()));
}

TEST(ParseNmea, FailedRmcDoesNotSetRmcSeen) {
    GpsFix fix;
    EXPECT_EQ(parse(rmcWith("4807.038", "N", "01131.000", "E", "1", "1", ""), fix), 0);
    EXPECT_EQ(fix.rmcSeen, 0);
    EXPECT_EQ(parse(kGgaBody, fix), 2);
}

TEST(ParseNmea, OffsetsReachAltitudeAndCourse) {
    GpsFix fix;
    EXPECT_EQ(parse(kGgaBody, fix, 100.0, 0), 2);
    EXPECT_NEAR(fix.alt, 645.4, 1e-9);
    EXPECT_EQ(parse(kRmcBody, fix, 100.0, 10.0), 2);
    EXPECT_NEAR(fix.hdg, 94.4, 1e-9);
    EXPECT_NEAR(fix.alt, 645.4, 1e-9); // an RMC does not touch the altitude
}

TEST(ParseNmea, OverlongSentenceIsCutNotOverrun) {
    std::string body = std::string(kGgaBody) + std::string(5000, 'x');
    GpsFix fix;
    // Cut at 2047 characters, the checksum is gone: rejected, no overrun.
    EXPECT_EQ(parseNmea(withChecksum(body).c_str(), fix), 0);
}

// --- hemispheres and the zero position -------------------------------------------

TEST(NmeaPosition, HemispheresGiveSigns) {
    GpsFix fix;
    EXPECT_EQ(parse(rmcWith("4807.038", "S", "01131.000", "W"), fix), 2);
    EXPECT_NEAR(fix.lat, -48.1173, 1e-9);
    EXPECT_NEAR(fix.lon, -11.516666666, 1e-8);
    // A second later: a new fix, not a repeat of the first.
    EXPECT_EQ(
        parse(rmcWith("4807.038", "N", "01131.000", "E", "022.4", "084.4", "230309", "123520"),
              fix),
        2);
    EXPECT_NEAR(fix.lat, 48.1173, 1e-9);
    EXPECT_NEAR(fix.lon, 11.516666666, 1e-8);
}

TEST(NmeaPosition, UnknownHemisphereKeepsThePreviousValue) {
    GpsFix fix;
    fix.lat = 10;
    fix.lon = 20;
    EXPECT_EQ(parse(rmcWith("4807.038", "X", "01131.000", "E"), fix), 2);
    EXPECT_DOUBLE_EQ(fix.lat, 10);
    EXPECT_NEAR(fix.lon, 11.516666666, 1e-8);
    EXPECT_EQ(
        parse(rmcWith("4807.038", "N", "01131.000", "Q", "022.4", "084.4", "230309", "123520"),
              fix),
        2);
    EXPECT_NEAR(fix.lat, 48.1173, 1e-9);
    EXPECT_NEAR(fix.lon, 11.516666666, 1e-8);
}

TEST(NmeaPosition, UnknownHemisphereFromZeroIsRejectedAsZero) {
    GpsFix fix;
    TraceCapture cap;
    EXPECT_EQ(parse(rmcWith("4807.038", "X", "01131.000", "Y"), fix), 0);
    EXPECT_TRUE(cap.contains("parseGPRMC")) << cap.all();
    EXPECT_TRUE(cap.contains("rejecting zero lat,lon")) << cap.all();
    EXPECT_TRUE(sameFix(fix, GpsFix()));
}

TEST(NmeaPosition, LowerCaseHemisphereIsNotAHemisphere) {
    GpsFix fix;
    EXPECT_EQ(parse(rmcWith("4807.038", "n", "01131.000", "e"), fix), 0);
}

TEST(NmeaPosition, DamagedPositionFieldRejectsTheWholeSentence) {
    // A number that cannot be a position must not give a fix, neither at 0
    // nor as the previous latitude with the new longitude.
    struct Case {
        const char *lat, *lon;
    };
    const Case cases[] = {
        {"9500.000", "01131.000"},  // beyond the pole
        {"4807.038", "18100.000"},  // beyond the date line
        {"9100.000", "18100.000"},  // both
        {"-4807.038", "01131.000"}, // negative
        {"4807.038", "abc"},        // unreadable
        {"nan", "01131.000"},       // NaN
        {"4807.038", "inf"},        // infinity
        {"4860.000", "01131.000"},  // 60 minutes
        {"4807.038", "01175.500"},  // 75 minutes
    };
    for (const Case& c : cases) {
        GpsFix fix;
        ASSERT_EQ(parse(kRmcBody, fix), 2);
        const GpsFix before = fix;
        TraceCapture cap;
        EXPECT_EQ(parse(rmcWith(c.lat, "N", c.lon, "E"), fix), 0) << c.lat << " " << c.lon;
        EXPECT_EQ(parse("$GPGGA,123519," + std::string(c.lat) + ",N," + c.lon +
                            ",E,1,08,0.9,545.4,M,46.9,M,,",
                        fix),
                  0)
            << c.lat << " " << c.lon;
        EXPECT_TRUE(sameFix(fix, before)) << c.lat << " " << c.lon;
        EXPECT_TRUE(cap.contains("rejecting out-of-range lat,lon")) << cap.all();
    }
}

TEST(NmeaPosition, ThePolesAndTheDateLineAreValid) {
    GpsFix fix;
    EXPECT_EQ(parse(rmcWith("9000.000", "S", "18000.000", "W"), fix), 2);
    EXPECT_DOUBLE_EQ(fix.lat, -90);
    EXPECT_DOUBLE_EQ(fix.lon, -180);
    EXPECT_EQ(
        parse(rmcWith("4859.999", "N", "01159.999", "E", "022.4", "084.4", "230309", "123520"),
              fix),
        2);
}

TEST(NmeaPosition, ZeroPositionIsRejectedWithAMessage) {
    GpsFix fix;
    TraceCapture cap;
    EXPECT_EQ(parse("$GPGGA,123519,0000.000,N,00000.000,E,1,08,0.9,545.4,M,46.9,M,,", fix), 0);
    EXPECT_TRUE(cap.contains("parseGPGGA")) << cap.all();
    EXPECT_TRUE(cap.contains("rejecting zero lat,lon")) << cap.all();
    EXPECT_TRUE(sameFix(fix, GpsFix()));
}

TEST(NmeaPosition, ZeroLatitudeAloneIsAPosition) {
    GpsFix fix;
    EXPECT_EQ(parse("$GPGGA,123519,0000.000,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,", fix), 2);
    EXPECT_EQ(fix.lat, 0);
}

TEST(NmeaPosition, EmptyLatitudeGivesZeroWithoutAMessage) {
    GpsFix fix;
    TraceCapture cap;
    EXPECT_EQ(parse("$GPGGA,123519,,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,", fix), 0);
    EXPECT_EQ(parse(rmcWith("", "N", "01131.000", "E"), fix), 0);
    EXPECT_TRUE(cap.lines().empty()) << cap.all();
}

TEST(NmeaPosition, RejectedSentenceLeavesTheRecordUntouched) {
    GpsFix fix;
    ASSERT_EQ(parse(kRmcBody, fix), 2);
    GpsFix before = fix;
    // Good position and speed, but a bad date: nothing may stick.
    EXPECT_EQ(parse(rmcWith("1000.000", "S", "02000.000", "W", "5", "5", "320309"), fix), 0);
    EXPECT_TRUE(sameFix(fix, before));
}

// --- field limits -----------------------------------------------------------------

TEST(NmeaFields, GgaAltitudeLimit) {
    GpsFix fix;
    fix.alt = 7;
    EXPECT_EQ(parse("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,-10000,M,46.9,M,,", fix), 2);
    EXPECT_DOUBLE_EQ(fix.alt, 7);
    EXPECT_EQ(parse("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,-9999.9,M,46.9,M,,", fix), 2);
    EXPECT_DOUBLE_EQ(fix.alt, -9999.9);
    EXPECT_EQ(parse("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,,M,46.9,M,,", fix), 2);
    EXPECT_DOUBLE_EQ(fix.alt, -9999.9); // empty altitude: kept
    // Short GGA without altitude at all still gives a position.
    EXPECT_EQ(parse("$GPGGA,123519,4807.038,N,01131.000,E", fix), 2);
}

TEST(NmeaFields, GgaChangesNeitherTimeNorSpeedNorCourse) {
    GpsFix fix;
    fix.time = 12345;
    fix.spd = 3;
    fix.hdg = 4;
    EXPECT_EQ(parse(kGgaBody, fix), 2);
    EXPECT_EQ(fix.time, 12345);
    EXPECT_EQ(fix.spd, 3);
    EXPECT_EQ(fix.hdg, 4);
}

TEST(NmeaFields, RmcSpeedLimit) {
    GpsFix fix;
    EXPECT_EQ(parse(rmcWith("4807.038", "N", "01131.000", "E", "10000"), fix), 2);
    EXPECT_DOUBLE_EQ(fix.spd, 0);
    EXPECT_EQ(
        parse(rmcWith("4807.038", "N", "01131.000", "E", "9999.9", "084.4", "230309", "123520"),
              fix),
        2);
    EXPECT_DOUBLE_EQ(fix.spd, 9999.9);
    EXPECT_EQ(
        parse(rmcWith("4807.038", "N", "01131.000", "E", "-1", "084.4", "230309", "123521"), fix),
        2);
    EXPECT_DOUBLE_EQ(fix.spd, 9999.9);
}

TEST(NmeaFields, RmcCourseLimit) {
    GpsFix fix;
    EXPECT_EQ(parse(rmcWith("4807.038", "N", "01131.000", "E", "1", "-360"), fix), 2);
    EXPECT_DOUBLE_EQ(fix.hdg, -360);
    EXPECT_EQ(
        parse(rmcWith("4807.038", "N", "01131.000", "E", "1", "360", "230309", "123520"), fix), 2);
    EXPECT_DOUBLE_EQ(fix.hdg, 360);
    EXPECT_EQ(
        parse(rmcWith("4807.038", "N", "01131.000", "E", "1", "360.1", "230309", "123521"), fix),
        2);
    EXPECT_DOUBLE_EQ(fix.hdg, 360);
}

TEST(NmeaFields, RmcStatus) {
    GpsFix fix;
    EXPECT_EQ(fix.status, 'V');
    EXPECT_EQ(parse(kRmcBody, fix), 2);
    EXPECT_EQ(fix.status, 1);
    EXPECT_EQ(
        parse(rmcWith("4807.038", "N", "01131.000", "E", "1", "1", "230309", "123520", "V"), fix),
        2);
    EXPECT_EQ(fix.status, 0);
}

TEST(NmeaFields, RmcLogsItsRawFieldsWithoutHeader) {
    GpsFix fix;
    TraceCapture cap;
    EXPECT_EQ(parse(kRmcBody, fix), 2);
    ASSERT_EQ(cap.lines().size(), 1u) << cap.all();
    EXPECT_EQ(cap.lines()[0], "cmd:$GPRMC, date:230309, time:123519, lat:4807.038, ns:N, "
                              "lon:01131.000, ew:E, spd:022.4, hdg:84.40\r\n");
}

TEST(NmeaFields, RmcWithEmptyDateLogsOnlyTheFieldLine) {
    GpsFix fix;
    TraceCapture cap;
    EXPECT_EQ(parse(rmcWith("4807.038", "N", "01131.000", "E", "1", "1", ""), fix), 0);
    ASSERT_EQ(cap.lines().size(), 1u) << cap.all();
    EXPECT_EQ(cap.lines()[0].rfind("cmd:$GPRMC", 0), 0u);
}

TEST(NmeaFields, Frpos) {
    std::string body = "$FRPOS,4807.038,S,01131.000,W,545.4,22.4,84.4,230309,123519.00,Nivra";
    std::vector<char> text(body.begin(), body.end());
    text.push_back('\0');
    GpsFix fix;
    fix.status = 'V';
    EXPECT_EQ(parseFRPOS(text.data(), fix), 1);
    EXPECT_NEAR(fix.lat, -48.1173, 1e-9);
    EXPECT_NEAR(fix.lon, -11.516666666, 1e-8);
    EXPECT_DOUBLE_EQ(fix.alt, 545.4);
    EXPECT_DOUBLE_EQ(fix.spd, 22.4);
    EXPECT_DOUBLE_EQ(fix.hdg, 84.4);
    EXPECT_EQ(fix.time, march23());
    EXPECT_EQ(fix.status, 'V'); // left as it was
    EXPECT_EQ(fix.rmcSeen, 0);
}

TEST(NmeaFields, FrposRejectsLikeRmc) {
    GpsFix fix;
    std::string body = "$FRPOS,0000.000,N,00000.000,E,545.4,22.4,84.4,230309,123519.00,Nivra";
    std::vector<char> text(body.begin(), body.end());
    text.push_back('\0');
    TraceCapture cap;
    EXPECT_EQ(parseFRPOS(text.data(), fix), 0);
    EXPECT_TRUE(cap.contains("parseFRPOS")) << cap.all();
    std::string body2 = "$FRPOS,4807.038,N,01131.000,E,-10000,1,1,,123519.00,Nivra";
    std::vector<char> text2(body2.begin(), body2.end());
    text2.push_back('\0');
    EXPECT_EQ(parseFRPOS(text2.data(), fix), 0);
    EXPECT_TRUE(sameFix(fix, GpsFix()));
}

// --- time ------------------------------------------------------------------------

TEST(NmeaTime, FixTimeIsUtcPlusStandardOffsetInEveryZone) {
    EXPECT_EQ(tzOffset(), tt::expectedZoneOffset());
    // Winter and summer: daylight saving must never enter a fix time.
    EXPECT_EQ(nmeaTimetoTime_T("230109", "123519"),
              tt::utcEpoch(2009, 1, 23, 12, 35, 19) + tt::expectedZoneOffset());
    EXPECT_EQ(nmeaTimetoTime_T("150709", "123519"),
              tt::utcEpoch(2009, 7, 15, 12, 35, 19) + tt::expectedZoneOffset());
}

TEST(NmeaTime, KnownValueInUtc) {
    // 23 March 2009 12:35:19 UTC is 1237811719; other zones shift by their offset.
    EXPECT_EQ(nmeaTimetoTime_T("230309", "123519"), 1237811719 + tt::expectedZoneOffset());
}

TEST(NmeaTime, ThirtyFirstFebruaryIsThirdMarch) {
    int64_t t = nmeaTimetoTime_T("310209", "000000");
    EXPECT_EQ(t, nmeaTimetoTime_T("030309", "000000"));
    std::string hhmmss, ddmmyy;
    ASSERT_TRUE(fixTimeStrings(t, hhmmss, ddmmyy));
    EXPECT_EQ(ddmmyy, "030309");
    EXPECT_EQ(hhmmss, "000000");
}

TEST(NmeaTime, DaylightSavingChangeNightIsContinuous) {
    // Fix times are UTC-based: the hour that a local clock skips or repeats
    // must still give evenly spaced times.
    int64_t a = nmeaTimetoTime_T("290309", "005959"); // Europe switches at 01:00 UTC
    int64_t b = nmeaTimetoTime_T("290309", "010000");
    EXPECT_EQ(b - a, 1);
    int64_t c = nmeaTimetoTime_T("080309", "065959"); // US switches at 07:00 UTC
    int64_t d = nmeaTimetoTime_T("080309", "070000");
    EXPECT_EQ(d - c, 1);
}

TEST(NmeaTime, FractionsAreIgnoredAndYearsAre2000Based) {
    EXPECT_EQ(nmeaTimetoTime_T("230309", "123519.999"), nmeaTimetoTime_T("230309", "123519"));
    EXPECT_EQ(nmeaTimetoTime_T("010100", "000000"),
              tt::utcEpoch(2000, 1, 1, 0, 0, 0) + tt::expectedZoneOffset());
    EXPECT_EQ(nmeaTimetoTime_T("311299", "235959"),
              tt::utcEpoch(2099, 12, 31, 23, 59, 59) + tt::expectedZoneOffset());
}

TEST(NmeaTime, FieldChecksLogTheirMessage) {
    struct Case {
        const char* date;
        const char* time;
        const char* message;
    } cases[] = {
        {"000309", "123519", "bad day"},    {"320309", "123519", "bad day"},
        {"230009", "123519", "bad month"},  {"231309", "123519", "bad month"},
        {"2303-1", "123519", "bad year"},   {"230309", "243519", "bad hour"},
        {"230309", "126019", "bad minute"}, {"230309", "123560", "bad second"},
    };
    for (const auto& c : cases) {
        TraceCapture cap;
        EXPECT_EQ(nmeaTimetoTime_T(c.date, c.time), 0) << c.date << " " << c.time;
        EXPECT_TRUE(cap.contains(c.message)) << c.date << " " << c.time << ": " << cap.all();
        EXPECT_TRUE(cap.contains("nmeaTimetoTime_T")) << cap.all();
    }
}

TEST(NmeaTime, TooFewNumbersGiveZeroSilently) {
    TraceCapture cap;
    EXPECT_EQ(nmeaTimetoTime_T("2303", "123519"), 0);
    EXPECT_EQ(nmeaTimetoTime_T("230309", "12"), 0);
    EXPECT_EQ(nmeaTimetoTime_T("", ""), 0);
    EXPECT_EQ(nmeaTimetoTime_T(nullptr, "123519"), 0);
    EXPECT_TRUE(cap.lines().empty()) << cap.all();
}

TEST(NmeaTime, TimeBelow1000IsRejected) {
    TraceCapture cap;
    EXPECT_EQ(checkNmeaFixTime(999, "parseGPRMC"), 0);
    EXPECT_TRUE(cap.contains("parseGPRMC")) << cap.all();
    EXPECT_TRUE(cap.contains("rejecting point, GPS time less than 1000")) << cap.all();
    EXPECT_EQ(checkNmeaFixTime(-5, "parseFRPOS"), 0);
    EXPECT_EQ(checkNmeaFixTime(1000, "parseGPRMC"), 1);
}

TEST(NmeaTime, SevenDaysAheadOfTheClockIsTheLimit) {
    int64_t now = nowFixTime();
    EXPECT_EQ(now, static_cast<int64_t>(time(nullptr)) + tt::expectedZoneOffset());
    EXPECT_EQ(checkNmeaFixTime(now + 604800, "parseGPRMC"), 1);
    TraceCapture cap;
    EXPECT_EQ(checkNmeaFixTime(now + 604800 + 120, "parseGPRMC"), 0);
    EXPECT_TRUE(cap.contains("rejecting point, GPS time greater than 7 days in the future"))
        << cap.all();
}

TEST(NmeaTime, RmcFromNextWeekIsRejectedRelativeToTheClock) {
    std::string date, time;
    GpsFix fix;
    // Six days ahead: accepted (a receiver's clock may run ahead a little).
    tt::utcFields(static_cast<int64_t>(::time(nullptr)) + 6 * 86400, date, time);
    EXPECT_EQ(parse(rmcWith("4807.038", "N", "01131.000", "E", "1", "1", date, time), fix), 2);
    // Eight days ahead: rejected with its message, record untouched.
    GpsFix before = fix;
    tt::utcFields(static_cast<int64_t>(::time(nullptr)) + 8 * 86400, date, time);
    TraceCapture cap;
    EXPECT_EQ(parse(rmcWith("4807.038", "N", "01131.000", "E", "2", "2", date, time), fix), 0);
    EXPECT_TRUE(cap.contains("7 days in the future")) << cap.all();
    EXPECT_TRUE(sameFix(fix, before));
}

TEST(NmeaTime, FixTimeStringsRoundTripInEveryZone) {
    int64_t t = nmeaTimetoTime_T("150709", "235901");
    std::string hhmmss, ddmmyy;
    ASSERT_TRUE(fixTimeStrings(t, hhmmss, ddmmyy));
    EXPECT_EQ(hhmmss, "235901");
    EXPECT_EQ(ddmmyy, "150709");
}

TEST(NmeaTime, FixTimeStringsFailForTimeZero) {
    std::string hhmmss = "x", ddmmyy = "y";
    EXPECT_FALSE(fixTimeStrings(0, hhmmss, ddmmyy));
    EXPECT_TRUE(hhmmss.empty());
    EXPECT_TRUE(ddmmyy.empty());
}

// --- angles and output ----------------------------------------------------------

TEST(NmeaAngles, Conversions) {
    EXPECT_NEAR(nmeaToDegrees(4807.038), 48.1173, 1e-12);
    EXPECT_NEAR(nmeaToDegrees(1131.0), 11.516666666666667, 1e-12);
    EXPECT_NEAR(degreesToNmea(48.1173), 4807.038, 1e-9);
    EXPECT_NEAR(degreesToNmea(-48.1173), -4807.038, 1e-9);
    for (double d : {0.0, 0.5, 1.0, 12.3456789, 89.99999, 179.5, -33.25}) {
        EXPECT_NEAR(nmeaToDegrees(degreesToNmea(std::fabs(d))), std::fabs(d), 1e-9) << d;
    }
}

TEST(NmeaAngles, FormatLatLon) {
    EXPECT_EQ(formatNmeaLat(48.1173), "4807.0380,N");
    EXPECT_EQ(formatNmeaLat(-48.1173), "4807.0380,S");
    EXPECT_EQ(formatNmeaLon(11.516666666666667), "1131.0000,E");
    EXPECT_EQ(formatNmeaLon(-122.5), "12230.0000,W");
    EXPECT_EQ(formatNmeaLat(5.5), "530.0000,N"); // "%3.4lf": no zero padding
    EXPECT_EQ(formatNmeaLat(0), "0.0000,S");     // exactly 0 takes the negative letter
    EXPECT_EQ(formatNmeaLon(0), "0.0000,W");
}

TEST(NmeaOutput, RmcSentenceIsByteExact) {
    GpsFix fix;
    fix.lat = 48.1173;
    fix.lon = 11.516666666666667;
    fix.spd = 22.4;
    fix.hdg = 84.4;
    fix.time = march23();
    std::string body = "$GPRMC,123519,A,4807.0380,N,1131.0000,E,22.4,84.4,230309,0.0,E,";
    EXPECT_EQ(makeRmcSentence(fix), withChecksum(body) + "\r\n");
}

TEST(NmeaOutput, GgaSentenceIsByteExact) {
    GpsFix fix;
    fix.lat = -48.1173;
    fix.lon = -11.516666666666667;
    fix.alt = 545.44;
    fix.time = march23();
    std::string body = "$GPGGA,123519,4807.0380,S,1131.0000,W,1,03,2.3,545.4,M,-20.6,M,,";
    EXPECT_EQ(makeGgaSentence(fix), withChecksum(body) + "\r\n");
}

TEST(NmeaOutput, SentencesWithoutTimeKeepTheirShape) {
    GpsFix fix;
    fix.lat = 1;
    fix.lon = 2;
    std::string s = makeRmcSentence(fix);
    EXPECT_EQ(s.rfind("$GPRMC,,A,", 0), 0u);
    EXPECT_EQ(s.substr(s.size() - 2), "\r\n");
}

TEST(NmeaOutput, HugeValuesAreNotCut) {
    GpsFix fix;
    fix.lat = 1;
    fix.lon = 2;
    fix.spd = 1e200;
    std::string s = makeRmcSentence(fix);
    ASSERT_GT(s.size(), 200u);
    // The checksum still matches the whole body.
    std::string body = s.substr(0, s.rfind('*'));
    EXPECT_EQ(withChecksum(body) + "\r\n", s);
}

TEST(NmeaOutput, RmcAndGgaRoundTripThroughParseNmea) {
    const double lats[] = {48.1173, -33.8688, 0.5, -0.25, 89.5};
    const double lons[] = {11.5166, 151.2093, -0.75, -179.5, 179.99};
    for (int i = 0; i < 5; ++i) {
        GpsFix out;
        out.lat = lats[i];
        out.lon = lons[i];
        out.alt = 123.4 * i;
        out.spd = 12.3 + i;
        out.hdg = 45.6 * i;
        out.time = nmeaTimetoTime_T("150709", "101112") + 3600 * i;
        GpsFix in;
        EXPECT_EQ(parseNmea(makeGgaSentence(out).c_str(), in), 2) << makeGgaSentence(out);
        EXPECT_EQ(parseNmea(makeRmcSentence(out).c_str(), in), 2) << makeRmcSentence(out);
        // Four decimals of minutes: 1/600000 of a degree.
        EXPECT_NEAR(in.lat, out.lat, 2e-6);
        EXPECT_NEAR(in.lon, out.lon, 2e-6);
        EXPECT_NEAR(in.alt, out.alt, 0.05 + 1e-9);
        EXPECT_NEAR(in.spd, out.spd, 0.05 + 1e-9);
        EXPECT_NEAR(in.hdg, out.hdg, 0.05 + 1e-9);
        EXPECT_EQ(in.time, out.time);
        EXPECT_EQ(in.status, 1);
        EXPECT_EQ(in.rmcSeen, 1);
    }
}

// --- sentences as length-delimited views -------------------------------------------

TEST(ParseNmea, AViewParsesAsItsTextWouldAndNeverLooksPastItsEnd) {
    const std::string rmc = withChecksum(kRmcBody);
    const std::string gga = withChecksum(kGgaBody);
    const std::string vtg = withChecksum("$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K");
    struct Case {
        const char* what;
        std::string text;   // the sentence as a C string would end it
        std::string view;   // the bytes the view covers
        std::string behind; // bytes after the view that must not count
    };
    const std::string longBody = std::string(kGgaBody) + std::string(3000, 'x');
    const std::vector<Case> cases = {
        {"RMC followed by more text", rmc, rmc, ",9999,E*00"},
        {"GGA followed by a digit", gga, gga, "7"},
        {"VTG with CR", vtg + "\r", vtg + "\r", "$GPRMC"},
        {"a sentence cut by the view before its checksum", kRmcBody, kRmcBody,
         rmc.substr(std::strlen(kRmcBody))},
        {"a NUL inside ends the sentence", rmc.substr(0, 20), rmc.substr(0, 20) + '\0' + "abc", ""},
        {"over-long text is cut as a C string is", withChecksum(longBody), withChecksum(longBody),
         ""},
        {"shorter than a sentence name", "$GPRM", "$GPRM", "C,1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        GpsFix fromText, fromView;
        const int expected = parseNmea(c.text.c_str(), fromText);
        const std::string buffer = c.view + c.behind;
        EXPECT_EQ(parseNmea(std::string_view(buffer.data(), c.view.size()), fromView), expected);
        EXPECT_TRUE(sameFix(fromText, fromView));
    }
    // The cases above must include sentences that parse: a view that fails
    // like its text proves nothing on its own.
    GpsFix fix;
    EXPECT_EQ(parseNmea(std::string_view(rmc), fix), 2);
    EXPECT_EQ(fix.time, march23());
}

TEST(NmeaTime, EveryCalendarDayMatchesTheCLibrary) {
    // Every day number 1..31 of every month of the century, the ones past a
    // month's end included (they roll over as timegm rolls them).
    for (int year = 0; year <= 99; ++year) {
        for (int month = 1; month <= 12; ++month) {
            for (int day = 1; day <= 31; ++day) {
                char date[8];
                std::snprintf(date, sizeof date, "%02d%02d%02d", day, month, year);
                struct tm fields = {};
                fields.tm_year = 100 + year;
                fields.tm_mon = month - 1;
                fields.tm_mday = day;
                fields.tm_hour = 23;
                fields.tm_min = 59;
                fields.tm_sec = 58;
                ASSERT_EQ(nmeaTimetoTime_T(date, "235958"), fixTimeFromUtcFields(fields)) << date;
            }
        }
    }
}

TEST(NmeaFields, NumbersAreReadAsTheCLibraryReadsThem) {
    // GGA altitudes carry the number read unchanged into the record.
    std::vector<std::string> numbers = {"0",
                                        "5.",
                                        "0.000001",
                                        "545.4",
                                        "4807.038",
                                        "007",
                                        "1.5e2",
                                        "12.5abc",
                                        "0x1A",
                                        ".5",
                                        "999999999999999",
                                        "9999999999999999",
                                        "0.1234567890123456",
                                        "123456789012.345",
                                        "1234567890123456.7"};
    // And a deterministic spread of the shapes receivers send.
    uint64_t state = 12345;
    for (int i = 0; i < 2000; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const int digits = 1 + static_cast<int>((state >> 33) % 17);
        const int point = static_cast<int>((state >> 40) % static_cast<uint64_t>(digits + 1));
        std::string text;
        uint64_t d = state;
        for (int k = 0; k < digits; ++k) {
            if (k == point && k > 0)
                text += '.';
            text += static_cast<char>('0' + (d % 10));
            d = d / 10 ^ (d << 7);
        }
        numbers.push_back(text);
    }
    for (const std::string& n : numbers) {
        GpsFix fix;
        fix.alt = -1;
        ASSERT_EQ(parse("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9," + n + ",M,46.9,M,,", fix),
                  2)
            << n;
        EXPECT_EQ(fix.alt, std::strtod(n.c_str(), nullptr)) << n;
    }
}

namespace {

// What parseNmea does with a sentence, step by step through the public
// pieces: cut at a NUL and at the work buffer, the character-by-character
// checksum, then the sentence's own parser and the GGA/RMC/VTG interplay.
int parseStepByStep(std::string_view sentence, GpsFix& fix) {
    std::string work(sentence.substr(0, std::min(sentence.size(), kNmeaWorkBuffer - 1)));
    work.resize(std::strlen(work.c_str()));
    if (work.size() < 6 || !nmeaChecksumPasses(work.data()))
        return 0;
    switch (nmeaSentenceType(work)) {
    case NmeaType::gga:
        return parseGPGGA(work.data(), fix, 0) ? (fix.rmcSeen ? 1 : 2) : 0;
    case NmeaType::vtg:
        return !fix.rmcSeen && parseGPVTG(work.data(), fix) ? 1 : 0;
    case NmeaType::rmc: {
        const int64_t last = fix.rmcSeen ? fix.time : 0;
        if (!parseGPRMC(work.data(), fix, 0))
            return 0;
        fix.rmcSeen = 1;
        return last != 0 && fix.time == last ? 1 : 2;
    }
    case NmeaType::other:
        break;
    }
    return 0;
}

// A sentence as a receiver or a damaged line might give it: a good one of
// any length (so every remainder of the checksum's eight-character steps
// comes up), then now and then a few characters changed, added or removed.
std::string randomSentence(std::mt19937_64& rng) {
    auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
    static const char* const kBodies[] = {
        "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,",
        "$GNGGA,,4807.0381234,S,01131.0009,W,1,12,0.9,-12.25,M,,M,,",
        "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230309,003.1,W",
        "$GNRMC,235959.50,V,0000.001,S,17959.999,W,0.0,359.9,311299,,",
        "$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K",
        "$GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00",
        "$PGRME,15.0,M,45.0,M,25.0,M",
    };
    std::string s = kBodies[pick(std::size(kBodies))];
    s.append(pick(12), ','); // trailing empty fields: every length modulo 8
    static const char kOdd[] = {'0', '5', '9', ',', '.',    '*',    '\0',
                                'A', 'N', 'x', '-', '\x80', '\xff', ' '};
    const size_t changes = pick(4) == 0 ? pick(4) + 1 : 0;
    for (size_t i = 0; i < changes; ++i) {
        const size_t at = pick(s.size() + 1);
        const char c = kOdd[pick(sizeof kOdd)];
        switch (pick(3)) {
        case 0:
            if (at < s.size())
                s[at] = c;
            break;
        case 1:
            s.insert(at, 1, c);
            break;
        default:
            if (at < s.size())
                s.erase(at, 1);
        }
    }
    std::string sentence = tt::withChecksum(s);
    switch (pick(8)) {
    case 0: // a wrong checksum
        sentence.back() = sentence.back() == '0' ? '1' : '0';
        break;
    case 1: // a line end, as logs keep it
        sentence += "\r\n";
        break;
    case 2: // no checksum at all
        sentence = s;
        break;
    case 3: // longer than the work buffer
        sentence = s + std::string(kNmeaWorkBuffer - s.size() + pick(16) - 8, ',') + "*00";
        break;
    default:
        break;
    }
    return sentence;
}

} // namespace

// The parser's single pass over a sentence (cut, copy, checksum) against
// the same steps done one at a time, over many good and damaged sentences.
TEST(ParseNmea, AgreesWithTheStepByStepParseOnRandomSentences) {
    std::mt19937_64 rng(35);
    GpsFix fast, steps;
    int counts[3] = {};
    for (int i = 0; i < 40000; ++i) {
        const std::string sentence = randomSentence(rng);
        if (rng() % 64 == 0)
            fast = steps = GpsFix{}; // a fresh vehicle now and then: GGA gives 2 again
        const int expected = parseStepByStep(sentence, steps);
        const int got = parseNmea(std::string_view(sentence), fast);
        ASSERT_EQ(got, expected) << sentence;
        ASSERT_TRUE(sameFix(fast, steps)) << sentence;
        ASSERT_GE(got, 0);
        ASSERT_LE(got, 2);
        ++counts[got];
    }
    // Every outcome came up often: the comparison covered each path.
    for (int n : counts)
        EXPECT_GT(n, 1000);
}

namespace {

// A latitude or longitude text: mostly "ddmm.mmmm" of any precision, now and
// then something odd (signs, exponents, hexadecimal, blanks, too many digits,
// minutes of 60, no digits at all).
std::string randomAngleText(std::mt19937_64& rng, int degreeDigits) {
    auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
    static const char* const kOdd[] = {"+",
                                       "-",
                                       "e3",
                                       "E-2",
                                       "0x1A",
                                       " ",
                                       ".",
                                       "..",
                                       "1e400",
                                       "nan",
                                       "inf",
                                       "60",
                                       "59.9999999999999999",
                                       "00",
                                       "9"};
    std::string text;
    const size_t whole = pick(static_cast<size_t>(degreeDigits) + 4);
    for (size_t i = 0; i < whole; ++i)
        text += static_cast<char>('0' + pick(10));
    if (pick(6) != 0) {
        text += '.';
        for (size_t i = pick(14); i > 0; --i)
            text += static_cast<char>('0' + pick(10));
    }
    if (pick(5) == 0)
        text.insert(pick(text.size() + 1), kOdd[pick(std::size(kOdd))]);
    return text;
}

// What a position text means, by the C library's own reading: the degrees,
// or nothing when the sentence must be refused.
std::optional<double> angleByStrtod(const std::string& text, double maxDegrees) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !std::isfinite(v) || v < 0)
        return std::nullopt;
    const double whole = std::trunc(v / 100);
    if (v - whole * 100 >= 60)
        return std::nullopt;
    const double degrees = nmeaToDegrees(v);
    if (degrees > maxDegrees)
        return std::nullopt;
    return degrees;
}

} // namespace

// The parser's own number reading gives the very doubles strtod's reading
// gives, for latitudes and longitudes of every precision and for odd texts.
TEST(NmeaPosition, DegreesAreStrtodsOnRandomTexts) {
    std::mt19937_64 rng(3535);
    int taken = 0, refused = 0;
    for (int i = 0; i < 60000; ++i) {
        const bool latitude = i % 2 == 0;
        const std::string text = randomAngleText(rng, latitude ? 4 : 5);
        const std::optional<double> expected = angleByStrtod(text, latitude ? 90 : 180);
        GpsFix fix;
        fix.lat = 1; // a position before, so that a zero alone is not refused
        fix.lon = 1;
        const std::string body =
            latitude ? rmcWith(text, "S", "01131.000", "E") : rmcWith("4807.038", "N", text, "W");
        const int result = parse(body, fix);
        if (text.empty()) { // no latitude: no position; no longitude: the previous one
            ASSERT_EQ(result, latitude ? 0 : 2);
            ASSERT_EQ(fix.lon, 1);
            continue;
        }
        if (!expected) {
            ASSERT_EQ(result, 0) << text;
            ++refused;
            continue;
        }
        ASSERT_EQ(result, 2) << text;
        // Bit for bit: the document prints these numbers.
        ASSERT_EQ(latitude ? fix.lat : fix.lon, -*expected) << text;
        ++taken;
    }
    EXPECT_GT(taken, 20000);
    EXPECT_GT(refused, 3000);
}
