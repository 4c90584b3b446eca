// Shared pieces of the serial reader tests: a thread-safe trace capture and a
// polling wait.
#pragma once

#include "common/traceCapture.h"
#include "platform/runtime.h"

#include <cstdint>

template <typename Pred> bool waitFor(Pred pred, unsigned ms = 5000) {
    uint32_t start = tickCountMs();
    while (!pred()) {
        if (tickCountMs() - start > ms) {
            return false;
        }
        sleepMs(5);
    }
    return true;
}
