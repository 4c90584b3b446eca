#include "app/subsystems.h"

#include "platform/runtime.h"

#include <ctime>

int64_t CSubsystems::nowSeconds() const {
    return static_cast<int64_t>(time(nullptr));
}

void CSubsystems::waitMs(unsigned ms) {
    sleepMs(ms);
}
