#include "publish/logToKml.h"

#include "earth/kml.h"
#include "history/exportText.h"
#include "history/gpxWriter.h"
#include "platform/atomicFile.h"
#include "platform/lineReader.h"
#include "platform/paths.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "sources/demo.h"
#include "trace/trace.h"
#include "track/nmea.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <ostream>
#include <string_view>
#include <system_error>
#include <thread>

namespace {

// The log is read in blocks of this size.
constexpr size_t kLogBlockBytes = 64 * 1024;

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0)
            ::close(fd);
    }
};

std::string errnoText(const char* what, const std::string& path, int error) {
    return std::string(what) + " " + path + ": " + std::strerror(error);
}

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string stem(const std::string& path) {
    std::string name = baseName(path);
    size_t dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

} // namespace

std::string defaultKmlName(const std::string& logPath) {
    size_t slash = logPath.find_last_of('/');
    size_t dot = logPath.find_last_of('.');
    size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    if (dot == std::string::npos || dot <= nameStart)
        return logPath + ".kml";
    return logPath.substr(0, dot) + ".kml";
}

namespace {

// The log, opened for reading: not a directory.
bool openLog(const std::string& inPath, FdCloser& in, struct stat& st, bool& known,
             std::string& error) {
    in.fd = ::open(inPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (in.fd < 0) {
        error = errnoText("cannot read", inPath, errno);
        return false;
    }
    known = ::fstat(in.fd, &st) == 0;
    if (known && S_ISDIR(st.st_mode)) {
        error = errnoText("cannot read", inPath, EISDIR);
        return false;
    }
    if (known && S_ISREG(st.st_mode))
        ::posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

// What reading and parsing a log gave: the playback vehicle's position as the
// last line left it, and the counts.
struct ParsedLog {
    GpsFix last; // starts as the vehicle's position
    int64_t lines = 0;
    int64_t fixes = 0; // complete fixes, each handed on
    int error = 0;     // errno of a failed read
};

// Complete fixes are handed on in batches of this many.
constexpr size_t kFixBatch = 2048;

// Reads the log's lines and parses each as the playback source does
// (`playDemoLine`, without a time stamp), into `parsed.last`; every complete
// fix is copied into a batch, and each full batch and the last one go to
// `deliver`. The track is not touched here.
template <class Deliver>
void parseLogLines(int fd, double courseOffset, bool listened, ParsedLog& parsed,
                   Deliver&& deliver) {
    // A small block stays in the cache and touches few pages; a log line is
    // at most a few hundred bytes, far below it.
    LineReader lines(fd, kLogBlockBytes);
    std::string_view line;
    std::vector<GpsFix> batch;
    batch.reserve(kFixBatch);
    while (lines.next(line)) {
        ++parsed.lines;
        // Satellites, proprietary sentences and the like change nothing (the
        // parser would say so too, after more work), unless the log listens
        // for their bad checksums.
        if (!listened && nmeaSentenceType(line) == NmeaType::other)
            continue;
        if (parseNmea(line, parsed.last, 0, courseOffset) != 2)
            continue;
        ++parsed.fixes;
        batch.push_back(parsed.last);
        if (batch.size() == kFixBatch) {
            deliver(batch);
            batch.clear();
        }
    }
    if (!batch.empty())
        deliver(batch);
    parsed.error = lines.error();
}

// Batches of fixes from the reading thread to the one that adds them: at most
// kBatchesAhead wait, so a slow track holds the reader back instead of the
// log piling up in memory.
class FixBatches {
public:
    static constexpr size_t kBatchesAhead = 4;

    // The reader's side: hands `batch` over and leaves it empty, with room.
    void put(std::vector<GpsFix>& batch) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_space.wait(lock, [this] { return m_full.size() < kBatchesAhead || m_abandoned; });
        if (m_abandoned) {
            batch.clear();
            return;
        }
        m_full.push_back(std::move(batch));
        batch.clear();
        if (!m_spare.empty()) {
            batch = std::move(m_spare.back());
            m_spare.pop_back();
        }
        batch.reserve(kFixBatch);
        m_ready.notify_one();
    }
    void finish() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
        m_ready.notify_one();
    }
    // The adder gave up (it failed): what the reader hands over from now on
    // is dropped, so that it never waits for room again.
    void abandon() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_abandoned = true;
        m_full.clear();
        m_space.notify_one();
    }
    // The adder's side: the next batch into `batch` (its old one kept for
    // reuse); false once the reader has finished and everything was taken.
    bool take(std::vector<GpsFix>& batch) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [this] { return !m_full.empty() || m_finished; });
        if (m_full.empty())
            return false;
        if (batch.capacity() > 0) {
            batch.clear();
            m_spare.push_back(std::move(batch));
        }
        batch = std::move(m_full.front());
        m_full.pop_front();
        m_space.notify_one();
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready, m_space;
    std::deque<std::vector<GpsFix>> m_full;
    std::vector<std::vector<GpsFix>> m_spare;
    bool m_finished = false;
    bool m_abandoned = false;
};

