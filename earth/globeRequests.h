// The network-link port's browser-globe requests: the page and CesiumJS under
// /globe, the live data at /vehicles.json, the history at /history.json and
// /export.gpx (earth/historyRequests.h). Google Earth's polls and every
// other request go on to the network-link handler untouched.
#pragma once

#include <cstdint>
#include <span>

class Cn2k;
struct ServerReply;
struct VehicleGrant;

inline constexpr const char* kVehiclesJsonPath = "/vehicles.json";
inline constexpr const char* kGlobeConfigPath = "/globe.json"; // earth/globeConfig.h

// True when `request` (the whole request as received, NUL bytes and all)
// asks for a globe path, /globe.json, /vehicles.json, /history.json or /export.gpx; `result` then
// holds the reply's length for the listener. GET gets the file or the data, HEAD only their status
// line and headers, any other method a 405. A request line with a NUL byte in it gets a 404.
// The data shows only the vehicles `grant` shows (none: all of them).
bool answerGlobeRequest(std::span<const char> request, Cn2k& engine, ServerReply& reply,
                        int32_t& result, const VehicleGrant* grant = nullptr);

// Replaces a complete reply (of length `result`) by its status line and
// headers, as a HEAD request is answered; returns the new length.
int32_t answerHeadOnly(ServerReply& reply, int32_t result);
