#include "history/gpkg.h"

#include "track/civilTime.h"

#include <sqlite3.h>

#include <bit>
#include <charconv>
#include <cstring>

SqliteDb::~SqliteDb() {
    close();
}

bool SqliteDb::open(const std::string& path, bool readOnly, std::string& error) {
    close();
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    const int rc = sqlite3_open_v2(path.c_str(), &m_db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        error = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
        close();
        return false;
    }
    // Another process (an export while the tracker writes) may hold the
    // file for a moment.
    sqlite3_busy_timeout(m_db, 5000);
    return true;
}

void SqliteDb::close() {
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

bool SqliteDb::exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    error = message ? message : lastError();
    sqlite3_free(message);
    return false;
}

std::string SqliteDb::lastError() const {
    return m_db ? sqlite3_errmsg(m_db) : "no database";
}

SqliteStatement::SqliteStatement(SqliteDb& db, const char* sql) {
    if (db.handle() && sqlite3_prepare_v2(db.handle(), sql, -1, &m_stmt, nullptr) != SQLITE_OK)
        m_stmt = nullptr;
}

SqliteStatement::~SqliteStatement() {
    sqlite3_finalize(m_stmt);
}

namespace {

// "GPKG" and version 1.3.0.
constexpr const char* kFileHeader = "PRAGMA application_id = 1196444487;"
                                    "PRAGMA user_version = 10300;";

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS gpkg_spatial_ref_sys (
  srs_name TEXT NOT NULL, srs_id INTEGER NOT NULL PRIMARY KEY,
  organization TEXT NOT NULL, organization_coordsys_id INTEGER NOT NULL,
  definition TEXT NOT NULL, description TEXT);
INSERT OR IGNORE INTO gpkg_spatial_ref_sys VALUES
 ('Undefined cartesian SRS', -1, 'NONE', -1, 'undefined',
  'undefined cartesian coordinate reference system'),
 ('Undefined geographic SRS', 0, 'NONE', 0, 'undefined',
  'undefined geographic coordinate reference system'),
 ('WGS 84 geodetic', 4326, 'EPSG', 4326,
  'GEOGCS["WGS 84",DATUM["WGS_1984",SPHEROID["WGS 84",6378137,298.257223563,AUTHORITY["EPSG","7030"]],AUTHORITY["EPSG","6326"]],PRIMEM["Greenwich",0,AUTHORITY["EPSG","8901"]],UNIT["degree",0.0174532925199433,AUTHORITY["EPSG","9122"]],AUTHORITY["EPSG","4326"]]',
  'longitude/latitude coordinates in decimal degrees on the WGS 84 spheroid');
CREATE TABLE IF NOT EXISTS gpkg_contents (
  table_name TEXT NOT NULL PRIMARY KEY, data_type TEXT NOT NULL,
  identifier TEXT UNIQUE, description TEXT DEFAULT '',
  last_change DATETIME NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ','now')),
  min_x DOUBLE, min_y DOUBLE, max_x DOUBLE, max_y DOUBLE, srs_id INTEGER,
  CONSTRAINT fk_gc_r_srs_id FOREIGN KEY (srs_id) REFERENCES gpkg_spatial_ref_sys(srs_id));
CREATE TABLE IF NOT EXISTS gpkg_geometry_columns (
  table_name TEXT NOT NULL, column_name TEXT NOT NULL,
  geometry_type_name TEXT NOT NULL, srs_id INTEGER NOT NULL,
  z TINYINT NOT NULL, m TINYINT NOT NULL,
  CONSTRAINT pk_geom_cols PRIMARY KEY (table_name, column_name),
  CONSTRAINT uk_gc_table_name UNIQUE (table_name),
  CONSTRAINT fk_gc_tn FOREIGN KEY (table_name) REFERENCES gpkg_contents(table_name),
  CONSTRAINT fk_gc_srs FOREIGN KEY (srs_id) REFERENCES gpkg_spatial_ref_sys(srs_id));
CREATE TABLE IF NOT EXISTS track_points (
  fid INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,
  geom POINT, vehicle TEXT NOT NULL, time DATETIME NOT NULL,
  altitude REAL, speed_kmh REAL, course REAL, source TEXT);
CREATE UNIQUE INDEX IF NOT EXISTS track_points_vehicle_time ON track_points(vehicle, time);
INSERT OR IGNORE INTO gpkg_contents (table_name, data_type, identifier, description, srs_id)
  VALUES ('track_points', 'features', 'track_points', 'Every kept position of every vehicle', 4326);
INSERT OR IGNORE INTO gpkg_geometry_columns VALUES ('track_points', 'geom', 'POINT', 4326, 1, 0);
)sql";

template <typename T> void put(std::string& out, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    if constexpr (std::endian::native == std::endian::big)
        for (size_t i = 0; i < sizeof(T) / 2; ++i)
            std::swap(bytes[i], bytes[sizeof(T) - 1 - i]);
    out.append(bytes, sizeof(T));
}

template <typename T> T get(const char* p, bool little) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, p, sizeof(T));
    if (little != (std::endian::native == std::endian::little))
        for (size_t i = 0; i < sizeof(T) / 2; ++i)
            std::swap(bytes[i], bytes[sizeof(T) - 1 - i]);
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