// parseLogLines on a second thread ("log reader") while this one hands each
// batch to `add`: on two cores the conversion takes about the longer of the
// two instead of their sum. Without a thread to be had, all on this one.
template <class Add>
void parseOnSecondThread(int fd, double courseOffset, ParsedLog& parsed, Add&& add) {
    FixBatches batches;
    std::exception_ptr readerFailed; // out of memory, as on one thread
    std::thread reader;
    try {
        reader = std::thread([&] {
            try {
                parseLogLines(fd, courseOffset, false, parsed,
                              [&batches](std::vector<GpsFix>& batch) { batches.put(batch); });
            } catch (...) {
                readerFailed = std::current_exception();
            }
            batches.finish();
        });
    } catch (const std::system_error& e) {
        NTRACE("log read on one thread: %s", e.what());
        parseLogLines(fd, courseOffset, false, parsed, add);
        return;
    }
    // Whatever happens here, the reader is let go and joined before the
    // failure goes on to the caller, as it would on one thread.
    std::exception_ptr adderFailed;
    try {
        std::vector<GpsFix> batch;
        while (batches.take(batch))
            add(batch);
    } catch (...) {
        adderFailed = std::current_exception();
        batches.abandon();
    }
    reader.join();
    if (adderFailed)
        std::rethrow_exception(adderFailed);
    if (readerFailed)
        std::rethrow_exception(readerFailed);
}

// Plays the open log into a playback vehicle; every point its track takes
// is also handed to `kept` (the whole log, not only the ring's newest).
bool playLogInto(CClient& vehicle, int fd, const std::string& inPath, bool allPoints,
                 LogReadAhead readAhead, KmlConversion& stats, std::vector<HistoryFix>* kept,
                 std::string& error);

// Plays the open log into a playback vehicle and writes its document into
// `kml`. False when the log cannot be read or gives no point: a document of
// a vehicle without a position would put it at 0,0 off Africa.
bool playLog(int fd, const std::string& inPath, const std::string& logPath, bool allPoints,
             LogReadAhead readAhead, KmlConversion& stats, std::string& kml, std::string& error) {
    // The playback vehicle, as the playback source sets it up, but on its own:
    // the conversion touches neither the vehicle list nor the settings.
    CClient vehicle(stem(logPath) + "@" + kPlaybackHost);
    setUpPlaybackVehicle(vehicle, stem(logPath), nullptr);
    if (!playLogInto(vehicle, fd, inPath, allPoints, readAhead, stats, nullptr, error))
        return false;

    KmlOptions opt; // the writer's defaults; no debug dumps, no settings
    kml.clear();
    // Room for the whole document at once: a drive's compressed track takes
    // about 160 bytes a point (its speed runs each bring a style), every fix
    // about 70. Room that is never written costs no memory.
    kml.reserve(static_cast<size_t>(stats.points) * 192 + 8192);
    vehicleKml(vehicle, kml, kmlSingle, kKmlAllPoints, opt);
    return true;
}

