// The database side of the history: writes points into the GeoPackage in
// transactions, keeps the layer's extent, and removes old points by the
// retention rules. One writer per file and thread (the store's writer
// thread, or `nivra --import` on the main thread); no locks of its own.
#pragma once

#include "history/gpkg.h"
#include "history/historyPoint.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

struct HistoryRetention {
    int days = 365;   // points older than this many days go (0: kept for ever)
    int maxMB = 1024; // the file's data kept below this size (0: no limit)
};

class HistoryWriter {
public:
    // Opens (creates) the file and its schema. False with `error` set.
    bool open(const std::string& path, std::string& error);
    void close() { m_db.close(); }
    bool isOpen() const { return m_db.handle() != nullptr; }

    struct Item {
        HistoryPoint point;
        bool replacesNewest = false;
    };
    // One transaction. A point whose vehicle already has one at the same
    // second replaces it, or, with `keepExisting` (imports), is left out.
    // `replacesNewest` first removes the point last written for the key by
    // this writer. False (and nothing of the batch kept) on a failure.
    bool write(const std::vector<Item>& items, bool keepExisting, std::string& error);
    // Points inserted (not replaced or left out) by the last write.
    int64_t lastInserted() const { return m_inserted; }

    // Removes points older than the days rule (by their time), then the
    // earliest written while the data is larger than the size rule, and
    // gives the freed pages back. `nowUtc` is the clock. Returns the points
    // removed, or -1 with `error` set.
    int64_t applyRetention(const HistoryRetention& rules, int64_t nowUtc, std::string& error);

    // The bytes the points take now (pages in use).
    int64_t dataBytes();

    SqliteDb& db() { return m_db; }

    // What the last failure means for the user ("the disk is full", "the
    // file is read-only", "the file is damaged"), or empty.
    const std::string& problemHint() const { return m_hint; }

private:
    SqliteDb m_db;
    std::unordered_map<std::string, int64_t> m_lastFid; // newest row written per key
    int64_t m_inserted = 0;
    std::string m_hint;
    // Notes the hint of the database's last failure; returns false.
    bool failed(std::string& error);
};

// What an SQLite failure (extended result code, the system's errno, the
// message) means for the user, or empty.
std::string historyProblemHint(int extendedCode, int systemErrno, const std::string& message);
