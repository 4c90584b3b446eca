// KML of a point sequence for Google Earth's time slider: a Folder per
// vehicle with one gx:Track placemark per unbroken run (<when> and
// <gx:coord> for each point, absolute altitude), which plays as the slider
// moves and which GDAL reads. Only exports carry times; the network-link
// documents stay as they are.
#pragma once

#include "history/exportText.h"
#include "history/historyPoint.h"

#include <vector>

bool writeKmlExport(const std::vector<HistoryTrack>& tracks, const TextSink& sink);