bool playLogInto(CClient& vehicle, int fd, const std::string& inPath, bool allPoints,
                 LogReadAhead readAhead, KmlConversion& stats, std::vector<HistoryFix>* kept,
                 std::string& error) {
    vehicle.maxPts = kTrackCapacity;
    vehicle.compress = allPoints ? 0 : 1;
    // A log fills the ring in one go: room for all of it at once spares the
    // copies (and fresh pages) of growing it step by step. Pages nobody
    // writes to cost nothing, so a short log pays nothing for this.
    vehicle.track.slots.reserve(static_cast<size_t>(kTrackCapacity));
    bool tooMany = false;
    if (kept) {
        vehicle.track.setObserver([kept, &tooMany](const GpsFix& fix, bool replacesNewest) {
            if (fix.time == 0 || tooMany)
                return;
            if (replacesNewest && !kept->empty())
                kept->pop_back();
            if (kept->size() >= kLogFixesMax) {
                tooMany = true;
                return;
            }
            kept->push_back(
                HistoryFix{fixTimeToUtc(fix.time), fix.lat, fix.lon, fix.alt, fix.spd, fix.hdg});
        });
    }

    const bool listened = traceMayDeliver();
    ParsedLog parsed;
    parsed.last = vehicle.curPos;
    const int mode = vehicle.compress ? 1 : 2; // as the playback source adds them
    auto addToTrack = [&vehicle, mode](const std::vector<GpsFix>& batch) {
        vehicle.track.add(batch, mode); // one take of the lock a batch
    };
    // While the trace listens everything stays on this thread, so that its
    // lines come in the order of the log's; and a log of one block is read
    // sooner than a thread starts.
    struct stat st {};
    const bool oneBlock =
        ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= off_t{kLogBlockBytes};
    if (!listened && !oneBlock && readAhead == LogReadAhead::automatic)
        parseOnSecondThread(fd, vehicle.demoOffset, parsed, addToTrack);
    else
        parseLogLines(fd, vehicle.demoOffset, listened, parsed, addToTrack);
    {
        TrackLockGuard lock; // the vehicle's position, as the player leaves it
        vehicle.curPos = parsed.last;
    }
    stats.lines = parsed.lines;
    stats.fixes = parsed.fixes;
    vehicle.track.setObserver(nullptr);
    if (parsed.error) {
        error = errnoText("cannot read", inPath, parsed.error);
        return false;
    }
    if (tooMany) {
        error = inPath + " holds more than " + std::to_string(kLogFixesMax) +
                " points; split the log; nothing written";
        return false;
    }
    stats.appended = vehicle.track.m_seqNum;
    stats.points = kept ? static_cast<int>(std::min<size_t>(kept->size(), INT32_MAX))
                        : vehicle.track.pointCount();
    if (stats.points == 0) {
        error = inPath + " holds no valid fix (" + std::to_string(stats.lines) +
                " lines read); nothing written";
        return false;
    }
    return true;
}

} // namespace

bool convertLogToKml(const std::string& logPath, const std::string& outPath, bool allPoints,
                     KmlConversion& stats, std::string& error) {
    stats = KmlConversion{};
    const std::string inPath = FullPath(logPath);
    FdCloser in{-1};
    struct stat st {};
    bool known = false;
    if (!openLog(inPath, in, st, known, error))
        return false;
    // "nivra --kml trip.kml" names the document where the log belongs: the
    // conversion would replace the file it reads.
    const std::string target = FullPath(outPath);
    struct stat outSt {};
    if (known && ::stat(target.c_str(), &outSt) == 0 && outSt.st_dev == st.st_dev &&
        outSt.st_ino == st.st_ino) {
        error = "cannot write " + target + ": it is the log being converted";
        return false;
    }
    std::string kml;
    if (!playLog(in.fd, inPath, logPath, allPoints, LogReadAhead::automatic, stats, kml, error))
        return false;
    return writeFileAtomically(target, kml, error);
}

bool logToKmlText(const std::string& logPath, bool allPoints, KmlConversion& stats,
                  std::string& kml, std::string& error, LogReadAhead readAhead) {
    stats = KmlConversion{};
    const std::string inPath = FullPath(logPath);
    FdCloser in{-1};
    struct stat st {};
    bool known = false;
    return openLog(inPath, in, st, known, error) &&
           playLog(in.fd, inPath, logPath, allPoints, readAhead, stats, kml, error);
}

