#include "history/gpxWriter.h"

#include "history/gpkg.h"
#include "track/outsideText.h"

bool writeGpx(const std::vector<HistoryTrack>& tracks, const TextSink& sink) {
    ChunkedText out(sink);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<gpx version=\"1.1\" creator=\"Nivra\" xmlns=\"http://www.topografix.com/GPX/1/1\" "
           "xmlns:gpxtpx=\"http://www.garmin.com/xmlschemas/TrackPointExtension/v2\">\n";
    for (const HistoryTrack& track : tracks) {
        std::string& b = out.buffer();
        b += "<trk><name>";
        appendXmlText(b, track.key);
        b += "</name>\n";
        bool open = false;
        int64_t last = 0;
        for (const HistoryFix& f : track.fixes) {
            if (!open || f.utc - last > kRunGapSeconds) {
                if (open)
                    b += "</trkseg>\n";
                b += "<trkseg>\n";
                open = true;
            }
            last = f.utc;
            b += "<trkpt lat=\"";
            appendFixed(b, f.lat, 7);
            b += "\" lon=\"";
            appendFixed(b, f.lon, 7);
            b += "\"><ele>";
            appendFixed(b, f.alt, 1);
            b += "</ele><time>";
            b += isoTime(f.utc);
            b += "</time><extensions><gpxtpx:TrackPointExtension><gpxtpx:speed>";
            appendFixed(b, f.speedKnots * kKnotsToMetresPerSecond, 2);
            b += "</gpxtpx:speed><gpxtpx:course>";
            appendFixed(b, f.course, 1);
            b += "</gpxtpx:course></gpxtpx:TrackPointExtension></extensions></trkpt>\n";
            if (!out.spill())
                return false;
        }
        if (open)
            b += "</trkseg>\n";
        b += "</trk>\n";
    }
    out << "</gpx>\n";
    return out.finish();
}
