// Where the phone port hands the positions it accepted: the tracker engine,
// which adds them to the vehicle's track the way it adds a hardware
// tracker's (earth/lineIntake.cpp). Kept here so the phone port needs
// nothing above the vehicle list.
#pragma once

#include "track/nmea.h"

class CClient;

enum class PointTaken {
    drawn, // the vehicle's new position, added to its track
    older, // not newer than the vehicle's newest point: not drawn out of order
    failed // the track could not be reached (its lock timed out)
};

class PhonePointSink {
public:
    virtual ~PhonePointSink() = default;
    // One accepted position of a phone's vehicle (fix time on the fix-time
    // scale, speed in knots, status 1). Called on the phone port's thread.
    virtual PointTaken takePhonePoint(CClient& vehicle, const GpsFix& fix) = 0;
};
