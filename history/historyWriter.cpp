#include "history/historyWriter.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>

namespace {

struct Extent {
    double minX = std::numeric_limits<double>::infinity(), minY = minX;
    double maxX = -minX, maxY = -minX;
    void take(double x, double y) {
        minX = std::min(minX, x);
        maxX = std::max(maxX, x);
        minY = std::min(minY, y);
        maxY = std::max(maxY, y);
    }
    bool empty() const { return minX > maxX; }
};

int64_t scalar(SqliteDb& db, const char* sql) {
    SqliteStatement st(db, sql);
    if (!st.ok() || sqlite3_step(st.get()) != SQLITE_ROW)
        return -1;
    return sqlite3_column_int64(st.get(), 0);
}

} // namespace

bool HistoryWriter::open(const std::string& path, std::string& error) {
    m_lastFid.clear();
    m_hint.clear();
    if (!m_db.open(path, false, error))
        return failed(error);
    if (!prepareHistorySchema(m_db, error)) {
        failed(error);
        m_db.close();
        return false;
    }
    return true;
}

bool HistoryWriter::write(const std::vector<Item>& items, bool keepExisting, std::string& error) {
    m_inserted = 0;
    if (items.empty())
        return true;
    if (!m_db.exec("BEGIN IMMEDIATE;", error))
        return failed(error);
    SqliteStatement erase(m_db, "DELETE FROM track_points WHERE fid = ?1");
    SqliteStatement insert(
        m_db, keepExisting
                  ? "INSERT INTO track_points (geom, vehicle, time, altitude, speed_kmh, course, "
                    "source) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7) "
                    "ON CONFLICT(vehicle, time) DO NOTHING RETURNING fid"
                  : "INSERT INTO track_points (geom, vehicle, time, altitude, speed_kmh, course, "
                    "source) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7) "
                    "ON CONFLICT(vehicle, time) DO UPDATE SET geom = excluded.geom, "
                    "altitude = excluded.altitude, speed_kmh = excluded.speed_kmh, "
                    "course = excluded.course, source = excluded.source RETURNING fid");
    SqliteStatement extent(
        m_db,
        "UPDATE gpkg_contents SET min_x = min(coalesce(min_x, ?1), ?1), "
        "min_y = min(coalesce(min_y, ?2), ?2), max_x = max(coalesce(max_x, ?3), ?3), "
        "max_y = max(coalesce(max_y, ?4), ?4), "
        "last_change = strftime('%Y-%m-%dT%H:%M:%fZ','now') WHERE table_name = 'track_points'");
    bool ok = erase.ok() && insert.ok() && extent.ok();
    Extent box;
    std::unordered_map<std::string, int64_t> lastFid = m_lastFid;
    int64_t inserted = 0;
    for (size_t i = 0; ok && i < items.size(); ++i) {
        const HistoryPoint& p = items[i].point;
        if (items[i].replacesNewest) {
            auto it = lastFid.find(p.key);
            if (it != lastFid.end()) {
                sqlite3_bind_int64(erase.get(), 1, it->second);
                ok = sqlite3_step(erase.get()) == SQLITE_DONE;
                sqlite3_reset(erase.get());
                lastFid.erase(it);
                if (!ok)
                    break;
            }
        }
        const std::string blob = gpkgPointBlob(p.fix.lon, p.fix.lat, p.fix.alt);
        const std::string time = gpkgTime(p.fix.utc);
        sqlite3_stmt* s = insert.get();
        sqlite3_bind_blob(s, 1, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
        sqlite3_bind_text(s, 2, p.key.data(), static_cast<int>(p.key.size()), SQLITE_STATIC);
        sqlite3_bind_text(s, 3, time.data(), static_cast<int>(time.size()), SQLITE_STATIC);
        sqlite3_bind_double(s, 4, p.fix.alt);
        sqlite3_bind_double(s, 5, p.fix.speedKnots * kHistoryKnotsToKmh);
        sqlite3_bind_double(s, 6, p.fix.course);
        sqlite3_bind_text(s, 7, p.source.data(), static_cast<int>(p.source.size()), SQLITE_STATIC);
        const int64_t before = sqlite3_total_changes64(m_db.handle());
        int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) {
            lastFid[p.key] = sqlite3_column_int64(s, 0);
            rc = sqlite3_step(s);
        }
        ok = rc == SQLITE_DONE;
        sqlite3_reset(s);
        if (ok && sqlite3_total_changes64(m_db.handle()) > before)
            ++inserted;
        box.take(p.fix.lon, p.fix.lat);
    }
    if (ok && !box.empty()) {
        sqlite3_bind_double(extent.get(), 1, box.minX);
        sqlite3_bind_double(extent.get(), 2, box.minY);
        sqlite3_bind_double(extent.get(), 3, box.maxX);
        sqlite3_bind_double(extent.get(), 4, box.maxY);
        ok = sqlite3_step(extent.get()) == SQLITE_DONE;
    }
    if (ok && m_db.exec("COMMIT;", error)) {
        m_lastFid = std::move(lastFid);
        m_inserted = inserted;
        return true;
    }
    failed(error);
    std::string ignored;
    m_db.exec("ROLLBACK;", ignored);
    return false;
}

