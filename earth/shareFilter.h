// What a share link shows: the vehicles its grant names (by key as the user
// gave it, or as the globe knows it, cleanKey), and the cookie that lets the
// globe's page, opened with a share link, keep its key for the files and
// data it loads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CClient;
struct ServerReply;
struct VehicleGrant;

// Whether `grant` shows the vehicle known by `key` (its key or cleanKey of it).
bool grantShows(const VehicleGrant& grant, std::string_view key);
// The vehicles of `vehicles` that `grant` shows, in order (track lock taken).
std::vector<CClient*> grantedVehicles(const std::vector<CClient*>& vehicles,
                                      const VehicleGrant& grant);
// Whether `vehicle` is shown by `grant` (track lock taken).
bool grantShowsVehicle(const VehicleGrant& grant, const CClient& vehicle);

// Whether the request asks for the globe's page itself ("/globe", "/globe/",
// "/globe/index.html"), which is what a share link for a browser opens.
bool asksForGlobePage(std::string_view request);
// Adds "Set-Cookie: nivra_share=TOKEN" (HttpOnly, SameSite=Strict, path /)
// to the HTTP reply of length `result`; returns the new length. A reply that
// is not an HTTP reply is left as it is.
int32_t withShareCookie(ServerReply& reply, int32_t result, const std::string& token);
