#include "remote/mapfactor.h"

#include "platform/atomicFile.h"
#include "platform/paths.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "remote/serviceText.h"
#include "remote/sslConnection.h"
#include "trace/trace.h"

#include <sys/stat.h>

namespace {

uint64_t textHash(std::string_view text) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h ^ text.size();
}

} // namespace

// The last reply, for the user to look at, replaced whole so that a reader
// never sees half of it, and only when it changed: a service that answers
// the same every few seconds does not rewrite the file every time.
void CMapFactorLink::keepDebugCopy(const std::string& reply) {
    const std::string path = FullPath(kMapFactorDebugFile);
    const uint64_t hash = textHash(reply);
    struct stat st {};
    if (m_debugCopyWritten && hash == m_debugCopyHash && ::stat(path.c_str(), &st) == 0 &&
        static_cast<uint64_t>(st.st_size) == reply.size())
        return;
    std::string error;
    if (!writeFileAtomically(path, reply, error)) {
        NTRACE_AS("parseMapFactor", "%s", error.c_str());
        return;
    }
    m_debugCopyHash = hash;
    m_debugCopyWritten = true;
}

int CMapFactorLink::parseMapFactor(CClient& vehicle, const WebAccountSettings& s) {
    ServiceAddress server;
    if (!parseServiceAddress(s.server, kMapFactorPort, "MapFactorServer", server))
        return -1;
    std::string path = mapFactorObjectPath(vehicle.uName, mapFactorStartHour(vehicle.track));

    CSslConnection c;
    c.setVerifyServer(s.tlsVerify);
    c.setAgentName("Nivra");
    c.setServerName(server.host);
    c.setPort(server.port);
    c.setUserName(s.name);
    c.setPassword(s.password);
    c.setObjectName(path);
    c.setCertStoreType(certStoreMy);
    c.setRequestID(m_requestId);
    c.setMaxReply(kMapFactorMaxReply);
    bool ok = c.open("GET");
    m_requestId = c.getRequestID();
    if (!ok || !c.send()) {
        NTRACE_AS("parseMapFactor", "%s Code: %d", c.getLastErrorString().c_str(),
                  c.getLastErrorCode());
        return -1;
    }
    std::string reply = c.read();
    if (c.httpStatus() != 200) {
        // An error page (a refused login, a moved service) holds no history;
        // its text is kept in the debug copy, but nothing of it is merged.
        NTRACE_AS("parseMapFactor", "history of %s refused: HTTP status %ld", vehicle.uName.c_str(),
                  c.httpStatus());
        keepDebugCopy(reply);
        return -1;
    }
    int added = mergeHistory(reply, vehicle);
    keepDebugCopy(reply);
    return added;
}

void CMapFactorLink::update(CClients& list, const WebAccountSettings& s) {
    runWebServicePass(m_period, m_clock(), s, list, [&](CClient& v) { parseMapFactor(v, s); });
}
