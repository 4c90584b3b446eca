// One page of a vehicle's history for the browser globe's time slider
// (/history.json): at most kHistoryPagePoints points in time order, and the
// time to ask from for the next page when there is more.
//   {"key":"me@localhost","points":[[utc,lat,lon,alt,speed_kmh,course],...],
//    "next":1245013400}        ("next":null on the last page)
// A vehicle has at most one point a second, so the time after the page's
// last point is an exact cursor.
#pragma once

#include "history/historyPoint.h"
#include "history/historyQuery.h"

#include <cstddef>
#include <string>

constexpr size_t kHistoryPagePoints = 5000;

// The query for the page of `key` in [from, to] (one point more than a page
// is not needed: the reader says when it cut the answer).
HistoryQuery historyPageQuery(const std::string& key, int64_t from, int64_t to);
std::string historyPageJson(const std::string& key, const HistoryReadResult& page);
