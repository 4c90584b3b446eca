#include "earth/camera.h"

#include "earth/autoView.h"
#include "platform/numeric.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "trace/trace.h"

#include <cmath>
#include <cstdint>
#include <mutex>

// The camera is part of the engine's poll; its lines read as the engine's.
#define CAMTRACE(...)                                                                              \
    (::traceMayDeliver()                                                                           \
         ? ::trace(::TraceSite{"n2k.cpp", __PRETTY_FUNCTION__, __LINE__, 1, 0, true}, __VA_ARGS__) \
         : void())

std::atomic<double> viewRange{0.0};
std::atomic<int> g_startupCounter{1000};

namespace {

std::mutex g_snapMutex;
CameraSnapshot g_lastSnap;

// Reads the snapshot fields in Google Earth's order; false at the first
// failed read, with the fields read so far already stored. Google Earth can
// hand back anything (NaN while it starts, huge values while the globe
// spins), so every field is converted with saturation.
bool readSnapshot(CameraSnapshot& snap, const EarthCamera& cam) {
    double v = 0;
    if (!cam.get(CamProp::focusLat, v))
        return false;
    snap.lat = truncInt32(v * 10000);
    if (!cam.get(CamProp::focusLon, v))
        return false;
    snap.lon = truncInt32(v * 10000);
    if (!cam.get(CamProp::focusAlt, v))
        return false;
    snap.alt = truncInt32(v * 10000);
    if (!cam.get(CamProp::tilt, v))
        return false;
    snap.tilt = truncInt32(v * 10000);
    if (!cam.get(CamProp::range, v))
        return false;
    double r = std::trunc(v);
    fixRange(r);
    snap.range = truncInt32(r);
    if (!cam.get(CamProp::azimuth, v))
        return false;
    snap.hdg = truncInt32(v * 10000);
    return true;
}

bool readIntoVehicle(CClient& c, double* rangeOut, const EarthCamera& cam) {
    double v = 0;
    if (!cam.get(CamProp::focusLat, v))
        return false;
    c.camLat = v;
    if (!cam.get(CamProp::focusLon, v))
        return false;
    c.camLon = v;
    if (!cam.get(CamProp::tilt, v))
        return false;
    c.camTilt = v;
    if (!cam.get(CamProp::azimuth, v))
        return false;
    c.camHdg = v;
    if (!cam.get(CamProp::focusAlt, v))
        return false;
    c.camAlt = v;
    if (!cam.get(CamProp::range, v))
        return false;
    fixRange(v);
    (rangeOut ? *rangeOut : c.camRange) = v;
    return true;
}

bool writeFromVehicle(CClient& c, EarthCamera& cam) {
    GpsFix pos = c.displayPosition();
    return cam.put(CamProp::focusLat, pos.lat) && cam.put(CamProp::focusLon, pos.lon) &&
           cam.put(CamProp::focusAlt, 0.0) && cam.put(CamProp::range, c.camRange) &&
           cam.put(CamProp::tilt, c.camTilt) && cam.put(CamProp::azimuth, c.camHdg);
}

void setLastSnapshot(const CameraSnapshot& s) {
    std::lock_guard<std::mutex> lock(g_snapMutex);
    g_lastSnap = s;
}

void forceStartupOverview(CClient& c) {
    if (g_startupCounter < kStartupOverviewPolls) {
        c.camRange = kStartupOverviewRange;
        c.camTilt = kStartupOverviewTilt;
    }
}

} // namespace

CameraSnapshot lastCameraSnapshot() {
    std::lock_guard<std::mutex> lock(g_snapMutex);
    return g_lastSnap;
}

void resetCameraState() {
    setLastSnapshot(CameraSnapshot{});
    viewRange = 0.0;
    g_startupCounter = 1000;
}

void fixRange(double& range) {
    if (range > 100000000.0 || !(range > 0) || !std::isfinite(range)) {
        CAMTRACE("camera out of range!");
        range = 10000;
    }
}

