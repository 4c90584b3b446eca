#include "history/geojsonWriter.h"

#include "history/gpkg.h"
#include "track/outsideText.h"

bool writeGeoJson(const std::vector<HistoryTrack>& tracks, const TextSink& sink) {
    ChunkedText out(sink);
    out << "{\"type\":\"FeatureCollection\",\"features\":[";
    bool first = true;
    for (const HistoryTrack& track : tracks) {
        std::string key;
        appendJsonString(key, track.key);
        for (const HistoryFix& f : track.fixes) {
            std::string& b = out.buffer();
            b += first ? "\n" : ",\n";
            first = false;
            b += "{\"type\":\"Feature\",\"geometry\":{\"type\":\"Point\",\"coordinates\":[";
            appendFixed(b, f.lon, 7);
            b += ',';
            appendFixed(b, f.lat, 7);
            b += ',';
            appendFixed(b, f.alt, 1);
            b += "]},\"properties\":{\"vehicle\":";
            b += key;
            b += ",\"time\":\"";
            b += isoTime(f.utc);
            b += "\",\"speed_kmh\":";
            appendFixed(b, f.speedKnots * kHistoryKnotsToKmh, 2);
            b += ",\"course\":";
            appendFixed(b, f.course, 1);
            b += "}}";
            if (!out.spill())
                return false;
        }
    }
    out << "\n]}\n";
    return out.finish();
}
