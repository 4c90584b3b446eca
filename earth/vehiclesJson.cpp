// The browser globe's live data (see vehiclesJson.h).
#include "earth/vehiclesJson.h"

#include "earth/autoView.h"
#include "earth/autoViewState.h"
#include "earth/globe.h"
#include "earth/kml.h"
#include "earth/kmlText.h"
#include "platform/runtime.h"
#include "remote/client.h"
#include "track/nmea.h"
#include "track/outsideText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>

namespace {

constexpr std::string_view kDefaultCss = "#ff8040"; // the writer's Orange

// A number the page reads, or null where there is none.
void appendNumber(std::string& out, double value, int decimals) {
    if (std::isfinite(value))
        appendFixed(out, value, decimals);
    else
        out += "null";
}

void appendKey(std::string& out, std::string_view name) {
    out += '"';
    out += name;
    out += "\":";
}

// Reads a whole non-negative decimal number of at most 12 digits.
bool readSequence(std::string_view text, int64_t& out) {
    if (text.empty() || text.size() > 12)
        return false;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), out);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() && out >= 0;
}

void appendTrack(std::string& out, CClient& v, int64_t since, int& budget) {
    const int keep = std::clamp(v.maxPts, 0, kGlobeTrackPoints);
    TrackLockGuard guard;
    TrackSlice slice;
    if (guard.ok()) {
        slice = trackSlice(v.track.m_seqNum, v.track.pointCount(), since, keep, budget);
    } else {
        // No lock: nothing of the track now, the page asks again.
        slice.from = since;
        slice.more = true;
    }
    out += ",\"track\":{";
    appendKey(out, "from");
    appendInt(out, slice.from);
    out += ",\"reset\":";
    out += slice.reset ? "true" : "false";
    out += ",\"more\":";
    out += slice.more ? "true" : "false";
    out += ",\"keep\":";
    appendInt(out, keep);
    out += ",\"points\":[";
    // Index 0 is the newest point; the slice's first point is the oldest.
    const int64_t first = static_cast<int64_t>(v.track.m_seqNum) - slice.from;
    bool comma = false;
    for (int i = 0; i < slice.count; ++i) {
        const TrackPoint* p = v.track.point(static_cast<int>(first - i));
        if (!p)
            break;
        if (comma)
            out += ',';
        comma = true;
        appendNumber(out, p->lon / 100000.0, 5);
        out += ',';
        appendNumber(out, p->lat / 100000.0, 5);
        out += ',';
        appendNumber(out, p->alt / 10.0, 1);
    }
    out += "]}";
    budget -= slice.count;
}

void appendView(std::string& out, const GlobeView& view) {
    auto part = [&](const char* name, bool has, double value, int decimals) {
        out += ',';
        appendKey(out, name);
        if (has)
            appendNumber(out, value, decimals);
        else
            out += "null";
    };
    out += "{\"follow\":";
    out += view.follow ? "true" : "false";
    part("heading", view.hasHeading, view.heading, 2);
    part("range", view.hasRange, view.range, 1);
    part("tilt", view.hasTilt, view.tilt, 2);
    out += '}';
}

double greatCircleMetres(double lat1, double lon1, double lat2, double lon2) {
    constexpr double kEarthRadius = 6371008.8;
    constexpr double kRad = M_PI / 180.0;
    const double dLat = (lat2 - lat1) * kRad;
    const double dLon = (lon2 - lon1) * kRad;
    const double a =
        std::sin(dLat / 2) * std::sin(dLat / 2) +
        std::cos(lat1 * kRad) * std::cos(lat2 * kRad) * std::sin(dLon / 2) * std::sin(dLon / 2);
    return 2 * kEarthRadius * std::asin(std::min(1.0, std::sqrt(a)));
}

// Midnight of the day of `fixTime`, on the fix-time scale (the local day).
int64_t dayStart(int64_t fixTime) {
    return fixTime - ((fixTime % 86400) + 86400) % 86400;
}

