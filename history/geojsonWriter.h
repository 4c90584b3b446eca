// GeoJSON (RFC 7946) of a point sequence: a FeatureCollection with one Point
// feature per point ([lon, lat, alt] in WGS 84) whose properties are the
// vehicle key, the UTC time, the speed in km/h and the course in degrees.
#pragma once

#include "history/exportText.h"
#include "history/historyPoint.h"

#include <vector>

bool writeGeoJson(const std::vector<HistoryTrack>& tracks, const TextSink& sink);
