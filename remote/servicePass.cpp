#include "remote/servicePass.h"

#include "app/OptionsDlg.h"
#include "platform/runtime.h"
#include "remote/client.h"

WebAccountSettings WebAccountSettings::fromOptions(std::string COptionsDlg::*server) {
    const COptionsDlg& o = theOptions();
    WebAccountSettings s;
    s.server = o.*server;
    s.name = o.moloName;
    s.password = o.moloPass;
    s.freq = o.moloFreq;
    s.enable = o.moloEnable;
    return s;
}

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
