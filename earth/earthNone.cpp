// No Google Earth: every object creation fails as unreachable, so installing
// the link ends in the engine's "error accessing google earth" and the camera
// is never touched. The network-link listener still answers every poll, so a
// KML client without automation (or a browser) sees the vehicles.
#include "earth/earth.h"

namespace {

class EarthNone : public EarthApp {
public:
    std::string name() const override { return "none"; }
    int create(EarthObject) override { return kEarthUnreachable; }
    int findFeature(const std::string&, bool& found) override {
        found = false;
        return kEarthUnreachable;
    }
    int loadKml(EarthObject, const std::string&) override { return kEarthUnreachable; }
    int version(int&, int&, int&, int&) override { return kEarthUnreachable; }
    int openFile(const std::string&) override { return kEarthUnreachable; }
    int getCamera(EarthCamera&) override { return kEarthUnreachable; }
    int setCamera(const EarthCamera&, double) override { return kEarthUnreachable; }
};

} // namespace

std::shared_ptr<EarthApp> makeEarthNone() {
    return std::make_shared<EarthNone>();
}