bool logToFixes(const std::string& logPath, bool allPoints, KmlConversion& stats,
                std::vector<HistoryFix>& fixes, std::string& error, LogReadAhead readAhead) {
    stats = KmlConversion{};
    fixes.clear();
    const std::string inPath = FullPath(logPath);
    FdCloser in{-1};
    struct stat st {};
    bool known = false;
    if (!openLog(inPath, in, st, known, error))
        return false;
    CClient vehicle(stem(logPath) + "@" + kPlaybackHost);
    setUpPlaybackVehicle(vehicle, stem(logPath), nullptr);
    return playLogInto(vehicle, in.fd, inPath, allPoints, readAhead, stats, &fixes, error);
}

std::string kmlOutputProblem(const std::string& outPath) {
    if (outPath == kStandardOutput || nameEndsWith(outPath, ".kml") ||
        nameEndsWith(outPath, ".gpx"))
        return std::string();
    return "cannot write " + outPath +
           ": Nivra writes KML or GPX; give the output a name ending in .kml or .gpx (or - for "
           "standard output)";
}

bool isKmlCommand(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--kml") == 0)
            return true;
    return false;
}

int kmlCommand(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    const char* usage = "usage: nivra --kml LOG.nme [-o OUT.kml|OUT.gpx|-] [--all-points]\n";
    std::string log, kml;
    bool allPoints = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--kml" && log.empty()) {
            if (!hasValue) {
                err << "nivra: --kml needs the log to convert\n" << usage;
                return 2;
            }
            log = argv[++i];
        } else if (arg == "-o" && kml.empty()) {
            if (!hasValue) {
                err << "nivra: -o needs a file name (or - for standard output)\n" << usage;
                return 2;
            }
            kml = argv[++i];
        } else if (arg == "--all-points") {
            allPoints = true;
        } else {
            err << "nivra: unexpected argument '" << arg << "'\n" << usage;
            return 2;
        }
    }
    if (log.empty()) {
        err << usage;
        return 2;
    }
    if (kml.empty())
        kml = defaultKmlName(log);
    if (const std::string problem = kmlOutputProblem(kml); !problem.empty()) {
        err << "nivra: " << problem << "\n";
        return 2;
    }

    // Without TZ the C library looks at the zone file again for every time
    // it converts, which is most of the work for a long log; naming the
    // default zone explicitly keeps the same zone and reads it once.
    if (!std::getenv("TZ"))
        ::setenv("TZ", ":/etc/localtime", 0);
    // The zone stays what it is now for the whole conversion: no look at TZ
    // for every fix.
    const TimeZonePin zone;

    KmlConversion stats;
    std::string error;
    const bool toStdout = kml == kStandardOutput;
    if (nameEndsWith(kml, ".gpx")) {
        // GPX holds every point of the log with its time, not only the ring's.
        std::vector<HistoryFix> fixes;
        std::string text;
        if (!logToFixes(log, allPoints, stats, fixes, error) ||
            !writeGpx({HistoryTrack{stem(log), std::move(fixes)}},
                      [&text](std::string_view chunk) {
                          text += chunk;
                          return true;
                      }) ||
            !writeFileAtomically(FullPath(kml), text, error)) {
            err << "nivra: " << error << "\n";
            return 1;
        }
        out << kml << ": " << stats.points << " points from " << stats.fixes << " fixes\n";
        return 0;
    }
    if (toStdout) {
        std::string text;
        if (!logToKmlText(log, allPoints, stats, text, error)) {
            err << "nivra: " << error << "\n";
            return 1;
        }
        out << text;
        out.flush();
        if (!out) {
            err << "nivra: cannot write the document to standard output\n";
            return 1;
        }
    } else if (!convertLogToKml(log, kml, allPoints, stats, error)) {
        err << "nivra: " << error << "\n";
        return 1;
    }
    if (stats.points == kTrackCapacity && stats.appended > stats.points)
        err << "nivra: the track keeps the newest " << stats.points << " of " << stats.appended
            << " points\n";
    // Standard output holds the document itself: the summary goes beside it.
    (toStdout ? err : out) << (toStdout ? std::string("standard output") : kml) << ": "
                           << stats.points << " points from " << stats.fixes << " fixes\n";
    return 0;
}
