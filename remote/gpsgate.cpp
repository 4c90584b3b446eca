#include "remote/gpsgate.h"

#include "platform/runtime.h"
#include "remote/client.h"
#include "remote/rawSock.h"
#include "remote/serviceText.h"
#include "trace/trace.h"
#include "track/nmea.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

// Every reply is read within this budget.
constexpr int kGpsGateReplyBudgetMs = 6000;

} // namespace

Socket CGpsGateLink::login(const GpsGateSettings& s) {
    ServiceAddress server;
    if (!parseServiceAddress(s.server, kGpsGatePort, "gpsgServerName", server))
        return Socket();
    Socket c = rawOpenConnect(server.host, server.port, false);
    if (!c.valid()) {
        NTRACE_AS("login", "error connecting to gpsgate server \"%s\"", s.server.c_str());
        return Socket();
    }
    // The password is scrambled on the wire, but the scrambling is no secret:
    // the log shows neither form.
    NTRACE_AS("login", "$FRLIN,,%s,***", s.name.c_str());
    if (rawSendMsg(c, gpsgateLine("$FRLIN,," + s.name + "," + scramblePassword(s.password))) != 0) {
        // A non-blocking connect that is refused shows up at the first send.
        NTRACE_AS("login", "error connecting to gpsgate server \"%s\"", s.server.c_str());
        return Socket();
    }
    std::string reply;
    int rc = rawRecvMsg(c, reply, kGpsGateLoginReplyMax, false, kGpsGateReplyBudgetMs);
    if (rc == 0 && reply.rfind("$FRSES", 0) == 0)
        return c;
    // A server that says nothing within the budget is taken to have accepted
    // the login (it answers the request that follows, or not); a connection
    // that failed or a reply of another kind is not.
    if (rc == EWOULDBLOCK || rc == EAGAIN) {
        NTRACE_AS("login", "gpsgate: no login reply, going on");
        return c;
    }
    if (rc != 0)
        NTRACE_AS("login", "gpsgate: login failed, error %d", rc);
    else
        NTRACE_AS("login", "gpsgate: %s", reply.c_str());
    return Socket();
}

bool CGpsGateLink::readUserPosition(const GpsGateSettings& s, const std::string& user,
                                    GpsFix& fix) {
    Socket c = login(s);
    if (!c.valid())
        return false;
    if (rawSendMsg(c, gpsgateLine("$FRRDT," + user + ",1")) != 0)
        return false;
    std::string reply;
    int rc = rawRecvMsg(c, reply, kGpsGateUserReplyMax, false, kGpsGateReplyBudgetMs);
    c.close();
    if (rc != 0)
        return false;
    if (reply.rfind("$GPRMC", 0) != 0) {
        NTRACE_AS("readUserPosition", "no position of %s: reply is not an RMC sentence",
                  user.c_str());
        return false;
    }
    size_t second = reply.find("$GPRMC", 3);
    if (second != std::string::npos)
        reply.resize(second);
    GpsFix copy = fix;
    // 1 is the RMC of the time `fix` already holds: the user has not moved
    // since, which is still the user's position.
    if (parseNmea(reply.c_str(), copy) == 0)
        return false;
    fix = copy;
    return true;
}

int CGpsGateLink::updatePoints(const GpsGateSettings& s, CClient& vehicle) {
    GpsFix last;
    int64_t serverTime = readUserPosition(s, s.name, last) ? last.time : 0;
    std::string hhmmss, ddmmyy;
    fixTimeStrings(serverTime, hhmmss, ddmmyy);
    NTRACE_AS("updatePoints", "last update was %s:%s", ddmmyy.c_str(), hhmmss.c_str());

    // The points newer than the server's, copied under the track lock; the
    // lock is not held while the network is slow, so the GPS reader and the
    // network link never wait for the server.
    std::vector<GpsFix> toSend; // newest first
    {
        TrackLockGuard guard;
        if (!guard.ok()) {
            NTRACE_AS("updatePoints", "no track lock, nothing uploaded");
            return 0;
        }
        int count = vehicle.track.pointCount();
        for (int i = 0; i < count; ++i) {
            const TrackPoint* p = vehicle.track.point(i);
            if (!p)
                break;
            if (p->time == 0) {
                NTRACE_AS("updatePoints", "Bad, time of zero on track point %d", i);
                continue;
            }
            if (p->time <= serverTime) {
                std::string t, d;
                fixTimeStrings(p->time, t, d);
                NTRACE_AS("updatePoints", "this update is %d - %s:%s", i, d.c_str(), t.c_str());
                break;
            }
            GpsFix f;
            CTrack::toFix(*p, f);
            toSend.push_back(f);
        }
    }
    if (toSend.empty())
        return 0;

    Socket c = login(s);
    if (!c.valid())
        return 0;
    if (rawSendMsg(c, gpsgateLine("$FRWDT,ALL")) != 0)
        return 0;
    NTRACE_AS("updatePoints", "sending %d points", static_cast<int>(toSend.size()));
    int sent = 0;
    for (auto f = toSend.rbegin(); f != toSend.rend() && !g_bShutdown; ++f) {
        if (rawSendMsg(c, makeRmcSentence(*f) + makeGgaSentence(*f)) != 0)
            break;
        ++sent;
    }
    if (sent < static_cast<int>(toSend.size()))
        NTRACE_AS("updatePoints", "upload stopped after %d of %d points", sent,
                  static_cast<int>(toSend.size()));
    return sent;
}

void CGpsGateLink::update(CClients& list, const GpsGateSettings& s) {
    if (!s.enable)
        return;
    if (!m_period.due(m_clock(), s.freq))
        return;
    if (s.upload) {
        if (CClient* local = list.localVehicle())
            updatePoints(s, *local);
    }
    std::string reply;
    {
        Socket c = login(s);
        if (!c.valid())
            return;
        if (rawSendMsg(c, gpsgateLine("$FRRDT,_buddies,1")) != 0)
            return;
        int rc = rawRecvMsg(c, reply, kGpsGateBuddiesReplyMax, false, kGpsGateReplyBudgetMs);
        if (rc != 0 || reply.find("$FRPOS") == std::string::npos)
            return;
    }
    for (CClient* v : list.vehicles()) {
        if (g_bShutdown)
            return;
        if (v->remoteType != remoteGpsGate)
            continue;
        GpsFix copy = v->curPos;
        int found = findBuddyPosition(reply, v->uName, copy);
        bool ok = found == 1 || (found == 0 && readUserPosition(s, v->uName, copy));
        if (found == -1)
            NTRACE_AS("gpsgateUpdate", "position line of %s refused", v->uName.c_str());
        if (ok) {
            v->curPos = copy;
            v->track.add(copy, v->compress ? 1 : 2);
            v->track.m_newPt = 1;
        }
        v->online = ok ? 1 : 0;
    }
}
