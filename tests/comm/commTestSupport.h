// Shared pieces of the serial reader tests: a thread-safe trace capture and a
// polling wait.
#pragma once

#include "platform/runtime.h"
#include "trace/trace.h"

#include <mutex>
#include <string>
#include <vector>

// Collects trace lines (from any thread) with the tick at which they came.
struct TraceCapture {
    struct Entry {
        uint32_t tick;
        std::string text;
    };
    mutable std::mutex lock;
    std::vector<Entry> entries;
    TraceObserver sink{[](int, const char* line, void* ctx) {
                           auto* self = static_cast<TraceCapture*>(ctx);
                           std::lock_guard<std::mutex> guard(self->lock);
                           self->entries.push_back({tickCountMs(), line});
                       },
                       this, 1};
    TraceCapture() { registerTraceSink(&sink); }
    ~TraceCapture() { unregisterTraceSink(&sink); }

    // Tick of the first line containing `text`, if any.
    bool find(const std::string& text, uint32_t* tick = nullptr) const {
        std::lock_guard<std::mutex> guard(lock);
        for (const Entry& e : entries) {
            if (e.text.find(text) != std::string::npos) {
                if (tick != nullptr) {
                    *tick = e.tick;
                }
                return true;
            }
        }
        return false;
    }
    int count(const std::string& text) const {
        std::lock_guard<std::mutex> guard(lock);
        int n = 0;
        for (const Entry& e : entries) {
            n += e.text.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }
};

template <typename Pred> bool waitFor(Pred pred, unsigned ms = 5000) {
    uint32_t start = tickCountMs();
    while (!pred()) {
        if (tickCountMs() - start > ms) {
            return false;
        }
        sleepMs(5);
    }
    return true;
}
