// The browser globe's live data: /vehicles.json on the network-link port.
// One small JSON document per poll with every shown vehicle (key, name,
// label, position, heading, colour) and the part of its track the page does
// not have yet, plus the view the page's camera follows.
//
// The page says how far it has each track: "s=SEQ:KEY" once per vehicle,
// KEY percent-encoded, SEQ the sequence number of the last point it holds.
// A vehicle's newest point has the track's sequence number (m_seqNum), the
// one before it that number minus one, and so on. A reply's track part
// starts at the page's last point again (the newest point may have moved
// since: a compressed track rewrites it) unless the page's number does not fit
// the track (a new page, a cleared or reloaded track), when the newest points
// come again from scratch ("reset").
#pragma once

#include "earth/kmlFragments.h"
#include "track/outsideText.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

class CClient;
class CTrack;
struct KmlOptions;

// Vehicles in one reply, points a fresh page gets of one track, points in
// one reply over all vehicles (a page behind gets the rest next time), and
// "s=" entries read from one query.
constexpr size_t kGlobeMaxVehicles = 256;
constexpr int kGlobeTrackPoints = 5000;
constexpr int kGlobeReplyPoints = 20000;
constexpr size_t kGlobeMaxSince = kGlobeMaxVehicles;

// How far the page has each track: key and sequence number.
using GlobeSince = std::vector<std::pair<std::string, int64_t>>;

// Reads the "s=SEQ:KEY" entries of a query (the text after '?'). Malformed
// entries, keys longer than a clean key can be (255 + kCleanKeySuffix) and
// entries past kGlobeMaxSince are skipped and counted in `refused`.
GlobeSince parseGlobeSince(std::string_view query, size_t& refused);

// The part of a track a reply carries: sequence number of the first point
// (the oldest of the part), how many points, whether the page must drop what
// it holds first, and whether more points wait for the next poll.
struct TrackSlice {
    int64_t from = 0;
    int count = 0;
    bool reset = false;
    bool more = false;
};

// The vehicle whose details the page shows: the key of the query's first
// "i=KEY" entry (percent-decoded; empty when there is none or it is malformed
// or longer than a clean key can be). Only that vehicle's reply carries the
// length of its track today, which costs a walk over the track.
std::string parseGlobeDetails(std::string_view query);

// The length in metres of the track's part whose points have fix times at or
// after `fromFixTime` (the newest points back to the first older one), along
// great circles. Call under the track lock.
double trackLengthSince(const CTrack& track, int64_t fromFixTime);

// The slice for a track with `seqNum` and `nPts`, a page at `since` (0 when it
// has nothing), keeping at most `keep` points, with `budget` points left in
// this reply. Pure.
TrackSlice trackSlice(int64_t seqNum, int nPts, int64_t since, int keep, int budget);

// The view the page's camera takes while it follows the vehicle: null parts
// are left to the user (no automatic heading, range or tilt).
struct GlobeView {
    bool follow = false;
    bool hasHeading = false, hasRange = false, hasTilt = false;
    double heading = 0, range = 0, tilt = 0; // degrees, metres, degrees from straight down
};
GlobeView globeView(CClient& tracked);

// "#rrggbb" of a vehicle colour (a name or an aabbggrr text); the KML
// writer's default colour for anything it does not know.
std::string cssColor(const std::string& color);

// appendJsonString, the JSON string of an outside text: track/outsideText.h.

// The part of a vehicle's entry that is the same for every page: the text
// from its '{' to its fix time (key, name, label, colour, position, source,
// battery), its clean key, and what its age is taken from.
struct GlobeEntryHead {
    std::string key;  // cleanKey of the vehicle's key
    std::string text; // "{\"key\":...,\"time\":..."
    int64_t fixTime = 0;
    bool placed = false;
};

// Kept entry heads, so that a poll with hundreds of vehicles writes again only
// those whose head would come out different: each is kept with the inputs it
// was written from (what the vehicle's KML folder is written from, and its
// battery) and written again when one differs. The local vehicle (its label
// follows the status line) is always written fresh. One cache belongs to one
// thread.
class GlobeEntryCache {
public:
    // The vehicle's head as vehiclesJson writes it now. Call under the track
    // lock; the reference holds until the next call of any member.
    const GlobeEntryHead& head(CClient& vehicle, const KmlOptions& options);
    // Drops what is kept of vehicles not in `vehicles` (removed ones).
    void keepOnly(const std::vector<CClient*>& vehicles);
    size_t size() const { return m_entries.size(); }
    // How many heads were written (not taken from the cache) so far.
    uint64_t written() const { return m_written; }

private:
    struct Entry {
        VehicleKmlInputs inputs;
        int battery = 0;
        GlobeEntryHead head;
        bool valid = false;
    };
    std::unordered_map<const CClient*, Entry> m_entries;
    GlobeEntryHead m_fresh; // the local vehicle's, written every time
    uint64_t m_written = 0;
};

// The whole document. `vehicles` in list order; `tracked` may be null. Labels
// are the KML writer's, made with `options`. Vehicles are known by cleanKey of
// their key, which is what the page sends back in "s=" and "i=" entries; the
// vehicle named `details` also gets "today", its track's length since the
// start of today. `nowFix` is the current time on the fix-time scale (the age
// of each vehicle's last fix is taken from it). With `cache` the vehicles'
// heads come from it; the document is the same.
std::string vehiclesJson(const std::vector<CClient*>& vehicles, CClient* tracked, bool selectedOnly,
                         const GlobeSince& since, const KmlOptions& options,
                         std::string_view details = {}, int64_t nowFix = 0,
                         GlobeEntryCache* cache = nullptr);
