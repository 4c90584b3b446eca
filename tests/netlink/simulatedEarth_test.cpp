// A simulated Google Earth Pro on a real socket: it polls the link with its
// view in LOOKAT= and flies to every LookAt a reply carries, the way Google
// Earth does with flyToView. The camera that results must follow the vehicle
// without ever swinging back, and keep what the user did with it.
#include "netlink/netlinkFixture.h"

#include "common/kmlCursor.h"
#include "earth/autoView.h"
#include "earth/autoViewState.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

namespace {

struct LookAt {
    double lon = 0, lat = 0, range = 0, tilt = 0, heading = 0;
};

// The value of <tag> in `text`, when present.
std::optional<double> element(const std::string& text, const std::string& tag) {
    const size_t open = text.find("<" + tag + ">");
    if (open == std::string::npos)
        return std::nullopt;
    return std::stod(text.substr(open + tag.size() + 2));
}

class SimulatedEarth {
public:
    explicit SimulatedEarth(uint16_t port) : m_port(port) {}

    LookAt camera{11.5, 48.1, 1000, 45, 0};

    // One poll with the current view. Returns the LookAt the reply carried
    // (and flies there), or none for an unchanged reply or one without a view.
    std::optional<LookAt> poll() {
        char query[256];
        snprintf(query, sizeof query, "/NivraServers?&LOOKAT=%.6f,%.6f,%.6f,%.6f,%.6f", camera.lon,
                 camera.lat, camera.range, camera.tilt, camera.heading);
        lastReply =
            roundTrip(m_port, std::string("GET ") + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        const size_t at = lastReply.find("<LookAt>");
        const size_t end = lastReply.find("</LookAt>");
        if (at == std::string::npos || end == std::string::npos)
            return std::nullopt;
        const std::string view = lastReply.substr(at, end - at);
        LookAt l;
        l.lon = element(view, "longitude").value_or(NAN);
        l.lat = element(view, "latitude").value_or(NAN);
        l.range = element(view, "range").value_or(NAN);
        l.tilt = element(view, "tilt").value_or(NAN);
        l.heading = element(view, "heading").value_or(NAN);
        camera = l;
        return l;
    }

    std::string lastReply;

private:
    uint16_t m_port;
};

class SimulatedEarthPoll : public NetLinkFixture {
protected:
    void SetUp() override {
        NetLinkFixture::SetUp();
        earth = SimulatedEarth(port);
        setEarthApp(makeEarthPro());
        m_mode = autoViewHeadingMode();
        m_offset = autoViewHeadingOffset();
    }
    void TearDown() override {
        setAutoViewHeadingMode(m_mode);
        setAutoViewHeadingOffset(m_offset);
        setAutoViewHeadingHold(true);
        NetLinkFixture::TearDown();
    }

    // The vehicle drives on: one point `step` further on `course`, at 20 knots.
    void drive(CClient* v, int step, double course) {
        GpsFix f;
        f.lat = 48.2 + step * 0.0005;
        f.lon = 11.6 + step * 0.0003;
        f.alt = 500;
        f.spd = 20;
        f.hdg = course;
        f.status = 1;
        f.time = 1230000000 + step * 2;
        v->curPos = f;
        v->track.add(f, 0);
    }

    // Google Earth asks every half second, once the last reply is in.
    void nextPoll() { clock->advance(600); }

