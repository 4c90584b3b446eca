// Reading the history back: the points of some (or all) vehicles in a time
// window, each vehicle's in time order, at most a given number. Readers open
// the file read-only on their own connection, so they never wait for the
// writer thread (WAL) and never hold the track lock.
#pragma once

#include "history/historyPoint.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

struct HistoryQuery {
    std::vector<std::string> keys;                      // empty: every vehicle
    int64_t from = std::numeric_limits<int64_t>::min(); // UTC seconds, inclusive
    int64_t to = std::numeric_limits<int64_t>::max();   // UTC seconds, inclusive
    size_t limit = std::numeric_limits<size_t>::max();  // points in all
};

struct HistoryReadResult {
    std::vector<HistoryTrack> tracks; // in key order (or the order of `keys`); none empty
    size_t points = 0;
    bool truncated = false; // the limit cut the answer short
};

// False with `error` set when the file cannot be read (a missing file is an
// error too: there is no history).
bool readHistory(const std::string& path, const HistoryQuery& query, HistoryReadResult& out,
                 std::string& error);
