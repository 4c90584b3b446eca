// The track store: one ring of 28800 points per vehicle, the rules
// that decide which fixes become points, and the ".trk" file.
#include "track/track.h"

#include "platform/numeric.h"
#include "platform/paths.h"
#include "platform/runtime.h"
#include "trace/trace.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

static_assert(std::endian::native == std::endian::little,
              "track files and packed points are little-endian; add byte swapping for this host");
static_assert(offsetof(TrackPoint, lat) == 32 && offsetof(TrackPoint, hdg) == 52);

namespace {

constexpr int64_t kSevenDays = 604800;
constexpr char kMagic[8] = {'V', 'e', 'r', 's', 'i', 'o', 'n', ':'};

// --- the lock ---------------------------------------------------------------

std::recursive_timed_mutex& trackMutex() {
    static std::recursive_timed_mutex m;
    return m;
}
std::atomic<unsigned> g_lockWaitMs{kTrackLockWaitMs};

// --- file seam --------------------------------------------------------------

long posixWrite(int fd, const void* buf, unsigned long n) {
    return ::write(fd, buf, n);
}
int posixFsync(int fd) {
    return ::fsync(fd);
}
int posixRename(const char* from, const char* to) {
    return ::rename(from, to);
}
TrackFileOps g_fileOps{posixWrite, posixFsync, posixRename};

// --- conversions ------------------------------------------------------------

int32_t low32(int64_t t) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(t)));
}

bool slotEmpty(const TrackPoint& p) {
    return p.coords[0] == '\0';
}

// Reads "%lf,%lf,%lf" (lon, lat, alt) back from a coords text. from_chars
// reads what writeCoords wrote, whatever the locale, at a fraction of
// strtod's cost: add runs this for every fix.
void readCoords(const char* text, double& lon, double& lat, double& alt) {
    const char* p = text;
    const char* end = text + std::strlen(text);
    auto next = [&](double& v) {
        v = 0;
        p = std::from_chars(p, end, v).ptr; // unchanged (and v 0) when unreadable
        if (p < end && *p == ',')
            ++p;
    };
    next(lon);
    next(lat);
    next(alt);
}

// "%.5lf,%.5lf,%.1lf\n" of lon, lat, alt into a slot's coords. to_chars rounds
// exactly as printf does in the C locale and is several times faster: add runs
// this for every fix, compressed ones included.
void writeCoords(char (&out)[32], double lon, double lat, double alt) {
    char* p = out;
    char* const last = out + sizeof out - 1; // the terminator's place
    auto put = [&](double v, int precision, char after) {
        auto r = std::to_chars(p, last, v, std::chars_format::fixed, precision);
        if (r.ec != std::errc() || r.ptr == last)
            return false;
        p = r.ptr;
        *p++ = after;
        return true;
    };
    if (put(lon, 5, ',') && put(lat, 5, ',') && put(alt, 1, '\n')) {
        *p = '\0';
        return;
    }
    std::snprintf(out, sizeof out, "%.5lf,%.5lf,%.1lf\n", lon, lat, alt); // cut to fit
}

// A coords text from a file must be something add() could have written:
// terminated within its 32 bytes and made of number characters only. Anything
// else could run past the slot or inject markup into the KML it is pasted into.
bool coordsTextSane(const TrackPoint& p) {
    const void* nul = std::memchr(p.coords, '\0', sizeof p.coords);
    if (!nul)
        return false;
    for (const char* c = p.coords; *c; ++c) {
        if (!((*c >= '0' && *c <= '9') || *c == '-' || *c == '.' || *c == ',' || *c == '\n'))
            return false;
    }
    return true;
}

// The fix-time text of dump(), the same as the KML writer's formatFixTime: local wall clock.
std::string fixTimeText(int64_t time) {
    if (time == 0)
        return std::string();
    time_t utc = static_cast<time_t>(fixTimeToUtc(time));
    struct tm t;
    if (!localtime_r(&utc, &t))
        return std::string();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%02d %02d:%02d", t.tm_mon + 1, t.tm_mday,
                  t.tm_year + 1900 - 2000, t.tm_hour, t.tm_min);
    return buf;
}

bool writeAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        long w = g_fileOps.write(fd, data, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            if (w == 0)
                errno = EIO;
            return false;
        }
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// The file header as read from disk.
struct FileHeader {
    int32_t version, capacity, head, nPts, seqNum;
};

} // namespace

