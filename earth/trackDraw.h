// Track drawing: a vehicle's recorded path inside its KML folder. The plain
// and the speed-coloured track are runs of LineString placemarks pasted from
// the points' ready coordinate texts; time stamps label the path every five
// minutes and at time gaps; circles draw ground discs as wide as the vehicle's
// track width. Each folder holds the track lock while it reads the track.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class CClient;

constexpr int kTimeStampInterval = 300; // seconds between time stamps
constexpr int kCircleSteps = 25;
constexpr double kEarthRadiusMetres = 6378137.0;

// A "Track" folder in `color`, or a "SpeedTrack" folder coloured by speed when
// no colour is given. `fly` is the vehicle's fly value, or -1 for the ground
// copy of a flying vehicle's track. A line needs two points: a run of one
// point is left out, and a track that draws no line (none, or one point)
// writes no folder at all.
void trackFolder(std::string& out, CClient& vehicle, int fly, std::optional<std::string_view> color,
                 int pointLimit);
void timeStampsFolder(std::string& out, CClient& vehicle, int pointLimit);
// Nothing at all when the range holds no point.
void circlesFolder(std::string& out, CClient& vehicle, std::string_view color, int pointLimit);

// Track indices (0 newest) of the vehicle's time span, one point beyond each
// end included. Call with the track lock held.
struct IndexRange {
    int first;
    int last;
};
IndexRange timeSpanRange(CClient& vehicle);

// One ground disc of `steps` sectors around a position.
void circlePlacemark(std::string& out, double lat, double lon, int steps, double diameter,
                     std::string_view color);

// The text around one run's coordinates. `label` is the run speed (mph) of a
// speed track, -1 for a plain track.
void lineStringHead(std::string& out, std::string_view color, int label, int fly, int extrude,
                    int32_t time);
void lineStringTail(std::string& out);
