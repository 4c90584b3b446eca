// The track store: each vehicle's ring of its newest 28800 points. Every point
// is kept twice: as a ready KML coordinate line and as a packed block of
// scaled integers that travels to peers. All tracks share one process-wide
// recursive lock ("track").
#pragma once

#include "track/nmea.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

constexpr int kTrackCapacity = 28800;
constexpr int kTrackFileVersion = 179;
constexpr double kKnotsToMph = 1.1507794480235425;
constexpr unsigned kTrackLockWaitMs = 50000;

// One slot, 56 bytes, stored unchanged (little-endian) in track files.
struct TrackPoint {
    char coords[32]; // "%.5lf,%.5lf,%.1lf\n" of lon, lat, alt; empty marks an empty slot
    int32_t lat;     // latitude x 100000, truncated
    int32_t lon;     // longitude x 100000, truncated
    int32_t alt;     // metres x 10, truncated
    int32_t spd;     // mph x 10, truncated
    int32_t time;    // fix time, low 32 bits
    int32_t hdg;     // whole degrees, truncated
};
static_assert(sizeof(TrackPoint) == 56, "track files depend on the slot layout");

// The 20 bytes from lat to time: the unit in which points travel to peers.
struct PackedPoint {
    int32_t lat, lon, alt, spd, time;
};
static_assert(sizeof(PackedPoint) == 20, "peers depend on the packed point layout");

// The one lock all tracks share. Recursive; a wait gives up after 50000 ms
// (logged), and then the caller must not touch any track.
bool trackLock();
void trackUnlock();
// Test seam: the wait of trackLock() in milliseconds (0 restores 50000).
void setTrackLockWaitMs(unsigned ms);

// Largest altitude a point may carry: with |lat| <= 90 and |lon| <= 180 every
// altitude below it fits the 31 characters of the coords text (and alt x 10 an
// int32). Fixes at or above it are rejected like other impossible altitudes.
constexpr double kTrackMaxAlt = 1000000.0;
// Largest ring a track file may declare. Bigger files are refused; files up to
// it keep their newest 28800 points.
constexpr int kTrackFileMaxCapacity = 1 << 20;
constexpr long long kTrackFileHeaderSize = 28;
constexpr long long kTrackFileSize = kTrackFileHeaderSize + 56LL * kTrackCapacity; // 1,612,828

// Test seam for CTrack::save: the calls that put bytes on disk. Tests replace
// them to simulate a full disk or a failing flush; nullptr members restore
// the POSIX calls.
struct TrackFileOps {
    long (*write)(int fd, const void* buf, unsigned long n) = nullptr;
    int (*fsync)(int fd) = nullptr;
    int (*rename)(const char* from, const char* to) = nullptr;
};
void setTrackFileOps(const TrackFileOps& ops);

// Holds the track lock for a scope; check ok() before touching a track.
class TrackLockGuard {
public:
    TrackLockGuard() : m_ok(trackLock()) {}
    ~TrackLockGuard() {
        if (m_ok)
            trackUnlock();
    }
    TrackLockGuard(const TrackLockGuard&) = delete;
    TrackLockGuard& operator=(const TrackLockGuard&) = delete;
    bool ok() const { return m_ok; }

private:
    bool m_ok;
};

// What load found in a file.
struct TrackLoadReport {
    bool found = false;   // something is at the path
    bool damaged = false; // parts (or all) of it could not be read
    int pointsRead = 0;
    int pointsSkipped = 0;
    std::string problem; // what was wrong, for the user
};

// Told of every point the ring takes, after compression, with the track lock
// held: `replacesNewest` when the point takes the place of the newest one (a
// compressed fix, or a fix after the newest was erased as bogus). It must be
// quick and must not take other locks that wait on the track lock.
using TrackPointObserver = std::function<void(const GpsFix& fix, bool replacesNewest)>;

class CTrack {
public:
    CTrack();

