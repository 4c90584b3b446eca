// Kept KML of each vehicle. A poll of the network link with hundreds of
// vehicles used to write every vehicle's folder again although most had not
// moved; the cache keeps each vehicle's last folder with the inputs it was
// written from (the vehicle's shown fields, its points' change count, the
// range it is drawn at, the point limit and the writer's settings) and
// writes a vehicle again only when one of them differs. What it hands out is
// byte for byte what vehicleKml writes at that moment.
//
// Only network-link folders (kmlLink) are kept. The local vehicle (its label
// follows the status line, its cursor the view table and the flight path) is
// always written fresh, and so is every vehicle while the debug dump is on or
// the track lock cannot be had. One cache belongs to one thread.
#pragma once

#include "earth/kml.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// Everything a vehicle's network-link folder is written from, but for the
// local vehicle's extras. Numbers are kept as their bits: -0.0 and 0.0 are
// written differently. Read under the track lock.
struct VehicleKmlInputs {
    uint32_t trackChanges = 0;
    int32_t trackNumbers[3] = {};
    int32_t ints[26] = {};
    uint64_t numbers[8] = {};
    int64_t fixTime = 0;
    long zoneOffset = 0;
    std::string texts[7];
    bool operator==(const VehicleKmlInputs&) const = default;
};
VehicleKmlInputs vehicleKmlInputs(const CClient& vehicle, int pointLimit, const KmlOptions& opt);

// Drops what `kept` (keyed by vehicle) holds of vehicles not in `vehicles`.
template <class KeptByVehicle>
void keepListedVehicles(KeptByVehicle& kept, const std::vector<CClient*>& vehicles) {
    const std::unordered_set<const CClient*> listed(vehicles.begin(), vehicles.end());
    std::erase_if(kept, [&](const auto& entry) { return !listed.count(entry.first); });
}

class KmlFragmentCache {
public:
    // The vehicle's network-link KML as vehicleKml(kmlLink) writes it; the
    // kept one when nothing it is written from changed. The reference holds
    // until the next call of any member.
    const std::string& fragment(CClient& vehicle, int pointLimit, const KmlOptions& opt);
    // Drops what is kept of vehicles not in `vehicles` (removed ones).
    void keepOnly(const std::vector<CClient*>& vehicles);
    void clear() { m_entries.clear(); }
    size_t size() const { return m_entries.size(); }
    // How many folders were written (not taken from the cache) so far.
    uint64_t written() const { return m_written; }

private:
    struct Entry {
        VehicleKmlInputs inputs;
        std::string kml;
        bool valid = false;
    };
    std::unordered_map<const CClient*, Entry> m_entries;
    std::string m_fresh; // the local vehicle's, written every time
    uint64_t m_written = 0;
};
