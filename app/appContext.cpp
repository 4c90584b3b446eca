#include "app/appContext.h"

#include "app/settingsHandOver.h"

CAppContext::CAppContext(const std::string& registryPath) : m_registry(registryPath) {
    m_options.m_sys = &m_links;
    m_engine.m_flightPath = &m_flightPath;
    handOverSettings();
}

CAppContext::~CAppContext() {
    stopThreads();
    // Written once more when the program ends, but only if they were read:
    // a run that never loaded them must not replace the user's settings
    // with defaults.
    if (m_options.loaded())
        m_options.save();
    m_options.m_sys = nullptr;
}

void CAppContext::handOverSettings() {
    m_engine.setSettings(engineSettings(m_options, &m_flightPath));
    m_clients.setServiceSettings(serviceSettings(m_options));
    m_publisher.setPublishing(ftpPublishing(m_options, &m_flightPath));
    m_history.setSettings(historySettings(m_options));
    m_phones.setSettings(phoneSettings(m_options));
}

void CAppContext::stopThreads() {
    // The tracker port hands lines to the reader: stop the listeners before
    // the reader goes away. Each stop wakes its thread and waits for it.
    m_phones.stop(); // hands points to the engine
    m_engine.m_trackerServer.stop();
    m_engine.m_linkServer.stop();
    m_engine.m_baseServer.stop();
    m_engine.stop();
    m_comm.close();
    m_publisher.stop();
    m_clients.stop();
    // Last: every thread that feeds it has ended; what is queued is written.
    m_history.stop();
    m_engine.m_comm = nullptr;
}
