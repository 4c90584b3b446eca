// Helpers for tests that talk to listeners over loopback: a thread-safe trace
// capture, a UI-services double that records messages, and a small client.
#pragma once

#include "platform/socket.h"
#include "platform/uiServices.h"
#include "trace/trace.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

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
        for (const auto& l : m_lines)
            if (l.find(text) != std::string::npos)
                ++n;
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

// Records message boxes instead of showing them; installed while it lives.
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

// Polls `done` every 10 ms for at most `ms`; returns its last value.
inline bool waitUntil(const std::function<bool()>& done, int ms = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Connects, sends `request` in one call and reads until the server closes.
// Returns the reply; `ok` is false when the connection failed.
inline std::string roundTrip(uint16_t port, const std::string& request, bool* ok = nullptr,
                             const std::string& address = "127.0.0.1") {
    int err = 0;
    Socket s = Socket::tcp(err);
    bool good = s.valid() && s.connect(address, port, 2000) == 0 && s.setTimeouts(10000) == 0;
    if (good && !request.empty())
        good = s.send(request.data(), request.size()) == long(request.size());
    std::string reply;
    char buf[4096];
    long n;
    while (good && (n = s.recv(buf, sizeof buf)) > 0)
        reply.append(buf, size_t(n));
    if (ok)
        *ok = good;
    return reply;
}

} // namespace testsupport
