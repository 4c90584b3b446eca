// Settings that parts with threads of their own read while the program runs.
// Each row changes one on the settings object of a real composition root and
// hands it over the way the window and the dialogs do after every change;
// the next poll, line, pass or publication of the running part follows it.
#include "app/appContext.h"
#include "app/ftpStatusLogic.h"
#include "app/support.h"
#include "camera/earthFixture.h"
#include "common/traceCapture.h"
#include "common/waitUntil.h"
#include "platform/paths.h"
#include "platform/socket.h"
#include "track/nmea.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using apptest::readFile;

std::string sentence(const std::string& body) {
    std::string sum;
    appendNmeaChecksum(body.c_str(), sum);
    return body + sum;
}

// A composition root with a local vehicle that is followed and a peer, in a
// start directory of its own; the engine's listeners are not started, the
// handlers are called as the listener threads call them.
class Running {
public:
    explicit Running(const fs::path& dir) : app((dir / "registry.reg").string()) {
        local = app.clients().add("Me", "localhost");
        app.clients().designateLocal();
        app.engine().m_local = local;
        app.engine().m_tracked = local;
        local->tracking = kTrackFollow;
        bob = app.clients().add("Bob", "peer.example");
        for (int i = 0; i < 5; ++i)
            bob->track.add(fix(i), 2);
        bob->setPosition(fix(4));
        bob->online = 1;
        local->track.add(fix(0), 2);
        local->setPosition(fix(0));
        app.links().settingsChanged();
    }

    static GpsFix fix(int i) {
        GpsFix f;
        f.lat = 48.1 + i * 0.001;
        f.lon = 11.5;
        f.spd = 20;
        f.hdg = 90;
        f.status = 1;
        f.time = nowFixTime() - 600 + i * 60;
        return f;
    }

    // The network link's handler, as a browser (GET /) or Google Earth asks.
    std::string poll(const std::string& target = "/") {
        std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        ServerReply reply;
        const int32_t n = Cn2k::processTrackerFunc(std::span<char>(request.data(), request.size()),
                                                   "127.0.0.1", reply, &app.engine());
        return std::string(reply.bytes(n));
    }
    // The tracker port's handler.
    void post(std::string lines, const char* peer) {
        ServerReply reply;
        Cn2k::processTrackerDataFunc(std::span<char>(lines.data(), lines.size()), peer, reply,
                                     &app.engine());
    }
    COptionsDlg& o() { return app.options(); }

    CAppContext app;
    CClient* local = nullptr;
    CClient* bob = nullptr;
};

class LiveSettings : public EarthFixture {
protected:
    void SetUp() override {
        EarthFixture::SetUp();
        dir = fs::temp_directory_path() / ("nivra-live-" + std::to_string(getpid()));
        fs::create_directories(dir);
        setStartDir(dir.string());
    }
    void TearDown() override {
        EarthFixture::TearDown();
        fs::remove_all(dir);
    }
    fs::path dir;
};

const std::string kRmcHere =
    sentence("$GPRMC,120000,A,4807.000,N,01131.000,E,010.0,090.0,010126,,");

// The same place a second later each time: a new fix, not the one before again.
std::string nextRmcHere() {
    static int second = 0;
    char body[96];
    std::snprintf(body, sizeof body,
                  "$GPRMC,1201%02d,A,4807.000,N,01131.000,E,010.0,090.0,010126,,", ++second % 60);
    return sentence(body);
}

