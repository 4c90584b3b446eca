// GPX 1.1 of a point sequence: one <trk> per vehicle (named by its key), a
// <trkseg> per unbroken run (a gap of more than kRunGapSeconds starts a new
// one), each point with <ele>, <time> (UTC) and the speed (m/s) and course
// (degrees) in Garmin's TrackPointExtension, which GPX programs read.
#pragma once

#include "history/exportText.h"
#include "history/historyPoint.h"

#include <cstdint>
#include <vector>

// The same gap breaks the drawn track into pieces.
constexpr int64_t kRunGapSeconds = 3600;

// False when the sink failed.
bool writeGpx(const std::vector<HistoryTrack>& tracks, const TextSink& sink);
