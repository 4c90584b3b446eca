// Choosing the export format by the output's name and writing it: ".gpx",
// ".kml" or ".geojson" (any case); anything else is refused.
#pragma once

#include "history/exportText.h"
#include "history/historyPoint.h"

#include <string>
#include <vector>

enum class ExportFormat { none, gpx, kml, geojson };

ExportFormat exportFormatOf(const std::string& fileName);
// The message for a name of no known format.
std::string exportFormatProblem(const std::string& fileName);

bool writeExport(ExportFormat format, const std::vector<HistoryTrack>& tracks,
                 const TextSink& sink);
