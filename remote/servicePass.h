// What the Mologogo and MapFactor links share: the account settings they both
// read, and one pass over the vehicles they follow.
#pragma once

#include "remote/updatePeriod.h"

#include <cstdint>
#include <functional>
#include <string>

class CClient;
class CClients;
class COptionsDlg;

// A web service account as the settings give it.
struct WebAccountSettings {
    std::string server;   // "host" or "host:port"
    std::string name;     // moloName: the program's own account
    std::string password; // moloPass
    int32_t freq = 60;    // moloFreq, seconds between passes
    int32_t enable = 0;   // moloEnable
    // The values of the process-wide settings object, with the server of
    // the setting `server` (MologogoServer or MapFactorServer).
    static WebAccountSettings fromOptions(std::string COptionsDlg::*server);
};

// One pass of a link: when `enable` is set and `period` is due at `now`,
// `fetch` for every vehicle (not removed, in list order) of type
// remoteWeb, stopping when the program shuts down.
void runWebServicePass(UpdatePeriod& period, int64_t now, const WebAccountSettings& s,
                       CClients& list, const std::function<void(CClient&)>& fetch);
