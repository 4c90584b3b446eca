// The history's requests on the network-link port, next to the globe's:
//   /history.json?key=K[&from=T][&to=T]  one page of a vehicle's points
//                                        (vehicle=K names it where key= is a
//                                        share link's token)
//                                        (history/historyJson.h)
//   /export.gpx?key=K[&from=T][&to=T]    the points as GPX, at most
//                                        kExportReplyPoints (more: 413)
// T as the command line takes it (UTC date, date and time, or seconds).
// The vehicle may also be named "vehicle=K"; a "key=" value with a share
// token's form is the share link's (net/shareGate.h), not a vehicle.
// Answered only while the history is on; read from the file on a connection
// of their own, never under the track lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class HistoryStore;
struct ServerReply;
struct VehicleGrant;

inline constexpr const char* kHistoryJsonPath = "/history.json";
inline constexpr const char* kExportGpxPath = "/export.gpx";
constexpr size_t kExportReplyPoints = 50000;

struct HistoryRequest {
    std::string key;
    int64_t from = INT64_MIN;
    int64_t to = INT64_MAX;
};

// Reads the query string (after '?'). Empty on success, else what is wrong
// (no key, a malformed escape, a time that is not one, from after to).
std::string parseHistoryRequest(std::string_view query, HistoryRequest& out);

// The complete HTTP reply for `path` (one of the two above) and `query`.
// A vehicle that `grant` (none: all) does not show gets a 403.
std::string answerHistoryRequest(std::string_view path, std::string_view query,
                                 HistoryStore* history, const VehicleGrant* grant = nullptr);
