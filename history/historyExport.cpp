#include "history/historyExport.h"

#include "history/geojsonWriter.h"
#include "history/gpxWriter.h"
#include "history/kmlExport.h"

#include <cctype>

namespace {

bool endsWithNoCase(const std::string& text, const std::string& ending) {
    if (text.size() < ending.size())
        return false;
    for (size_t i = 0; i < ending.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[text.size() - ending.size() + i])) !=
            ending[i])
            return false;
    return true;
}

} // namespace

ExportFormat exportFormatOf(const std::string& fileName) {
    if (endsWithNoCase(fileName, ".gpx"))
        return ExportFormat::gpx;
    if (endsWithNoCase(fileName, ".kml"))
        return ExportFormat::kml;
    if (endsWithNoCase(fileName, ".geojson"))
        return ExportFormat::geojson;
    return ExportFormat::none;
}

std::string exportFormatProblem(const std::string& fileName) {
    return "cannot write " + fileName +
           ": the format comes from the name, which must end in .gpx, .kml or .geojson";
}

bool writeExport(ExportFormat format, const std::vector<HistoryTrack>& tracks,
                 const TextSink& sink) {
    switch (format) {
    case ExportFormat::gpx:
        return writeGpx(tracks, sink);
    case ExportFormat::kml:
        return writeKmlExport(tracks, sink);
    case ExportFormat::geojson:
        return writeGeoJson(tracks, sink);
    case ExportFormat::none:
        break;
    }
    return false;
}
