// A test double for Google Earth on a manual clock, installed for one test:
// every wait of the camera control passes without sleeping, and the process-
// wide camera state starts fresh.
#pragma once

#include "app/OptionsDlg.h"
#include "earth/camera.h"
#include "earth/earthTestDouble.h"
#include "platform/runtime.h"
#include "platform/socket.h"
#include "platform/uiServices.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace earthtest {

// Collects trace lines from any thread while it lives.
class TraceCapture {
public:
    TraceCapture() { registerTraceSink(&m_sink); }
    ~TraceCapture() { unregisterTraceSink(&m_sink); }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    // Lines that contain `text`.
    int count(const std::string& text) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        int n = 0;
        for (const std::string& l : m_lines)
            n += l.find(text) != std::string::npos;
        return n;
    }

private:
    static void onLine(int, const char* line, void* ctx) {
        auto* self = static_cast<TraceCapture*>(ctx);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_lines.emplace_back(line);
    }
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
    TraceObserver m_sink{&TraceCapture::onLine, this, 1};
};

// Records message boxes ("title: text") instead of showing them.
class RecordingUi : public UiServices {
public:
    RecordingUi() { setUiServices(this); }
    ~RecordingUi() override { setUiServices(nullptr); }
    void messageBox(const std::string& text, const std::string& title) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(title + ": " + text);
    }
    bool setClipboardText(const std::string&) override { return true; }
    bool openUrl(const std::string&) override { return true; }
    std::vector<std::string> messages() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_messages;
};

// Polls `done` every 10 ms for at most `ms` of real time.
inline bool waitUntil(const std::function<bool()>& done, int ms = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Sends one request over loopback and reads until the server closes.
inline std::string exchange(uint16_t port, const std::string& request) {
    int err = 0;
    Socket s = Socket::tcp(err);
    bool good = s.valid() && s.connect("127.0.0.1", port, 2000) == 0 && s.setTimeouts(10000) == 0;
    good = good && s.send(request.data(), request.size()) == long(request.size());
    std::string reply;
    char buf[4096];
    long n;
    while (good && (n = s.recv(buf, sizeof buf)) > 0)
        reply.append(buf, size_t(n));
    return reply;
}

} // namespace earthtest

class EarthFixture : public ::testing::Test {
protected:
    void SetUp() override {
        g_bShutdown = 0;
        resetMessagesShown();
        ge->setClock(clock);
        setEarthClock(clock);
        setEarthApp(ge);
        resetCameraState();
        theOptions().FlyToSpeed = 200;
        theOptions().SelTrackOnly = 0;
    }
    void TearDown() override {
        g_bShutdown = 0;
        setEarthApp(nullptr);
        setEarthClock(nullptr);
        resetCameraState();
    }

    static EarthCamera camera(double lat, double lon, double range, double tilt, double hdg) {
        EarthCamera c;
        c.focusLat = lat;
        c.focusLon = lon;
        c.range = range;
        c.tilt = tilt;
        c.azimuth = hdg;
        c.altMode = 1;
        return c;
    }

    std::shared_ptr<ManualEarthClock> clock = std::make_shared<ManualEarthClock>();
    std::shared_ptr<EarthTestDouble> ge = std::make_shared<EarthTestDouble>();
    earthtest::TraceCapture trace;
    earthtest::RecordingUi ui;
};