// The head of a vehicle's entry (GlobeEntryHead). Under the track lock.
void writeEntryHead(CClient& v, const KmlOptions& options, GlobeEntryHead& head) {
    const GpsFix pos = v.displayPosition();
    head.key = cleanKey(v.name);
    head.fixTime = pos.time;
    head.placed = pos.lat != 0 || pos.lon != 0;
    std::string& out = head.text;
    out.clear();
    out += '{';
    appendKey(out, "key");
    appendJsonString(out, head.key);
    out += ',';
    appendKey(out, "name");
    appendJsonString(out, v.uName);
    out += ',';
    appendKey(out, "label");
    appendJsonString(out, vehicleLabel(v, options));
    out += ',';
    appendKey(out, "color");
    appendJsonString(out, cssColor(v.color));
    out += ",\"lat\":";
    appendNumber(out, head.placed ? pos.lat : NAN, 6);
    out += ",\"lon\":";
    appendNumber(out, head.placed ? pos.lon : NAN, 6);
    out += ",\"alt\":";
    appendNumber(out, pos.alt, 1);
    out += ",\"heading\":";
    appendNumber(out, pos.hdg, 1);
    out += ",\"speed\":";
    appendNumber(out, pos.spd, 2);
    out += ",\"source\":";
    appendJsonString(out, v.isDemo ? "demo" : vehicleSource(v));
    out += ",\"battery\":";
    if (v.battery >= 0 && v.battery <= 100)
        appendInt(out, v.battery);
    else
        out += "null";
    // The fix's time as UTC seconds (its age is the reply's own).
    out += ",\"time\":";
    if (pos.time > 0 && head.placed)
        appendInt(out, fixTimeToUtc(pos.time));
    else
        out += "null";
}

} // namespace

std::string parseGlobeDetails(std::string_view query) {
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view entry = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (entry.substr(0, 2) != "i=")
            continue;
        std::string key;
        if (!percentDecode(entry.substr(2), key) ||
            key.size() >= kClientTextField + kCleanKeySuffix)
            return std::string();
        return key;
    }
    return std::string();
}

double trackLengthSince(const CTrack& track, int64_t fromFixTime) {
    double metres = 0;
    const TrackPoint* later = nullptr;
    for (int i = 0; i < track.pointCount(); ++i) {
        const TrackPoint* p = track.point(i);
        if (!p || p->time < fromFixTime)
            break;
        if (later)
            metres += greatCircleMetres(p->lat / 100000.0, p->lon / 100000.0, later->lat / 100000.0,
                                        later->lon / 100000.0);
        later = p;
    }
    return metres;
}

GlobeSince parseGlobeSince(std::string_view query, size_t& refused) {
    GlobeSince since;
    refused = 0;
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view entry = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (entry.substr(0, 2) != "s=")
            continue; // other parameters (a cache breaker) are no concern here
        const std::string_view value = entry.substr(2);
        const size_t colon = value.find(':');
        int64_t seq = 0;
        std::string key;
        if (since.size() >= kGlobeMaxSince || colon == std::string_view::npos ||
            !readSequence(value.substr(0, colon), seq) ||
            !percentDecode(value.substr(colon + 1), key) || key.empty() ||
            key.size() >= kClientTextField + kCleanKeySuffix) {
            ++refused;
            continue;
        }
        since.emplace_back(std::move(key), seq);
    }
    return since;
}

TrackSlice trackSlice(int64_t seqNum, int nPts, int64_t since, int keep, int budget) {
    TrackSlice slice;
    budget = std::max(budget, 0);
    nPts = std::max(nPts, 0);
    const int64_t held = std::min<int64_t>(nPts, std::max(keep, 0));
    // The page's last point must still be in the ring and within what it keeps.
    const bool fits = since > 0 && since <= seqNum && seqNum - since < held;
    if (fits) {
        const int64_t wanted = seqNum - since + 1; // the page's last point again, then the new ones
        slice.from = since;
        slice.count = static_cast<int>(std::min<int64_t>(wanted, budget));
        slice.more = slice.count < wanted;
        return slice;
    }
    slice.reset = true;
    slice.from = seqNum - held + 1;
    slice.count = static_cast<int>(std::min<int64_t>(held, budget));
    slice.more = slice.count < held;
    return slice;
}