// "YYYY-MM-DD", with a time after it when `needTime`, and its seconds when
// `needSeconds` (the full stored form).
std::optional<int64_t> parseDateTime(std::string_view text, bool needTime, bool needSeconds) {
    const auto read = readIsoDateTime(text);
    if (!read || (needTime && !read->hasTime) || (needSeconds && !read->hasSeconds))
        return std::nullopt;
    return read->utc;
}

} // namespace

bool prepareHistorySchema(SqliteDb& db, std::string& error) {
    // Reading the schema is the first touch of the file: a file that is not
    // a database fails here.
    if (!db.exec("PRAGMA schema_version;", error))
        return false;
    bool fresh;
    {
        SqliteStatement tables(db, "SELECT count(*) FROM sqlite_master");
        if (!tables.ok() || sqlite3_step(tables.get()) != SQLITE_ROW) {
            error = db.lastError();
            return false;
        }
        fresh = sqlite3_column_int(tables.get(), 0) == 0;
    }
    // Space freed by the retention goes back to the file system bit by bit.
    if (fresh && !db.exec("PRAGMA auto_vacuum = INCREMENTAL;", error))
        return false;
    if (!db.exec("PRAGMA journal_mode = WAL;", error) ||
        !db.exec("PRAGMA synchronous = NORMAL;", error))
        return false;
    if (!db.exec("BEGIN;", error))
        return false;
    std::string ignored;
    if ((fresh && !db.exec(kFileHeader, error)) || !db.exec(kSchema, error)) {
        db.exec("ROLLBACK;", ignored);
        return false;
    }
    return db.exec("COMMIT;", error);
}

std::string gpkgPointBlob(double lon, double lat, double alt) {
    std::string blob;
    blob.reserve(8 + 5 + 24);
    blob += "GP";
    blob += '\0';   // version 1
    blob += '\x01'; // little-endian header, no envelope, not empty
    put<int32_t>(blob, 4326);
    blob += '\x01';            // little-endian WKB
    put<uint32_t>(blob, 1001); // Point Z
    put<double>(blob, lon);
    put<double>(blob, lat);
    put<double>(blob, alt);
    return blob;
}

bool parseGpkgPoint(std::string_view blob, double& lon, double& lat, double& alt) {
    if (blob.size() < 8 || blob[0] != 'G' || blob[1] != 'P')
        return false;
    const unsigned flags = static_cast<unsigned char>(blob[3]);
    if (flags & 0x10) // empty geometry
        return false;
    static const size_t envelopeSize[] = {0, 32, 48, 48, 64};
    const unsigned envelope = (flags >> 1) & 7;
    if (envelope > 4)
        return false;
    size_t pos = 8 + envelopeSize[envelope];
    if (blob.size() < pos + 5)
        return false;
    const bool little = blob[pos] == 1;
    if (blob[pos] != 0 && blob[pos] != 1)
        return false;
    const uint32_t type = get<uint32_t>(blob.data() + pos + 1, little);
    pos += 5;
    const size_t dims = type == 1 ? 2 : type == 1001 ? 3 : 0;
    if (dims == 0 || blob.size() < pos + 8 * dims)
        return false;
    lon = get<double>(blob.data() + pos, little);
    lat = get<double>(blob.data() + pos + 8, little);
    alt = dims == 3 ? get<double>(blob.data() + pos + 16, little) : 0.0;
    return true;
}

std::string isoTime(int64_t utc) {
    int64_t days = utc / 86400;
    int64_t secs = utc % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    int64_t y;
    unsigned m, d;
    civilFromDays(days, y, m, d);
    if (y < 0)
        y = 0;
    if (y > 9999)
        y = 9999;
    char text[24];
    const unsigned h = static_cast<unsigned>(secs / 3600),
                   mi = static_cast<unsigned>(secs / 60 % 60), s = static_cast<unsigned>(secs % 60);
    const unsigned parts[] = {static_cast<unsigned>(y), m, d, h, mi, s};
    // Written by hand: this runs for every exported point.
    std::memcpy(text, "0000-00-00T00:00:00Z", 21);
    const int pos[] = {0, 5, 8, 11, 14, 17};
    const int width[] = {4, 2, 2, 2, 2, 2};
    for (int i = 0; i < 6; ++i) {
        unsigned v = parts[i];
        for (int k = width[i] - 1; k >= 0; --k) {
            text[pos[i] + k] = static_cast<char>('0' + v % 10);
            v /= 10;
        }
    }
    return std::string(text, 20);
}

std::string gpkgTime(int64_t utc) {
    std::string text = isoTime(utc);
    text.insert(19, ".000");
    return text;
}

std::optional<int64_t> parseGpkgTime(std::string_view text) {
    return parseDateTime(text, true, true);
}

std::optional<int64_t> parseUserTime(std::string_view text) {
    if (!text.empty() && text.size() <= 12 &&
        text.find_first_not_of("0123456789") == std::string_view::npos) {
        int64_t value = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec == std::errc() && end == text.data() + text.size())
            return value;
        return std::nullopt;
    }
    return parseDateTime(text, false, false);
}