// --- lock -------------------------------------------------------------------

bool trackLock() {
    unsigned wait = g_lockWaitMs.load();
    if (trackMutex().try_lock_for(std::chrono::milliseconds(wait)))
        return true;
    NTRACE("track lock not obtained within %u ms; operation skipped", wait);
    return false;
}

void trackUnlock() {
    trackMutex().unlock();
}

void setTrackLockWaitMs(unsigned ms) {
    g_lockWaitMs = ms ? ms : kTrackLockWaitMs;
}

void setTrackFileOps(const TrackFileOps& ops) {
    g_fileOps.write = ops.write ? ops.write : posixWrite;
    g_fileOps.fsync = ops.fsync ? ops.fsync : posixFsync;
    g_fileOps.rename = ops.rename ? ops.rename : posixRename;
}

// --- CTrack -----------------------------------------------------------------

CTrack::CTrack() = default;

void CTrack::allocate() {
    slots = std::make_unique<TrackPoint[]>(kTrackCapacity); // value-initialised: all empty
    capacity = kTrackCapacity;
    head = -1;
    m_nPts = 0;
    m_seqNum = 0;
}

const TrackPoint* CTrack::point(int index) const {
    // Index i is slot head - i (wrapped). Valid indices are 0 .. m_nPts-1: in
    // every state add() leaves behind this equals "slot head - i is below m_nPts".
    int n = m_nPts;
    if (!slots || index < 0 || index >= n || capacity <= 0)
        return nullptr;
    int slot = head - index;
    if (slot < 0)
        slot += capacity;
    if (slot < 0 || slot >= capacity)
        return nullptr;
    return &slots[slot];
}

void CTrack::toFix(const TrackPoint& p, GpsFix& fix) {
    fix.lat = p.lat / 100000.0;
    fix.lon = p.lon / 100000.0;
    fix.alt = p.alt / 10.0;
    fix.spd = p.spd / 10.0 / kKnotsToMph;
    fix.time = static_cast<int64_t>(p.time);
    fix.hdg = p.hdg;
}

bool CTrack::samePosition(const GpsFix& a, const GpsFix& b) {
    // Compared as truncated doubles: the same as comparing the truncated
    // integers, without undefined conversions for absurd values.
    return std::trunc(a.lat * 100000) == std::trunc(b.lat * 100000) &&
           std::trunc(a.lon * 100000) == std::trunc(b.lon * 100000);
}

void CTrack::add(const GpsFix& fix, int mode) {
    if (!(fix.spd >= 0 && fix.spd <= 10000) || !(fix.alt >= -10000 && fix.alt < kTrackMaxAlt)) {
        NTRACE("rejecting point, invalid speed or altitude");
        return;
    }
    if (!(std::fabs(fix.lat) <= 90 && std::fabs(fix.lon) <= 180)) {
        // Also catches NaN. Such a point cannot be drawn, and its scaled
        // integers would not fit the packed point.
        NTRACE("rejecting point, invalid lat,lon");
        return;
    }
    if (fix.lat == 0 && fix.lon == 0) {
        NTRACE("rejecting point, zero lat,lon");
        return;
    }
    if (fix.time > nowFixTime() + kSevenDays) {
        NTRACE("rejecting point, GPS time greater than 7 days in the future");
        return;
    }

    TrackLockGuard guard;
    if (!guard.ok()) {
        NTRACE("point dropped: no track lock");
        return;
    }
    NumericCLocale numeric;
    if (!slots)
        allocate();
    if (m_nPts == 0) {
        newest = GpsFix();
        lastAdded = GpsFix();
    } else {
        toFix(*point(0), newest);
    }

    if (m_nPts > 0) {
        bool inOrder = fix.time > newest.time && (newest.time == 0 || fix.time >= 1000);
        if (!inOrder) {
            bool bogus;
            if (m_nPts == 1) {
                bogus = fix.time != newest.time;
            } else {
                GpsFix before;
                toFix(*point(1), before);
                bogus = before.time > fix.time || (fix.time > 1000 && fix.time == newest.time);
            }
            if (!bogus) {
                NTRACE("rejecting point");
                return;
            }
            // Time ran backwards past the point before the newest, or repeats
            // the newest: the newest point is the wrong one, not this fix.
            NTRACE("erasing bogus point!");
            head = (head == 0 && m_nPts == capacity) ? capacity - 1 : head - 1;
            m_nPts = m_nPts - 1;
            mode = 0;
        }
    }

    bool overwrite = false;
    if (mode == 1) {
        if (m_nPts > 0 && samePosition(fix, newest))
            return;
        bool sameCourse = truncInt32(fix.hdg) == truncInt32(newest.hdg);
        bool sameBand = std::trunc(fix.spd * 0.75) == std::trunc(newest.spd * 0.75) && fix.spd >= 0;
        bool timedOut = true;
        if (m_nPts > 1) {
            uint32_t dt = static_cast<uint32_t>(low32(fix.time)) -
                          static_cast<uint32_t>(low32(lastAdded.time));
            timedOut = (fix.spd > 0 && dt > 10) || dt > 600;
        }
        if (timedOut)
            NTRACE("timed out\n");
        if (sameCourse && sameBand && !timedOut && head >= 1) {
            NTRACE("compressed point");
            overwrite = true;
        }
    }

    if (!overwrite) {
        ++head;
        if (m_nPts < capacity)
            m_nPts = m_nPts + 1;
        ++m_seqNum;
        lastAdded = fix;
    }
    if (head == capacity)
        head = 0;

    TrackPoint& p = slots[head];
    // Fits by construction: |lon| <= 180, |lat| <= 90 and alt < 1e6 give at
    // most 31 characters ("-180.00000,-90.00000,999999.9\n").
    writeCoords(p.coords, fix.lon, fix.lat, fix.alt);
    p.hdg = truncInt32(fix.hdg);
    p.spd = truncInt32(fix.spd * kKnotsToMph * 10);
    p.time = low32(fix.time);
    double lon, lat, alt;
    readCoords(p.coords, lon, lat, alt);
    p.lat = truncInt32(lat * 100000);
    p.lon = truncInt32(lon * 100000);
    p.alt = truncInt32(alt * 10);
    m_newPt = 1;
}

