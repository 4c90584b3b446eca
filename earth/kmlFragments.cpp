#include "earth/kmlFragments.h"

#include "platform/runtime.h"
#include "remote/client.h"
#include "track/track.h"

#include <algorithm>
#include <bit>

VehicleKmlInputs vehicleKmlInputs(const CClient& v, int pointLimit, const KmlOptions& opt) {
    VehicleKmlInputs in;
    in.trackChanges = v.track.m_changes.load();
    in.trackNumbers[0] = v.track.m_seqNum.load();
    in.trackNumbers[1] = v.track.pointCount();
    in.trackNumbers[2] = v.track.head;
    const int32_t ints[] = {v.visible,        v.online.load(), v.tracking, v.speedTrack,
                            v.maxPts,         v.fly,           v.extrude,  v.timestamps,
                            v.useTimeSpan,    v.startTime,     v.endTime,  v.showAlt,
                            v.showHdg,        v.showName,      v.showHost, v.showSpeed,
                            v.showTime,       v.cursorType,    v.isLocal,  v.isDemo,
                            v.remoteType,     v.curPos.status, pointLimit, opt.cursorSize,
                            opt.speedInKnots, opt.metric};
    static_assert(std::size(ints) == std::size(in.ints));
    std::copy(std::begin(ints), std::end(ints), in.ints);
    const double numbers[] = {v.maxSpd,     v.trackWidth, v.camRange,   v.curPos.lat,
                              v.curPos.lon, v.curPos.alt, v.curPos.hdg, v.curPos.spd};
    static_assert(std::size(numbers) == std::size(in.numbers));
    for (size_t i = 0; i < std::size(numbers); ++i)
        in.numbers[i] = std::bit_cast<uint64_t>(numbers[i]);
    in.fixTime = v.curPos.time;
    in.zoneOffset = tzOffset();
    const std::string* texts[] = {&v.name,  &v.uName,     &v.host,     &v.color,
                                  &v.image, &v.modelFile, &v.imageFile};
    static_assert(std::size(texts) == std::size(in.texts));
    for (size_t i = 0; i < std::size(texts); ++i)
        in.texts[i] = *texts[i];
    return in;
}

const std::string& KmlFragmentCache::fragment(CClient& v, int pointLimit, const KmlOptions& opt) {
    // Held across the comparison and the writing, so that what is kept is
    // what was written from exactly these inputs.
    TrackLockGuard lock;
    if (!lock.ok() || v.isLocal || opt.debugLogging) {
        ::vehicleKml(v, m_fresh, kmlLink, pointLimit, opt);
        ++m_written;
        return m_fresh;
    }
    VehicleKmlInputs inputs = vehicleKmlInputs(v, pointLimit, opt);
    Entry& e = m_entries[&v];
    if (e.valid && e.inputs == inputs)
        return e.kml;
    e.valid = false;
    ::vehicleKml(v, e.kml, kmlLink, pointLimit, opt);
    e.inputs = std::move(inputs);
    e.valid = true;
    ++m_written;
    return e.kml;
}

void KmlFragmentCache::keepOnly(const std::vector<CClient*>& vehicles) {
    keepListedVehicles(m_entries, vehicles);
}
