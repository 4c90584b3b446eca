#include "app/historyCommands.h"

#include "history/exportText.h"
#include "history/historyExport.h"
#include "history/historyQuery.h"
#include "history/historyWriter.h"
#include "platform/atomicFile.h"
#include "publish/logToKml.h"
#include "track/nmea.h"
#include "track/track.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <ostream>

namespace {

const char* kExportUsage =
    "usage: nivra --export [--vehicle KEY]... [--from TIME] [--to TIME] -o FILE.gpx|.kml|.geojson\n"
    "       TIME: YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS][Z] (UTC) or seconds since 1970\n";
const char* kImportUsage = "usage: nivra --import [--vehicle KEY] FILE.trk|FILE.nme...\n";

std::string resolve(const std::string& workDir, const std::string& name) {
    if (name.empty() || name[0] == '/')
        return name;
    return workDir + "/" + name;
}

std::string stemOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f)
            std::fclose(f);
    }
};

// Writes the document through a temporary file renamed into place.
bool writeDocument(ExportFormat format, const std::vector<HistoryTrack>& tracks,
                   const std::string& target, std::string& error) {
    const std::string temp = tempNameBeside(target);
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(temp.c_str(), "wbx"));
    if (!file) {
        error = "cannot write " + target + ": " + std::strerror(errno);
        return false;
    }
    const bool written = writeExport(format, tracks, [&](std::string_view chunk) {
        return std::fwrite(chunk.data(), 1, chunk.size(), file.get()) == chunk.size();
    });
    const bool flushed = written && std::fflush(file.get()) == 0;
    const int savedErrno = errno;
    std::FILE* raw = file.release();
    const bool closed = std::fclose(raw) == 0;
    if (!written || !flushed || !closed || std::rename(temp.c_str(), target.c_str()) != 0) {
        error = "cannot write " + target + ": " + std::strerror(written ? errno : savedErrno);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

int exportCommand(const std::vector<std::string>& args, const std::string& workDir,
                  const std::string& historyPath, std::ostream& out, std::ostream& err) {
    HistoryQuery query;
    std::string output;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size() && !args[i + 1].empty();
        if (arg != "--vehicle" && arg != "--from" && arg != "--to" && arg != "-o") {
            err << "nivra: unexpected argument '" << arg << "'\n" << kExportUsage;
            return 2;
        }
        if (!hasValue) {
            err << "nivra: " << arg << " needs a value\n" << kExportUsage;
            return 2;
        }
        const std::string& value = args[++i];
        if (arg == "--vehicle") {
            query.keys.push_back(value);
        } else if (arg == "-o") {
            if (!output.empty()) {
                err << "nivra: -o given twice\n" << kExportUsage;
                return 2;
            }
            output = value;
        } else {
            const std::optional<int64_t> t = parseUserTime(value);
            if (!t) {
                err << "nivra: " << arg << ": not a time: '" << value << "'\n" << kExportUsage;
                return 2;
            }
            (arg == "--from" ? query.from : query.to) = *t;
        }
    }
    if (output.empty()) {
        err << "nivra: --export needs -o FILE\n" << kExportUsage;
        return 2;
    }
    const ExportFormat format = exportFormatOf(output);
    if (format == ExportFormat::none) {
        err << "nivra: " << exportFormatProblem(output) << "\n";
        return 2;
    }
    if (query.from > query.to) {
        err << "nivra: --from is later than --to\n";
        return 2;
    }
    query.limit = kExportMaxPoints;
    HistoryReadResult result;
    std::string error;
    if (!readHistory(historyPath, query, result, error)) {
        err << "nivra: " << error << "\n";
        return 1;
    }
    if (result.truncated) {
        err << "nivra: more than " << kExportMaxPoints
            << " points chosen; narrow the export with --vehicle, --from or --to\n";
        return 1;
    }
    if (result.points == 0) {
        err << "nivra: no points in " << historyPath << " for that choice; nothing written\n";
        return 1;
    }
    const std::string target = resolve(workDir, output);
    if (!writeDocument(format, result.tracks, target, error)) {
        err << "nivra: " << error << "\n";
        return 1;
    }
    out << output << ": " << result.points << " points of " << result.tracks.size()
        << (result.tracks.size() == 1 ? " vehicle\n" : " vehicles\n");
    return 0;
}

