// The history store: every accepted point of every kept vehicle goes into
// the GeoPackage "history.gpkg" in the start directory. add() only queues
// (bounded; it never waits for the disk); the writer thread "history"
// writes the queue once a second in one transaction and applies the
// retention rules. A file that cannot be opened or written (disk full,
// read-only, damaged) is said once; the store then drops points and the
// tracking goes on. Turning History off and on again tries the file anew.
#pragma once

#include "history/historyPoint.h"
#include "history/historyWriter.h"
#include "platform/liveSettings.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

struct HistorySettings {
    bool enabled = true;        // History
    HistoryRetention retention; // HistoryDays, HistoryMaxMB
};

struct HistoryStats {
    uint64_t queued = 0;  // points taken into the queue
    uint64_t written = 0; // points the file took (inserted or replaced)
    uint64_t dropped = 0; // points refused because the queue was full
    bool failed = false;  // the file failed; no more points are written
    std::string problem;  // what failed, as told to the user
};

class HistoryStore : public HistorySink {
public:
    // `fileName`: a bare name lives in the start directory (resolved at start).
    explicit HistoryStore(std::string fileName = kHistoryFileName);
    ~HistoryStore() override;
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Starts the writer thread (once), which opens the file. Later calls do
    // nothing.
    void start();
    // Writes what is queued and ends the thread.
    void stop();

    // Thread-safe, never blocks on the disk: queues one point. The newest
    // point a key was given is what `replacesNewest` replaces; a point with
    // the time of one already stored for the key replaces that one. Points
    // may come in any time order (the file orders by time when read).
    void add(const HistoryPoint& point, bool replacesNewest) override;

    // The settings hand-over: switch and retention, taken at the next pass.
    void setSettings(HistorySettings s);
    std::shared_ptr<const HistorySettings> settings() const { return m_settings.get(); }

    // Waits up to `ms` until every point queued before the call is written
    // (or the file failed). True when they were.
    bool flush(unsigned ms);

    HistoryStats stats() const;
    // The file, resolved once started.
    std::string path() const;

    static constexpr size_t kQueueLimit = 200000;
    static constexpr size_t kBatchLimit = 20000;

private:
    void run();
    void writePending(std::deque<HistoryWriter::Item>& batch, uint64_t upTo);
    void fail(const std::string& what, const std::string& message);
    void maybeRetain(bool force);
    void noteDrops(bool force);

    std::string m_fileName;
    std::string m_path;
    LiveSettings<HistorySettings> m_settings;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_progress;
    std::deque<HistoryWriter::Item> m_queue;
    uint64_t m_enqueued = 0; // sequence of the last queued point
    uint64_t m_done = 0;     // sequence of the last point handled
    bool m_stop = false;
    bool m_flushAsked = false;
    HistoryStats m_stats;
    uint64_t m_droppedLogged = 0;

    // The writer thread's own.
    HistoryWriter m_writer;
    int64_t m_lastRetention = 0;
    int64_t m_lastDropNote = 0;

    std::thread m_thread;
};
