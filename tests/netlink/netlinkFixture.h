// An engine with three vehicles of its own and its network-link handler on a
// loopback listener (a port the system picks), polled the way Google Earth
// polls it.
#pragma once

#include "camera/earthFixture.h"
#include "common/loopback.h"
#include "common/waitUntil.h"
#include "earth/kml.h"
#include "earth/n2k.h"
#include "net/server.h"
#include "remote/client.h"

#include <string>

class NetLinkFixture : public EarthFixture {
protected:
    void SetUp() override {
        EarthFixture::SetUp();
        GoogleEarthVersion = 0;
        alpha = clients.add("Alpha", "h1");
        bravo = clients.add("Bravo", "h2");
        charlie = clients.add("Charlie", "h3");
        for (CClient* v : {alpha, bravo, charlie}) {
            v->tracking = 0;
            v->track.m_newPt = 0;
        }
        server.bindAddress = "127.0.0.1";
        ASSERT_EQ(server.start(0, Cn2k::processTrackerFunc, &engine), 1);
        ASSERT_TRUE(waitUntil([&] { return server.boundPort() != 0; }));
        port = server.boundPort();
    }
    void TearDown() override {
        server.stop();
        EarthFixture::TearDown();
    }

    std::string poll(const std::string& target = "/NivraServers") {
        return roundTrip(port, "GET " + target +
                                   " HTTP/1.1\r\nHost: 127.0.0.1:51233\r\n"
                                   "Accept: */*\r\n\r\n");
    }

    // One more point for a vehicle, a minute after its last one.
    void addPoint(CClient* v, double lat, double lon) {
        GpsFix f;
        f.lat = lat;
        f.lon = lon;
        f.alt = 10;
        f.spd = 5;
        f.hdg = 45;
        f.status = 1;
        f.time = m_nextTime += 60;
        v->curPos = f;
        v->track.add(f, 0);
    }

    // Follows `v` the way the tracking options do.
    void track(CClient* v, int tracking = 1) {
        v->tracking = tracking;
        engine.m_tracked = v;
    }

    static std::string unchangedReply() { return kmlHeader() + "</kml>"; }

    // Splits a full reply; false when its header is not exactly the one a
    // full reply carries, with a Content-Length equal to the body's size.
    static bool splitFullReply(const std::string& reply, std::string& body) {
        const std::string head = "HTTP/1.1 200 OK\nContent-Type: "
                                 "application/vnd.google-earth.kml+xml\nContent-Length: ";
        if (reply.compare(0, head.size(), head) != 0)
            return false;
        size_t end = reply.find("\n\n", head.size());
        if (end == std::string::npos)
            return false;
        body = reply.substr(end + 2);
        return reply.substr(head.size(), end - head.size()) == std::to_string(body.size());
    }

    // The document a full reply must hold: every visible vehicle but the
    // tracked one in list order, then the tracked one.
    std::string expectedDocument(bool trackedOnly = false) {
        CClient* tracked = engine.m_tracked;
        std::string doc = kmlDocumentHead();
        std::string one;
        for (CClient* v : clients.vehicles()) {
            if (v == tracked || !v->visible || trackedOnly)
                continue;
            vehicleKml(*v, one, kmlLink, kKmlAllPoints, engine.settings()->kml);
            doc += one + "\n";
        }
        if (tracked->visible) {
            vehicleKml(*tracked, one, kmlLink, kKmlAllPoints, engine.settings()->kml);
            doc += one;
        }
        return doc + "\n" + kmlDocumentTail();
    }

    CClients clients{"netlinktest"};
    Cn2k engine{clients};
    CServer server;
    uint16_t port = 0;
    CClient* alpha = nullptr;
    CClient* bravo = nullptr;
    CClient* charlie = nullptr;

private:
    int64_t m_nextTime = 1230000000;
};