    std::atomic<int32_t> m_seqNum{0}; // points ever appended; survives clear
    std::atomic<int32_t> m_newPt{0};  // set whenever a point is written
    int32_t capacity = 0;             // 0 until the ring exists, then 28800
    std::atomic<int32_t> m_nPts{0};
    // The ring's slots in slot order. Only the slots used so far exist: the
    // vector grows with the points up to `capacity`, so a vehicle with a few
    // points costs a few slots, not the whole 1.6 MB ring. A slot at or past
    // its size is empty.
    std::vector<TrackPoint> slots;
    int32_t head = -1; // slot of the newest point; -1 when empty
    GpsFix newest;     // newest stored point, refreshed at the start of add
    GpsFix lastAdded;  // the fix most recently appended
    // Bumped by every change of the points (add, clear, load). Each file
    // that holds exactly the points of some count (saved or loaded) is noted
    // with it, so a periodic save can skip unchanged tracks.
    std::atomic<uint32_t> m_changes{0};

    // Take and release the shared lock (readers hold it across several calls).
    bool lock() { return trackLock(); }
    void unlock() { trackUnlock(); }

    // Offer one fix. Mode 1 compresses; modes 2 and 0 append every accepted fix.
    void add(const GpsFix& fix, int mode);
    // Offer fixes in order under one take of the lock: the same as add() of
    // each, for a log's worth of fixes at a time.
    void add(std::span<const GpsFix> fixes, int mode);
    // Append n peer points (mode 0).
    void addPts(const PackedPoint* pts, int n);
    // Points count+skip-1 .. skip, oldest first, as coords lines or packed
    // blocks; `out` is replaced. Returns the number copied.
    int getPts(std::string& out, int count, bool binary, int skip);
    // One run of points whose speed stays in one band, from index `start`;
    // `out` is replaced. Returns the index step to the next run.
    int getSpeedRun(std::string& out, int start, int count, int band, int& runSpeed,
                    int32_t& lastTime);
    // The slot of a valid index (0 newest), or nullptr.
    const TrackPoint* point(int index) const;
    int pointCount() const { return m_nPts; }
    static bool samePosition(const GpsFix& a, const GpsFix& b);
    // Converts a slot into a fix; rmcSeen and status keep the target's values.
    static void toFix(const TrackPoint& p, GpsFix& fix);

    void clear();
    // Writes the ring to `path` (bare names live in the start directory).
    // The file is replaced atomically; through a symbolic link, the file it
    // names. Returns true when it was written; else `why` says what failed.
    bool save(const std::string& path, std::string* why = nullptr);
    // Like save, but succeeds at once when `path` already holds these very
    // points (saved or loaded there since the last change).
    bool saveIfChanged(const std::string& path, std::string* why = nullptr);
    // Reads a track file as far as it can be read: bytes past the ring are
    // ignored, a file cut short keeps the points it holds, and a damaged
    // point is left out (each logged, and the file counts as damaged). A file
    // whose header cannot be read leaves the track unchanged and gives false.
    bool load(const std::string& path, TrackLoadReport* report = nullptr);
    // load, and a damaged file is moved aside (numbered ".bad" names) before
    // anything can be saved over it; the user is told once.
    bool loadOrSetAside(const std::string& path);
    // A readable listing into the start directory, or to the trace log without a name.
    void dump(const char* name);

    // Installs (or, empty, removes) the observer of accepted points. Loading a
    // file and clearing tell it nothing.
    void setObserver(TrackPointObserver observer);

    // True once the ring exists (after the first add or load).
    bool hasRing() const { return capacity > 0; }

private:
    void allocate();
    // add() once the fix passed its checks and the lock is held.
    void addHeld(const GpsFix& fix, int mode);
    // Track lock held.
    bool inStepWith(const std::string& file) const;
    void markInStep(const std::string& file, uint32_t changes);
    std::vector<std::pair<std::string, uint32_t>> m_filesInStep;
    TrackPointObserver m_observer; // under the track lock
    // Makes slot `slot` exist, growing the vector geometrically but never
    // past capacity.
    void ensureSlot(int slot);
};
