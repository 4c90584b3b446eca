#include "remote/servicePass.h"

#include "platform/runtime.h"
#include "remote/client.h"

void runWebServicePass(UpdatePeriod& period, int64_t now, const WebAccountSettings& s,
                       CClients& list, const std::function<void(CClient&)>& fetch) {
    if (!s.enable || !period.due(now, s.freq))
        return;
    for (CClient* v : list.vehicles()) {
        if (g_bShutdown)
            return;
        if (v->remoteType == remoteWeb)
            fetch(*v);
    }
}
