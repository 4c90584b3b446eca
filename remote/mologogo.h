// The Mologogo link: vehicles of type remoteWeb follow users of the Mologogo
// web tracking service. A user's page embeds the track as calls of the page
// script's "createMarker(" function, newest first; new points are appended to
// the vehicle's track. A friend's private page needs the program's own
// account: a form login whose cookie is kept for later requests.
#pragma once

#include "platform/socket.h"
#include "remote/mologogoPage.h"
#include "remote/servicePass.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CClient;
class CClients;

// The service's web server, unless the MologogoServer setting names another.
constexpr int kMologogoPort = 80;

// The Mologogo exchanges of one process: the period, the cookie store and
// the page buffer belong to the thread that runs them.
class CMologogoLink {
public:
    explicit CMologogoLink(SecondsClock clock = wallClockSeconds) : m_clock(std::move(clock)) {}

    // One pass: when enabled and the period has passed, fetch every
    // remoteWeb vehicle's page.
    void update(CClients& list, const WebAccountSettings& s);
    // Fetches and merges one vehicle's page, logging in first when a private
    // page shows the program is not logged in. 0 or the receive's error code.
    int readVehicle(CClient& vehicle, const WebAccountSettings& s);
    // Sends the login on an open connection and keeps its cookie. 0 on a
    // reply (with or without a cookie), 1 when none came.
    int login(Socket& connection, const WebAccountSettings& s, const std::string& hostHeader);
    const MoloCookieStore& cookies() const { return m_cookies; }

private:
    SecondsClock m_clock;
    UpdatePeriod m_period;
    MoloCookieStore m_cookies;
    std::string m_page;
};
