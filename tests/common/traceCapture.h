// Collects the trace lines of every thread while it lives, each with the tick
// at which it came; the questions the tests ask of a log are answered here.
#pragma once

#include "platform/runtime.h"
#include "trace/trace.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class TraceCapture {
public:
    TraceCapture() { registerTraceSink(&m_sink); }
    ~TraceCapture() {
        unregisterTraceSink(&m_sink);
        // A line another thread delivered before is finished before the
        // entries go (the lock orders it after that thread's write).
        std::lock_guard<std::mutex> lock(m_mutex);
    }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    // The lines so far, in the order they came.
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> out;
        out.reserve(m_entries.size());
        for (const Entry& e : m_entries)
            out.push_back(e.text);
        return out;
    }
    // The lines that contain `text`.
    std::vector<std::string> matching(const std::string& text) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> out;
        for (const Entry& e : m_entries)
            if (e.text.find(text) != std::string::npos)
                out.push_back(e.text);
        return out;
    }
    // How many lines contain `text`.
    int count(const std::string& text) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        int n = 0;
        for (const Entry& e : m_entries)
            n += e.text.find(text) != std::string::npos ? 1 : 0;
        return n;
    }
    // True when a line contains `text`; `tick` then receives the tick of the
    // first such line.
    bool contains(const std::string& text, uint32_t* tick = nullptr) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const Entry& e : m_entries) {
            if (e.text.find(text) != std::string::npos) {
                if (tick != nullptr)
                    *tick = e.tick;
                return true;
            }
        }
        return false;
    }
    // Every line, one after the other (for failure messages).
    std::string all() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string s;
        for (const Entry& e : m_entries)
            s += e.text;
        return s;
    }
    // Forgets the lines so far.
    void clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.clear();
    }
    // The registered sink, for tests of the trace log itself.
    TraceObserver& sink() { return m_sink; }

private:
    struct Entry {
        uint32_t tick;
        std::string text;
    };
    static void onLine(int, const char* line, void* ctx) {
        auto* self = static_cast<TraceCapture*>(ctx);
        uint32_t tick = tickCountMs();
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_entries.push_back({tick, line});
    }

    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
    TraceObserver m_sink{&TraceCapture::onLine, this, 1};
};
