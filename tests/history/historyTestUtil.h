// What the history tests share: a folder of their own, a drive of known
// points, and reading the file back with SQLite itself.
#pragma once

#include "history/historyPoint.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "nivra-history-XXXXXX").string();
        char* made = ::mkdtemp(pattern.data());
        if (made)
            m_path = made;
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(m_path, ec);
    }
    const fs::path& path() const { return m_path; }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

private:
    fs::path m_path;
};

// A drive of `n` points a second apart from 2009-06-14T21:03:13Z, moving
// north-east, with a gap of two hours after point `gapAfter` (if any).
inline HistoryTrack makeDrive(const std::string& key, int n, int gapAfter = -1) {
    HistoryTrack t{key, {}};
    int64_t utc = 1245013393;
    for (int i = 0; i < n; ++i) {
        t.fixes.push_back(HistoryFix{utc, 37.8 + i * 0.0001, -122.44 + i * 0.0002, 8.0 + i * 0.5,
                                     10.0 + i, static_cast<double>((i * 7) % 360)});
        utc += i == gapAfter ? 7200 : 1;
    }
    return t;
}

// The answer of one single-value query, as text ("" for none or an error).
inline std::string sqlValue(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string out;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0))
            out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return out;
}

inline long long rowCount(const std::string& path) {
    const std::string n = sqlValue(path, "SELECT count(*) FROM track_points");
    return n.empty() ? -1 : std::stoll(n);
}