GlobeView globeView(CClient& v) {
    GlobeView view;
    view.follow = (v.tracking & kTrackFollow) != 0;
    // The automatic parts are the ones the automatic view steers.
    if (!view.follow || !(v.tracking & kTrackViewControl))
        return view;
    const std::shared_ptr<const ViewTable> table = autoViewTable();
    const GpsFix pos = v.displayPosition();
    if ((v.tracking & kTrackHeading) && !(table->rotateMinimum > pos.spd)) {
        const int mode = autoViewHeadingMode();
        double heading =
            mode >= 1 ? (mode - 1) * 45.0 + pos.hdg : pos.hdg + autoViewHeadingOffset();
        heading = std::fmod(heading, 360.0);
        if (heading < 0)
            heading += 360.0;
        view.hasHeading = std::isfinite(heading);
        view.heading = heading;
    }
    if (v.tracking & (kTrackRange | kTrackTilt)) {
        const RangeTilt rt = autoRangeTilt(v, *table);
        view.hasRange = (v.tracking & kTrackRange) != 0;
        view.range = rt.range;
        view.hasTilt = (v.tracking & kTrackTilt) != 0;
        view.tilt = rt.tilt;
    }
    return view;
}

std::string cssColor(const std::string& color) {
    std::string abgr = color;
    kmlColor(abgr, "ff");
    if (abgr.size() != 8 || !std::all_of(abgr.begin(), abgr.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c));
        }))
        return std::string(kDefaultCss);
    std::string css = "#";
    for (size_t at : {6, 4, 2}) {
        css += static_cast<char>(std::tolower(static_cast<unsigned char>(abgr[at])));
        css += static_cast<char>(std::tolower(static_cast<unsigned char>(abgr[at + 1])));
    }
    return css;
}

const GlobeEntryHead& GlobeEntryCache::head(CClient& v, const KmlOptions& options) {
    if (v.isLocal) {
        writeEntryHead(v, options, m_fresh);
        ++m_written;
        return m_fresh;
    }
    // The label and position are the KML folder's, from the same inputs.
    VehicleKmlInputs inputs = vehicleKmlInputs(v, 0, options);
    Entry& e = m_entries[&v];
    if (e.valid && e.battery == v.battery && e.inputs == inputs)
        return e.head;
    e.valid = false;
    writeEntryHead(v, options, e.head);
    e.inputs = std::move(inputs);
    e.battery = v.battery;
    e.valid = true;
    ++m_written;
    return e.head;
}

void GlobeEntryCache::keepOnly(const std::vector<CClient*>& vehicles) {
    keepListedVehicles(m_entries, vehicles);
}

std::string vehiclesJson(const std::vector<CClient*>& vehicles, CClient* tracked, bool selectedOnly,
                         const GlobeSince& since, const KmlOptions& options,
                         std::string_view details, int64_t nowFix, GlobeEntryCache* cache) {
    std::map<std::string_view, int64_t> pageHas;
    for (const auto& [key, seq] : since)
        pageHas.emplace(key, seq);
    std::vector<CClient*> shown;
    bool truncated = false;
    for (CClient* v : vehicles) {
        if (!v->visible || (selectedOnly && v != tracked))
            continue;
        if (shown.size() >= kGlobeMaxVehicles - 1 && v != tracked) {
            truncated = true; // the tracked vehicle always has a place
            continue;
        }
        shown.push_back(v);
    }
    std::string out = "{\"tracked\":";
    if (tracked)
        appendJsonString(out, cleanKey(tracked->name));
    else
        out += "null";
    out += ",\"view\":";
    if (tracked)
        appendView(out, globeView(*tracked));
    else
        out += "null";
    out += ",\"truncated\":";
    out += truncated ? "true" : "false";
    out += ",\"vehicles\":[";
    int budget = kGlobeReplyPoints;
    bool comma = false;
    for (CClient* v : shown) {
        if (comma)
            out += ',';
        comma = true;
        TrackLockGuard lock; // the vehicle's fields change on other threads
        // Without the lock nothing is kept or compared: written fresh.
        const bool kept = cache && lock.ok();
        GlobeEntryHead fresh;
        if (!kept)
            writeEntryHead(*v, options, fresh);
        const GlobeEntryHead& head = kept ? cache->head(*v, options) : fresh;
        const std::string& key = head.key;
        out += head.text;
        out += ",\"age\":";
        if (head.fixTime > 0 && head.placed && nowFix > 0)
            appendInt(out, std::max<int64_t>(0, nowFix - head.fixTime));
        else
            out += "null";
        if (!details.empty() && key == details) {
            out += ",\"today\":";
            appendNumber(out, nowFix > 0 ? trackLengthSince(v->track, dayStart(nowFix)) : NAN, 0);
        }
        const auto has = pageHas.find(key);
        appendTrack(out, *v, has == pageHas.end() ? 0 : has->second, budget);
        out += '}';
    }
    out += "]}";
    return out;
}
