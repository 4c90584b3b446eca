#include "history/historyJson.h"

#include "history/exportText.h"
#include "track/outsideText.h"

HistoryQuery historyPageQuery(const std::string& key, int64_t from, int64_t to) {
    HistoryQuery q;
    q.keys = {key};
    q.from = from;
    q.to = to;
    q.limit = kHistoryPagePoints;
    return q;
}

std::string historyPageJson(const std::string& key, const HistoryReadResult& page) {
    std::string out;
    out.reserve(64 + page.points * 64);
    out += "{\"key\":";
    appendJsonString(out, key);
    out += ",\"points\":[";
    bool first = true;
    int64_t last = 0;
    for (const HistoryTrack& t : page.tracks) {
        for (const HistoryFix& f : t.fixes) {
            if (!first)
                out += ',';
            first = false;
            out += '[';
            out += std::to_string(f.utc);
            out += ',';
            appendFixed(out, f.lat, 7);
            out += ',';
            appendFixed(out, f.lon, 7);
            out += ',';
            appendFixed(out, f.alt, 1);
            out += ',';
            appendFixed(out, f.speedKnots * kHistoryKnotsToKmh, 2);
            out += ',';
            appendFixed(out, f.course, 1);
            out += ']';
            last = f.utc;
        }
    }
    out += "],\"next\":";
    out += page.truncated && !first ? std::to_string(last + 1) : std::string("null");
    out += "}";
    return out;
}
