// Google Earth, as the tracker engine sees it: one small automation interface
// with the calls the engine makes (attach or start, find a feature in Places,
// load KML text, read the version, open a file, get and set the camera), and
// the backend that currently answers them. Three backends exist:
//   "none"   no Google Earth: creation fails as unreachable, nothing else happens;
//   "gepro"  Google Earth Pro for Linux, driven through files, its command line
//            and the network link's own view parameters;
//   "test"   a scriptable double that records every call (earthTestDouble.h).
// Every call returns 0 on success and a non-zero code on failure; nothing throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// Google Earth offers two objects: the application, which holds Places, loads
// text and opens files, and the view, which holds the camera (and, on newer
// versions, loads text too).
enum class EarthObject { application, view };

// Result codes of the interface.
constexpr int kEarthOk = 0;
constexpr int kEarthUnreachable = -1; // Google Earth cannot be reached or started
constexpr int kEarthFailed = -2;      // the call reached Google Earth and failed

// The properties of a camera object, in Google Earth's order. `altMode` is an
// integer on the wire; it travels here as a double holding a whole number.
enum class CamProp { focusLat, focusLon, focusAlt, altMode, range, tilt, azimuth };

// A camera object: a view read from Google Earth, or one to hand to it. Each
// property call may fail on its own (Google Earth went away half-way through a
// read); the two masks say which ones do, one bit per CamProp.
class EarthCamera {
public:
    double focusLat = 0, focusLon = 0, focusAlt = 0;
    double altMode = 0;
    double range = 0, tilt = 0, azimuth = 0;
    unsigned failGet = 0;
    unsigned failPut = 0;

    // False when the call failed; `out` is then left alone.
    bool get(CamProp p, double& out) const;
    bool put(CamProp p, double v);
    static unsigned bit(CamProp p) { return 1u << static_cast<unsigned>(p); }
};

class EarthApp {
public:
    virtual ~EarthApp() = default;

    // The backend's name as the setting spells it.
    virtual std::string name() const = 0;

    // Creating the application starts Google Earth when it is not running; the
    // caller measures how long that takes. kEarthUnreachable when it cannot.
    virtual int create(EarthObject which) = 0;
    // Looks for a feature of that name in Places. 0 when the call worked;
    // `found` then says whether the feature exists.
    virtual int findFeature(const std::string& featureName, bool& found) = 0;
    virtual int loadKml(EarthObject through, const std::string& kml) = 0;
    // The four parts of the version; the first is the major version.
    virtual int version(int& major, int& minor, int& build, int& kind) = 0;
    virtual int openFile(const std::string& path) = 0;
    virtual int getCamera(EarthCamera& camera) = 0;
    // `speed` is the fly-to speed (1.0 the normal pace).
    virtual int setCamera(const EarthCamera& camera, double speed) = 0;

    // --- what the network link needs from a backend ---

    // True when the link must ask Google Earth for its view parameters and for
    // fly-to on refresh (a backend that reads and sets the camera through the
    // link itself). Other backends keep the link text exactly as it always was.
    virtual bool linkCarriesView() const { return false; }
    // Every network-link poll that is not a root request, before it is answered.
    virtual void notePoll(const std::string& request) { (void)request; }
    // Text that the next full reply carries right after the kml start tag;
    // handed out once.
    virtual std::string takeReplyControl() { return std::string(); }
    // False when a camera reading cannot change while one poll is answered
    // (it comes with the poll), so there is nothing to wait for.
    virtual bool liveCamera() const { return true; }
};

// The backend in use; never null ("none" until another one is set).
std::shared_ptr<EarthApp> earthApp();
// nullptr puts "none" back.
void setEarthApp(std::shared_ptr<EarthApp> app);

std::shared_ptr<EarthApp> makeEarthNone();
// Google Earth Pro for Linux, started as `program` (searched on PATH).
std::shared_ptr<EarthApp> makeEarthPro(const std::string& program = "google-earth-pro");
// "none", "gepro", "test", or "auto"/"" (gepro when google-earth-pro is on
// PATH, else none). nullptr for any other name.
std::shared_ptr<EarthApp> makeEarthApp(const std::string& backend);
// Makes and installs the backend by name; an unknown name is logged and
// installs "none". Returns false for an unknown name.
bool selectEarthApp(const std::string& backend);

// True when `program` names an executable file, directly or on PATH.
bool programOnPath(const std::string& program);

// The clock that every wait around Google Earth runs on. Tests install a
// manual one so that the engine's waits (500 ms rules, 300 ms settling, the
// start-up retries) pass without sleeping.
class EarthClock {
public:
    virtual ~EarthClock() = default;
    virtual uint32_t tick();         // milliseconds, wrapping like a 32-bit tick count
    virtual void sleep(unsigned ms); // waits ms milliseconds
};

std::shared_ptr<EarthClock> earthClock();
// nullptr puts the real clock back.
void setEarthClock(std::shared_ptr<EarthClock> clock);
inline uint32_t earthTick() {
    return earthClock()->tick();
}
inline void earthSleep(unsigned ms) {
    earthClock()->sleep(ms);
}
