#include "net/requestEnd.h"

unsigned requestQuietMs(std::string_view received, RequestFraming framing) {
    if (framing == RequestFraming::http && (received.find("\r\n\r\n") != std::string_view::npos ||
                                            received.find("\n\n") != std::string_view::npos))
        return 0;
    return !received.empty() && received.back() == '\n' ? kLineEndGapMs : kMidLineGapMs;
}
