// A scriptable Google Earth for tests: it records every call it receives and
// answers with what the test set up — creation times (on a manual clock),
// features in Places, load and version results, and camera readings that may
// change from one read to the next or fail as a whole or property by property.
// Safe to script from the test thread while a listener thread calls it.
#pragma once

#include "earth/earth.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// A clock that only moves when told to: sleeping advances it at once.
class ManualEarthClock : public EarthClock {
public:
    explicit ManualEarthClock(uint32_t start = 100000) : m_now(start) {}
    uint32_t tick() override { return m_now; }
    void sleep(unsigned ms) override {
        m_now += ms;
        m_slept += ms;
    }
    void advance(unsigned ms) { m_now += ms; }
    // Milliseconds spent in sleep() so far.
    uint64_t slept() const { return m_slept; }

private:
    std::atomic<uint32_t> m_now;
    std::atomic<uint64_t> m_slept{0};
};

class EarthTestDouble : public EarthApp {
public:
    struct Reading {
        int result = kEarthOk; // non-zero: the get-camera call itself fails
        EarthCamera camera;
    };
    struct FindStep {
        int result = kEarthOk;
        bool found = false;
    };
    struct SetCall {
        EarthCamera camera;
        double speed = 0;
    };

    EarthTestDouble();

    std::string name() const override { return "test"; }
    int create(EarthObject which) override;
    int findFeature(const std::string& featureName, bool& found) override;
    int loadKml(EarthObject through, const std::string& kml) override;
    int version(int& major, int& minor, int& build, int& kind) override;
    int openFile(const std::string& path) override;
    int getCamera(EarthCamera& camera) override;
    int setCamera(const EarthCamera& camera, double speed) override;

    // --- scripting ---
    // Creation of either object fails as unreachable while false.
    void setReachable(bool reachable);
    // Creations of the application advance this clock by the scripted times.
    void setClock(std::shared_ptr<ManualEarthClock> clock);
    // Each creation of the application takes the next time; then 0 ms.
    void scriptCreateTimes(std::vector<unsigned> ms);
    // A feature present in Places (a successful load of a link adds none).
    void setFeature(const std::string& featureName, bool present);
    // Answers of the next find calls; afterwards Places answers.
    void scriptFind(std::vector<FindStep> steps);
    // Results of the next loads; afterwards `steadyResult`.
    void scriptLoadResults(std::vector<int> results, int steadyResult = kEarthOk);
    void setVersion(int major, int result = kEarthOk);
    // One reading that every get returns from now on.
    void setCameraReading(const EarthCamera& camera, int result = kEarthOk);
    // Each get takes the next reading; the last one stays.
    void queueCameraReadings(std::vector<Reading> readings);
    void setSetCameraResult(int result);
    // When true (the default) a successful set makes the set view the reading,
    // as if Google Earth finished the fly-to at once.
    void setAdoptSetCamera(bool adopt);

    // --- observing ---
    std::vector<std::string> calls() const;
    // Calls whose record starts with `prefix` ("create application", "loadKml view").
    int callCount(const std::string& prefix) const;
    void clearCalls();
    std::vector<SetCall> setCalls() const;
    std::vector<std::string> loadedKml() const;
    std::vector<std::string> openedFiles() const;

private:
    void record(std::string call);

    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
    bool m_reachable = true;
    std::shared_ptr<ManualEarthClock> m_clock;
    std::deque<unsigned> m_createTimes;
    std::set<std::string> m_features;
    std::deque<FindStep> m_findSteps;
    std::deque<int> m_loadResults;
    int m_loadSteady = kEarthOk;
    int m_versionMajor = 7;
    int m_versionResult = kEarthOk;
    std::deque<Reading> m_readings;
    int m_setResult = kEarthOk;
    bool m_adoptSet = true;
    std::vector<SetCall> m_setCalls;
    std::vector<std::string> m_loaded;
    std::vector<std::string> m_opened;
};
