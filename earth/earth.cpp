#include "earth/earth.h"

#include "earth/earthTestDouble.h"
#include "platform/runtime.h"
#include "trace/trace.h"

#include <cstdlib>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One accessor for both constnesses of the camera.
template <class Camera> auto field(Camera& c, CamProp p) -> decltype(&c.focusLat) {
    switch (p) {
    case CamProp::focusLat:
        return &c.focusLat;
    case CamProp::focusLon:
        return &c.focusLon;
    case CamProp::focusAlt:
        return &c.focusAlt;
    case CamProp::altMode:
        return &c.altMode;
    case CamProp::range:
        return &c.range;
    case CamProp::tilt:
        return &c.tilt;
    case CamProp::azimuth:
        return &c.azimuth;
    }
    return nullptr;
}

std::mutex g_earthMutex;
std::shared_ptr<EarthApp> g_app;
std::shared_ptr<EarthClock> g_clock;

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

} // namespace

bool EarthCamera::get(CamProp p, double& out) const {
    if (failGet & bit(p))
        return false;
    out = *field(*this, p);
    return true;
}

bool EarthCamera::put(CamProp p, double v) {
    if (failPut & bit(p))
        return false;
    *field(*this, p) = v;
    return true;
}

std::shared_ptr<EarthApp> earthApp() {
    std::lock_guard<std::mutex> lock(g_earthMutex);
    if (!g_app)
        g_app = makeEarthNone();
    return g_app;
}

void setEarthApp(std::shared_ptr<EarthApp> app) {
    if (!app)
        app = makeEarthNone();
    std::lock_guard<std::mutex> lock(g_earthMutex);
    g_app = std::move(app);
}

bool programOnPath(const std::string& program) {
    if (program.empty())
        return false;
    if (program.find('/') != std::string::npos)
        return isExecutableFile(program);
    const char* path = getenv("PATH");
    std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        size_t colon = dirs.find(':');
        std::string_view dir = dirs.substr(0, colon);
        std::string candidate(dir.empty() ? std::string_view(".") : dir);
        candidate.push_back('/');
        candidate.append(program);
        if (isExecutableFile(candidate))
            return true;
        if (colon == std::string_view::npos)
            return false;
        dirs.remove_prefix(colon + 1);
    }
}

std::shared_ptr<EarthApp> makeEarthApp(const std::string& backend) {
    if (backend == "none")
        return makeEarthNone();
    if (backend == "gepro")
        return makeEarthPro();
    if (backend == "test")
        return std::make_shared<EarthTestDouble>();
    if (backend.empty() || backend == "auto")
        return programOnPath("google-earth-pro") ? makeEarthPro() : makeEarthNone();
    return nullptr;
}

bool selectEarthApp(const std::string& backend) {
    std::shared_ptr<EarthApp> app = makeEarthApp(backend);
    bool known = app != nullptr;
    if (!known)
        NTRACE("unknown Google Earth backend \"%s\", using none", backend.c_str());
    setEarthApp(app);
    NTRACE("Google Earth backend: %s", earthApp()->name().c_str());
    return known;
}

uint32_t EarthClock::tick() {
    return tickCountMs();
}

void EarthClock::sleep(unsigned ms) {
    sleepMs(ms);
}

std::shared_ptr<EarthClock> earthClock() {
    std::lock_guard<std::mutex> lock(g_earthMutex);
    if (!g_clock)
        g_clock = std::make_shared<EarthClock>();
    return g_clock;
}

void setEarthClock(std::shared_ptr<EarthClock> clock) {
    std::lock_guard<std::mutex> lock(g_earthMutex);
    g_clock = std::move(clock);
}