void CTrack::addPts(const PackedPoint* pts, int n) {
    if (!pts || n <= 0)
        return;
    TrackLockGuard guard;
    if (!guard.ok())
        return;
    if (n > 1)
        NTRACE("adding %ld pts", static_cast<long>(n));
    for (int i = 0; i < n; ++i) {
        GpsFix f;
        f.lat = pts[i].lat * 0.00001;
        f.lon = pts[i].lon * 0.00001;
        f.alt = pts[i].alt * 0.1;
        f.spd = pts[i].spd * 0.1 / kKnotsToMph;
        f.time = static_cast<int64_t>(pts[i].time);
        f.hdg = 0;
        add(f, 0);
    }
    if (n > 1)
        NTRACE("added %ld pts", static_cast<long>(n));
}

int CTrack::getPts(std::string& out, int count, bool binary, int skip) {
    out.clear();
    if (count < 0)
        count = 0;
    if (skip < 0)
        skip = 0;
    int64_t total = static_cast<int64_t>(count) + skip;
    if (total == 0 || m_nPts == 0)
        return 0;
    NTRACE("getting %ld pts", static_cast<long>(total));
    TrackLockGuard guard;
    if (!guard.ok())
        return 0;
    total = std::min<int64_t>(total, capacity);
    total = std::min<int64_t>(total, m_nPts);
    int copied = 0;
    if (total > skip)
        out.reserve(static_cast<size_t>(total - skip) * (binary ? sizeof(PackedPoint) : 31));
    for (int64_t i = total - 1; i >= skip; --i) {
        const TrackPoint* p = point(static_cast<int>(i));
        if (!p || slotEmpty(*p))
            break;
        if (binary)
            out.append(reinterpret_cast<const char*>(&p->lat), sizeof(PackedPoint));
        else
            out.append(p->coords, strnlen(p->coords, sizeof p->coords));
        ++copied;
    }
    NTRACE("got %ld pts", static_cast<long>(total));
    return copied;
}

