// The remote side of the program: CClients::start brings up the control and
// ping servers and the four update threads; they end when the program shuts
// down (or the list is stopped), within a fraction of a second.
#include "net/server.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "remote/gpsgate.h"
#include "remote/mapfactor.h"
#include "remote/mologogo.h"
#include "trace/trace.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

namespace {

constexpr int kPingPeriodS = 4;
constexpr int kUpdatePeriodS = 2;
// The slice in which the waits between passes look at the stop flags.
constexpr unsigned kWaitSliceMs = 50;

} // namespace

struct CClients::PeerService {
    CServer control;
    CServer ping;
    // Each link is used by its update thread only; they keep their periods.
    CMologogoLink mologogo;
    CMapFactorLink mapFactor;
    CGpsGateLink gpsgate;
    std::atomic<bool> stop{false};
    std::thread threads[4];

    bool stopping() const { return stop.load() || g_bShutdown.load() != 0; }

    // Waits `seconds`, leaving as soon as the program shuts down.
    void wait(int seconds) const {
        for (unsigned waited = 0; waited < unsigned(seconds) * 1000 && !stopping();
             waited += kWaitSliceMs)
            sleepMs(kWaitSliceMs);
    }
};

void CClients::PeerServiceEnd::operator()(PeerService* peers) const {
    peers->stop = true;
    for (std::thread& t : peers->threads)
        if (t.joinable())
            t.join();
    std::default_delete<PeerService>()(peers);
}

std::vector<CClient*> CClients::polledPeers() const {
    std::vector<CClient*> out;
    const std::vector<CClient*> all = vehicles();
    // The intake and the phone port set remoteType under the track lock
    // (taken after the list's own lock is let go).
    TrackLockGuard lock;
    for (CClient* c : all)
        if (!c->isLocal && !c->isDemo && c->remoteType == remotePeer && c != m_realLocal)
            out.push_back(c);
    return out;
}

void CClients::start(const std::string& bindAddress) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_peers)
        return;
    designateLocal();
    m_peers.reset(new PeerService);
    m_peers->control.bindAddress = bindAddress;
    m_peers->ping.bindAddress = bindAddress;
    m_peers->control.start(kControlPort, &CClients::processCtlFunc, this);
    m_peers->ping.start(kPingPort, &CClients::processPingFunc, this);
    m_peers->threads[0] = std::thread(&CClients::staticPingThreadFunc, this);
    m_peers->threads[1] = std::thread(&CClients::staticServerUpdateThreadFunc, this);
    m_peers->threads[2] = std::thread(&CClients::staticMoloUpdateThreadFunc, this);
    m_peers->threads[3] = std::thread(&CClients::staticGPSGUpdateThreadFunc, this);
}

void CClients::stop() {
    PeerService* peers = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (!m_peers)
            return;
        peers = m_peers.get();
        peers->stop = true;
    }
    // The threads read m_peers: it goes only once they have ended.
    for (std::thread& t : peers->threads)
        if (t.joinable())
            t.join();
    peers->control.stop();
    peers->ping.stop();
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_peers.reset();
}

bool CClients::peersRunning() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_peers != nullptr;
}

std::vector<BindOutcome> CClients::peerBinds(unsigned ms) const {
    PeerService* peers = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        peers = m_peers.get();
    }
    // Only stop() ends the servers, on the thread that asks here.
    if (!peers)
        return {};
    return {peers->control.waitForBind(ms), peers->ping.waitForBind(ms)};
}

namespace {

// A thread's loop: `pass`, then a wait of `seconds`, until shutdown. An
// exception that escapes a pass ends the thread with `crashText` logged.
template <typename Pass>
void runPasses(const CClients::PeerService& peers, int seconds, const char* crashText, Pass pass) {
    try {
        while (!peers.stopping()) {
            pass();
            peers.wait(seconds);
        }
    } catch (...) {
        NTRACE_AS("CClients::peerThread", "%s", crashText);
    }
}

// One ping or update of every polled peer, leaving the walk at shutdown.
template <typename Poll>
void pollPeers(const CClients& clients, const CClients::PeerService& peers, Poll poll) {
    for (CClient* c : clients.polledPeers()) {
        if (peers.stopping())
            break;
        poll(*c);
    }
}

} // namespace

void CClients::staticPingThreadFunc(CClients* self) {
    const PeerService& peers = *self->m_peers;
    runPasses(peers, kPingPeriodS, "Unhandled exception in ping thread",
              [&] { pollPeers(*self, peers, [](CClient& c) { c.ping(); }); });
}

void CClients::staticServerUpdateThreadFunc(CClients* self) {
    const PeerService& peers = *self->m_peers;
    runPasses(peers, kUpdatePeriodS, "Unhandled exception in server update thread",
              [&] { pollPeers(*self, peers, [](CClient& c) { c.update(0); }); });
}

void CClients::staticMoloUpdateThreadFunc(CClients* self) {
    PeerService& peers = *self->m_peers;
    runPasses(peers, kUpdatePeriodS, "Unhandled exception in server update thread", [&] {
        const std::shared_ptr<const ServiceSettings> s = self->serviceSettings();
        if (s->useMapFactor)
            peers.mapFactor.update(*self, s->mapFactor);
        else
            peers.mologogo.update(*self, s->mologogo);
    });
}

void CClients::staticGPSGUpdateThreadFunc(CClients* self) {
    PeerService& peers = *self->m_peers;
    runPasses(peers, kUpdatePeriodS, "Unhandled exception in server update thread",
              [&] { peers.gpsgate.update(*self, self->serviceSettings()->gpsgate); });
}