int64_t HistoryWriter::dataBytes() {
    const int64_t pages = scalar(m_db, "PRAGMA page_count");
    const int64_t freePages = scalar(m_db, "PRAGMA freelist_count");
    const int64_t pageSize = scalar(m_db, "PRAGMA page_size");
    if (pages < 0 || freePages < 0 || pageSize < 0)
        return -1;
    return (pages - freePages) * pageSize;
}

int64_t HistoryWriter::applyRetention(const HistoryRetention& rules, int64_t nowUtc,
                                      std::string& error) {
    int64_t removed = 0;
    if (rules.days > 0) {
        const std::string cutoff = gpkgTime(nowUtc - static_cast<int64_t>(rules.days) * 86400);
        SqliteStatement st(m_db, "DELETE FROM track_points WHERE time < ?1");
        if (!st.ok()) {
            failed(error);
            return -1;
        }
        sqlite3_bind_text(st.get(), 1, cutoff.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(st.get()) != SQLITE_DONE) {
            failed(error);
            return -1;
        }
        removed += sqlite3_changes(m_db.handle());
    }
    if (rules.maxMB > 0) {
        const int64_t limit = static_cast<int64_t>(rules.maxMB) * 1024 * 1024;
        // Each round removes a twentieth of the points written first, until
        // the data fits (or nothing is left).
        for (int round = 0; round < 40; ++round) {
            const int64_t bytes = dataBytes();
            if (bytes < 0) {
                failed(error);
                return -1;
            }
            if (bytes <= limit)
                break;
            const int64_t count = scalar(m_db, "SELECT count(*) FROM track_points");
            if (count <= 0)
                break;
            SqliteStatement st(m_db, "DELETE FROM track_points WHERE fid IN "
                                     "(SELECT fid FROM track_points ORDER BY fid LIMIT ?1)");
            sqlite3_bind_int64(st.get(), 1, std::max<int64_t>(1, count / 20));
            if (!st.ok() || sqlite3_step(st.get()) != SQLITE_DONE) {
                failed(error);
                return -1;
            }
            removed += sqlite3_changes(m_db.handle());
        }
    }
    if (removed > 0) {
        // The rows a replacement would remove may be gone.
        m_lastFid.clear();
        if (!m_db.exec("PRAGMA incremental_vacuum;", error)) {
            failed(error);
            return -1;
        }
    }
    return removed;
}

std::string historyProblemHint(int code, int systemErrno, const std::string& message) {
    // A write the file system refused is nearly always a full disk or quota
    // (or a file size limit).
    if ((code & 0xff) == SQLITE_FULL || code == SQLITE_IOERR_WRITE || systemErrno == ENOSPC ||
        systemErrno == EFBIG || systemErrno == EDQUOT)
        return "the disk is full";
    if ((code & 0xff) == SQLITE_READONLY || (code & 0xff) == SQLITE_PERM || systemErrno == EROFS ||
        systemErrno == EACCES)
        return "the file is read-only";
    if ((code & 0xff) == SQLITE_CORRUPT || (code & 0xff) == SQLITE_NOTADB)
        return "the file is damaged";
    // The code may be gone (a rollback after the failure): the text tells.
    if (message.find("readonly") != std::string::npos)
        return "the file is read-only";
    if (message.find("not a database") != std::string::npos ||
        message.find("malformed") != std::string::npos)
        return "the file is damaged";
    if (message.find("full") != std::string::npos)
        return "the disk is full";
    return "";
}

bool HistoryWriter::failed(std::string& error) {
    sqlite3* db = m_db.handle();
    if (error.empty())
        error = m_db.lastError();
    m_hint = historyProblemHint(db ? sqlite3_extended_errcode(db) : 0,
                                db ? sqlite3_system_errno(db) : 0, error);
    return false;
}
