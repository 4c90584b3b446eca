#include "history/kmlExport.h"

#include "history/gpkg.h"
#include "history/gpxWriter.h"
#include "track/outsideText.h"

#include <cstddef>

namespace {

void writeRun(std::string& b, const HistoryTrack& track, size_t begin, size_t end) {
    b += "<Placemark><name>";
    appendXmlText(b, track.key);
    b += "</name><styleUrl>#track</styleUrl><gx:Track><altitudeMode>absolute</altitudeMode>\n";
    for (size_t i = begin; i < end; ++i) {
        b += "<when>";
        b += isoTime(track.fixes[i].utc);
        b += "</when>\n";
    }
    for (size_t i = begin; i < end; ++i) {
        const HistoryFix& f = track.fixes[i];
        b += "<gx:coord>";
        appendFixed(b, f.lon, 7);
        b += ' ';
        appendFixed(b, f.lat, 7);
        b += ' ';
        appendFixed(b, f.alt, 1);
        b += "</gx:coord>\n";
    }
    b += "</gx:Track></Placemark>\n";
}

} // namespace

bool writeKmlExport(const std::vector<HistoryTrack>& tracks, const TextSink& sink) {
    ChunkedText out(sink);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<kml xmlns=\"http://www.opengis.net/kml/2.2\" "
           "xmlns:gx=\"http://www.google.com/kml/ext/2.2\">\n<Document><name>Nivra history</name>\n"
           "<Style id=\"track\"><IconStyle><Icon><href>"
           "http://earth.google.com/images/kml-icons/track-directional/track-0.png"
           "</href></Icon></IconStyle><LineStyle><color>ff00a5ff</color><width>3</width>"
           "</LineStyle></Style>\n";
    for (const HistoryTrack& track : tracks) {
        std::string& b = out.buffer();
        b += "<Folder><name>";
        appendXmlText(b, track.key);
        b += "</name>\n";
        size_t begin = 0;
        for (size_t i = 1; i <= track.fixes.size(); ++i) {
            if (i == track.fixes.size() ||
                track.fixes[i].utc - track.fixes[i - 1].utc > kRunGapSeconds) {
                writeRun(b, track, begin, i);
                begin = i;
                if (!out.spill())
                    return false;
            }
        }
        b += "</Folder>\n";
    }
    out << "</Document>\n</kml>\n";
    return out.finish();
}