    SimulatedEarth earth{0};

private:
    int m_mode = 1;
    double m_offset = 0;
};

} // namespace

TEST_F(SimulatedEarthPoll, FollowOnlyFliesToTheViewOfTheSamePollAndKeepsTheUsersZoomOnce) {
    track(bravo, kTrackFollow);
    const int zoomAt = 5;
    const double zoomTo = 3000;
    int zoomsSeen = 0;
    for (int k = 0; k < 20; ++k) {
        drive(bravo, k, 45);
        if (k == zoomAt)
            earth.camera.range = zoomTo; // the user zooms out between two polls
        const LookAt before = earth.camera;
        nextPoll();
        std::optional<LookAt> got = earth.poll();
        ASSERT_TRUE(got) << "poll " << k << ": " << earth.lastReply.substr(0, 300);
        if (k > 0) // the first reading gives the vehicle its range
            zoomsSeen += bravo->changed;
        // The view of reply k: the vehicle where poll k found it, seen from
        // the camera as poll k reported it.
        EXPECT_NEAR(got->lat, bravo->curPos.lat, 1e-6) << "poll " << k;
        EXPECT_NEAR(got->lon, bravo->curPos.lon, 1e-6) << "poll " << k;
        EXPECT_NEAR(got->range, before.range, 0.01) << "poll " << k;
        EXPECT_NEAR(got->tilt, before.tilt, 0.01) << "poll " << k;
        EXPECT_NEAR(got->heading, before.heading, 0.01) << "poll " << k;
        EXPECT_NEAR(got->range, k < zoomAt ? 1000 : zoomTo, 0.01) << "poll " << k;
    }
    EXPECT_EQ(zoomsSeen, 1) << "the zoom counts once, then the camera stays where the user put it";
    EXPECT_EQ(viewRange.load(), zoomTo);
}

TEST_F(SimulatedEarthPoll, FreeHeadingFollowsTheCourseSteadilyAndKeepsOnlyTheUsersTurn) {
    setAutoViewHeadingMode(0); // AutoHdg 0: the course plus the user's own offset
    setAutoViewHeadingOffset(0);
    setAutoViewHeadingHold(true);
    track(bravo, kTrackFollow | kTrackHeading | kTrackViewControl);
    // A course that drifts by fractions of a degree, as a real one does.
    const auto course = [](int k) { return 259.937 + 0.613 * (k % 7) - 0.2 * (k % 3); };
    for (int k = 0; k < 30; ++k) {
        drive(bravo, k, course(k));
        nextPoll();
        std::optional<LookAt> got = earth.poll();
        ASSERT_TRUE(got) << "poll " << k;
        EXPECT_NEAR(got->heading, course(k), 0.006) << "poll " << k;
    }
    EXPECT_EQ(autoViewHeadingOffset(), 0) << "nobody turned the view: no RotateDelta to save";

    // The user turns the view 30 degrees right on a straight stretch: from
    // then on the heading is the course plus 30.
    const double straight = course(29);
    earth.camera.heading += 30;
    for (int k = 30; k < 40; ++k) {
        drive(bravo, k, straight);
        nextPoll();
        std::optional<LookAt> got = earth.poll();
        ASSERT_TRUE(got) << "poll " << k;
        EXPECT_NEAR(got->heading, straight + 30, 0.02) << "poll " << k;
    }
    EXPECT_NEAR(autoViewHeadingOffset(), 30, 0.02);
}

TEST_F(SimulatedEarthPoll, WithoutACameraReadingVehiclesAreDrawnAtTheAutomaticViewsRange) {
    // No Google Earth to read the camera from (backend none, or a link added
    // by hand): the cursor and the label still get a size and a height.
    setEarthApp(makeEarthNone());
    track(bravo, 47);
    drive(bravo, 1, 90);
    drive(alpha, 1, 90);
    std::string body;
    ASSERT_TRUE(splitFullReply(poll(), body));
    EXPECT_EQ(viewRange.load(), 0) << "no camera was read";
    const double expected = autoRangeTilt(*bravo).range;
    ASSERT_GT(expected, 0);
    EXPECT_EQ(bravo->camRange, expected);
    EXPECT_EQ(alpha->camRange, expected);

    // The tracked vehicle's arrow is a real polygon: its corners differ.
    const std::vector<std::string> corners = lastCursorCorners(body);
    ASSERT_GE(corners.size(), 4u) << body;
    EXPECT_NE(corners[0], corners[1]);
    EXPECT_NE(corners[0], corners[2]);
}

TEST_F(SimulatedEarthPoll, OtherClientsGetTheDocumentAndLeaveGoogleEarthItsUpdatesAndItsView) {
    track(bravo, kTrackFollow);
    drive(bravo, 0, 45);
    ASSERT_TRUE(earth.poll());
    const char* const strangers[] = {
        "GET / HTTP/1.1\r\n\r\n",
        "GET /favicon.ico HTTP/1.1\r\n\r\n",
        "GET /NivraServersX?&LOOKAT=1,2,5,0,0 HTTP/1.1\r\n\r\n",
        "GET /nivraservers?&LOOKAT=1,2,5,0,0 HTTP/1.1\r\n\r\n",
        "POST /NivraServers?&LOOKAT=1,2,5,0,0 HTTP/1.1\r\n\r\n",
        "HEAD /NivraServers HTTP/1.1\r\n\r\n",
    };
    int k = 1;
    for (const char* request : strangers) {
        SCOPED_TRACE(request);
        drive(bravo, k++, 45);
        const double range = viewRange;
        const double camLat = bravo->camLat;
        // A stranger polling at 10 Hz between two of Google Earth's polls.
        const bool head = std::string_view(request).starts_with("HEAD ");
        for (int i = 0; i < 5; ++i) {
            clock->advance(100);
            std::string body;
            std::string reply = roundTrip(port, request);
            if (head) {
                // The status line and headers of the document, and no body.
                const std::string document = expectedDocument();
                ASSERT_TRUE(reply.ends_with("\n\n")) << reply;
                ASSERT_TRUE(splitFullReply(reply + document, body)) << reply;
                EXPECT_EQ(body, document);
                continue;
            }
            ASSERT_TRUE(splitFullReply(reply, body)) << "request " << i;
            EXPECT_EQ(body, expectedDocument());
            EXPECT_EQ(body.find("NetworkLinkControl"), std::string::npos);
        }
        EXPECT_EQ(bravo->track.m_newPt, 1) << "the new point is still Google Earth's to take";
        EXPECT_EQ(viewRange.load(), range);
        EXPECT_EQ(bravo->camLat, camLat) << "the stranger's view is not the camera";

        nextPoll();
        std::optional<LookAt> got = earth.poll();
        ASSERT_TRUE(got) << earth.lastReply.substr(0, 200);
        EXPECT_NEAR(got->lat, bravo->curPos.lat, 1e-6);
        EXPECT_NEAR(got->range, 1000, 0.01);
    }
}