int CTrack::getSpeedRun(std::string& out, int start, int count, int band, int& runSpeed,
                        int32_t& lastTime) {
    out.clear();
    lastTime = 0;
    TrackLockGuard guard;
    if (!guard.ok())
        return 0;
    const TrackPoint* first = point(start);
    if (!first)
        return 0;
    // A band below 1 mph would divide by zero; a huge one would overflow.
    int64_t width = std::clamp(band, 1, 1000000);
    int64_t low = (static_cast<int64_t>(first->spd) / 10 / width) * width;
    int64_t high = low + width;
    runSpeed = static_cast<int>(low);
    int copied = 0;
    const TrackPoint* previous = nullptr;
    for (int i = start; copied < count; ++i) {
        const TrackPoint* p = point(i);
        if (!p)
            break;
        // A gap of more than an hour ends the run before this point, so that
        // the next run starts after the gap and no line is drawn across it.
        if (previous && static_cast<int64_t>(previous->time) - p->time > 3600)
            return copied;
        out.append(p->coords, strnlen(p->coords, sizeof p->coords));
        lastTime = p->time;
        ++copied;
        previous = p;
        int64_t v = p->spd / 10;
        if (v < low || v > high)
            break; // the point that leaves the band belongs to this run too
        runSpeed = static_cast<int>(v);
    }
    return std::max(copied - 1, 1);
}

void CTrack::clear() {
    TrackLockGuard guard;
    if (!guard.ok())
        return;
    if (!slots)
        return;
    std::memset(static_cast<void*>(slots.get()), 0,
                sizeof(TrackPoint) * static_cast<size_t>(capacity));
    head = -1;
    m_nPts = 0;
    newest = GpsFix();
    lastAdded = GpsFix();
}

bool CTrack::save(const std::string& name) {
    if (!slots)
        return false;
    const std::string path = FullPath(name);

    // Serialise under the lock (a memory copy), write outside it.
    std::vector<char> image;
    {
        TrackLockGuard guard;
        if (!guard.ok())
            return false;
        if (!slots)
            return false;
        image.resize(kTrackFileHeaderSize + sizeof(TrackPoint) * static_cast<size_t>(capacity));
        std::memcpy(image.data(), kMagic, sizeof kMagic);
        int32_t header[5] = {kTrackFileVersion, capacity, head, m_nPts, m_seqNum};
        std::memcpy(image.data() + 8, header, sizeof header);
        std::memcpy(image.data() + kTrackFileHeaderSize, slots.get(),
                    sizeof(TrackPoint) * static_cast<size_t>(capacity));
    }

    // A unique temporary file beside the target, so the rename stays within
    // one file system and a crash at any moment leaves either the old file
    // or the complete new one.
    static std::atomic<unsigned> counter{0};
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = path + ".tmp" + std::to_string(getpid()) + "." + std::to_string(counter++);
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        NTRACE("cannot create %s: errno %d", tmp.c_str(), errno);
        return false;
    }
    bool ok = writeAll(fd, image.data(), image.size());
    if (!ok)
        NTRACE("writing %s failed: errno %d", tmp.c_str(), errno);
    if (ok && g_fileOps.fsync(fd) != 0) {
        NTRACE("flushing %s failed: errno %d", tmp.c_str(), errno);
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        NTRACE("closing %s failed: errno %d", tmp.c_str(), errno);
        ok = false;
    }
    if (ok && g_fileOps.rename(tmp.c_str(), path.c_str()) != 0) {
        NTRACE("renaming %s to %s failed: errno %d", tmp.c_str(), path.c_str(), errno);
        ok = false;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    // Make the rename itself durable.
    int dfd = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        g_fileOps.fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool CTrack::load(const std::string& name) {
    const std::string path = FullPath(name);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        NTRACE("cannot open %s: errno %d", path.c_str(), errno);
        return false;
    }
    struct FileCloser {
        FILE* f;
        ~FileCloser() { std::fclose(f); }
    } closer{f};

    char magic[8];
    if (std::fread(magic, 1, sizeof magic, f) != sizeof magic ||
        std::memcmp(magic, kMagic, sizeof magic)) {
        NTRACE("%s is not a track file", path.c_str());
        return false;
    }
    FileHeader h;
    if (std::fread(&h, sizeof h, 1, f) != 1) {
        NTRACE("%s: header cut short", path.c_str());
        return false;
    }
    if (h.capacity < 1 || h.capacity > kTrackFileMaxCapacity) {
        NTRACE("%s: capacity %d out of range", path.c_str(), h.capacity);
        return false;
    }
    if (h.nPts < 0 || h.nPts > h.capacity) {
        NTRACE("%s: m_nPts %d out of range for capacity %d", path.c_str(), h.nPts, h.capacity);
        return false;
    }
    // add() keeps head == m_nPts - 1 until the ring is full; after that head
    // may be any slot.
    bool headOk =
        h.nPts == h.capacity ? (h.head >= 0 && h.head < h.capacity) : h.head == h.nPts - 1;
    if (!headOk) {
        NTRACE("%s: head %d inconsistent with m_nPts %d, capacity %d", path.c_str(), h.head, h.nPts,
               h.capacity);
        return false;
    }
    struct stat st;
    long long expected = kTrackFileHeaderSize + 56LL * h.capacity;
    if (fstat(fileno(f), &st) != 0 || static_cast<long long>(st.st_size) != expected) {
        NTRACE("%s: size %lld, header says %lld", path.c_str(), static_cast<long long>(st.st_size),
               expected);
        return false;
    }
    std::vector<TrackPoint> fileSlots(static_cast<size_t>(h.capacity));
    if (std::fread(fileSlots.data(), sizeof(TrackPoint), fileSlots.size(), f) != fileSlots.size()) {
        NTRACE("%s: slots cut short", path.c_str());
        return false;
    }

    // Take the points by index, newest first, into a fresh ring: newest in
    // slot n-1, oldest in slot 0. A file of the current capacity keeps its
    // slots as they are; a larger one keeps its newest 28800 points.
    auto fileSlot = [&](int index) -> const TrackPoint& {
        int slot = h.head - index;
        if (slot < 0)
            slot += h.capacity;
        return fileSlots[static_cast<size_t>(slot)];
    };
    int n = std::min(h.nPts, kTrackCapacity);
    for (int i = 0; i < n; ++i) {
        if (!coordsTextSane(fileSlot(i))) {
            NTRACE("%s: point %d has an unreadable coords text", path.c_str(), i);
            return false;
        }
    }
    auto ring = std::make_unique<TrackPoint[]>(kTrackCapacity);
    int newHead;
    if (h.capacity == kTrackCapacity) {
        std::copy(fileSlots.begin(), fileSlots.end(), ring.get());
        // Slots outside the valid range are never read as points, but keep
        // their texts terminated all the same.
        for (int s = 0; s < kTrackCapacity; ++s)
            ring[s].coords[sizeof ring[s].coords - 1] = '\0';
        newHead = h.head;
    } else {
        for (int i = 0; i < n; ++i)
            ring[n - 1 - i] = fileSlot(i);
        newHead = n - 1;
        if (h.nPts > n)
            NTRACE("%s: %d points, keeping the newest %d", path.c_str(), h.nPts, n);
    }

    TrackLockGuard guard;
    if (!guard.ok())
        return false;
    slots = std::move(ring);
    capacity = kTrackCapacity;
    head = newHead;
    m_nPts = n;
    m_seqNum = h.seqNum;
    return true;
}

