// The MapFactor exchange until its link exists: each pass says that the
// link is not there and does nothing else. (GpsGate and Mologogo live in
// remote/gpsgate.cpp and remote/mologogo.cpp.)
#include "remote/serviceLinks.h"

#include "trace/trace.h"

#include <atomic>

namespace {

// Said once per link, not every 2 seconds.
void notBuilt(std::atomic<bool>& said, const char* link) {
    if (!said.exchange(true))
        NTRACE_AS(link, "this link is not part of this build; nothing exchanged");
}

} // namespace

void mapFactorUpdate(CClients&) {
    static std::atomic<bool> said{false};
    notBuilt(said, "mapFactorUpdate");
}
