// The flight path: checks the local vehicle against a planned route read from
// "FlightPath.kml" in the start directory. Every route point has a corridor
// disc as wide as twice the vehicle's track width; the vehicle must stay in the
// disc of the route point it is expected at or of one of the next two, and is
// followed along the route as it goes. The route, its discs and a line from the
// vehicle to its next route point join the local vehicle's KML in a folder
// named "FlightTracker".
//
// The state is written by the thread that adds local points (serial reader or
// demo) and read by the KML writers of the network link and the publisher;
// one mutex keeps each reader's view whole.
#pragma once

#include "earth/kml.h"

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class CClient;

constexpr const char* kFlightPathFile = "FlightPath.kml";
// The most of the route file that is read.
constexpr size_t kRouteFileMax = 1048575;
// The most route points kept. Each point adds a disc of about 1.3 kB to every
// reply Google Earth polls twice a second and to every upload: 1000 points
// make about 1.3 MB, as much as a default 2000-point track with circles,
// while a flight plan rarely holds more than a few hundred waypoints.
constexpr size_t kRouteMaxPoints = 1000;
// Great-circle distances are taken on a sphere of this radius.
constexpr double kRouteEarthRadiusKm = 6378.7;

struct RoutePoint {
    double lat;
    double lon;
    double alt;
};

// What a route file gave: its points and why any were left out.
struct RouteParse {
    std::vector<RoutePoint> points;
    int refused = 0;  // tuples with a value out of range (or not a number)
    bool cut = false; // more tuples than kRouteMaxPoints
};

// The tuples "lon,lat,alt" of the first <coordinates> list of a KML text.
// Characters that are neither digits nor '-' separate tuples; '<' or the end
// of the text ends the list, and so does a tuple without three numbers.
// Tuples outside the globe are left out. At most `maxPoints` are kept.
RouteParse parseRoute(std::string_view text, size_t maxPoints = kRouteMaxPoints);

// Metres between two positions (degrees) on the route sphere.
double routeDistance(double lat1, double lon1, double lat2, double lon2);

// True when `text` is a run of whole XML elements (every start tag closed in
// order, comments allowed, no declarations, every '&' an entity), so that it
// can be pasted into a document without breaking it.
bool wholeXmlElements(std::string_view text);

// The program has one, built by the composition root and handed to the
// engine (the update) and to every KML writer (the fragment).
class CFlightPath : public FlightPathHook {
public:
    // Reads the route file, replacing the route and its KML. The discs are
    // `discDiameter` metres wide. Returns the number of route points.
    int loadRoute(double discDiameter);

    // The update after each point added to the local vehicle's track: 1 on
    // course, 0 off course (logged), -1 without a route.
    int update(CClient& vehicle) override;

    // The "FlightTracker" folder for the vehicle; empty without a route.
    std::string fragment(CClient& vehicle) override;

    // For the status and tests.
    int routeSize() const;
    int currentIndex() const;
    int onCourse() const;
    std::vector<RoutePoint> route() const;

private:
    mutable std::mutex m_mutex;
    std::vector<RoutePoint> m_route;
    std::string m_routeKml;
    int m_index = 0;
    int m_onCourse = -1;
    // A route is read at the first update of a run too, so that a flight that
    // continues a stored track still finds its route.
    bool m_loadTried = false;
};
