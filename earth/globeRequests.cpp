// The browser globe's requests on the network-link port (see globeRequests.h).
#include "earth/globeRequests.h"

#include "earth/globe.h"
#include "earth/globeConfig.h"
#include "earth/historyRequests.h"
#include "earth/n2k.h"
#include "earth/shareFilter.h"
#include "earth/vehiclesJson.h"
#include "net/http.h"
#include "net/server.h"
#include "net/shareStore.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "trace/throttle.h"
#include "trace/trace.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <string_view>

namespace {

// The target of a GET whose path is `path` exactly or `path` followed by
// '/', '?' or the end; empty otherwise.
bool targetsUnder(std::string_view target, std::string_view path, bool folder) {
    if (target.substr(0, path.size()) != path)
        return false;
    if (target.size() == path.size())
        return true;
    const char next = target[path.size()];
    return next == '?' || (folder && next == '/');
}

void noteRefusedEntries(size_t refused) {
    static std::mutex mutex;
    static TraceThrottle throttle;
    int heldBack = 0;
    std::lock_guard<std::mutex> lock(mutex);
    if (throttle.allow(TraceThrottle::Clock::now(), heldBack))
        NTRACE("globe: %zu malformed track positions in a vehicles.json poll ignored "
               "(%d more polls with some not logged)",
               refused, heldBack);
}

bool answer(std::span<const char> request, Cn2k& engine, ServerReply& reply, int32_t& result,
            const VehicleGrant* grant) {
    std::string_view line(request.data(), request.size());
    line = httpRequestLine(line);
    const std::string_view method = httpMethod(line);
    if (method.empty())
        return false;
    std::string_view target = line.substr(method.size() + 1);
    const bool withNul = target.find('\0') != std::string_view::npos;
    size_t targetEnd = 0;
    while (targetEnd < target.size() && target[targetEnd] != ' ' && target[targetEnd] != '\0')
        ++targetEnd;
    target = target.substr(0, targetEnd);
    const bool globe = targetsUnder(target, kGlobePath, true);
    const bool data = targetsUnder(target, kVehiclesJsonPath, false);
    const bool config = targetsUnder(target, kGlobeConfigPath, false);
    const bool history = targetsUnder(target, kHistoryJsonPath, false) ||
                         targetsUnder(target, kExportGpxPath, false);
    if (!globe && !data && !history && !config)
        return false;
    if (method != "GET" && method != "HEAD") {
        result = reply.give(httpMethodNotAllowed(method));
        return true;
    }
    if (withNul) {
        result = reply.give(httpNotFound("NUL byte in the request line"));
        return true;
    }
    const size_t question = target.find('?');
    const std::string_view path = target.substr(0, question);
    if (globe) {
        result = answerGlobeFile(path, globeFolders(), reply);
        return true;
    }
    if (history) {
        result = reply.give(answerHistoryRequest(
            path,
            question == std::string_view::npos ? std::string_view() : target.substr(question + 1),
            engine.m_history, grant));
        return true;
    }
    const std::shared_ptr<const EngineSettings> settings = engine.settings();
    if (config) {
        result = reply.give(httpReply(
            "200 OK", "application/json",
            globeConfigJson(settings->globe, settings->kml.speedInKnots, settings->kml.metric)));
        return true;
    }
    size_t refused = 0;
    const GlobeSince since = parseGlobeSince(
        question == std::string_view::npos ? std::string_view() : target.substr(question + 1),
        refused);
    if (refused > 0)
        noteRefusedEntries(refused);
    std::vector<CClient*> vehicles = engine.m_clients->vehicles();
    // Heads of removed vehicles go; those a share does not show stay.
    if (engine.m_globeEntries.size() > vehicles.size())
        engine.m_globeEntries.keepOnly(vehicles);
    CClient* tracked = engine.m_tracked;
    if (grant && !grant->all) {
        vehicles = grantedVehicles(vehicles, *grant);
        if (tracked && std::find(vehicles.begin(), vehicles.end(), tracked) == vehicles.end())
            tracked = nullptr;
    }
    const std::string body = vehiclesJson(
        vehicles, tracked, settings->selectedTrackOnly, since, settings->kml,
        parseGlobeDetails(question == std::string_view::npos ? std::string_view()
                                                             : target.substr(question + 1)),
        nowFixTime(), &engine.m_globeEntries);
    result = reply.give(httpReply("200 OK", "application/json", body));
    return true;
}

} // namespace

int32_t answerHeadOnly(ServerReply& reply, int32_t result) {
    std::string head(httpHeadPart(reply.bytes(result)));
    reply = ServerReply();
    return reply.give(std::move(head));
}

bool answerGlobeRequest(std::span<const char> request, Cn2k& engine, ServerReply& reply,
                        int32_t& result, const VehicleGrant* grant) {
    try {
        if (!answer(request, engine, reply, result, grant))
            return false;
        if (result > 0 && httpMethod(std::string_view(request.data(), request.size())) == "HEAD")
            result = answerHeadOnly(reply, result);
        return true;
    } catch (const std::exception&) {
        NTRACE("globe: memory error");
        result = 0;
        return true;
    }
}
