#include "earth/historyRequests.h"

#include "earth/shareFilter.h"
#include "history/gpkg.h"
#include "history/gpxWriter.h"
#include "history/historyJson.h"
#include "history/historyStore.h"
#include "net/http.h"
#include "net/shareStore.h"
#include "remote/client.h"
#include "track/outsideText.h"

std::string parseHistoryRequest(std::string_view query, HistoryRequest& out) {
    out = HistoryRequest{};
    bool haveKey = false;
    // "vehicle=" names the vehicle where "key=" is taken by a share link's
    // token; without it "key=" names the vehicle, as it always has.
    bool haveVehicle = false;
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view entry = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const size_t eq = entry.find('=');
        const std::string_view name = entry.substr(0, eq);
        if (name != "key" && name != "vehicle" && name != "from" && name != "to")
            continue; // a cache breaker and the like
        if (name == "key" && haveVehicle)
            continue;
        std::string value;
        if (eq == std::string_view::npos || !percentDecode(entry.substr(eq + 1), value) ||
            value.empty())
            return "bad value of " + std::string(name);
        if (name == "key" && isShareTokenShape(value))
            continue; // the share link's token
        if (name == "key" || name == "vehicle") {
            if (value.size() >= kClientTextField + kCleanKeySuffix)
                return std::string(name) + " too long";
            out.key = std::move(value);
            haveKey = true;
            haveVehicle = haveVehicle || name == "vehicle";
            continue;
        }
        const std::optional<int64_t> t = parseUserTime(value);
        if (!t)
            return "not a time: " + std::string(name);
        (name == "from" ? out.from : out.to) = *t;
    }
    if (!haveKey)
        return "key missing";
    if (out.from > out.to)
        return "from is later than to";
    return std::string();
}

std::string answerHistoryRequest(std::string_view path, std::string_view query,
                                 HistoryStore* history, const VehicleGrant* grant) {
    if (!history || !history->settings()->enabled)
        return httpNotFound("no history kept");
    HistoryRequest request;
    if (const std::string problem = parseHistoryRequest(query, request); !problem.empty())
        return httpReply("400 Bad Request", "text/plain; charset=utf-8", problem + "\n");
    if (grant && !grantShows(*grant, request.key))
        return httpReply("403 Forbidden", "text/plain; charset=utf-8",
                         "this share link does not show that vehicle\n");
    const bool gpx = path == kExportGpxPath;
    HistoryQuery q = historyPageQuery(request.key, request.from, request.to);
    if (gpx)
        q.limit = kExportReplyPoints;
    HistoryReadResult result;
    std::string error;
    if (!readHistory(history->path(), q, result, error))
        return httpNotFound("no history");
    if (!gpx)
        return httpReply("200 OK", "application/json", historyPageJson(request.key, result));
    if (result.truncated)
        return httpReply("413 Payload Too Large", "text/plain; charset=utf-8",
                         "more than " + std::to_string(kExportReplyPoints) +
                             " points; ask for a shorter time (from, to)\n");
    std::string body;
    writeGpx(result.tracks, [&body](std::string_view chunk) {
        body += chunk;
        return true;
    });
    return httpReply("200 OK", "application/gpx+xml", body);
}
