// Camera control: while a vehicle is followed, Google Earth's camera flies after
// it, and whatever the user does with the camera (a new range or heading)
// becomes the followed vehicle's view. All of it runs inside the network-link
// poll: wait for the camera to come to rest and read it, take over the user's
// range, build the reply, send the vehicle's view, wait again.
//
// The log lines of these functions carry the engine's file name "n2k.cpp",
// like the rest of the poll they belong to.
#pragma once

#include "earth/earth.h"

#include <atomic>
#include <cstdint>

class CClient;

// The camera as six integers, compared byte for byte to tell whether it moved:
// degrees x 10000 and whole metres, each truncated toward zero.
struct CameraSnapshot {
    int32_t lat = 0;
    int32_t lon = 0;
    int32_t tilt = 0;
    int32_t range = 0;
    int32_t hdg = 0;
    int32_t alt = 0;
    bool operator==(const CameraSnapshot&) const = default;
};
static_assert(sizeof(CameraSnapshot) == 24, "snapshots are compared as six packed integers");

// The camera range (metres) when the camera last came to rest; 0 until then.
// Every vehicle drawn into a network-link reply is scaled to it.
extern std::atomic<double> viewRange;

// The start-up counter: 1000 at start, 0 when installing the link had to start
// Google Earth, one more for every vehicle drawn into a reply. While it is
// below kStartupOverviewPolls the camera shows an overview.
extern std::atomic<int> g_startupCounter;
constexpr int kStartupOverviewPolls = 25;
constexpr double kStartupOverviewRange = 8000;
constexpr double kStartupOverviewTilt = 40;

// A reading 300 ms after the last one that differs from it means the camera
// is still moving.
constexpr unsigned kCameraSettleStepMs = 300;
// The longest checkChange waits for the camera to come to rest; after that it
// takes the camera as it is, so one camera that never settles (a user
// dragging the globe, a fly-to that never ends) cannot stall every poll.
constexpr unsigned kCameraSettleLimitMs = 3000;
// A change of range counts as the user's zoom only this long after the last check.
constexpr uint32_t kUserZoomQuietMs = 500;

// The snapshot last read or set by the program.
CameraSnapshot lastCameraSnapshot();
// Forgets the last snapshot and viewRange, and sets the start-up counter back
// to 1000 (tests).
void resetCameraState();

// Replace an unusable value (and log it): a range not above 0, above 1e8, or
// not finite becomes 10000; a heading not finite 0; a tilt below -1, above 90
// or not finite 60.
void fixRange(double& range);
void fixTilt(double& tilt);
void fixHdg(double& hdg);

// Reads the camera into a snapshot; after a failed read the fields not yet
// read keep their values.
void getCam(CameraSnapshot& snap, const EarthCamera& camera);
// Reads the camera into the vehicle's view. With `rangeOut` the range goes
// there and the vehicle's range is left alone.
void camToClient(CClient& vehicle, double* rangeOut, const EarthCamera& camera);
// Writes the vehicle's view (corrected in place) to the camera.
void clientToCam(CClient& vehicle, EarthCamera& camera);
// Takes over the camera range into the followed vehicle and returns its
// `changed` flag: set when the user changed the range by more than a tenth
// (a camera of none counts as changed).
int checkRange(CClient& vehicle, const EarthCamera* camera);
// Computes the vehicle's view and flies the camera there at `flyToSpeed`
// hundredths of Google Earth's fly-to speed (the FlyToSpeed setting).
void updateCamera(CClient& vehicle, EarthCamera& camera, int flyToSpeed);
// Waits for the camera to come to rest and leaves it in `camera`. 1 at rest,
// 0 when Google Earth cannot be reached, a read fails or the program shuts down.
int checkChange(EarthCamera& camera);
