// The composition root: the one registry store, settings object, vehicle list,
// recording, flight path, tracker engine, serial reader and web publisher of
// a run of the program. It builds them in the order the program starts them
// and hands each the others it needs (by reference, at construction); nothing
// else in the program reaches them. Both front ends (headless mode and the
// window) build one on the user-interface thread. Destroying it ends every
// thread that uses a part (listeners, peers, services, demo, reader,
// publisher) before the parts go, then writes the settings back once more if
// they were loaded.
#pragma once

#include "app/OptionsDlg.h"
#include "app/engineLinks.h"
#include "earth/n2k.h"
#include "history/historyStore.h"
#include "phones/phoneListener.h"
#include "platform/registry.h"
#include "publish/flightPath.h"
#include "publish/ftpPublisher.h"
#include "remote/client.h"
#include "sources/comm.h"
#include "sources/recording.h"

#include <string>

class CAppContext {
public:
    // The settings live in the registry file at `registryPath`
    // (defaultRegistryPath() for the program).
    explicit CAppContext(const std::string& registryPath);
    ~CAppContext();
    CAppContext(const CAppContext&) = delete;
    CAppContext& operator=(const CAppContext&) = delete;

    // What the window logic and the dialogs work with.
    CSubsystems& links() { return m_links; }

    RegistryStore& registry() { return m_registry; }
    COptionsDlg& options() { return m_options; }
    CClients& clients() { return m_clients; }
    HistoryStore& history() { return m_history; }
    CRecording& recording() { return m_recording; }
    CFlightPath& flightPath() { return m_flightPath; }
    Cn2k& engine() { return m_engine; }
    Ccomm& comm() { return m_comm; }
    CftpServer& publisher() { return m_publisher; }
    CPhoneListener& phones() { return m_phones; }

    // Hands the current settings to the engine, the vehicle list and the
    // publisher (see CSubsystems::settingsChanged).
    void handOverSettings();

    // Ends every thread of the parts: the listeners first (the tracker port
    // hands lines to the reader), then the demo, the reader, the publisher
    // and the peers. Safe to call more than once; the destructor calls it.
    void stopThreads();

private:
    RegistryStore m_registry;
    COptionsDlg m_options;
    // Before the vehicle list, whose tracks hand it their points.
    HistoryStore m_history;
    CClients m_clients{"servers", &m_history};
    CRecording m_recording;
    CFlightPath m_flightPath;
    Cn2k m_engine{m_clients, &m_recording, &m_history};
    Ccomm m_comm;
    CftpServer m_publisher{m_clients};
    CPhoneListener m_phones{m_clients, m_engine};
    CEngineLinks m_links{*this};
};
