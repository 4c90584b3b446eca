// Reading phones' requests: HTTP framing and headers, times, the three
// report forms and what each refuses.
#include "net/httpRequest.h"
#include "net/requestEnd.h"
#include "phones/phoneReport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

constexpr int64_t kNow = 1800000000; // 2027-01-15 08:00:00 UTC

TEST(PhoneTime, SecondsMillisecondsAndIso8601) {
    struct Case {
        const char* text;
        bool ok;
        int64_t utc;
    };
    const Case cases[] = {
        {"1800000000", true, 1800000000},
        {"1800000000123", true, 1800000000},
        {"1800000000.75", true, 1800000000},
        {"2027-01-15T08:00:00Z", true, 1800000000},
        {"2027-01-15T08:00:00.123Z", true, 1800000000},
        {"2027-01-15 08:00:00Z", true, 1800000000},
        {"2027-01-15T10:30:00+02:30", true, 1800000000},
        {"2027-01-15T07:00:00-0100", true, 1800000000},
        {"2027-01-15T08:00:00", true, 1800000000}, // no zone: UTC
        {"2024-02-29T00:00:00Z", true, 1709164800},
        {"2027-02-30T00:00:00Z", false, 0},
        {"2027-13-01T00:00:00Z", false, 0},
        {"2027-01-15T24:00:00Z", false, 0},
        {"2027-01-15T08:00:00Zjunk", false, 0},
        {"2027-01-15", false, 0},
        {"", false, 0},
        {"-5", false, 0},
        {"12345678901234567", false, 0},
        {"soon", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int64_t utc = 0;
        EXPECT_EQ(readPhoneTime(c.text, utc), c.ok);
        if (c.ok) {
            EXPECT_EQ(utc, c.utc);
        }
    }
}

TEST(HttpRequestReading, HeadersBodiesAndTheirBounds) {
    struct Case {
        const char* what;
        std::string text;
        bool ok;
        const char* why;
        const char* body;
        bool truncated;
    };
    std::string manyHeaders = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 65; ++i)
        manyHeaders += "X-H" + std::to_string(i) + ": v\r\n";
    manyHeaders += "\r\n";
    const Case cases[] = {
        {"a plain GET", "GET /k?id=1 HTTP/1.1\r\nHost: x\r\n\r\n", true, "", "", false},
        {"bare line ends", "GET / HTTP/1.0\nHost: x\n\nrest", true, "", "", false},
        {"the body its length names", "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcdef", true,
         "", "abc", false},
        {"a body cut short", "POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\nabc", false, "shorter",
         "", false},
        {"a body beyond the listener's limit",
         "POST / HTTP/1.1\r\nContent-Length: 99999\r\n\r\nabc", false, "larger than", "", true},
        {"a length that is no number", "POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\na", false,
         "not a number", "", false},
        {"chunked", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", false,
         "chunked", "", false},
        {"not HTTP", "HELLO\r\n\r\n", false, "not an HTTP", "", false},
        {"no end of headers", "GET / HTTP/1.1\r\nHost: x\r\n", false, "no end", "", false},
        {"a header without a name", "GET / HTTP/1.1\r\n: v\r\n\r\n", false, "without a name", "",
         false},
        {"too many headers", manyHeaders, false, "more than 64 headers", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HttpRequest r;
        std::string why;
        bool truncated = false;
        EXPECT_EQ(parseHttpRequest(c.text, r, why, 32768, &truncated), c.ok) << why;
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
        EXPECT_EQ(truncated, c.truncated);
        if (c.ok) {
            EXPECT_EQ(r.body, c.body);
        }
    }
}

TEST(HttpRequestReading, BasicCredentialsAndFormParameters) {
    std::string user, password;
    EXPECT_TRUE(parseBasicAuth("Basic cDE6c2VjcmV0OmtleQ==", user, password));
    EXPECT_EQ(user, "p1");
    EXPECT_EQ(password, "secret:key") << "the password keeps its colons";
    EXPECT_FALSE(parseBasicAuth("Bearer cDE6c2VjcmV0", user, password));
    EXPECT_FALSE(parseBasicAuth("Basic !!!", user, password));
    EXPECT_FALSE(parseBasicAuth("Basic cDE=", user, password)) << "no colon: no password";

    std::vector<std::pair<std::string, std::string>> params;
    std::string why;
    ASSERT_TRUE(parseFormParams("a=1&b=x+y%21&&c", params, why));
    ASSERT_EQ(params.size(), 3u);
    EXPECT_EQ(params[1].second, "x y!");
    EXPECT_EQ(params[2].first, "c");
    EXPECT_FALSE(parseFormParams("a=%zz", params, why));
    EXPECT_FALSE(parseFormParams("a=%00", params, why)) << "no control bytes";
    std::string many;
    for (int i = 0; i < 65; ++i)
        many += 'p' + std::to_string(i) + "=1&"; // a char first: GCC 12 at -O3 flags "p" + ...
    EXPECT_FALSE(parseFormParams(many, params, why));
}

TEST(HttpRequestFraming, APhoneRequestEndsWithItsBody) {
    struct Case {
        const char* received;
        bool complete;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\n", false},
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", true},
        {"POST / HTTP/1.1\r\ncontent-length: 4\r\n\r\nab", false},
        {"POST / HTTP/1.1\r\nContent-Length:4\r\n\r\nabcd", true},
        {"POST / HTTP/1.1\r\nContent-Length: nope\r\n\r\n", true}, // refused at once
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.received);
        EXPECT_EQ(requestQuietMs(c.received, RequestFraming::httpBody) == 0, c.complete);
    }
    EXPECT_EQ(
        requestQuietMs("POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nab", RequestFraming::httpBody),
        kBodyGapMs)
        << "a body on its way gets longer than a quiet line";
}

