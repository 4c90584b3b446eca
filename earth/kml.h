// The KML writer: every picture the program shows in Google Earth. For one
// vehicle it writes a folder with the position placemark (label and icon), an
// optional cursor (a 3-D model or an arrow of polygons), the tracks, time
// stamps and circles; around one or all vehicles it writes the document frame
// and, for standalone documents, the <LookAt> view.
//
// All functions build text in std::string (appending, or replacing where
// stated) and report nothing. Each writing thread keeps its own scratch
// buffers, so the network-link thread, the FTP thread and the main thread may
// write at the same time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CClient;

enum KmlMode {
    kmlLink = 0,   // network-link reply: cursor drawn, vehicle's own icon, no LookAt
    kmlSingle = 1, // complete one-vehicle document with head, tail and LookAt
    kmlMulti = 2,  // one vehicle inside an all-vehicles document
};

constexpr const char* kKmlNamespace = "http://earth.google.com/kml/2.0";
constexpr const char* kKmlStockIcon = "http://maps.google.com/mapfiles/kml/paddle/grn-stars.png";
// The point limit of the network link and of saved files.
constexpr int kKmlAllPoints = 1048576;
constexpr double kKnotsToKmh = 1.852;
constexpr double kMetresToFeet = 3.2808;

// The flight path (publish/flightPath.h) as the engine and the KML writer see
// it. The program has one; the composition root hands it to both.
class FlightPathHook {
public:
    virtual ~FlightPathHook() = default;
    // Runs after each point added to the local vehicle's track while the
    // flight tracker is on: 1 on course, 0 off course, -1 without a route.
    virtual int update(CClient& local) = 0;
    // The "FlightTracker" folder joined to the local vehicle's KML; empty
    // without a route.
    virtual std::string fragment(CClient& local) = 0;
};

// The settings the writer reads: the program hands each writing thread its
// copy (the engine's, the publisher's); tests fill one by hand.
struct KmlOptions {
    int cursorSize = 100;      // CursorSize
    bool speedInKnots = false; // SpeedInKnots
    bool metric = false;       // Units != 0
    bool debugLogging = false; // dump each vehicle's track to "<name>.dbtrack"
    std::string statusText;    // the main window's status line
    // The flight-path folder joins the local vehicle's KML through this
    // (none: no folder).
    FlightPathHook* flightPath = nullptr;
};

std::string kmlHeader();
std::string kmlDocumentHead();
std::string kmlDocumentTail();

// Replaces `out` with the vehicle's KML. The track walk draws at most the
// smaller of `pointLimit` and the vehicle's maxPts points.
void vehicleKml(CClient& vehicle, std::string& out, KmlMode mode, int pointLimit,
                const KmlOptions& opt);

// What a vehicle's KML in `mode` costs, roughly: bytes without the track, and
// bytes for each drawn point (every drawn copy of the track, time stamps,
// circles).
struct KmlCost {
    size_t base;
    size_t perPoint;
};
KmlCost kmlCost(const CClient& vehicle, KmlMode mode);

// Replaces `out` with a document of every visible vehicle of the list.
void allVehiclesKml(std::string& out, int pointLimit, const std::vector<CClient*>& vehicles,
                    const KmlOptions& opt);

// The placemark name: status text while the local receiver has no fix,
// otherwise name, host, speed, course, altitude and time as the vehicle asks.
std::string vehicleLabel(CClient& vehicle, const KmlOptions& opt);

// Opens the vehicle's folder and writes its position placemark.
void pointPlacemark(std::string& out, CClient& vehicle, const std::string& icon, double iconScale,
                    double range, KmlMode mode, const KmlOptions& opt);
void modelCursor(std::string& out, CClient& vehicle, const std::string& model, double scale,
                 const KmlOptions& opt);
void arrowCursor(std::string& out, CClient& vehicle, const std::string& color,
                 const KmlOptions& opt);

struct LatLonOffset {
    double lat;
    double lon;
};
// Offset of a point `distance` degrees of latitude away along a bearing (whole
// degrees), longitudes stretched toward the poles.
LatLonOffset arrowOffset(double bearing, double distance, double latitude);

// A colour name ("Orange", case ignored) or an aabbggrr text, with its alpha
// replaced by the two-character `alpha`; rewritten in place.
void kmlColor(std::string& color, std::string_view alpha);
// Replaces the first two characters (the alpha) of a colour text; a text
// shorter than two characters becomes the alpha alone.
void setColorAlpha(std::string& color, std::string_view alpha);
// Blue-cyan-green-yellow-red ramp of a speed against a top speed (both mph).
std::string speedColor(double mph, double topMph);
// "mm/dd/yy hh:mm" (or "yyyy-mm-dd+hh" when hourly) of a fix time; empty for 0.
std::string formatFixTime(int64_t time, bool hourly = false);
// The same with the zone offset (tzOffset()) already taken, for callers that
// format many times in one go.
std::string formatFixTime(int64_t time, bool hourly, long zoneOffset);
// Size factor of icons and cursors at a view range in metres.
double viewScale(double range);
