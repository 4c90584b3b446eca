#include "history/historyStore.h"

#include "platform/paths.h"
#include "trace/notice.h"
#include "trace/trace.h"

#include <chrono>
#include <ctime>

namespace {

int64_t nowUtc() {
    return static_cast<int64_t>(std::time(nullptr));
}

} // namespace

HistoryStore::HistoryStore(std::string fileName) : m_fileName(std::move(fileName)) {}

HistoryStore::~HistoryStore() {
    stop();
}

void HistoryStore::start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_thread.joinable() || m_stop)
        return;
    m_path = FullPath(m_fileName);
    m_thread = std::thread([this] { run(); });
}

void HistoryStore::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

std::string HistoryStore::path() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path;
}

void HistoryStore::setSettings(HistorySettings s) {
    m_settings.set(std::move(s));
    m_wake.notify_all();
}

void HistoryStore::add(const HistoryPoint& point, bool replacesNewest) {
    if (!m_settings.get()->enabled)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stats.failed)
            return;
        if (m_queue.size() >= kQueueLimit) {
            ++m_stats.dropped;
            return;
        }
        m_queue.push_back({point, replacesNewest});
        ++m_enqueued;
        ++m_stats.queued;
    }
}

bool HistoryStore::flush(unsigned ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const uint64_t target = m_enqueued;
    if (!m_thread.joinable())
        return m_done >= target;
    m_flushAsked = true;
    m_wake.notify_all();
    return m_progress.wait_for(lock, std::chrono::milliseconds(ms),
                               [&] { return m_done >= target || m_stats.failed; }) &&
           m_done >= target && !m_stats.failed;
}

HistoryStats HistoryStore::stats() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stats;
}

void HistoryStore::fail(const std::string& what, const std::string& message) {
    const std::string hint = m_writer.problemHint();
    const std::string text = "History is off: cannot " + what + " " + m_path + ": " +
                             (hint.empty() ? message : hint + " (" + message + ")") +
                             "; tracking goes on without it";
    {
        // Only this thread fails the store.
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stats.failed)
            return;
    }
    m_writer.close();
    // Told before anyone waiting on the store sees it failed.
    noticeUser("HistoryStore::run", text);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stats.failed = true;
        m_stats.problem = text;
        m_stats.dropped += m_queue.size();
        m_queue.clear();
        m_done = m_enqueued;
    }
    m_progress.notify_all();
}

void HistoryStore::noteDrops(bool force) {
    uint64_t dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        dropped = m_stats.dropped;
    }
    const int64_t now = nowUtc();
    if (dropped == m_droppedLogged || (!force && now - m_lastDropNote < 60))
        return;
    NTRACE("history: %llu points dropped in the last minute, the writer is behind",
           static_cast<unsigned long long>(dropped - m_droppedLogged));
    m_droppedLogged = dropped;
    m_lastDropNote = now;
}

void HistoryStore::maybeRetain(bool force) {
    const int64_t now = nowUtc();
    // The days rule once an hour; the size rule is cheap and runs each minute.
    const bool hourly = force || now - m_lastRetention >= 3600;
    static_assert(sizeof(int64_t) == 8);
    HistoryRetention rules = m_settings.get()->retention;
    if (!hourly)
        rules.days = 0;
    std::string error;
    const int64_t removed = m_writer.applyRetention(rules, now, error);
    if (removed < 0) {
        fail("trim", error);
        return;
    }
    if (removed > 0)
        NTRACE("history: %lld old points removed", static_cast<long long>(removed));
    if (hourly)
        m_lastRetention = now;
}

void HistoryStore::writePending(std::deque<HistoryWriter::Item>& batch, uint64_t upTo) {
    std::vector<HistoryWriter::Item> items(std::make_move_iterator(batch.begin()),
                                           std::make_move_iterator(batch.end()));
    batch.clear();
    std::string error;
    if (!items.empty() && !m_writer.write(items, false, error)) {
        fail("write", error);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stats.written += items.size();
        m_done = upTo;
    }
    m_progress.notify_all();
}

void HistoryStore::run() {
    try {
        int64_t lastSizeCheck = 0;
        for (;;) {
            std::deque<HistoryWriter::Item> batch;
            uint64_t upTo;
            bool stopping;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                // A queue left over from the last pass (a flood) is written
                // at once; else once a second.
                if (m_queue.size() < kBatchLimit)
                    m_wake.wait_for(lock, std::chrono::seconds(1),
                                    [&] { return m_stop || m_flushAsked; });
                m_flushAsked = false;
                // At most kBatchLimit points a transaction, so that commits
                // keep coming while the queue is long.
                if (m_queue.size() <= kBatchLimit) {
                    batch.swap(m_queue);
                    upTo = m_enqueued;
                } else {
                    const auto end = m_queue.begin() + static_cast<long>(kBatchLimit);
                    batch.assign(std::make_move_iterator(m_queue.begin()),
                                 std::make_move_iterator(end));
                    m_queue.erase(m_queue.begin(), end);
                    upTo = m_enqueued - m_queue.size();
                }
                stopping = m_stop && m_queue.empty();
            }
            const std::shared_ptr<const HistorySettings> s = m_settings.get();
            if (!s->enabled) {
                // Off: the file is let go; on again, it is tried anew.
                m_writer.close();
                std::lock_guard<std::mutex> lock(m_mutex);
                m_stats.failed = false;
                m_done = upTo;
            } else {
                bool failed;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    failed = m_stats.failed;
                }
                if (!failed && !m_writer.isOpen()) {
                    std::string error;
                    if (!m_writer.open(m_path, error)) {
                        fail("open", error);
                    } else {
                        NTRACE("history: writing to %s", m_path.c_str());
                        maybeRetain(true);
                    }
                }
                if (m_writer.isOpen()) {
                    writePending(batch, upTo);
                    const int64_t now = nowUtc();
                    if (m_writer.isOpen() && now - lastSizeCheck >= 60) {
                        lastSizeCheck = now;
                        maybeRetain(false);
                    }
                } else {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_done = upTo;
                }
            }
            m_progress.notify_all();
            noteDrops(stopping);
            if (stopping)
                break;
        }
        m_writer.close();
    } catch (...) {
        NTRACE("Unhandled exception in history thread");
    }
}