HttpRequest request(const std::string& text) {
    HttpRequest r;
    std::string why;
    EXPECT_TRUE(parseHttpRequest(text, r, why, 32768)) << why << "\n" << text;
    return r;
}

std::string post(const std::string& target, const std::string& headers, const std::string& body) {
    return "POST " + target + " HTTP/1.1\r\n" + headers +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(PhoneReports, WhatEachFormSays) {
    struct Case {
        const char* what;
        std::string text;
        PhoneProtocol protocol;
        const char* id;
        const char* secret;
        double lat, lon;
        int64_t utc;
        double speed;
        bool deviceUnit;
        PhoneSpeedUnit unit;
    };
    const Case cases[] = {
        {"OsmAnd query, key in the path",
         "GET /s3cret?id=a1&lat=1.5&lon=-2.5&timestamp=1799999000&speed=7 HTTP/1.1\r\n\r\n",
         PhoneProtocol::osmand, "a1", "s3cret", 1.5, -2.5, 1799999000, 7, true, speedKnots},
        {"deviceid and a key parameter over the path",
         "GET /path?deviceid=a2&key=k&location=3,4 HTTP/1.1\r\n\r\n", PhoneProtocol::osmand, "a2",
         "k", 3, 4, kNow, -1, true, speedKnots},
        {"form body with the query's id",
         post("/?id=a3", "Content-Type: application/x-www-form-urlencoded\r\n",
              "lat=5&lon=6&key=k&speed=2"),
         PhoneProtocol::osmand, "a3", "k", 5, 6, kNow, 2, true, speedKnots},
        {"Traccar Client JSON",
         post(
             "/k", "Content-Type: application/json\r\n",
             R"({"location":{"timestamp":"2027-01-15T07:59:00Z","coords":{"latitude":7,"longitude":8,"speed":4,"heading":-1}},"device_id":"a4"})"),
         PhoneProtocol::osmand, "a4", "k", 7, 8, kNow - 60, 4, false, speedMetresPerSecond},
        {"OwnTracks, Basic",
         post("/", "Authorization: Basic dTE6cHc=\r\n",
              R"({"_type":"location","lat":9,"lon":10,"tst":1799999999,"vel":30})"),
         PhoneProtocol::owntracks, "u1", "pw", 9, 10, 1799999999, 30, false, speedKmPerHour},
        {"OwnTracks, X-Limit-U and the key in the path",
         post("/k2", "X-Limit-U: u2\r\nX-Limit-D: d\r\n",
              R"({"_type":"location","lat":-9,"lon":-10})"),
         PhoneProtocol::owntracks, "u2", "k2", -9, -10, kNow, -1, false, speedKnots},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PhoneReport r;
        std::string why;
        ASSERT_TRUE(readPhoneReport(request(c.text), kNow, r, why)) << why;
        EXPECT_EQ(r.protocol, c.protocol);
        EXPECT_EQ(r.identifier, c.id);
        EXPECT_EQ(r.secret, c.secret);
        EXPECT_TRUE(r.hasPosition);
        EXPECT_DOUBLE_EQ(r.lat, c.lat);
        EXPECT_DOUBLE_EQ(r.lon, c.lon);
        EXPECT_EQ(r.utcSeconds, c.utc);
        EXPECT_EQ(r.hasSpeed, c.speed >= 0);
        if (c.speed >= 0) {
            EXPECT_DOUBLE_EQ(r.speed, c.speed);
            EXPECT_EQ(r.speedInDeviceUnit, c.deviceUnit);
            if (!c.deviceUnit) {
                EXPECT_EQ(r.speedUnit, c.unit);
            }
        }
    }
}

TEST(PhoneReports, RefusalsAndTheirReasons) {
    struct Case {
        const char* what;
        std::string text;
        const char* why;
    };
    const Case cases[] = {
        {"no identifier", "GET /k?lat=1&lon=2 HTTP/1.1\r\n\r\n", "no device identifier"},
        {"an identifier with a slash", "GET /k?id=a/b&lat=1&lon=2 HTTP/1.1\r\n\r\n", "1 to 64"},
        {"an identifier too long",
         "GET /k?id=" + std::string(65, 'a') + "&lat=1&lon=2 HTTP/1.1\r\n\r\n", "1 to 64"},
        {"lat without lon", "GET /k?id=a&lat=1 HTTP/1.1\r\n\r\n", "lat without lon"},
        {"a location that is no pair", "GET /k?id=a&location=1 HTTP/1.1\r\n\r\n", "location"},
        {"north of the pole", "GET /k?id=a&lat=90.0001&lon=2 HTTP/1.1\r\n\r\n", "out of range"},
        {"not a number", "GET /k?id=a&lat=nan&lon=2 HTTP/1.1\r\n\r\n", "lat is not a number"},
        {"infinite", "GET /k?id=a&lat=1&lon=1e999 HTTP/1.1\r\n\r\n", "lon is not a number"},
        {"more than a day ahead", "GET /k?id=a&lat=1&lon=2&timestamp=1800086401 HTTP/1.1\r\n\r\n",
         "future"},
        {"a clock from before 2000", "GET /k?id=a&lat=1&lon=2&timestamp=5 HTTP/1.1\r\n\r\n",
         "timestamp out of range"},
        {"a negative speed", "GET /k?id=a&lat=1&lon=2&speed=-3 HTTP/1.1\r\n\r\n",
         "speed out of range"},
        {"an altitude beyond reason", "GET /k?id=a&lat=1&lon=2&altitude=2e6 HTTP/1.1\r\n\r\n",
         "altitude"},
        {"JSON that is an array", post("/k", "Content-Type: application/json\r\n", "[1]"),
         "not an object"},
        {"JSON nested too deep", post("/k", "", std::string(20, '[') + std::string(20, ']')),
         "JSON body"},
        {"JSON without coords", post("/k", "", R"({"device_id":"a","location":{}})"), "coords"},
        {"OwnTracks with other credentials",
         post("/k", "Authorization: Bearer x\r\n", R"({"_type":"location"})"), "not HTTP Basic"},
        {"OwnTracks location without lat",
         post("/k", "X-Limit-U: u\r\n", R"({"_type":"location","lon":1})"), "without lat"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PhoneReport r;
        std::string why;
        EXPECT_FALSE(readPhoneReport(request(c.text), kNow, r, why));
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
}

TEST(PhoneReports, WhatIsTakenWithoutAPosition) {
    PhoneReport r;
    std::string why;
    ASSERT_TRUE(readPhoneReport(
        request(post("/", "X-Limit-U: u\r\n", R"({"_type":"waypoint","lat":"x"})")), kNow, r, why))
        << why;
    EXPECT_FALSE(r.hasPosition) << "other types draw nothing";
    ASSERT_TRUE(readPhoneReport(request("GET /k?id=a&lat=1&lon=2&valid=false HTTP/1.1\r\n\r\n"),
                                kNow, r, why));
    EXPECT_FALSE(r.valid);
}

TEST(PhoneSpeeds, EveryUnitToKnots) {
    EXPECT_DOUBLE_EQ(speedInKnots(10, speedKnots), 10);
    EXPECT_NEAR(speedInKnots(10, speedMetresPerSecond), 19.4384, 1e-4);
    EXPECT_NEAR(speedInKnots(1.852, speedKmPerHour), 1.0, 1e-12);
}

} // namespace
