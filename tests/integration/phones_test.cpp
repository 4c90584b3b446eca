// Phones reporting to the real program's phone port, as OsmAnd, Traccar
// Client and OwnTracks send: every form of request, the refusals, a backlog
// sent in one burst and points that arrive out of order.
#include "nivraProcess.h"

#include "common/ownNetwork.h"
#include "common/shellRun.h"

#include "history/historyQuery.h"
#include "phones/phoneKey.h"
#include "platform/json.h"
#include "track/track.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace itest;

namespace {

constexpr int kPhonePort = 5055;
constexpr int kLinkPort = 51233;
const char* const kKey = "k3y-for-the-tests";

// Phones p1..p12; p2 reports speed in m/s, p3 in km/h, p6 sees its friends.
struct StoredPhone {
    const char* id;
    int speedUnit;
    int share;
};
const StoredPhone kPhones[] = {
    {"p1", 0, 0}, {"p2", 1, 0}, {"p3", 2, 0}, {"p4", 0, 0},  {"p5", 0, 0},  {"p6", 0, 1},
    {"p7", 0, 0}, {"p8", 0, 0}, {"p9", 0, 0}, {"p10", 0, 0}, {"p11", 0, 0}, {"p12", 0, 1},
};

std::string hex8(unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

std::string registryWithPhones(const std::string& extraValues) {
    const std::string hash = hashPhoneKey(kKey, 1000);
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[Software]\r\n\r\n"
                       "[Software\\Nivra]\r\n\"DemoMode\"=dword:00000000\r\n" +
                       extraValues + "\r\n";
    int n = 0;
    for (const StoredPhone& p : kPhones) {
        text += "[Software\\Nivra\\servers" + std::to_string(n++) + "]\r\n";
        text += "\"name\"=\"" + std::string(p.id) + "@" + p.id + "\"\r\n";
        text += "\"uName\"=\"" + std::string(p.id) + "\"\r\n\"host\"=\"" + p.id + "\"\r\n";
        text += "\"remoteType\"=dword:00000005\r\n\"phoneKey\"=\"" + hash + "\"\r\n";
        text += "\"phoneSpeedUnit\"=dword:" + hex8(static_cast<unsigned>(p.speedUnit)) + "\r\n";
        text += "\"phoneShare\"=dword:" + hex8(static_cast<unsigned>(p.share)) + "\r\n\r\n";
    }
    return text;
}

std::string base64(const std::string& in) {
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int n = 0;
    for (unsigned char c : in) {
        bits = (bits << 8) | c;
        n += 8;
        while (n >= 6) {
            n -= 6;
            out += t[(bits >> n) & 63];
        }
    }
    if (n > 0)
        out += t[(bits << (6 - n)) & 63];
    while (out.size() % 4)
        out += '=';
    return out;
}

std::string httpRequest(const std::string& method, const std::string& target,
                        const std::string& headers = "", const std::string& body = "") {
    std::string r = method + " " + target + " HTTP/1.1\r\nHost: phone\r\nConnection: close\r\n";
    r += headers;
    if (!body.empty() || method == "POST")
        r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return r + "\r\n" + body;
}

int statusOf(const std::string& reply) {
    if (reply.rfind("HTTP/1.1 ", 0) != 0 || reply.size() < 12)
        return 0;
    return std::atoi(reply.c_str() + 9);
}

std::string bodyOf(const std::string& reply) {
    const size_t at = reply.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : reply.substr(at + 4);
}

std::string isoTime(int64_t utc) {
    const time_t t = static_cast<time_t>(utc);
    tm fields{};
    gmtime_r(&t, &fields);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.250Z", &fields);
    return buf;
}

// A vehicle as the browser globe's data shows it.
struct Shown {
    bool found = false;
    double lat = 0, lon = 0, speed = 0, heading = 0;
    size_t points = 0;
};

Shown shownVehicle(const std::string& address, const std::string& key) {
    Shown s;
    const std::string reply =
        exchange(address, kLinkPort, "GET /vehicles.json HTTP/1.1\r\nHost: x\r\n\r\n");
    JsonValue doc;
    JsonError error;
    JsonLimits limits;
    limits.maxBytes = 8 << 20;
    limits.maxValues = 1 << 20;
    if (!parseJson(bodyOf(reply), doc, error, limits))
        return s;
    const JsonValue* vehicles = doc.member("vehicles");
    if (!vehicles)
        return s;
    for (const JsonValue& v : vehicles->items()) {
        std::string k;
        if (!v.textMember("key", k) || k != key)
            continue;
        s.found = true;
        v.numberMember("lat", s.lat);
        v.numberMember("lon", s.lon);
        v.numberMember("speed", s.speed);
        v.numberMember("heading", s.heading);
        if (const JsonValue* track = v.member("track"))
            if (const JsonValue* pts = track->member("points"))
                s.points = pts->items().size() / 3;
    }
    return s;
}

// Polls until the vehicle stands at lat/lon (the poll threads may lag).
Shown waitForPosition(const std::string& address, const std::string& key, double lat, double lon) {
    Shown s;
    for (int i = 0; i < 100; ++i) {
        s = shownVehicle(address, key);
        if (s.found && std::fabs(s.lat - lat) < 1e-5 && std::fabs(s.lon - lon) < 1e-5)
            return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return s;
}

class PhonePort : public ::testing::Test {
protected:
    void start(const std::string& extraValues = "") {
        address = uniqueLoopbackAddress();
        writeFile(dir.file("registry.reg"), registryWithPhones(extraValues));
        nivra = std::make_unique<NivraProcess>(dir.path(), address, std::vector<std::string>{});
        ASSERT_TRUE(nivra->waitForPort(kPhonePort)) << nivra->err();
        ASSERT_TRUE(nivra->waitForPort(kLinkPort)) << nivra->err();
    }
    std::string send(const std::string& request) { return exchange(address, kPhonePort, request); }
    TempDir dir;
    std::string address;
    std::unique_ptr<NivraProcess> nivra;
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
};

TEST_F(PhonePort, EveryFormOfReportMovesItsPhone) {
    start();
    const std::string k = kKey;
    const std::string t = std::to_string(now - 60);
    struct Case {
        const char* what;
        std::string request;
        const char* key;
        double lat, lon;
        double knots; // the speed shown; < 0: not checked
    };
    const Case cases[] = {
        {"query GET with the key in the path, knots",
         httpRequest("GET",
                     "/" + k + "?id=p1&lat=48.1&lon=11.5&speed=10&bearing=90&timestamp=" + t),
         "p1@p1", 48.1, 11.5, 10},
        {"form POST with the key as a parameter, m/s for this phone",
         httpRequest("POST", "/", "Content-Type: application/x-www-form-urlencoded\r\n",
                     "deviceid=p2&key=" + k + "&lat=-33.5&lon=151.25&speed=10&timestamp=" + t),
         "p2@p2", -33.5, 151.25, 19.4384},
        {"query speed in km/h for this phone",
         httpRequest("GET", "/?key=" + k + "&id=p3&lat=10&lon=20&speed=36&timestamp=" + t), "p3@p3",
         10, 20, 19.4384},
        {"milliseconds since the epoch",
         httpRequest("GET",
                     "/" + k + "?id=p4&lat=1.5&lon=2.5&timestamp=" + std::to_string(now * 1000)),
         "p4@p4", 1.5, 2.5, -1},
        {"ISO 8601 time and location=lat,lon",
         httpRequest("GET", "/" + k + "?id=p5&location=45.25,-73.5&timestamp=" + isoTime(now)),
         "p5@p5", 45.25, -73.5, -1},
        {"Traccar Client JSON, speed in m/s whatever the phone's unit",
         httpRequest(
             "POST", "/" + k, "Content-Type: application/json\r\n",
             "{\"location\":{\"timestamp\":\"" + isoTime(now) +
                 "\",\"coords\":{\"latitude\":51.5,\"longitude\":-0.125,\"speed\":5,"
                 "\"heading\":180,\"altitude\":30,\"accuracy\":4},\"battery\":{\"level\":0.5}},"
                 "\"device_id\":\"p7\"}"),
         "p7@p7", 51.5, -0.125, 9.7192},
        {"OwnTracks with HTTP Basic, vel in km/h",
         httpRequest("POST", "/",
                     "Authorization: Basic " + base64("p8:" + k) +
                         "\r\nContent-Type: application/json\r\n",
                     "{\"_type\":\"location\",\"lat\":60.5,\"lon\":25.5,\"tst\":" + t +
                         ",\"vel\":18,\"cog\":45,\"tid\":\"P8\"}"),
         "p8@p8", 60.5, 25.5, 9.7192},
        {"OwnTracks with X-Limit headers and the key in the path",
         httpRequest("POST", "/" + k,
                     "X-Limit-U: p9\r\nX-Limit-D: phone\r\nContent-Type: application/json\r\n",
                     "{\"_type\":\"location\",\"lat\":-10.5,\"lon\":-50.5,\"tst\":" + t + "}"),
         "p9@p9", -10.5, -50.5, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string reply = send(c.request);
        EXPECT_EQ(statusOf(reply), 200) << reply;
        const Shown s = waitForPosition(address, c.key, c.lat, c.lon);
        ASSERT_TRUE(s.found);
        EXPECT_NEAR(s.lat, c.lat, 1e-5);
        EXPECT_NEAR(s.lon, c.lon, 1e-5);
        if (c.knots >= 0) {
            EXPECT_NEAR(s.speed, c.knots, 0.01);
        }
    }
}

TEST_F(PhonePort, RefusalsSayWhyAndChangeNothing) {
    start();
    const std::string k = kKey;
    const std::string t = std::to_string(now);
    std::string huge = httpRequest("POST", "/" + k + "?id=p10",
                                   "Content-Type: application/x-www-form-urlencoded\r\n");
    huge.replace(huge.find("Content-Length: 0"), 17, "Content-Length: 40000");
    // The listener reads 32768 bytes: the request is cut there.
    huge += "lat=1&lon=2&x=" + std::string(32768 - huge.size() - 14, 'a');
    struct Case {
        const char* what;
        std::string request;
        const char* reason;
    };
    const Case cases[] = {
        {"unknown identifier", httpRequest("GET", "/" + k + "?id=stranger&lat=1&lon=2"),
         "unknown device"},
        {"wrong key", httpRequest("GET", "/not-the-key?id=p10&lat=1&lon=2"), "wrong key"},
        {"no key", httpRequest("GET", "/?id=p10&lat=1&lon=2"), "no key"},
        {"latitude beyond the pole",
         httpRequest("GET", "/" + k + "?id=p10&lat=91&lon=2&timestamp=" + t), "out of range"},
        {"longitude beyond the date line", httpRequest("GET", "/" + k + "?id=p10&lat=1&lon=-180.5"),
         "out of range"},
        {"a day and more in the future",
         httpRequest("GET",
                     "/" + k + "?id=p10&lat=1&lon=2&timestamp=" + std::to_string(now + 90000)),
         "future"},
        {"no position", httpRequest("GET", "/" + k + "?id=p10"), "no position"},
        {"a number that is none", httpRequest("GET", "/" + k + "?id=p10&lat=1&lon=2&speed=fast"),
         "speed is not a number"},
        {"broken JSON",
         httpRequest("POST", "/" + k, "Content-Type: application/json\r\n",
                     "{\"device_id\":\"p10\","),
         "JSON"},
        {"OwnTracks without a user",
         httpRequest("POST", "/" + k, "Content-Type: application/json\r\n",
                     "{\"_type\":\"location\",\"lat\":1,\"lon\":2}"),
         "no user"},
        {"oversized body", huge, "larger than 32768"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string reply = send(c.request);
        EXPECT_EQ(statusOf(reply), 400) << reply;
        EXPECT_NE(bodyOf(reply).find(c.reason), std::string::npos) << reply;
    }
    EXPECT_FALSE(shownVehicle(address, "stranger@stranger").found) << "enrolment is closed";
    const Shown p10 = shownVehicle(address, "p10@p10");
    EXPECT_TRUE(p10.found);
    EXPECT_EQ(p10.points, 0u) << "nothing refused reached the track";
}

TEST_F(PhonePort, AnAddressThatKeepsFailingIsRefusedUnheard) {
    start();
    const std::string wrong = httpRequest("GET", "/nope?id=p11&lat=1&lon=2");
    for (int i = 0; i < 5; ++i)
        EXPECT_NE(bodyOf(send(wrong)).find("wrong key"), std::string::npos);
    // Now even the right key waits for the pause to end.
    const std::string right = httpRequest("GET", "/" + std::string(kKey) + "?id=p11&lat=1&lon=2");
    EXPECT_NE(bodyOf(send(right)).find("too many failed keys"), std::string::npos);
    // Another address is not held up by it.
    const std::string other = exchangeFrom(uniqueLoopbackAddress(), address, kPhonePort, right);
    EXPECT_EQ(statusOf(other), 200) << other;
}

TEST_F(PhonePort, OwnTracksFriendsComeWithTheirCardOnce) {
    start();
    const std::string k = kKey;
    ASSERT_EQ(statusOf(send(httpRequest("GET", "/" + k + "?id=p1&lat=48.5&lon=9.5&speed=10"))),
              200);
    ASSERT_TRUE(waitForPosition(address, "p1@p1", 48.5, 9.5).found);
    auto owntracks = [&](const char* user, int64_t tst) {
        return send(httpRequest(
            "POST", "/", "Authorization: Basic " + base64(std::string(user) + ":" + k) + "\r\n",
            "{\"_type\":\"location\",\"lat\":48.6,\"lon\":9.6,\"tst\":" + std::to_string(tst) +
                "}"));
    };
    auto cards = [](const JsonValue& doc, const std::string& name) {
        int n = 0;
        for (const JsonValue& item : doc.items()) {
            std::string type, card;
            item.textMember("_type", type);
            item.textMember("name", card);
            n += type == "card" && card == name;
        }
        return n;
    };
    auto locationOf = [](const JsonValue& doc, const std::string& tid, double& lat) {
        for (const JsonValue& item : doc.items()) {
            std::string type, t;
            item.textMember("_type", type);
            item.textMember("tid", t);
            if (type == "location" && t == tid)
                return item.numberMember("lat", lat);
        }
        return false;
    };
    const int64_t first = now - 30;
    struct Case {
        const char* user;
        int64_t tst;
        int p1Cards; // cards of p1 in the reply
        bool seesP1;
    };
    const Case cases[] = {
        {"p6", first, 1, true},     // shares: first reply carries the card
        {"p6", first + 1, 0, true}, // the card only once
        {"p12", first, 1, true},    // once per device
        {"p4", first, 0, false},    // does not share: an empty list
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.user) + " at " + std::to_string(c.tst));
        const std::string reply = owntracks(c.user, c.tst);
        ASSERT_EQ(statusOf(reply), 200) << reply;
        EXPECT_NE(reply.find("Content-Type: application/json"), std::string::npos);
        JsonValue doc;
        JsonError error;
        ASSERT_TRUE(parseJson(bodyOf(reply), doc, error)) << bodyOf(reply);
        ASSERT_TRUE(doc.isArray());
        EXPECT_EQ(cards(doc, "p1"), c.p1Cards) << bodyOf(reply);
        double lat = 0;
        EXPECT_EQ(locationOf(doc, "P1", lat), c.seesP1) << bodyOf(reply);
        if (c.seesP1) {
            EXPECT_NEAR(lat, 48.5, 1e-5);
        }
        EXPECT_EQ(cards(doc, c.user), 0) << "a phone is not its own friend";
    }
    // Other messages are taken and draw nothing.
    const std::string other = send(httpRequest(
        "POST", "/", "Authorization: Basic " + base64("p4:" + k) + "\r\n",
        "{\"_type\":\"transition\",\"event\":\"enter\",\"tst\":" + std::to_string(now) + "}"));
    EXPECT_EQ(statusOf(other), 200) << other;
    EXPECT_EQ(bodyOf(other), "[]");
}

TEST_F(PhonePort, ABacklogInOneBurstIsDrawnInOrderAndLateOnesAreNot) {
    start();
    const std::string k = kKey;
    constexpr int kBacklog = 500;
    const int64_t t0 = now - 2 * kBacklog;
    int ok = 0;
    for (int i = 0; i < kBacklog; ++i) {
        // A new course for every point, so no two points merge.
        const std::string r =
            send(httpRequest("GET", "/" + k + "?id=p10&lat=" + std::to_string(40 + i * 0.001) +
                                        "&lon=10&speed=20&bearing=" + std::to_string(i % 360) +
                                        "&timestamp=" + std::to_string(t0 + 2 * i)));
        ok += statusOf(r) == 200;
    }
    EXPECT_EQ(ok, kBacklog);
    // A point older than the newest is taken (the phone drops it) but not drawn.
    EXPECT_EQ(statusOf(send(httpRequest(
                  "GET", "/" + k + "?id=p10&lat=30&lon=30&timestamp=" + std::to_string(t0 + 3)))),
              200);
    const Shown s = waitForPosition(address, "p10@p10", 40 + (kBacklog - 1) * 0.001, 10);
    EXPECT_NEAR(s.lat, 40.499, 1e-5) << "the newest point stays the position";

    int status = 0;
    ASSERT_GE(nivra->terminate(status), 0);
    CTrack track;
    ASSERT_TRUE(track.load(dir.file("p10@p10.trk")));
    ASSERT_EQ(track.pointCount(), kBacklog);
    for (int i = 0; i + 1 < kBacklog; ++i) {
        SCOPED_TRACE(i);
        const TrackPoint* newer = track.point(i);
        const TrackPoint* older = track.point(i + 1);
        ASSERT_TRUE(newer && older);
        EXPECT_EQ(newer->time - older->time, 2) << "in the order of their own timestamps";
        EXPECT_NE(newer->lat, 3000000) << "the late point is not in the track";
    }
    // The history keeps every point, the late one in its place by time.
    HistoryQuery query;
    query.keys = {"p10@p10"};
    HistoryReadResult kept;
    std::string error;
    ASSERT_TRUE(readHistory(dir.file("history.gpkg"), query, kept, error)) << error;
    ASSERT_EQ(kept.tracks.size(), 1u);
    const std::vector<HistoryFix>& fixes = kept.tracks[0].fixes;
    ASSERT_EQ(fixes.size(), size_t(kBacklog) + 1);
    EXPECT_EQ(fixes.front().utc, t0);
    EXPECT_EQ(fixes.back().utc, t0 + 2 * (kBacklog - 1));
    const auto late = std::find_if(fixes.begin(), fixes.end(),
                                   [&](const HistoryFix& f) { return f.utc == t0 + 3; });
    ASSERT_NE(late, fixes.end());
    EXPECT_NEAR(late->lat, 30, 1e-6);
    EXPECT_NEAR(late->lon, 30, 1e-6);
}

TEST_F(PhonePort, OpenEnrolmentMakesAPhoneThatKeepsItsKey) {
    start("\"PhoneEnrolment\"=dword:00000001\r\n\"MaxDeviceVehicles\"=dword:0000000d\r\n");
    struct Case {
        const char* what;
        std::string request;
        int status;
        const char* reason;
    };
    const Case cases[] = {
        {"a new identifier without a key", httpRequest("GET", "/?id=newbie&lat=1&lon=2"), 400,
         "needs a key"},
        {"a new identifier with a key", httpRequest("GET", "/newbie-key-1?id=newbie&lat=1&lon=2"),
         200, ""},
        {"the same one with another key",
         httpRequest("GET", "/other-key-2?id=newbie&lat=1.5&lon=2"), 400, "wrong key"},
        {"the same one with its key",
         httpRequest("GET",
                     "/newbie-key-1?id=newbie&lat=3&lon=4&timestamp=" + std::to_string(now + 5)),
         200, ""},
        {"one more is beyond MaxDeviceVehicles (13 with the 12 stored)",
         httpRequest("GET", "/another-key-3?id=late&lat=1&lon=2"), 400, "MaxDeviceVehicles"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string reply = send(c.request);
        EXPECT_EQ(statusOf(reply), c.status) << reply;
        EXPECT_NE(bodyOf(reply).find(c.reason), std::string::npos) << reply;
    }
    EXPECT_TRUE(waitForPosition(address, "newbie@newbie", 3, 4).found);
    EXPECT_FALSE(shownVehicle(address, "late@late").found);
    int status = 0;
    ASSERT_GE(nivra->terminate(status), 0);
    const std::string reg = readFile(dir.file("registry.reg"));
    const size_t at = reg.find("\"name\"=\"newbie@newbie\"");
    ASSERT_NE(at, std::string::npos) << "a phone with two points is saved";
    EXPECT_NE(reg.find("\"phoneKey\"=\"pbkdf2-sha256$", at), std::string::npos);
    EXPECT_EQ(reg.find("newbie-key-1"), std::string::npos) << "only the hash is stored";
}

} // namespace

namespace {

// The first block of `language` in a Markdown text ("" when there is none).
std::string fencedBlock(const std::string& markdown, const std::string& language) {
    const std::string open = "```" + language + "\n";
    const size_t at = markdown.find(open);
    if (at == std::string::npos)
        return {};
    const size_t from = at + open.size();
    const size_t end = markdown.find("```", from);
    return end == std::string::npos ? std::string() : markdown.substr(from, end - from);
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// A port on `address` that nothing listens on now.
int freePort(const std::string& address) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    socklen_t len = sizeof sa;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
        port = ntohs(sa.sin_port);
    close(fd);
    return port;
}

// nginx as the user who runs the test, in a folder of its own, in front of
// the phone port as docs/phones.md configures it.
class TlsProxy {
public:
    bool start(const TempDir& dir, const std::string& address, const std::string& nivraAddress,
               std::string& why) {
        prefix = dir.file("nginx");
        std::filesystem::create_directories(prefix + "/logs");
        const ShellOutcome cert = runShell(
            "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=phones.example.org "
            "-addext subjectAltName=DNS:phones.example.org -keyout '" +
            prefix + "/phones.key' -out '" + prefix + "/phones.crt'");
        if (cert.status != 0) {
            why = "openssl: " + cert.output;
            return false;
        }
        std::string server =
            fencedBlock(readFile(std::string(NIVRA_SOURCE_DIR) + "/docs/phones.md"), "nginx");
        if (server.empty()) {
            why = "docs/phones.md has no nginx block";
            return false;
        }
        port = freePort(address);
        replaceAll(server, "listen 443 ssl;",
                   "listen " + address + ":" + std::to_string(port) + " ssl;");
        replaceAll(server, "/etc/ssl/nivra/", prefix + "/");
        replaceAll(server, "127.0.0.1:5055", nivraAddress + ":5055");
        std::string conf = "daemon off;\nmaster_process off;\npid " + prefix +
                           "/nginx.pid;\n"
                           "error_log " +
                           prefix +
                           "/logs/error.log;\n"
                           "events { worker_connections 64; }\nhttp {\n access_log off;\n";
        for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
            conf += std::string(" ") + temp + "_temp_path " + prefix + "/" + temp + ";\n";
        conf += server + "}\n";
        writeFile(prefix + "/nginx.conf", conf);
        const ShellOutcome run =
            runShell("/usr/sbin/nginx -p '" + prefix + "' -c '" + prefix + "/nginx.conf' >'" +
                     prefix + "/logs/stdout' 2>&1 & echo $!");
        pid = std::atoi(run.output.c_str());
        for (int i = 0; i < 100 && pid > 0; ++i) {
            if (connectFrom("", address, port) >= 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        why = "nginx did not start: " + readFile(prefix + "/logs/error.log");
        return false;
    }
    ~TlsProxy() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status = 0;
            for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    std::string prefix;
    int port = 0;
    int pid = -1;
};

TEST_F(PhonePort, APhoneBehindTheDocumentedTlsProxyIsTakenAndKnownByItsOwnAddress) {
    for (const char* tool : {"/usr/sbin/nginx", "/usr/bin/openssl", "/usr/bin/curl"})
        if (access(tool, X_OK) != 0)
            GTEST_SKIP() << tool << " is missing (scripts/setup installs it)";
    start();
    const std::string proxyAddress = uniqueLoopbackAddress();
    TlsProxy proxy;
    std::string why;
    ASSERT_TRUE(proxy.start(dir, proxyAddress, address, why)) << why;
    const std::string origin = "https://phones.example.org:" + std::to_string(proxy.port);
    auto curl = [&](const std::string& from, const std::string& args) {
        return runShell("curl -s -i --max-time 10 --cacert '" + proxy.prefix +
                        "/phones.crt' --resolve phones.example.org:" + std::to_string(proxy.port) +
                        ":" + proxyAddress + " --interface " + from + " " + args);
    };
    const std::string k = kKey;
    const std::string phone = uniqueLoopbackAddress();
    const std::string stranger = uniqueLoopbackAddress();
    struct Case {
        const char* what;
        std::string from;
        std::string args;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"OsmAnd GET over TLS", phone, "'" + origin + "/" + k + "?id=p1&lat=47.25&lon=8.5&speed=4'",
         200, ""},
        {"a form over TLS", phone, "-d 'id=p2&key=" + k + "&lat=47.5&lon=8.75' '" + origin + "/'",
         200, ""},
        {"OwnTracks over TLS", phone,
         "-u p6:" + k +
             " -H 'Content-Type: application/json' -d "
             "'{\"_type\":\"location\",\"lat\":47.75,\"lon\":9}' '" +
             origin + "/'",
         200, "["},
        {"a wrong key comes back with its reason", stranger,
         "'" + origin + "/bad?id=p1&lat=1&lon=2'", 400, "wrong key"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ShellOutcome r = curl(c.from, c.args);
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(statusOf(r.output), c.status) << r.output;
        EXPECT_NE(bodyOf(r.output).find(c.says), std::string::npos) << r.output;
    }
    EXPECT_TRUE(waitForPosition(address, "p1@p1", 47.25, 8.5).found);
    EXPECT_TRUE(waitForPosition(address, "p2@p2", 47.5, 8.75).found);
    EXPECT_TRUE(waitForPosition(address, "p6@p6", 47.75, 9).found);
    // Failures are the stranger's, not the proxy's: the stranger is paused,
    // the phone behind the same proxy is not.
    for (int i = 0; i < 5; ++i)
        curl(stranger, "'" + origin + "/bad?id=p1&lat=1&lon=2'");
    EXPECT_NE(curl(stranger, "'" + origin + "/" + k + "?id=p1&lat=1&lon=2'")
                  .output.find("too many failed keys"),
              std::string::npos);
    const ShellOutcome still = curl(phone, "'" + origin + "/" + k + "?id=p1&lat=47.3&lon=8.6'");
    EXPECT_EQ(statusOf(still.output), 200) << still.output;
}

} // namespace
