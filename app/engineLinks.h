// The real subsystems behind the main window: the process-wide tracker engine
// and the serial reader. Either may be missing (nullptr) before start-up has
// handed them over; every call then does nothing and reports a stopped state.
#pragma once

#include "app/subsystems.h"

#include <memory>

class Cn2k;
class Ccomm;
class CftpServer;

class CEngineLinks : public CSubsystems {
public:
    CEngineLinks(Cn2k* n2k, Ccomm* comm) : m_n2k(n2k), m_comm(comm) {}

    bool startEngine(int linkPort) override;
    int linkPort() const override;
    bool paused() const override;
    void setPaused(bool paused) override;
    bool playback() const override;
    void setPlayback(bool playback) override;
    void setPace(int ms) override;
    std::string fixState() const override;
    void clearFixState() override;
    int loadServer() override;
    void startSource(const std::string& name) override;
    void stopSource() override;
    bool sourceRunning() const override;
    CClient* trackedVehicle() const override;
    void setTrackedVehicle(CClient* vehicle) override;
    void openInEarth(const std::string& path) override;
    void selectEarth(const std::string& backend) override;

    void configureSerial(int autoFind, const std::string& port, int rate, int flowControl) override;
    void startSerial() override;
    void closeSerial() override;
    std::string serialStatus() const override;
    void setPortFoundHandler(std::function<void(const std::string&)> handler) override;

    void setKmlUnits(int units) override;
    // The vehicle list's control and ping servers and its update threads.
    void startPeers() override;

    // The web publisher takes the publishing settings and runs while
    // pftpEnabled is set.
    void setPublisher(CftpServer* publisher) { m_publisher = publisher; }
    CftpServer* publisher() const override { return m_publisher; }
    void setUpPublisher(const COptionsDlg& options) override;

    // A stop asked for (a signal in headless mode) cuts the fixed waits short.
    void waitMs(unsigned ms) override;
    // Ends as soon as the demo or playback, the serial reader and the web
    // publisher have stopped.
    void waitForWorkers(unsigned ms) override;

private:
    // Waits up to `ms` in short steps until `done` holds.
    template <class Done> void waitUntil(unsigned ms, Done done);

    Cn2k* m_n2k;
    Ccomm* m_comm;
    CftpServer* m_publisher = nullptr;
};

// The engine and the serial reader for one run of the main window: hands
// them to the settings object (which the options dialog and the source switch
// use) and takes them back at the end, after the listeners that might still
// reach the reader have stopped. The reader is the main window's own.
class CEngineParts {
public:
    CEngineParts();
    ~CEngineParts();
    CEngineParts(const CEngineParts&) = delete;
    CEngineParts& operator=(const CEngineParts&) = delete;

    CSubsystems& links() { return m_links; }

private:
    std::unique_ptr<Ccomm> m_comm;
    // Stopped and joined when the parts go, after the shutdown flag is up.
    std::unique_ptr<CftpServer> m_publisher;
    CEngineLinks m_links;
};
