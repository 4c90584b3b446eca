#include "history/historyExport.h"

#include "history/geojsonWriter.h"
#include "history/gpxWriter.h"
#include "history/kmlExport.h"

#include <cctype>

ExportFormat exportFormatOf(const std::string& fileName) {
    if (nameEndsWith(fileName, ".gpx"))
        return ExportFormat::gpx;
    if (nameEndsWith(fileName, ".kml"))
        return ExportFormat::kml;
    if (nameEndsWith(fileName, ".geojson"))
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