void CTrack::dump(const char* name) {
    if (!slots)
        return;
    FILE* f = nullptr;
    if (name) {
        // The name is a vehicle's key, which a remote sender chooses: every
        // '/' becomes '.', so that the listing stays in the start directory
        // ("//../x" would otherwise climb out of it).
        std::string file = name;
        for (char& c : file)
            if (c == '/')
                c = '.';
        f = std::fopen(FullPath(file).c_str(), "w");
        if (!f)
            return;
    }
    {
        TrackLockGuard guard;
        if (guard.ok()) {
            NumericCLocale numeric;
            if (f)
                std::fprintf(f, "head:%d m_nPts:%d m_seqNum:%d m_newPt:%d\n", head, m_nPts.load(),
                             m_seqNum.load(), m_newPt.load());
            for (int i = 0; i < m_nPts; ++i) {
                const TrackPoint* p = point(i);
                if (!p)
                    break;
                GpsFix fix;
                toFix(*p, fix);
                std::string when = fixTimeText(fix.time);
                if (f)
                    std::fprintf(f, "%d:%lld(%s) %.5lf %.5lf %.2lf %.2lf %.2lf\n", i,
                                 static_cast<long long>(fix.time), when.c_str(), fix.lat, fix.lon,
                                 fix.alt, fix.spd, fix.hdg);
                else
                    NTRACE("%d:%lld(%s) %.5lf %.5lf %.2lf %.2lf %.2lf\n", i,
                           static_cast<long long>(fix.time), when.c_str(), fix.lat, fix.lon,
                           fix.alt, fix.spd, fix.hdg);
            }
        }
    }
    if (f)
        std::fclose(f);
}