namespace {

constexpr size_t kImportBatch = 20000;

// The points of a track file, oldest first.
bool trackFilePoints(const std::string& path, std::vector<HistoryFix>& fixes, std::string& error) {
    CTrack track;
    TrackLoadReport report;
    if (!track.load(path, &report) || !report.found) {
        error = "cannot read " + path + (report.problem.empty() ? "" : ": " + report.problem);
        return false;
    }
    TrackLockGuard guard;
    if (!guard.ok()) {
        error = "cannot read " + path + ": the tracks are busy";
        return false;
    }
    for (int i = track.pointCount() - 1; i >= 0; --i) {
        const TrackPoint* p = track.point(i);
        if (!p || p->coords[0] == 0)
            continue;
        GpsFix f;
        CTrack::toFix(*p, f);
        if (f.time == 0)
            continue;
        fixes.push_back(HistoryFix{fixTimeToUtc(f.time), f.lat, f.lon, f.alt, f.spd, f.hdg});
    }
    return true;
}

} // namespace

int importCommand(const std::vector<std::string>& args, const std::string& workDir,
                  const std::string& historyPath, int historyDays, std::ostream& out,
                  std::ostream& err) {
    std::string key;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--vehicle") {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                err << "nivra: --vehicle needs a value\n" << kImportUsage;
                return 2;
            }
            key = args[++i];
        } else if (nameEndsWith(args[i], ".trk") || nameEndsWith(args[i], ".nme")) {
            files.push_back(args[i]);
        } else {
            err << "nivra: cannot import '" << args[i]
                << "': only track files (.trk) and NMEA logs (.nme) can be imported\n"
                << kImportUsage;
            return 2;
        }
    }
    if (files.empty()) {
        err << "nivra: --import needs a file\n" << kImportUsage;
        return 2;
    }
    HistoryWriter writer;
    std::string error;
    if (!writer.open(historyPath, error)) {
        err << "nivra: cannot open " << historyPath << ": " << error << "\n";
        return 1;
    }
    int status = 0;
    for (const std::string& name : files) {
        const std::string path = resolve(workDir, name);
        std::vector<HistoryFix> fixes;
        bool read;
        if (nameEndsWith(path, ".trk")) {
            read = trackFilePoints(path, fixes, error);
        } else {
            KmlConversion stats;
            read = logToFixes(path, false, stats, fixes, error);
        }
        if (!read) {
            err << "nivra: " << error << "\n";
            status = 1;
            continue;
        }
        const std::string vehicle = key.empty() ? stemOf(path) : key;
        const int64_t cutoff =
            static_cast<int64_t>(std::time(nullptr)) - static_cast<int64_t>(historyDays) * 86400;
        size_t tooOld = 0;
        for (const HistoryFix& f : fixes)
            tooOld += historyDays > 0 && f.utc < cutoff ? 1 : 0;
        int64_t added = 0;
        for (size_t start = 0; start < fixes.size(); start += kImportBatch) {
            std::vector<HistoryWriter::Item> items;
            for (size_t i = start; i < fixes.size() && i < start + kImportBatch; ++i)
                items.push_back({HistoryPoint{vehicle, "import", fixes[i]}, false});
            if (!writer.write(items, true, error)) {
                err << "nivra: cannot write " << historyPath << ": " << error << "\n";
                return 1;
            }
            added += writer.lastInserted();
        }
        out << name << ": " << added << " of " << fixes.size() << " points added to " << vehicle
            << (added < static_cast<int64_t>(fixes.size()) ? " (the others were there already)\n"
                                                           : "\n");
        if (tooOld > 0)
            err << "nivra: " << tooOld << " points of " << name << " are older than HistoryDays ("
                << historyDays
                << " days); the tracker removes them when it runs: raise HistoryDays to keep "
                   "them\n";
    }
    return status;
}

bool exportVehicleHistory(const std::string& historyPath, const std::string& key,
                          const std::string& target, std::string& message) {
    const ExportFormat format = exportFormatOf(target);
    if (format == ExportFormat::none) {
        message = exportFormatProblem(target);
        return false;
    }
    HistoryQuery query;
    query.keys = {key};
    query.limit = kExportMaxPoints;
    HistoryReadResult result;
    std::string error;
    if (!readHistory(historyPath, query, result, error)) {
        message = error;
        return false;
    }
    if (result.points == 0) {
        message = "no points of " + key + " in the history";
        return false;
    }
    if (!writeDocument(format, result.tracks, target, error)) {
        message = error;
        return false;
    }
    message = "Exported " + std::to_string(result.points) + " points of " + key + " to " + target +
              (result.truncated ? " (the first " + std::to_string(kExportMaxPoints) + ")" : "");
    return true;
}
