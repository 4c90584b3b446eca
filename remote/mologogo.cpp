#include "remote/mologogo.h"

#include "platform/runtime.h"
#include "remote/client.h"
#include "remote/rawSock.h"
#include "remote/serviceText.h"
#include "trace/trace.h"

#include <algorithm>
#include <vector>

namespace {

// Pages and login replies are read within this budget.
constexpr int kMoloReplyBudgetMs = 10000;

} // namespace

int CMologogoLink::login(Socket& connection, const WebAccountSettings& s,
                         const std::string& hostHeader) {
    NTRACE_AS("moloLogin", "logging in as %s", s.name.c_str());
    if (rawSendMsg(connection, moloLoginRequest(hostHeader, s.name, s.password)) != 0)
        return 1;
    rawRecvMsg(connection, m_page, kMoloPageMax, true, kMoloReplyBudgetMs);
    if (m_page.empty()) {
        NTRACE_AS("moloLogin", "no reply to the login");
        return 1;
    }
    m_cookies.takeFromReply(m_page);
    return 0;
}

int CMologogoLink::readVehicle(CClient& vehicle, const WebAccountSettings& s) {
    ServiceAddress server;
    if (!parseServiceAddress(s.server, kMologogoPort, "MologogoServer", server))
        return 0;
    std::string hostHeader = server.hostHeader(kMologogoPort);
    bool publicPage = vehicle.host.find("/public") != std::string::npos;

    Socket c = rawOpenConnect(server.host, server.port, false);
    if (!c.valid())
        return 0;
    if (rawSendMsg(c, moloPageRequest(vehicle.uName, publicPage, hostHeader, m_cookies.line())) !=
        0)
        return 0;
    int rc = rawRecvMsg(c, m_page, kMoloPageMax, true, kMoloReplyBudgetMs);
    c.close();
    if (rc != 0 || g_bShutdown)
        return rc;
    if (publicPage || m_page.find(s.name) != std::string::npos) {
        parseMarkerPage(m_page, vehicle);
        return 0;
    }

    // A private page that does not show our own account: log in on a new
    // connection, then ask again with the cookie the login gave. The login
    // reply is read until the server ends it, so the page is asked for on a
    // connection of its own.
    {
        Socket second = rawOpenConnect(server.host, server.port, false);
        if (!second.valid() || g_bShutdown)
            return 0;
        if (login(second, s, hostHeader) != 0 || g_bShutdown)
            return 0;
    }
    Socket third = rawOpenConnect(server.host, server.port, false);
    if (!third.valid() || g_bShutdown)
        return 0;
    if (rawSendMsg(third,
                   moloPageRequest(vehicle.uName, publicPage, hostHeader, m_cookies.line())) != 0)
        return 0;
    rc = rawRecvMsg(third, m_page, kMoloPageMax, true, kMoloReplyBudgetMs);
    if (rc == 0 && !g_bShutdown)
        parseMarkerPage(m_page, vehicle);
    return rc;
}

void CMologogoLink::update(CClients& list, const WebAccountSettings& s) {
    runWebServicePass(m_period, m_clock(), s, list, [&](CClient& v) { readVehicle(v, s); });
}
