// The track store: one ring of 28800 points per vehicle, the rules
// that decide which fixes become points, and the ".trk" file.
#include "track/track.h"

#include "platform/atomicFile.h"
#include "platform/numeric.h"
#include "platform/paths.h"
#include "platform/runtime.h"
#include "trace/notice.h"
#include "trace/trace.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

static_assert(std::endian::native == std::endian::little,
              "track files and packed points are little-endian; add byte swapping for this host");
static_assert(offsetof(TrackPoint, lat) == 32 && offsetof(TrackPoint, hdg) == 52);

namespace {

constexpr int64_t kSevenDays = 604800;
constexpr char kMagic[8] = {'V', 'e', 'r', 's', 'i', 'o', 'n', ':'};

// --- the lock ---------------------------------------------------------------

// A recursive lock with a time-out, built on a plain mutex and a condition
// variable: the owner may take it again, anyone else waits at most the set
// time. (std::recursive_timed_mutex waits in pthread_mutex_timedlock, which
// ThreadSanitizer cannot follow; this way every checker sees the hand-over.)
class TrackMutex {
public:
    bool lockFor(std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const std::thread::id me = std::this_thread::get_id();
        if (m_depth > 0 && m_owner == me) {
            ++m_depth;
            return true;
        }
        // A free lock is taken without reading the clock (wait_for would).
        if (m_depth != 0 && !m_free.wait_for(lock, wait, [this] { return m_depth == 0; }))
            return false;
        m_owner = me;
        m_depth = 1;
        return true;
    }
    void unlock() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_depth == 0 || --m_depth > 0)
                return;
            m_owner = std::thread::id();
        }
        m_free.notify_one();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_free;
    std::thread::id m_owner;
    unsigned m_depth = 0;
};

TrackMutex& trackMutex() {
    static TrackMutex m;
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
    const NumericCLocale numeric; // a decimal point whatever the user's locale
    std::snprintf(out, sizeof out, "%.5lf,%.5lf,%.1lf\n", lon, lat, alt); // cut to fit
}

// "%.Nf" of `v` (N = `decimals`, 1 or 5) at `p`, and the number that text
// reads back as, without printf or to_chars, for the values a track holds.
// The digits are v * 10^N rounded; that product is off the exact one by at
// most half a unit in its last place, under 2^-23 below 2^30, so unless it
// lies within 1e-6 of a half the rounding is the exact value's, as printf
// rounds it. Near a half (a sixth of all positions from minutes with four
// decimals land on one) the product's exact error, which a fused multiply-add
// gives, says on which side of the half the exact value lies. The text
// "n / 10^N" reads back as the division n / 10^N, which is correctly rounded.
// False (nothing written) on an exact half, for a large or non-finite value,
// or when the text would not fit before `last`.
bool putFixed(char*& p, char* last, double v, int decimals, double& readBack) {
    const double scale = decimals == 5 ? 1e5 : 1e1;
    const double x = std::fabs(v) * scale;
    if (!(x < 1073741824.0)) // also NaN
        return false;
    const double whole = std::floor(x);
    const double fraction = x - whole; // exact at this size
    bool up = fraction > 0.5;
    if (std::fabs(fraction - 0.5) < 1e-6) {
        // |v| * 10^N - x exactly; fraction - 0.5 is exact here too, and the
        // sign of their sum survives its rounding.
        const double error = std::fma(std::fabs(v), scale, -x);
        const double beyondHalf = (fraction - 0.5) + error;
        if (beyondHalf == 0)
            return false; // an exact half: printf's own rule decides
        up = beyondHalf > 0;
    }
    uint64_t units = static_cast<uint64_t>(whole) + (up ? 1 : 0);
    // The digits from the last, two at a time, then zeros up to "0.0...".
    static constexpr char kPairs[] = "00010203040506070809101112131415161718192021222324"
                                     "25262728293031323334353637383940414243444546474849"
                                     "50515253545556575859606162636465666768697071727374"
                                     "75767778798081828384858687888990919293949596979899";
    char digits[24];
    int count = 0;
    uint64_t n = units;
    for (; n >= 100; n /= 100) {
        const size_t pair = static_cast<size_t>(n % 100) * 2;
        digits[count++] = kPairs[pair + 1];
        digits[count++] = kPairs[pair];
    }
    if (n >= 10) {
        digits[count++] = kPairs[n * 2 + 1];
        digits[count++] = kPairs[n * 2];
    } else {
        digits[count++] = static_cast<char>('0' + n);
    }
    while (count <= decimals)
        digits[count++] = '0';
    const bool negative = std::signbit(v);
    if (last - p <= count + 1 + (negative ? 1 : 0))
        return false;
    if (negative)
        *p++ = '-';
    for (int i = count - 1; i >= decimals; --i)
        *p++ = digits[i];
    *p++ = '.';
    for (int i = decimals - 1; i >= 0; --i)
        *p++ = digits[i];
    readBack = static_cast<double>(units) / scale;
    if (negative)
        readBack = -readBack;
    return true;
}

