// What the Mologogo and MapFactor links share: one pass over the vehicles
// they follow.
#pragma once

#include "remote/serviceSettings.h"
#include "remote/updatePeriod.h"

#include <cstdint>
#include <functional>
#include <string>

class CClient;
class CClients;

// One pass of a link: when `enable` is set and `period` is due at `now`,
// `fetch` for every vehicle (not removed, in list order) of type
// remoteWeb, stopping when the program shuts down.
void runWebServicePass(UpdatePeriod& period, int64_t now, const WebAccountSettings& s,
                       CClients& list, const std::function<void(CClient&)>& fetch);
