#include "earth/earthTestDouble.h"

#include <cstdio>

namespace {

const char* objectName(EarthObject which) {
    return which == EarthObject::application ? "application" : "view";
}

} // namespace

EarthTestDouble::EarthTestDouble() {
    // A plain view over the equator until a test sets one up.
    Reading r;
    r.camera.range = 10000;
    r.camera.altMode = 1;
    m_readings.push_back(r);
}

void EarthTestDouble::record(std::string call) {
    m_calls.push_back(std::move(call));
}

int EarthTestDouble::create(EarthObject which) {
    std::lock_guard<std::mutex> lock(m_mutex);
    record(std::string("create ") + objectName(which));
    if (!m_reachable)
        return kEarthUnreachable;
    if (which == EarthObject::application && !m_createTimes.empty()) {
        unsigned ms = m_createTimes.front();
        m_createTimes.pop_front();
        if (m_clock)
            m_clock->advance(ms);
    }
    return kEarthOk;
}

int EarthTestDouble::findFeature(const std::string& featureName, bool& found) {
    std::lock_guard<std::mutex> lock(m_mutex);
    record("findFeature " + featureName);
    if (!m_reachable)
        return kEarthUnreachable;
    if (!m_findSteps.empty()) {
        FindStep s = m_findSteps.front();
        m_findSteps.pop_front();
        found = s.found;
        return s.result;
    }
    found = m_features.count(featureName) > 0;
    return kEarthOk;
}

int EarthTestDouble::loadKml(EarthObject through, const std::string& kml) {
    std::lock_guard<std::mutex> lock(m_mutex);
    record(std::string("loadKml ") + objectName(through));
    m_loaded.push_back(kml);
    if (!m_reachable)
        return kEarthUnreachable;
    if (!m_loadResults.empty()) {
        int r = m_loadResults.front();
        m_loadResults.pop_front();
        return r;
    }
    return m_loadSteady;
}

int EarthTestDouble::version(int& major, int& minor, int& build, int& kind) {
    std::lock_guard<std::mutex> lock(m_mutex);
    record("version");
    if (!m_reachable)
        return kEarthUnreachable;
    if (m_versionResult != kEarthOk)
        return m_versionResult;
    major = m_versionMajor;
    minor = 0;
    build = 0;
    kind = 1;
    return kEarthOk;
}

int EarthTestDouble::openFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    record("openFile " + path);
    m_opened.push_back(path);
    return m_reachable ? kEarthOk : kEarthUnreachable;
}

int EarthTestDouble::getCamera(EarthCamera& camera) {
    std::lock_guard<std::mutex> lock(m_mutex);
    record("getCamera");
    if (!m_reachable)
        return kEarthUnreachable;
    Reading r = m_readings.front();
    if (m_readings.size() > 1)
        m_readings.pop_front();
    if (r.result != kEarthOk)
        return r.result;
    camera = r.camera;
    return kEarthOk;
}

int EarthTestDouble::setCamera(const EarthCamera& camera, double speed) {
    std::lock_guard<std::mutex> lock(m_mutex);
    char buf[48];
    snprintf(buf, sizeof buf, "setCamera %.3f", speed);
    record(buf);
    m_setCalls.push_back(SetCall{camera, speed});
    if (!m_reachable)
        return kEarthUnreachable;
    if (m_setResult == kEarthOk && m_adoptSet) {
        Reading r;
        r.camera = camera;
        r.camera.failGet = r.camera.failPut = 0;
        m_readings.assign(1, r);
    }
    return m_setResult;
}

void EarthTestDouble::setReachable(bool reachable) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reachable = reachable;
}

void EarthTestDouble::setClock(std::shared_ptr<ManualEarthClock> clock) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clock = std::move(clock);
}

void EarthTestDouble::scriptCreateTimes(std::vector<unsigned> ms) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_createTimes.assign(ms.begin(), ms.end());
}

void EarthTestDouble::setFeature(const std::string& featureName, bool present) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (present)
        m_features.insert(featureName);
    else
        m_features.erase(featureName);
}

void EarthTestDouble::scriptFind(std::vector<FindStep> steps) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_findSteps.assign(steps.begin(), steps.end());
}

void EarthTestDouble::scriptLoadResults(std::vector<int> results, int steadyResult) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_loadResults.assign(results.begin(), results.end());
    m_loadSteady = steadyResult;
}

void EarthTestDouble::setVersion(int major, int result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_versionMajor = major;
    m_versionResult = result;
}

void EarthTestDouble::setCameraReading(const EarthCamera& camera, int result) {
    queueCameraReadings({Reading{result, camera}});
}

void EarthTestDouble::queueCameraReadings(std::vector<Reading> readings) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (readings.empty())
        readings.push_back(Reading{});
    m_readings.assign(readings.begin(), readings.end());
}

void EarthTestDouble::setSetCameraResult(int result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_setResult = result;
}

void EarthTestDouble::setAdoptSetCamera(bool adopt) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_adoptSet = adopt;
}

std::vector<std::string> EarthTestDouble::calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

int EarthTestDouble::callCount(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const std::string& c : m_calls)
        if (c.compare(0, prefix.size(), prefix) == 0)
            ++n;
    return n;
}

void EarthTestDouble::clearCalls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
    m_setCalls.clear();
    m_loaded.clear();
    m_opened.clear();
}

std::vector<EarthTestDouble::SetCall> EarthTestDouble::setCalls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_setCalls;
}

std::vector<std::string> EarthTestDouble::loadedKml() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_loaded;
}

std::vector<std::string> EarthTestDouble::openedFiles() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_opened;
}
