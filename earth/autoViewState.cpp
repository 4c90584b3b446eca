#include "earth/autoViewState.h"

#include <atomic>

namespace {
std::atomic<int> g_headingMode{1};
std::atomic<double> g_headingOffset{0.0};
std::atomic<bool> g_headingHold{true};
std::atomic<double> g_lastHeading{0.0};
} // namespace

void setAutoViewHeadingMode(int mode) {
    g_headingMode = mode;
}
int autoViewHeadingMode() {
    return g_headingMode;
}
void setAutoViewHeadingOffset(double degrees) {
    g_headingOffset = degrees;
}
double autoViewHeadingOffset() {
    return g_headingOffset;
}
void setAutoViewHeadingHold(bool hold) {
    g_headingHold = hold;
}
bool autoViewHeadingHold() {
    return g_headingHold;
}
void setAutoViewLastHeading(double degrees) {
    g_lastHeading = degrees;
}
double autoViewLastHeading() {
    return g_lastHeading;
}
