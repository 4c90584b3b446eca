// What the main window and the dialogs work on and with: the settings, the
// vehicle list, the registry they are stored in and the recording (one of
// each per run), and what they start, poll and stop: the tracker engine
// (listeners, network link, demo and playback), the serial reader, the peer
// threads and the FTP publisher, and the clock they wait on. The window logic
// only talks to the rest of the program through this interface, so its rules
// can be driven by a test without sockets, threads or a receiver.
// CEngineLinks (app/engineLinks.h), owned by the composition root
// (app/appContext.h), is the real one.
#pragma once

#include "net/server.h"
#include "sources/gpsdReports.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CClient;
class CClients;
class FlightPathHook;
class COptionsDlg;
class CRecording;
class CftpServer;
class RegistryStore;

// The program's five listeners.
enum class ListenerRole { base, peerControl, peerPing, networkLink, trackerLines, phones };

// One listener and how its bind went.
struct ListenerReport {
    ListenerRole role;
    BindOutcome bind;
};

class CSubsystems {
public:
    virtual ~CSubsystems() = default;

    // The program's settings, vehicle list, registry store and recording.
    virtual COptionsDlg& options() = 0;
    virtual CClients& clients() = 0;
    virtual RegistryStore& registry() = 0;
    virtual CRecording& recording() = 0;
    // Hands the settings that the parts with threads of their own read
    // (engine, vehicle list, publisher) to them, whole. Called after every
    // change of the settings object and on every timer tick.
    virtual void settingsChanged() {}
    // The flight path whose folder joins the local vehicle's KML (none in tests).
    virtual FlightPathHook* flightPath() { return nullptr; }

    // Tracker engine. Starts the base, network-link and tracker listeners with
    // the network link on `linkPort`; false when the engine could not start.
    virtual bool startEngine(int linkPort) = 0;
    // The port Google Earth polls (51233, or 80 with the blurry-image fix).
    virtual int linkPort() const = 0;
    virtual bool paused() const = 0;
    virtual void setPaused(bool paused) = 0;
    // Set while a log is played back instead of the demo.
    virtual bool playback() const = 0;
    virtual void setPlayback(bool playback) = 0;
    virtual void setPace(int ms) = 0;
    // "Locked" while the local receiver has a valid fix, else empty.
    virtual std::string fixState() const = 0;
    virtual void clearFixState() = 0;
    // Installs the "NivraServers" network link in Google Earth.
    virtual int loadServer() = 0;
    // The demo (empty name) or the playback of a log into a vehicle of that name.
    virtual void startSource(const std::string& name) = 0;
    virtual void stopSource() = 0;
    virtual bool sourceRunning() const = 0;
    // The vehicle the camera follows (nullptr until tracking is applied).
    virtual CClient* trackedVehicle() const = 0;
    virtual void setTrackedVehicle(CClient* vehicle) = 0;
    // Asks Google Earth to open a saved KML file.
    virtual void openInEarth(const std::string& path) = 0;
    // Chooses the Google Earth backend by name ("none", "gepro", "" or "auto").
    virtual void selectEarth(const std::string& backend) = 0;

    // Serial reader. Configuring also makes the engine's line intake its line
    // handler, so lines posted to the tracker port reach the local vehicle
    // even while the reader is not running.
    virtual void configureSerial(int autoFind, const std::string& port, int rate,
                                 int flowControl) = 0;
    virtual void startSerial() = 0;
    // The disconnect button: the reader ends at its next check.
    virtual void closeSerial() = 0;
    virtual std::string serialStatus() const = 0;
    // Fix mode and satellites that gpsd reports while it is the source; all
    // unknown otherwise.
    virtual GpsdStatus gpsdStatus() const { return GpsdStatus(); }
    // Called on the reader's thread with the port where a receiver was found.
    virtual void setPortFoundHandler(std::function<void(const std::string&)> handler) = 0;

    // Later pieces of the start-up sequence join here: the peer listeners and
    // update threads of the vehicle list, and the FTP publisher (its parameters
    // always, its thread when publishing is enabled).
    virtual void startPeers() {}
    virtual void setUpPublisher(const COptionsDlg&) {}
    // The FTP publisher, for the dialog that shows its progress (nullptr
    // when this run has none).
    virtual CftpServer* publisher() const { return nullptr; }
    // The started listeners (engine and peers), each after waiting up to
    // `ms` for its first bind: the front ends report the ports that could not
    // be opened. Empty when this run has none.
    virtual std::vector<ListenerReport> listeners(unsigned /*ms*/) { return {}; }

    // The clock: seconds for the periodic save, and the fixed waits of the
    // start-up, source switch and shutdown sequences.
    virtual int64_t nowSeconds() const;
    virtual void waitMs(unsigned ms);
    // The shutdown's wait for the workers to see the stop flag: at most `ms`,
    // less when they are known to have ended.
    virtual void waitForWorkers(unsigned ms) { waitMs(ms); }
};
