#include "app/engineLinks.h"

#include "app/appContext.h"
#include "app/ftpStatusLogic.h"
#include "earth/earth.h"
#include "trace/trace.h"

COptionsDlg& CEngineLinks::options() {
    return m_parts.options();
}

CClients& CEngineLinks::clients() {
    return m_parts.clients();
}

RegistryStore& CEngineLinks::registry() {
    return m_parts.registry();
}

CRecording& CEngineLinks::recording() {
    return m_parts.recording();
}

void CEngineLinks::settingsChanged() {
    m_parts.handOverSettings();
}

FlightPathHook* CEngineLinks::flightPath() {
    return &m_parts.flightPath();
}

bool CEngineLinks::startEngine(int linkPort) {
    Cn2k& engine = m_parts.engine();
    const COptionsDlg& o = m_parts.options();
    // Google Earth's polls give every vehicle's position and track away, so
    // that port (and the base port) serve this machine unless the user opened
    // them (and then others only with a share link, net/shareGate.h); the
    // tracker port exists to be reached from outside.
    const std::string nearAddress = linkListenAddress(o);
    engine.m_baseServer.bindAddress = nearAddress;
    engine.m_linkServer.bindAddress = nearAddress;
    engine.m_trackerServer.bindAddress = o.BindAddress;
    engine.m_linkPort = linkPort;
    engine.m_comm = &m_parts.comm();
    const bool started = engine.startEngine() == 1;
    // Phones report from outside: every interface unless narrowed.
    CPhoneListener& phones = m_parts.phones();
    phones.server.bindAddress = phoneListenAddress(o);
    int phonePort = o.PhonePort;
    if (phonePort < 1 || phonePort > 65535) {
        NTRACE("PhonePort %d is not a port; the phone port listens on %d", phonePort, kPhonePort);
        phonePort = kPhonePort;
    }
    phones.start(phonePort);
    return started;
}

void CEngineLinks::startPeers() {
    // The history starts with the vehicle list: its points come from there.
    m_parts.history().start();
    m_parts.clients().start(peerListenAddress(m_parts.options()));
}

std::vector<ListenerReport> CEngineLinks::listeners(unsigned ms) {
    Cn2k& engine = m_parts.engine();
    std::vector<ListenerReport> out;
    const std::pair<ListenerRole, const CServer*> own[] = {
        {ListenerRole::base, &engine.m_baseServer},
        {ListenerRole::networkLink, &engine.m_linkServer},
        {ListenerRole::trackerLines, &engine.m_trackerServer},
        {ListenerRole::phones, &m_parts.phones().server},
    };
    for (const auto& [role, server] : own)
        if (server->running())
            out.push_back({role, server->waitForBind(ms)});
    const std::vector<BindOutcome> peers = m_parts.clients().peerBinds(ms);
    if (peers.size() == 2) {
        out.push_back({ListenerRole::peerControl, peers[0]});
        out.push_back({ListenerRole::peerPing, peers[1]});
    }
    return out;
}

int CEngineLinks::linkPort() const {
    return m_parts.engine().m_linkPort;
}

bool CEngineLinks::paused() const {
    return m_parts.engine().m_paused != 0;
}

void CEngineLinks::setPaused(bool paused) {
    m_parts.engine().setPaused(paused ? 1 : 0);
}

bool CEngineLinks::playback() const {
    return m_parts.engine().m_playback != 0;
}

void CEngineLinks::setPlayback(bool playback) {
    m_parts.engine().setPlayback(playback ? 1 : 0);
}

void CEngineLinks::setPace(int ms) {
    m_parts.engine().setPace(ms);
}

std::string CEngineLinks::fixState() const {
    return m_parts.engine().fixState();
}

void CEngineLinks::clearFixState() {
    m_parts.engine().clearFixState();
}

int CEngineLinks::loadServer() {
    Cn2k& engine = m_parts.engine();
    // Google Earth must poll the address the listener really answers on.
    return engine.loadServer(kNetworkLinkName, kNetworkLinkName, engine.linkHost(),
                             engine.m_linkPort);
}

void CEngineLinks::startSource(const std::string& name) {
    Cn2k& engine = m_parts.engine();
    if (!name.empty())
        engine.setPlaybackLog(m_parts.options().LogFile);
    engine.start(name);
}

void CEngineLinks::stopSource() {
    m_parts.engine().stop();
}

bool CEngineLinks::sourceRunning() const {
    return m_parts.engine().demoRunning();
}

CClient* CEngineLinks::trackedVehicle() const {
    return m_parts.engine().m_tracked.load();
}

void CEngineLinks::setTrackedVehicle(CClient* vehicle) {
    m_parts.engine().m_tracked = vehicle;
}

void CEngineLinks::openInEarth(const std::string& path) {
    if (m_parts.engine().openInEarth(path) != 0)
        NTRACE("Google Earth did not open %s", path.c_str());
}

void CEngineLinks::selectEarth(const std::string& backend) {
    selectEarthApp(backend);
}

void CEngineLinks::configureSerial(int autoFind, const std::string& port, int rate,
                                   int flowControl) {
    const COptionsDlg& o = m_parts.options();
    Ccomm& comm = m_parts.comm();
    comm.configure(port, rate, flowControl, autoFind, o.debugLogging);
    comm.setGpsd(o.GpsSource == kGpsSourceGpsd, gpsdServerSetting(o.GpsdServer));
    Cn2k* engine = &m_parts.engine();
    comm.setLineHandler([engine](const std::string& line) { return engine->parseLine(line); });
}

void CEngineLinks::startSerial() {
    Cn2k* engine = &m_parts.engine();
    m_parts.comm().start([engine](const std::string& line) { return engine->parseLine(line); });
}

void CEngineLinks::closeSerial() {
    m_parts.comm().close();
}

std::string CEngineLinks::serialStatus() const {
    return m_parts.comm().status();
}

GpsdStatus CEngineLinks::gpsdStatus() const {
    const Ccomm& comm = m_parts.comm();
    return comm.gpsd() ? comm.gpsdStatus() : GpsdStatus();
}

void CEngineLinks::setPortFoundHandler(std::function<void(const std::string&)> handler) {
    m_parts.comm().setPortFound(std::move(handler));
}

CftpServer* CEngineLinks::publisher() const {
    return &m_parts.publisher();
}

void CEngineLinks::setUpPublisher(const COptionsDlg& o) {
    CftpServer& publisher = m_parts.publisher();
    publisher.setParams(publishingParams(o));
    if (o.pftpEnabled)
        publisher.start();
    else
        publisher.stop();
}

template <class Done> void CEngineLinks::waitUntil(unsigned ms, Done done) {
    constexpr unsigned kStepMs = 50;
    while (ms > 0 && !done()) {
        const unsigned step = ms < kStepMs ? ms : kStepMs;
        CSubsystems::waitMs(step);
        ms -= step;
    }
}

void CEngineLinks::waitMs(unsigned ms) {
    waitUntil(ms, [this] {
        bool (*asked)() = m_parts.engine().m_stopAsked.load();
        return asked && asked();
    });
}

void CEngineLinks::waitForWorkers(unsigned ms) {
    waitUntil(ms, [this] {
        return !m_parts.engine().demoRunning() && !m_parts.comm().running() &&
               !m_parts.publisher().running();
    });
}
