// The process-wide values of the automatic view that the settings hand over:
// the heading mode (the `AutoHdg` setting), the heading offset (persisted as
// `RotateDelta`) and the one-shot heading hold flag. Safe from any thread.
#pragma once

void setAutoViewHeadingMode(int mode);
int autoViewHeadingMode();

void setAutoViewHeadingOffset(double degrees);
double autoViewHeadingOffset();

// Set at start-up, when the settings are loaded and when tracking options change;
// cleared by the next automatic heading update.
void setAutoViewHeadingHold(bool hold = true);
bool autoViewHeadingHold();

// The heading last written by the automatic heading.
void setAutoViewLastHeading(double degrees);
double autoViewLastHeading();
