#include "earth/shareFilter.h"

#include "earth/globe.h"
#include "net/server.h"
#include "net/shareGate.h"
#include "remote/client.h"
#include "track/outsideText.h"

#include <algorithm>

bool grantShows(const VehicleGrant& grant, std::string_view key) {
    if (grant.allows(key))
        return true;
    return std::any_of(grant.keys.begin(), grant.keys.end(),
                       [&](const std::string& k) { return cleanKey(k) == key; });
}

bool grantShowsVehicle(const VehicleGrant& grant, const CClient& vehicle) {
    if (grant.all)
        return true;
    TrackLockGuard lock; // the key changes only under it
    return grantShows(grant, vehicle.name);
}

std::vector<CClient*> grantedVehicles(const std::vector<CClient*>& vehicles,
                                      const VehicleGrant& grant) {
    if (grant.all)
        return vehicles;
    std::vector<CClient*> shown;
    TrackLockGuard lock;
    for (CClient* v : vehicles)
        if (grantShows(grant, v->name))
            shown.push_back(v);
    return shown;
}

bool asksForGlobePage(std::string_view request) {
    if (request.substr(0, 4) != "GET " && request.substr(0, 5) != "HEAD ")
        return false;
    request.remove_prefix(request.find(' ') + 1);
    const std::string_view path = request.substr(0, request.find_first_of(" ?\r\n"));
    if (path.substr(0, kGlobePath.size()) != kGlobePath)
        return false;
    const std::string_view rest = path.substr(kGlobePath.size());
    return rest.empty() || rest == "/" || rest == "/index.html";
}

int32_t withShareCookie(ServerReply& reply, int32_t result, const std::string& token) {
    const std::string_view text = reply.bytes(result);
    const size_t lineEnd = text.find('\n');
    if (text.substr(0, 5) != "HTTP/" || lineEnd == std::string_view::npos)
        return result;
    std::string out;
    out.reserve(text.size() + 120);
    out.append(text.substr(0, lineEnd + 1));
    out += "Set-Cookie: ";
    out += kShareCookie;
    out += '=' + token + "; Path=/; HttpOnly; SameSite=Strict\r\n";
    out.append(text.substr(lineEnd + 1));
    reply = ServerReply();
    return reply.give(std::move(out));
}
