// The history file: a GeoPackage (an SQLite database) with one point table,
// "track_points", that GIS programs open as it is. This file holds the
// schema, the geometry blobs, the time texts and the small SQLite wrappers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

inline constexpr const char* kHistoryTable = "track_points";
inline constexpr const char* kHistoryFileName = "history.gpkg";

// An open database; closed with the object.
class SqliteDb {
public:
    SqliteDb() = default;
    ~SqliteDb();
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    // Opens `path` read-write (created when missing) or read-only.
    bool open(const std::string& path, bool readOnly, std::string& error);
    void close();
    sqlite3* handle() const { return m_db; }
    // Runs statements without results. False with the database's message.
    bool exec(const char* sql, std::string& error);
    std::string lastError() const;

private:
    sqlite3* m_db = nullptr;
};

// One prepared statement; finalized with the object.
class SqliteStatement {
public:
    SqliteStatement(SqliteDb& db, const char* sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;
    bool ok() const { return m_stmt != nullptr; }
    sqlite3_stmt* get() const { return m_stmt; }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

// Makes the tables, index and GeoPackage metadata when missing, and sets
// the file's journal (WAL). False when the file is not a database or
// cannot be written.
bool prepareHistorySchema(SqliteDb& db, std::string& error);

// The geometry blob of a point with altitude (GeoPackage header, WGS 84,
// little-endian WKB Point Z), and back. Parsing accepts 2D and 3D points of
// either byte order and refuses anything else.
std::string gpkgPointBlob(double lon, double lat, double alt);
bool parseGpkgPoint(std::string_view blob, double& lon, double& lat, double& alt);

// "YYYY-MM-DDTHH:MM:SSZ" of UTC seconds, as exports write it; years 0 to
// 9999 only.
std::string isoTime(int64_t utc);
// The stored form, "YYYY-MM-DDTHH:MM:SS.000Z" (GeoPackage DATETIME), and
// back (any fraction, or none, is read and dropped).
std::string gpkgTime(int64_t utc);
std::optional<int64_t> parseGpkgTime(std::string_view text);

// Reads a time the user gives (command line, query string): UTC seconds
// since 1970 as digits, "YYYY-MM-DD" (midnight UTC), or
// "YYYY-MM-DDTHH:MM[:SS]" with "Z" or no zone (UTC).
std::optional<int64_t> parseUserTime(std::string_view text);
