// The real subsystems behind the main window: the parts of the composition
// root (app/appContext.h), the tracker engine and the serial reader among them.
#pragma once

#include "app/subsystems.h"

class CAppContext;

class CEngineLinks : public CSubsystems {
public:
    explicit CEngineLinks(CAppContext& parts) : m_parts(parts) {}

    COptionsDlg& options() override;
    CClients& clients() override;
    RegistryStore& registry() override;
    CRecording& recording() override;
    void settingsChanged() override;
    FlightPathHook* flightPath() override;

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
    GpsdStatus gpsdStatus() const override;
    void setPortFoundHandler(std::function<void(const std::string&)> handler) override;

    // The vehicle list's control and ping servers and its update threads.
    void startPeers() override;
    std::vector<ListenerReport> listeners(unsigned ms) override;

    // The web publisher takes the publishing settings and runs while
    // pftpEnabled is set.
    CftpServer* publisher() const override;
    void setUpPublisher(const COptionsDlg& options) override;

    // A stop asked for (a signal) cuts the fixed waits short.
    void waitMs(unsigned ms) override;
    // Ends as soon as the demo or playback, the serial reader and the web
    // publisher have stopped.
    void waitForWorkers(unsigned ms) override;

private:
    // Waits up to `ms` in short steps until `done` holds.
    template <class Done> void waitUntil(unsigned ms, Done done);

    CAppContext& m_parts;
};
