// Fakes for driving the main window's logic without a window, sockets or
// threads: a view that records what it was told, subsystems that record what
// they were asked and report the state a test sets, and a fixture that gives
// each test its own start directory and registry file.
#pragma once

#include "app/OptionsDlg.h"
#include "app/subsystems.h"
#include "app/testDlg.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "sources/recording.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace apptest {

class FakeView : public CtestDlgView {
public:
    std::vector<unsigned> timerPeriods;
    bool checks[kDlgCheckCount] = {};
    std::vector<std::string> entries;
    int current = -1;
    std::string caption;
    std::string statusLine;
    std::string title;
    bool shown = false;
    bool topMost = false;
    int left = -1, top = -1;
    bool tray = false;
    bool hasTray = false;
    int ended = 0;

    void placeWindow(bool onTop, int l, int t, bool show) override {
        topMost = onTop;
        left = l;
        top = t;
        shown = show;
    }
    void setTopMost(bool onTop) override { topMost = onTop; }
    void showWindow(bool show) override { shown = show; }
    bool windowShown() const override { return shown; }
    void setTitle(const std::string& t) override { title = t; }
    void setCheck(DlgCheck box, bool on) override { checks[static_cast<int>(box)] = on; }
    void showSelector(const std::vector<std::string>& e, int c) override {
        entries = e;
        current = c;
    }
    void setStartCaption(const std::string& c) override { caption = c; }
    void setStatusLine(const std::string& text) override { statusLine = text; }
    void setTimer(unsigned periodMs) override { timerPeriods.push_back(periodMs); }
    void endDialog() override { ++ended; }
    bool trayAvailable() const override { return hasTray; }
    void setTrayIcon(bool shownIcon) override { tray = shownIcon; }
};

class FakeSubsystems : public CSubsystems {
public:
    // The test's own settings, vehicle list, registry and recording.
    RegistryStore registryStore{""};
    COptionsDlg settings;
    CClients list{"servers"};
    CRecording rec;
    COptionsDlg& options() override { return settings; }
    CClients& clients() override { return list; }
    RegistryStore& registry() override { return registryStore; }
    CRecording& recording() override { return rec; }
    int settingsHandOvers = 0;
    void settingsChanged() override { ++settingsHandOvers; }

    // State the test sets.
    bool isPaused = false;
    bool isPlayback = false;
    bool running = false;
    int stopPollsUntilEnded = 0; // sourceRunning() polls before a stopped source ends
    std::string serial = "Disconnected";
    std::string fix;
    int64_t seconds = 1000000;

    // What the logic asked for.
    int engineStarts = 0;
    int startedLinkPort = 0;
    std::vector<std::string> sourceStarts;
    int sourceStops = 0;
    int serialStarts = 0;
    int serialConfigs = 0;
    int serialCloses = 0;
    int serialAutoFind = -1;
    int serialRate = 0;
    int serialFlow = -1;
    std::string serialPort;
    int loadServers = 0;
    int pace = 0;
    std::vector<unsigned> waits;
    CClient* tracked = nullptr;
    std::vector<std::string> opened;
    std::string earth = "(unset)";
    int publisherSetUps = 0;

    bool startEngine(int linkPort) override {
        ++engineStarts;
        startedLinkPort = linkPort;
        return true;
    }
    int linkPort() const override { return startedLinkPort; }
    bool paused() const override { return isPaused; }
    void setPaused(bool p) override { isPaused = p; }
    bool playback() const override { return isPlayback; }
    void setPlayback(bool p) override { isPlayback = p; }
    void setPace(int ms) override { pace = ms; }
    std::string fixState() const override { return fix; }
    void clearFixState() override { fix.clear(); }
    // The vehicle the camera followed at each link installation.
    std::vector<CClient*> trackedAtLoadServer;
    int loadServer() override {
        trackedAtLoadServer.push_back(tracked);
        return ++loadServers, 0;
    }
    void startSource(const std::string& name) override {
        if (running)
            return; // like the engine: a running source is not started twice
        sourceStarts.push_back(name);
        running = true;
        if (whenSourceStarts)
            whenSourceStarts(name);
    }
    // What the source's thread does once started (a test's stand-in vehicle).
    std::function<void(const std::string&)> whenSourceStarts;
    void stopSource() override {
        ++sourceStops;
        if (stopPollsUntilEnded == 0)
            running = false;
    }
    bool sourceRunning() const override {
        auto* self = const_cast<FakeSubsystems*>(this);
        if (self->running && self->sourceStops > 0 && self->stopPollsUntilEnded > 0 &&
            --self->stopPollsUntilEnded == 0)
            self->running = false;
        return running;
    }
    CClient* trackedVehicle() const override { return tracked; }
    void setTrackedVehicle(CClient* v) override { tracked = v; }
    void openInEarth(const std::string& path) override { opened.push_back(path); }
    void selectEarth(const std::string& backend) override { earth = backend; }
    void configureSerial(int autoFind, const std::string& port, int rate, int flow) override {
        ++serialConfigs;
        serialPort = port;
        serialAutoFind = autoFind;
        serialRate = rate;
        serialFlow = flow;
    }
    void startSerial() override { ++serialStarts; }
    void closeSerial() override { ++serialCloses; }
    std::string serialStatus() const override { return serial; }
    void setPortFoundHandler(std::function<void(const std::string&)>) override {}
    void setUpPublisher(const COptionsDlg&) override { ++publisherSetUps; }
    // The listeners and how their binds went (none: a run without any).
    std::vector<ListenerReport> reports;
    int listenerLooks = 0;
    std::vector<ListenerReport> listeners(unsigned) override {
        ++listenerLooks;
        return reports;
    }
    int64_t nowSeconds() const override { return seconds; }
    void waitMs(unsigned ms) override { waits.push_back(ms); }
};

inline std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Each test gets a fresh start directory, registry file, settings object and
// vehicle list.
class AppTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Headless runs tell a service manager they are ready: never the one
        // that may have started the tests.
        ::unsetenv("NOTIFY_SOCKET");
        std::string tmpl = (std::filesystem::temp_directory_path() / "nivra-app-XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        ASSERT_NE(mkdtemp(buf.data()), nullptr);
        dir = buf.data();
        setStartDir(dir);
        setDebugLogFile(dir + "/nivraDebug.log");
        setenv("NIVRA_REGISTRY", (dir + "/registry.reg").c_str(), 1);
        sys.registryStore.reopen(dir + "/registry.reg");
        g_bShutdown = 0;
        takePendingSelection();
    }

    void TearDown() override {
        g_bShutdown = 0;
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::string file(const std::string& name) const { return dir + "/" + name; }
    COptionsDlg& options() { return sys.settings; }
    CClients& clients() { return sys.list; }

    std::string dir;
    FakeView view;
    FakeSubsystems sys;
};

} // namespace apptest
