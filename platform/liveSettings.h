// The one way a changed setting reaches a worker thread. Each part that runs
// on threads of its own keeps the settings it reads in one small struct; the
// user-interface thread replaces the struct whole (set) and the workers take
// the current one (get) whenever they start a pass, a poll or a line. A
// reader holds an immutable snapshot, so it never sees half of a change and
// never waits for the writer.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

template <class T> class LiveSettings {
public:
    LiveSettings() : m_current(std::make_shared<const T>()) {}
    explicit LiveSettings(T initial) : m_current(std::make_shared<const T>(std::move(initial))) {}
    LiveSettings(const LiveSettings&) = delete;
    LiveSettings& operator=(const LiveSettings&) = delete;

    void set(T value) {
        auto next = std::make_shared<const T>(std::move(value));
        std::lock_guard<std::mutex> lock(m_mutex);
        m_current.swap(next);
        // The old snapshot goes when its last reader lets go (here or there).
    }
    std::shared_ptr<const T> get() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_current;
    }

private:
    mutable std::mutex m_mutex;
    std::shared_ptr<const T> m_current;
};