void fixHdg(double& hdg) {
    if (!std::isfinite(hdg)) {
        CAMTRACE("camera hdg not a number!");
        hdg = 0;
    }
}

void fixTilt(double& tilt) {
    if (tilt < -1 || tilt > 90 || !std::isfinite(tilt)) {
        CAMTRACE("camera tilt is bad or not a number!");
        tilt = 60;
    }
}

void getCam(CameraSnapshot& snap, const EarthCamera& camera) {
    if (!readSnapshot(snap, camera))
        CAMTRACE("error getting camera parms");
}

void camToClient(CClient& vehicle, double* rangeOut, const EarthCamera& camera) {
    if (!readIntoVehicle(vehicle, rangeOut, camera))
        CAMTRACE("error getting camera parms");
}

void clientToCam(CClient& vehicle, EarthCamera& camera) {
    if (vehicle.camRange > 100000)
        CAMTRACE("hey");
    fixRange(vehicle.camRange);
    fixTilt(vehicle.camTilt);
    fixHdg(vehicle.camHdg);
    if (!writeFromVehicle(vehicle, camera))
        CAMTRACE("error putting camera parms");
}

int checkRange(CClient& vehicle, const EarthCamera* camera) {
    if (!camera)
        return 1;
    // A failed read leaves r at the vehicle's own range: no change seen.
    double r = vehicle.camRange;
    camToClient(vehicle, &r, *camera);
    double d = std::fabs(r - vehicle.camRange);
    vehicle.changed = 0;
    uint32_t now = earthTick();
    if (d > 0 && r / d < 10 && now - vehicle.camTime > kUserZoomQuietMs)
        vehicle.changed = 1;
    vehicle.camTime = now;
    vehicle.camRange = r;
    forceStartupOverview(vehicle);
    return vehicle.changed;
}

void updateCamera(CClient& vehicle, EarthCamera& camera, int flyToSpeed) {
    computeView(vehicle);
    // The automatic view and the reply's range would otherwise replace the
    // start-up overview before it ever reached the camera.
    forceStartupOverview(vehicle);
    std::shared_ptr<EarthApp> app = earthApp();
    if (app->create(EarthObject::view) != kEarthOk)
        return;
    clientToCam(vehicle, camera);
    if (!camera.put(CamProp::altMode, 1)) {
        CAMTRACE("error putting camera parms");
    } else if (app->setCamera(camera, flyToSpeed / 100.0) != kEarthOk) {
        CAMTRACE("error setting camera");
    }
    CameraSnapshot snap = lastCameraSnapshot();
    getCam(snap, camera);
    setLastSnapshot(snap);
}

int checkChange(EarthCamera& camera) {
    std::shared_ptr<EarthApp> app = earthApp();
    if (app->create(EarthObject::view) != kEarthOk)
        return 0;
    if (app->getCamera(camera) != kEarthOk)
        return 0;
    CameraSnapshot last = lastCameraSnapshot();
    CameraSnapshot current = last;
    getCam(current, camera);
    uint32_t start = earthTick();
    while (true) {
        if (g_bShutdown)
            return 0;
        if (current == last)
            break;
        // A reading that came with the poll cannot move while we wait.
        if (!app->liveCamera())
            break;
        uint32_t waited = earthTick() - start;
        if (waited >= kCameraSettleLimitMs) {
            CAMTRACE("camera still moving after %u ms, taken as at rest", waited);
            break;
        }
        last = current;
        setLastSnapshot(last);
        earthSleep(kCameraSettleStepMs);
        if (app->getCamera(camera) != kEarthOk)
            return 0;
        if (g_bShutdown)
            return 0;
        getCam(current, camera);
    }
    setLastSnapshot(current);
    double range = 0;
    if (camera.get(CamProp::range, range)) {
        fixRange(range);
        viewRange = range;
    } else {
        CAMTRACE("error putting camera parms");
    }
    return 1;
}
