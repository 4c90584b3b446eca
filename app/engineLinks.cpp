#include "app/engineLinks.h"

#include "app/OptionsDlg.h"
#include "app/ftpStatusLogic.h"
#include "earth/earth.h"
#include "earth/n2k.h"
#include "publish/flightPath.h"
#include "publish/ftpPublisher.h"
#include "remote/client.h"
#include "sources/comm.h"
#include "trace/trace.h"

namespace {

// The settings and the vehicle list must outlive the engine, whose threads
// use both until it is destroyed at exit. Process-wide objects are destroyed
// in the reverse order of their creation, so create them first.
std::unique_ptr<Ccomm> makeReaderAfterSharedObjects() {
    theOptions();
    theClients();
    return std::make_unique<Ccomm>();
}

} // namespace

bool CEngineLinks::startEngine(int linkPort) {
    if (!m_n2k)
        return false;
    m_n2k->m_linkPort = linkPort;
    m_n2k->m_comm = m_comm;
    return m_n2k->startEngine() == 1;
}

void CEngineLinks::startPeers() {
    theClients().start();
}

int CEngineLinks::linkPort() const {
    return m_n2k ? m_n2k->m_linkPort : 0;
}

bool CEngineLinks::paused() const {
    return m_n2k && m_n2k->m_paused != 0;
}

void CEngineLinks::setPaused(bool paused) {
    if (m_n2k)
        m_n2k->setPaused(paused ? 1 : 0);
}

bool CEngineLinks::playback() const {
    return m_n2k && m_n2k->m_playback != 0;
}

void CEngineLinks::setPlayback(bool playback) {
    if (m_n2k)
        m_n2k->setPlayback(playback ? 1 : 0);
}

void CEngineLinks::setPace(int ms) {
    if (m_n2k)
        m_n2k->setPace(ms);
}

std::string CEngineLinks::fixState() const {
    return m_n2k ? m_n2k->fixState() : "";
}

void CEngineLinks::clearFixState() {
    if (m_n2k)
        m_n2k->clearFixState();
}

int CEngineLinks::loadServer() {
    if (!m_n2k)
        return 0;
    // Google Earth must poll the address the listener really answers on.
    return m_n2k->loadServer(kNetworkLinkName, kNetworkLinkName, m_n2k->linkHost(),
                             m_n2k->m_linkPort);
}

void CEngineLinks::startSource(const std::string& name) {
    if (!m_n2k)
        return;
    if (!name.empty())
        m_n2k->setPlaybackLog(theOptions().LogFile);
    m_n2k->start(name);
}

void CEngineLinks::stopSource() {
    if (m_n2k)
        m_n2k->stop();
}

bool CEngineLinks::sourceRunning() const {
    return m_n2k && m_n2k->demoRunning();
}

CClient* CEngineLinks::trackedVehicle() const {
    return m_n2k ? m_n2k->m_tracked.load() : nullptr;
}

void CEngineLinks::setTrackedVehicle(CClient* vehicle) {
    if (m_n2k)
        m_n2k->m_tracked = vehicle;
}

void CEngineLinks::openInEarth(const std::string& path) {
    if (m_n2k && m_n2k->openInEarth(path) != 0)
        NTRACE("Google Earth did not open %s", path.c_str());
}

void CEngineLinks::selectEarth(const std::string& backend) {
    selectEarthApp(backend);
}

void CEngineLinks::configureSerial(int autoFind, const std::string& port, int rate,
                                   int flowControl) {
    if (!m_comm)
        return;
    const COptionsDlg& o = theOptions();
    m_comm->configure(port, rate, flowControl, autoFind, o.debugLogging);
    m_comm->setGpsd(o.GpsSource == kGpsSourceGpsd, gpsdServerSetting(o.GpsdServer));
    if (Cn2k* engine = m_n2k)
        m_comm->setLineHandler(
            [engine](const std::string& line) { return engine->parseLine(line); });
}

void CEngineLinks::startSerial() {
    if (!m_comm || !m_n2k)
        return;
    Cn2k* engine = m_n2k;
    m_comm->start([engine](const std::string& line) { return engine->parseLine(line); });
}

void CEngineLinks::closeSerial() {
    if (m_comm)
        m_comm->close();
}

std::string CEngineLinks::serialStatus() const {
    return m_comm ? m_comm->status() : "";
}

void CEngineLinks::setPortFoundHandler(std::function<void(const std::string&)> handler) {
    if (m_comm)
        m_comm->setPortFound(std::move(handler));
}

// The KML writer reads the unit flag from the settings on every document.
void CEngineLinks::setKmlUnits(int) {}

void CEngineLinks::setUpPublisher(const COptionsDlg& o) {
    if (!m_publisher)
        return;
    m_publisher->setParams(publishingParams(o));
    if (o.pftpEnabled)
        m_publisher->start();
    else
        m_publisher->stop();
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
        bool (*asked)() = m_n2k ? m_n2k->m_stopAsked.load() : nullptr;
        return asked && asked();
    });
}

void CEngineLinks::waitForWorkers(unsigned ms) {
    waitUntil(ms, [this] {
        return !(m_n2k && m_n2k->demoRunning()) && !(m_comm && m_comm->running()) &&
               !(m_publisher && m_publisher->running());
    });
}

CEngineParts::CEngineParts()
    : m_comm(makeReaderAfterSharedObjects()), m_publisher(std::make_unique<CftpServer>()),
      m_links(&theEngine(), m_comm.get()) {
    m_links.setPublisher(m_publisher.get());
    theOptions().m_n2k = &theEngine();
    theOptions().m_comm = m_comm.get();
    installFlightPath(theEngine());
}

CEngineParts::~CEngineParts() {
    Cn2k& engine = theEngine();
    // The tracker port hands lines to the reader: stop the listeners before
    // the reader goes away. Each stop wakes its thread and waits for it.
    engine.m_trackerServer.stop();
    engine.m_linkServer.stop();
    engine.m_baseServer.stop();
    engine.stop();
    engine.m_comm = nullptr;
    theOptions().m_comm = nullptr;
    theOptions().m_n2k = nullptr;
}
