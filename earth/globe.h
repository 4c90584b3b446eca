// The browser globe's files: the page under /globe on the network-link port,
// and CesiumJS under /globe/cesium/. Files come only from the two folders;
// a path is decoded once, and any part that could leave its folder (".." or
// "." segments, hidden names, backslashes, NUL or other control bytes, bad
// percent escapes, symbolic links pointing out) makes the request a 404, as
// does anything that is not a regular file.
#pragma once

#include "net/http.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct ServerReply;

// The address of the page on the network-link port.
inline constexpr std::string_view kGlobePath = "/globe";

// Longest request path looked at, segments of it, and the largest file sent.
constexpr size_t kGlobeMaxPath = 1024;
constexpr size_t kGlobeMaxSegments = 16;
constexpr size_t kGlobeMaxFile = 32u * 1024 * 1024;
// The replies of files kept for the next request of the same file.
constexpr size_t kGlobeCacheBytes = 64u * 1024 * 1024;

// Where the files come from.
struct GlobeFolders {
    std::string page;                   // index.html, globe.js, globe.css
    std::string cesium;                 // CesiumJS's Build/Cesium folder
    bool cesiumFromEnvironment = false; // named by NIVRA_CESIUM_DIR
};

// The folders in use: NIVRA_GLOBE_DIR and NIVRA_CESIUM_DIR from the
// environment when set; else, for an installed program, the ones installed
// with it (nivra/globe and nivra/cesium in the data folder beside its bin
// folder, found by the page's index.html); else the ones the build named
// (the source tree's).
GlobeFolders globeFolders();
// The same for a program at `executable`.
GlobeFolders globeFolders(const std::string& executable);

// Empty when CesiumJS is in its folder; else what is missing and the one
// thing that mends it (the page, the log and stderr all say this).
std::string cesiumMissing(const GlobeFolders& folders);

// Which folder a globe path names, and the file's path inside it.
struct GlobeFile {
    bool cesium = false;
    std::string relative; // decoded, '/'-separated, never empty
};

// Maps the path of a request (no query) that starts with /globe to a file;
// nothing when it is not a globe path or is refused. "/globe" and "/globe/"
// are the page's index.html.
std::optional<GlobeFile> globeFile(std::string_view path);

// The Content-Type of a file by its extension.
std::string_view globeContentType(std::string_view relative);

// The reply to a GET of a globe path: the file, or a 404 saying why. Only
// regular files are sent (a FIFO, a device or a folder gets the 404 at once);
// a file's reply is kept and shared until the file changes.
int32_t answerGlobeFile(std::string_view path, const GlobeFolders& folders, ServerReply& reply);

// The globe's page on a listener bound to `listenAddress` (see listenerUrl).
std::string globeAddress(const std::string& listenAddress, int port);
