#include "history/historyQuery.h"

#include "history/gpkg.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>

namespace {

// The stored times cover years 0 to 9999.
constexpr int64_t kFirstStorable = -62167219200LL; // 0000-01-01T00:00:00Z
constexpr int64_t kLastStorable = 253402300799LL;  // 9999-12-31T23:59:59Z

std::string timeText(int64_t utc) {
    return gpkgTime(std::clamp(utc, kFirstStorable, kLastStorable));
}

std::string columnText(sqlite3_stmt* st, int column) {
    const unsigned char* text = sqlite3_column_text(st, column);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<size_t>(sqlite3_column_bytes(st, column)))
                : std::string();
}

} // namespace

bool readHistory(const std::string& path, const HistoryQuery& query, HistoryReadResult& out,
                 std::string& error) {
    out = HistoryReadResult{};
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = "no history at " + path;
        return false;
    }
    SqliteDb db;
    if (!db.open(path, true, error))
        return false;
    const std::string from = timeText(query.from), to = timeText(query.to);
    const bool all = query.keys.empty();
    SqliteStatement select(
        db, all ? "SELECT vehicle, time, geom, altitude, speed_kmh, course FROM track_points "
                  "WHERE time >= ?1 AND time <= ?2 ORDER BY vehicle, time LIMIT ?3"
                : "SELECT vehicle, time, geom, altitude, speed_kmh, course FROM track_points "
                  "WHERE vehicle = ?4 AND time >= ?1 AND time <= ?2 ORDER BY time LIMIT ?3");
    if (!select.ok()) {
        error = db.lastError();
        return false;
    }
    const size_t rounds = all ? 1 : query.keys.size();
    for (size_t k = 0; k < rounds && !out.truncated; ++k) {
        sqlite3_stmt* s = select.get();
        sqlite3_reset(s);
        sqlite3_bind_text(s, 1, from.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(s, 2, to.c_str(), -1, SQLITE_TRANSIENT);
        // One more than the room left tells whether the limit cut it.
        const size_t room = query.limit - out.points;
        sqlite3_bind_int64(
            s, 3, room >= static_cast<size_t>(INT64_MAX) ? -1 : static_cast<int64_t>(room) + 1);
        if (!all)
            sqlite3_bind_text(s, 4, query.keys[k].c_str(), -1, SQLITE_TRANSIENT);
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            if (out.points == query.limit) {
                out.truncated = true;
                break;
            }
            std::string key = columnText(s, 0);
            const std::optional<int64_t> utc = parseGpkgTime(columnText(s, 1));
            HistoryFix f;
            const void* blob = sqlite3_column_blob(s, 2);
            const std::string_view geom(static_cast<const char*>(blob),
                                        blob ? static_cast<size_t>(sqlite3_column_bytes(s, 2)) : 0);
            double alt = 0;
            // A row another program damaged is left out.
            if (!utc || !parseGpkgPoint(geom, f.lon, f.lat, alt))
                continue;
            f.utc = *utc;
            f.alt = sqlite3_column_type(s, 3) == SQLITE_NULL ? alt : sqlite3_column_double(s, 3);
            f.speedKnots = sqlite3_column_double(s, 4) / kHistoryKnotsToKmh;
            f.course = sqlite3_column_double(s, 5);
            if (out.tracks.empty() || out.tracks.back().key != key)
                out.tracks.push_back(HistoryTrack{std::move(key), {}});
            out.tracks.back().fixes.push_back(f);
            ++out.points;
        }
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            error = db.lastError();
            return false;
        }
    }
    return true;
}
