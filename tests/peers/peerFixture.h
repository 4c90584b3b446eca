// Two vehicle lists on one machine: a server side whose local vehicle has a
// track, serving CONTROL= requests on the real control port of a loopback
// address of this test process's own, and a client side that follows it as
// a peer vehicle.
#pragma once

#include "common/ownNetwork.h"
#include "common/traceCapture.h"
#include "common/waitUntil.h"
#include "net/server.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "remote/peerProtocol.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

// A loopback address no other test process uses at the same time.
inline std::string testLoopbackAddress(int which) {
    const int pid = static_cast<int>(getpid());
    return "127." + std::to_string(1 + pid % 250) + "." + std::to_string((pid / 250) % 250) + "." +
           std::to_string(10 + which);
}

// A fix `i` seconds into a steady drive north.
inline GpsFix driveFix(int i) {
    GpsFix f;
    f.lat = 48.0 + i * 0.0001;
    f.lon = 11.0 + (i % 7) * 0.00001;
    f.alt = 500 + i % 50;
    f.spd = 20;
    f.hdg = 0;
    f.status = 1;
    f.time = nowFixTime() - 40000 + i;
    return f;
}

// Points `from` .. `to` - 1 of the drive appended to `track`.
inline void drive(CTrack& track, int from, int to) {
    for (int i = from; i < to; ++i)
        track.add(driveFix(i), 2);
}

// Listens on `address` at `port` with `handler`; waits until it is bound.
inline bool listenOn(CServer& server, const std::string& address, int port, ServerHandler handler,
                     void* context) {
    server.bindAddress = address;
    if (server.start(port, handler, context) != 1)
        return false;
    return waitUntil([&] { return server.boundPort() != 0; }, 10000);
}

class PeerPair : public ::testing::Test {
protected:
    void SetUp() override {
        address = testLoopbackAddress(0);
        serverLocal = serverSide.add("Me", "localhost");
        serverSide.designateLocal();
        peer = clientSide.add("Her", address);
        ASSERT_TRUE(
            listenOn(control, address, kControlPort, &CClients::processCtlFunc, &serverSide));
    }

    std::string address;
    CClients serverSide{"peerServer"};
    CClients clientSide{"peerClient"};
    CClient* serverLocal = nullptr;
    CClient* peer = nullptr;
    CServer control;
};
