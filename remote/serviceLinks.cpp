// The service exchanges until their links exist: each pass says that the
// link is not there and does nothing else.
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

void gpsgateUpdate(CClients&) {
    static std::atomic<bool> said{false};
    notBuilt(said, "gpsgateUpdate");
}

void moloUpdate(CClients&) {
    static std::atomic<bool> said{false};
    notBuilt(said, "moloUpdate");
}

void mapFactorUpdate(CClients&) {
    static std::atomic<bool> said{false};
    notBuilt(said, "mapFactorUpdate");
}