TEST_F(LiveSettings, AChangedSettingReachesTheRunningPartAtItsNextUse) {
    struct Row {
        const char* setting;
        std::function<void(Running&)> prepare; // before the change
        std::function<void(COptionsDlg&)> change;
        std::function<bool(Running&)> shows; // false before the change, true after
    };
    std::string drawnBefore;
    const Row rows[] = {
        {"SelTrackOnly: the next poll draws the followed vehicle alone", nullptr,
         [](COptionsDlg& o) { o.SelTrackOnly = 1; },
         [](Running& r) { return r.poll().find("Bob@peer.example") == std::string::npos; }},
        {"Units: labels in km/h", nullptr, [](COptionsDlg& o) { o.Units = 1; },
         [](Running& r) { return r.poll().find("km/h") != std::string::npos; }},
        {"SpeedInKnots: labels in knots", nullptr, [](COptionsDlg& o) { o.SpeedInKnots = 1; },
         [](Running& r) { return r.poll().find("20.0kt") != std::string::npos; }},
        {"CursorSize: the cursors are drawn at another size",
         [&](Running& r) { drawnBefore = r.poll(); }, [](COptionsDlg& o) { o.CursorSize = 300; },
         [&](Running& r) { return r.poll() != drawnBefore; }},
        {"status line: the local vehicle's label",
         [](Running& r) { r.o().statusText = "Signal Acquired"; },
         [](COptionsDlg& o) { o.statusText = "Acquiring Signal..."; },
         [](Running& r) { return r.poll().find(">Acquiring Signal...<") != std::string::npos; }},
        {"LocalGpsHosts: a named host's $G lines move the local vehicle", nullptr,
         [](COptionsDlg& o) { o.LocalGpsHosts = "192.0.2.7"; },
         [](Running& r) {
             const int before = r.local->track.m_seqNum;
             r.post(kRmcHere + "\n", "192.0.2.7");
             return r.local->track.m_seqNum > before;
         }},
        {"MaxDeviceVehicles: no new tracker beyond the cap", nullptr,
         [](COptionsDlg& o) { o.MaxDeviceVehicles = 0; },
         [](Running& r) {
             static int unit = 0;
             const std::string id = "Unit@" + std::to_string(++unit);
             r.post(id + ":" + kRmcHere + "\n", "192.0.2.9");
             return r.app.clients().find(id) == nullptr;
         }},
        {"MaxReplyMB: the next document stays under the new budget",
         [](Running& r) {
             // About two megabytes of track for Bob, a time stamp every five points.
             for (int i = 0; i < 25000; ++i) {
                 GpsFix f = Running::fix(0);
                 f.lat = 40 + i * 1e-4;
                 f.time = nowFixTime() - 1600000 + i * 60;
                 r.bob->track.add(f, 2);
             }
             r.bob->maxPts = 30000;
         },
         [](COptionsDlg& o) { o.MaxReplyMB = 1; },
         [](Running& r) { return r.poll().size() <= (size_t(1) << 20); }},
        {"debugLogging: every local line reaches the log", nullptr,
         [](COptionsDlg& o) { o.debugLogging = 1; },
         [](Running& r) {
             TraceCapture trace;
             r.app.engine().parseLine(kRmcHere);
             return trace.contains(kRmcHere);
         }},
        {"flightTracker: the flight path follows the local vehicle",
         [](Running&) {
             std::ofstream(FullPath("FlightPath.kml"))
                 << "<kml><coordinates>11.5,48.1,0 11.6,48.2,0</coordinates></kml>";
         },
         [](COptionsDlg& o) { o.flightTracker = 1; },
         [](Running& r) {
             r.app.engine().parseLine(nextRmcHere());
             return r.app.flightPath().onCourse() != -1;
         }},
        {"FlyToSpeed: the camera flies at the new speed", nullptr,
         [](COptionsDlg& o) { o.FlyToSpeed = 350; },
         [this](Running& r) {
             r.local->track.m_newPt = 1;
             r.poll("/NivraServers");
             const auto sets = ge->setCalls();
             return !sets.empty() && sets.back().speed == 3.5;
         }},
        {"LoopPlayback: a running playback stops at the end of its log",
         [](Running& r) {
             std::ofstream log(FullPath("trip.nme"));
             for (int i = 0; i < 3; ++i)
                 log << kRmcHere << "\n";
             log.close();
             r.o().LoopPlayback = 1;
             r.app.links().settingsChanged();
             r.app.engine().setPlaybackLog("trip.nme");
             r.app.engine().setPlayback(1);
             r.app.engine().setPace(4);
             r.app.engine().start("Me");
         },
         [](COptionsDlg& o) { o.LoopPlayback = 0; },
         [](Running& r) {
             return waitUntil([&] { return r.app.engine().m_paused.load() == 1; }, 1000);
         }},
        {"History: switched off, the next point is not kept",
         [](Running& r) { r.app.history().start(); }, [](COptionsDlg& o) { o.History = 0; },
         [](Running& r) {
             static int next = 100;
             const uint64_t before = r.app.history().stats().queued;
             r.bob->track.add(Running::fix(++next), 2);
             return r.app.history().stats().queued == before;
         }},
        {"pftpSaveAll: the publication holds every vehicle",
         [](Running& r) {
             r.o().pftpUseFtp = 0;
             r.o().pftpFileName = "published.kml";
             r.app.publisher().setParams(publishingParams(r.o()));
         },
         [](COptionsDlg& o) { o.pftpSaveAll = 1; },
         [](Running& r) {
             r.local->track.add(Running::fix(1), 2);
             r.app.publisher().uploadKml();
             return readFile(FullPath("published.kml")).find("Bob@peer.example") !=
                    std::string::npos;
         }},
        {"pftpForceUpdates: an unchanged track is published again",
         [](Running& r) {
             r.o().pftpUseFtp = 0;
             r.o().pftpFileName = "forced.kml";
             r.app.publisher().setParams(publishingParams(r.o()));
             r.app.publisher().uploadKml();
         },
         [](COptionsDlg& o) { o.pftpForceUpdates = 1; },
         [](Running& r) {
             fs::remove(FullPath("forced.kml"));
             r.app.publisher().uploadKml();
             return fs::exists(FullPath("forced.kml"));
         }},
        {"pftpMaxPts: the publication draws fewer points",
         [](Running& r) {
             r.o().pftpUseFtp = 0;
             r.o().pftpFileName = "few.kml";
             r.o().pftpForceUpdates = 1;
             r.app.publisher().setParams(publishingParams(r.o()));
             for (int i = 1; i < 5; ++i)
                 r.local->track.add(Running::fix(i), 2);
         },
         [](COptionsDlg& o) { o.pftpMaxPts = 1; },
         [](Running& r) {
             r.app.publisher().uploadKml();
             // Five points draw four segments; one point draws none.
             return readFile(FullPath("few.kml")).find("<LineString>") == std::string::npos;
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.setting);
        ge->clearCalls();
        Running r(dir);
        if (row.prepare)
            row.prepare(r);
        r.app.links().settingsChanged();
        EXPECT_FALSE(row.shows(r)) << "before the change";
        row.change(r.o());
        r.app.links().settingsChanged();
        EXPECT_TRUE(row.shows(r)) << "after the change";
        fs::remove(FullPath("FlightPath.kml"));
    }
}

// The update threads take the accounts at every pass: enabling the GpsGate
// account while they run makes the next pass log in.
TEST_F(LiveSettings, AnAccountEnabledWhileTheUpdateThreadsRunIsUsedAtTheirNextPass) {
    int err = 0;
    Socket server = Socket::tcp(err);
    ASSERT_EQ(server.bind("127.0.0.1", 0), 0);
    ASSERT_EQ(server.listen(4), 0);
    const std::string address = "127.0.0.1:" + std::to_string(server.localPort());

    Running r(dir);
    r.o().gpsgServerName = address;
    r.o().gpsgName = "me";
    r.o().gpsgFreq = 1;
    r.app.links().settingsChanged();
    r.app.clients().start("127.0.0.1");

    std::string peer;
    auto loggedIn = [&] {
        Socket c = server.accept(peer, err);
        return c.valid();
    };
    ASSERT_EQ(server.setNonBlocking(), 0);
    EXPECT_FALSE(waitUntil(loggedIn, 3000)) << "disabled, the account is left alone";
    r.o().gpsgEnable = 1;
    r.app.links().settingsChanged();
    EXPECT_TRUE(waitUntil(loggedIn, 10000)) << "enabled, the next pass logs in";
    r.app.clients().stop();
}

} // namespace