// writeCoords and readCoords of it in one pass, for the common values; false
// leaves `out` to writeCoords.
bool writeCoordsFast(char (&out)[32], double lon, double lat, double alt, double& lonBack,
                     double& latBack, double& altBack) {
    char* p = out;
    char* const last = out + sizeof out - 1;
    if (!putFixed(p, last, lon, 5, lonBack) || (*p++ = ',', !putFixed(p, last, lat, 5, latBack)) ||
        (*p++ = ',', !putFixed(p, last, alt, 1, altBack)) || p >= last)
        return false;
    *p++ = '\n';
    *p = '\0';
    return true;
}

// The slot a fix becomes. Fits by construction: |lon| <= 180, |lat| <= 90 and
// alt < 1e6 give at most 31 characters ("-180.00000,-90.00000,999999.9\n").
void fillSlot(TrackPoint& p, const GpsFix& fix) {
    std::memset(static_cast<void*>(&p), 0, sizeof p);
    p.hdg = truncInt32(fix.hdg);
    p.spd = truncInt32(fix.spd * kKnotsToMph * 10);
    p.time = low32(fix.time);
    double lon, lat, alt;
    if (!writeCoordsFast(p.coords, fix.lon, fix.lat, fix.alt, lon, lat, alt)) {
        std::memset(p.coords, 0, sizeof p.coords);
        writeCoords(p.coords, fix.lon, fix.lat, fix.alt);
        readCoords(p.coords, lon, lat, alt);
    }
    p.lat = truncInt32(lat * 100000);
    p.lon = truncInt32(lon * 100000);
    p.alt = truncInt32(alt * 10);
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
    if (trackMutex().lockFor(std::chrono::milliseconds(wait)))
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

namespace {

// Whether a fix can be a point at all: checked before the lock is taken. The
// log names add(), where the points are offered.
constexpr const char* kAddName = "CTrack::add";
bool fitsTrack(const GpsFix& fix) {
    if (!(fix.spd >= 0 && fix.spd <= 10000) || !(fix.alt >= -10000 && fix.alt < kTrackMaxAlt)) {
        NTRACE_AS(kAddName, "rejecting point, invalid speed or altitude");
        return false;
    }
    if (!(std::fabs(fix.lat) <= 90 && std::fabs(fix.lon) <= 180)) {
        // Also catches NaN. Such a point cannot be drawn, and its scaled
        // integers would not fit the packed point.
        NTRACE_AS(kAddName, "rejecting point, invalid lat,lon");
        return false;
    }
    if (fix.lat == 0 && fix.lon == 0) {
        NTRACE_AS(kAddName, "rejecting point, zero lat,lon");
        return false;
    }
    if (fix.time > nowFixTime() + kSevenDays) {
        NTRACE_AS(kAddName, "rejecting point, GPS time greater than 7 days in the future");
        return false;
    }
    return true;
}

} // namespace

// --- CTrack -----------------------------------------------------------------

CTrack::CTrack() = default;

void CTrack::allocate() {
    slots.clear(); // every slot empty; they come into being as points arrive
    capacity = kTrackCapacity;
    head = -1;
    m_nPts = 0;
    m_seqNum = 0;
}

const TrackPoint* CTrack::point(int index) const {
    // Index i is slot head - i (wrapped). Valid indices are 0 .. m_nPts-1: in
    // every state add() leaves behind this equals "slot head - i is below m_nPts".
    int n = m_nPts;
    if (index < 0 || index >= n || capacity <= 0)
        return nullptr;
    int slot = head - index;
    if (slot < 0)
        slot += capacity;
    if (slot < 0 || slot >= capacity || static_cast<size_t>(slot) >= slots.size())
        return nullptr;
    return &slots[static_cast<size_t>(slot)];
}

void CTrack::ensureSlot(int slot) {
    size_t need = static_cast<size_t>(slot) + 1;
    if (need <= slots.size())
        return;
    if (need > slots.capacity()) {
        // Doubling keeps appends cheap; the cap keeps a full ring at exactly
        // 28800 slots instead of the 32768 that doubling would reach.
        size_t grown = std::max<size_t>({need, 16, slots.capacity() * 2});
        slots.reserve(std::min<size_t>(grown, static_cast<size_t>(capacity)));
    }
    slots.resize(need); // new slots are value-initialised: empty
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
    if (!fitsTrack(fix))
        return;
    TrackLockGuard guard;
    if (!guard.ok()) {
        NTRACE("point dropped: no track lock");
        return;
    }
    addHeld(fix, mode);
}

void CTrack::add(std::span<const GpsFix> fixes, int mode) {
    TrackLockGuard guard;
    if (!guard.ok()) {
        NTRACE("%zu points dropped: no track lock", fixes.size());
        return;
    }
    for (const GpsFix& fix : fixes)
        if (fitsTrack(fix))
            addHeld(fix, mode);
}

void CTrack::addHeld(const GpsFix& fix, int mode) {
    if (!hasRing())
        allocate();
    if (m_nPts == 0) {
        newest = GpsFix();
        lastAdded = GpsFix();
    } else {
        toFix(*point(0), newest);
    }

    bool erasedNewest = false;
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
                NTRACE_AS(kAddName, "rejecting point");
                return;
            }
            // Time ran backwards past the point before the newest, or repeats
            // the newest: the newest point is the wrong one, not this fix.
            NTRACE_AS(kAddName, "erasing bogus point!");
            head = (head == 0 && m_nPts == capacity) ? capacity - 1 : head - 1;
            m_nPts = m_nPts - 1;
            mode = 0;
            erasedNewest = true;
        }
    }

    // The slot this fix becomes. Compression compares it, converted back,
    // with the newest point: like with like. The raw fix would differ from a
    // stored copy of itself (coords rounded to 5 decimals, speed truncated to
    // mph x 10), so a parked receiver would add a point per fix and some
    // constant speeds would straddle a band edge.
    TrackPoint slot;
    fillSlot(slot, fix);
    bool overwrite = false;
    if (mode == 1) {
        GpsFix stored;
        toFix(slot, stored);
        if (m_nPts > 0 && samePosition(stored, newest))
            return;
        bool sameCourse = slot.hdg == truncInt32(newest.hdg);
        bool sameBand =
            std::trunc(stored.spd * 0.75) == std::trunc(newest.spd * 0.75) && fix.spd >= 0;
        bool timedOut = true;
        if (m_nPts > 1) {
            uint32_t dt = static_cast<uint32_t>(low32(fix.time)) -
                          static_cast<uint32_t>(low32(lastAdded.time));
            timedOut = (fix.spd > 0 && dt > 10) || dt > 600;
        }
        if (timedOut)
            NTRACE_AS(kAddName, "timed out\n");
        if (sameCourse && sameBand && !timedOut && head >= 1) {
            NTRACE_AS(kAddName, "compressed point");
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

    ensureSlot(head);
    slots[static_cast<size_t>(head)] = slot;
    m_newPt = 1;
    ++m_changes;
    if (m_observer)
        m_observer(fix, overwrite || erasedNewest);
}

void CTrack::setObserver(TrackPointObserver observer) {
    TrackLockGuard guard;
    if (guard.ok())
        m_observer = std::move(observer);
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
        if (fitsTrack(f))
            addHeld(f, 0);
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
    if (!hasRing())
        return;
    // Every slot empty again; the memory goes back too, and the ring grows
    // anew with the next points.
    std::vector<TrackPoint>().swap(slots);
    ++m_changes;
    head = -1;
    m_nPts = 0;
    newest = GpsFix();
    lastAdded = GpsFix();
}

bool CTrack::inStepWith(const std::string& path) const {
    for (const auto& [file, changes] : m_filesInStep)
        if (file == path)
            return changes == m_changes;
    return false;
}

void CTrack::markInStep(const std::string& path, uint32_t changes) {
    for (auto& [file, c] : m_filesInStep) {
        if (file == path) {
            c = changes;
            return;
        }
    }
    m_filesInStep.emplace_back(path, changes);
}

bool CTrack::saveIfChanged(const std::string& name, std::string* why) {
    {
        TrackLockGuard guard;
        if (guard.ok() && hasRing() && inStepWith(resolveLinkTarget(FullPath(name))))
            return true;
    }
    return save(name, why);
}

bool CTrack::save(const std::string& name, std::string* why) {
    if (!hasRing())
        return false;
    // Through a symbolic link the file it names is replaced, and the link stays.
    const std::string path = resolveLinkTarget(FullPath(name));
    auto fail = [&](const char* step, const std::string& file) {
        const int err = errno;
        NTRACE_ERROR("%s %s: errno %d (%s)", step, file.c_str(), err, std::strerror(err));
        if (why)
            *why = std::string(step) + " " + file + ": " + std::strerror(err);
        return false;
    };

    // Serialise under the lock (a memory copy), write outside it.
    std::vector<char> image;
    uint32_t changes = 0;
    {
        TrackLockGuard guard;
        if (!guard.ok()) {
            errno = EBUSY;
            return fail("cannot lock the track for", path);
        }
        if (!hasRing())
            return false;
        // Only the slots the ring has grown to are written; the rest of the
        // file is a hole, which reads as the empty (all-zero) slots it stands
        // for. The layout stays whole, and the disk used grows with the points.
        const size_t used = std::min(slots.size(), static_cast<size_t>(capacity));
        image.assign(kTrackFileHeaderSize + sizeof(TrackPoint) * used, 0);
        std::memcpy(image.data(), kMagic, sizeof kMagic);
        changes = m_changes;
        int32_t header[5] = {kTrackFileVersion, capacity, head, m_nPts, m_seqNum};
        std::memcpy(image.data() + 8, header, sizeof header);
        if (used > 0) // a cleared ring holds no slots at all
            std::memcpy(image.data() + kTrackFileHeaderSize, slots.data(),
                        sizeof(TrackPoint) * used);
    }
    const off_t fileSize = static_cast<off_t>(kTrackFileHeaderSize) +
                           static_cast<off_t>(sizeof(TrackPoint)) * kTrackCapacity;

    // A unique temporary file beside the target, so the rename stays within
    // one file system and a crash at any moment leaves either the old file
    // or the complete new one. Its name carries our pid, so that a later
    // start can remove it should we die before the rename.
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = tempNameBeside(path);
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return fail("cannot create", tmp);
    bool ok = writeAll(fd, image.data(), image.size()) || fail("cannot write", tmp);
    ok = ok && (::ftruncate(fd, fileSize) == 0 || fail("cannot write", tmp));
    ok = ok && (g_fileOps.fsync(fd) == 0 || fail("cannot flush", tmp));
    if (::close(fd) != 0 && ok)
        ok = fail("cannot close", tmp);
    ok = ok && (g_fileOps.rename(tmp.c_str(), path.c_str()) == 0 || fail("cannot replace", path));
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
    TrackLockGuard guard;
    if (guard.ok())
        markInStep(path, changes);
    return true;
}

bool CTrack::load(const std::string& name, TrackLoadReport* report) {
    TrackLoadReport local;
    TrackLoadReport& r = report ? *report : local;
    r = TrackLoadReport();
    const std::string path = FullPath(name);
    auto refuse = [&](const std::string& problem, bool damaged) {
        NTRACE_WARN("%s: %s", path.c_str(), problem.c_str());
        r.problem = problem;
        r.damaged = damaged;
        return false;
    };

    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        if (errno == ENOENT) {
            NTRACE("no track file %s", path.c_str());
            return false;
        }
        r.found = true;
        return refuse(std::string("cannot be opened: ") + std::strerror(errno), false);
    }
    struct FileCloser {
        FILE* f;
        ~FileCloser() { std::fclose(f); }
    } closer{f};
    r.found = true;
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))
        return refuse("is not a regular file", false);

    char magic[8];
    if (std::fread(magic, 1, sizeof magic, f) != sizeof magic ||
        std::memcmp(magic, kMagic, sizeof magic))
        return refuse("is not a track file", true);
    FileHeader h;
    if (std::fread(&h, sizeof h, 1, f) != 1)
        return refuse("header cut short", true);
    if (h.capacity < 1 || h.capacity > kTrackFileMaxCapacity)
        return refuse("capacity " + std::to_string(h.capacity) + " out of range", true);
    if (h.nPts < 0 || h.nPts > h.capacity)
        return refuse("m_nPts " + std::to_string(h.nPts) + " out of range for capacity " +
                          std::to_string(h.capacity),
                      true);
    // add() keeps head == m_nPts - 1 until the ring is full; after that head
    // may be any slot.
    bool headOk =
        h.nPts == h.capacity ? (h.head >= 0 && h.head < h.capacity) : h.head == h.nPts - 1;
    if (!headOk)
        return refuse("head " + std::to_string(h.head) + " inconsistent with m_nPts " +
                          std::to_string(h.nPts) + ", capacity " + std::to_string(h.capacity),
                      true);

    // From here on the file is read as far as it goes: a file cut short keeps
    // the points it still holds, bytes past the ring are ignored, and a point
    // whose text is damaged is left out. Each of these is logged and makes
    // the file count as damaged, so that it is kept aside before a save.
    const long long expected = kTrackFileHeaderSize + 56LL * h.capacity;
    const long long size = static_cast<long long>(st.st_size);
    std::string damage;
    if (size != expected) {
        damage = "size " + std::to_string(size) + ", header says " + std::to_string(expected);
        NTRACE_WARN("%s: %s", path.c_str(), damage.c_str());
    }
    const size_t present = static_cast<size_t>(
        std::clamp<long long>((size - kTrackFileHeaderSize) / 56, 0, h.capacity));
    std::vector<TrackPoint> fileSlots(present);
    const size_t got = present ? std::fread(fileSlots.data(), sizeof(TrackPoint), present, f) : 0;
    fileSlots.resize(got);

    // Take the points by index, newest first, into a fresh ring: newest in
    // slot n-1, oldest in slot 0 (which is where a ring that is not full has
    // them anyway). A full ring of the current capacity keeps its slots as
    // they are; a larger one keeps its newest 28800 points.
    auto fileSlot = [&](int index) -> const TrackPoint* {
        int slot = h.head - index;
        if (slot < 0)
            slot += h.capacity;
        if (static_cast<size_t>(slot) >= fileSlots.size())
            return nullptr;
        return &fileSlots[static_cast<size_t>(slot)];
    };
    const int wanted = std::min(h.nPts, kTrackCapacity);
    std::vector<const TrackPoint*> good; // newest first
    good.reserve(static_cast<size_t>(wanted));
    for (int i = 0; i < wanted; ++i) {
        const TrackPoint* p = fileSlot(i);
        if (p && coordsTextSane(*p)) {
            good.push_back(p);
        } else {
            ++r.pointsSkipped;
            NTRACE_WARN("%s: point %d %s, left out", path.c_str(), i,
                        p ? "has an unreadable coords text" : "is missing");
        }
    }
    if (r.pointsSkipped > 0) {
        if (!damage.empty())
            damage += "; ";
        damage += std::to_string(r.pointsSkipped) + " damaged points";
    }

    // Only slots that hold points are kept, so a short track costs only its
    // points' memory (the ring grows from there).
    const int n = static_cast<int>(good.size());
    if (n == 0 && wanted > 0)
        return refuse(damage + ", no point readable", true);
    std::vector<TrackPoint> ring;
    int newHead;
    if (h.capacity == kTrackCapacity && n == kTrackCapacity) {
        ring = std::move(fileSlots);
        newHead = h.head;
    } else {
        ring.resize(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i)
            ring[static_cast<size_t>(n - 1 - i)] = *good[static_cast<size_t>(i)];
        newHead = n - 1;
        if (h.nPts > kTrackCapacity)
            NTRACE("%s: %d points, keeping the newest %d", path.c_str(), h.nPts, wanted);
    }

    TrackLockGuard guard;
    if (!guard.ok())
        return refuse("track lock not obtained", false);
    slots = std::move(ring);
    capacity = kTrackCapacity;
    head = newHead;
    m_nPts = n;
    m_seqNum = h.seqNum;
    ++m_changes;
    m_filesInStep.clear();
    if (damage.empty())
        markInStep(resolveLinkTarget(path), m_changes);
    r.pointsRead = n;
    r.damaged = !damage.empty();
    r.problem = damage;
    return true;
}

bool CTrack::loadOrSetAside(const std::string& name) {
    TrackLoadReport r;
    const bool loaded = load(name, &r);
    if (!r.damaged)
        return loaded;
    // The file a link names is moved, and the link stays: the next save
    // writes through it again.
    const std::string path = resolveLinkTarget(FullPath(name));
    std::string bad;
    const int err = moveAside(path, bad);
    std::string what = path + " is damaged (" + r.problem + "): ";
    what += loaded ? std::to_string(r.pointsRead) + " points read" : "nothing could be read";
    if (err == 0)
        what += "; the file is kept as " + bad;
    else
        what += std::string("; it could not be moved aside: ") + std::strerror(err);
    noticeUser("CTrack::load", what);
    return loaded;
}

void CTrack::dump(const char* name) {
    if (!hasRing())
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
