// The browser globe's static files (see globe.h).
#include "earth/globe.h"

#include "net/server.h"
#include "platform/numeric.h"
#include "trace/throttle.h"
#include "trace/trace.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#ifndef NIVRA_GLOBE_DIR
#define NIVRA_GLOBE_DIR ""
#endif
#ifndef NIVRA_CESIUM_DIR
#define NIVRA_CESIUM_DIR ""
#endif

namespace {

constexpr std::string_view kCesiumPrefix = "cesium";
// Browsers may keep CesiumJS's files (they change only with an update); the
// page's own files are always asked for again.
constexpr unsigned kCesiumMaxAge = 3600;

std::string folderFromEnvironment(const char* variable, const char* built) {
    const char* set = std::getenv(variable);
    return set && *set ? std::string(set) : std::string(built);
}

// A segment that may name a file: no empty, "." or ".." segment, nothing
// hidden (a leading dot), no backslash.
bool safeSegment(std::string_view segment) {
    return !segment.empty() && segment.front() != '.' &&
           segment.find('\\') == std::string_view::npos;
}

// Refusals repeat at the will of whoever sends them: one log line a minute.
void noteRefusal(std::string_view path, const char* why) {
    static std::mutex mutex;
    static TraceThrottle throttle;
    int heldBack = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!throttle.allow(TraceThrottle::Clock::now(), heldBack))
            return;
    }
    std::string shown;
    for (char c : path.substr(0, 120))
        shown += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    NTRACE("globe: refused %s: %s (%d more refusals not logged)", shown.c_str(), why, heldBack);
}

// The file's real path when it lies inside `folder` (symbolic links
// resolved on both sides); empty otherwise.
std::string containedPath(const std::string& folder, const std::string& relative) {
    if (folder.empty())
        return std::string();
    char root[PATH_MAX];
    char file[PATH_MAX];
    if (!::realpath(folder.c_str(), root))
        return std::string();
    const std::string wanted = std::string(root) + "/" + relative;
    if (wanted.size() >= PATH_MAX || !::realpath(wanted.c_str(), file))
        return std::string();
    const std::string_view inside(file);
    const std::string_view rootView(root);
    if (inside.size() <= rootView.size() || inside.substr(0, rootView.size()) != rootView ||
        inside[rootView.size()] != '/')
        return std::string();
    return std::string(file);
}

// Reads a regular file of at most kGlobeMaxFile bytes; false otherwise.
bool readSmallFile(const std::string& path, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<unsigned long long>(st.st_size) > kGlobeMaxFile)
        return false;
    out.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

GlobeFolders globeFolders() {
    return GlobeFolders{folderFromEnvironment("NIVRA_GLOBE_DIR", NIVRA_GLOBE_DIR),
                        folderFromEnvironment("NIVRA_CESIUM_DIR", NIVRA_CESIUM_DIR)};
}

std::optional<GlobeFile> globeFile(std::string_view path) {
    if (path.size() > kGlobeMaxPath || path.substr(0, kGlobePath.size()) != kGlobePath)
        return std::nullopt;
    std::string_view rest = path.substr(kGlobePath.size());
    if (rest.empty() || rest == "/")
        return GlobeFile{false, "index.html"};
    if (rest.front() != '/')
        return std::nullopt; // "/globefoo" is another path
    std::string decoded;
    if (!percentDecode(rest.substr(1), decoded))
        return std::nullopt;
    GlobeFile file;
    size_t segments = 0;
    std::string_view left(decoded);
    while (true) {
        const size_t slash = left.find('/');
        const std::string_view segment = left.substr(0, slash);
        if (!safeSegment(segment) || ++segments > kGlobeMaxSegments)
            return std::nullopt;
        if (segments == 1 && segment == kCesiumPrefix && slash != std::string_view::npos) {
            file.cesium = true;
        } else {
            if (!file.relative.empty())
                file.relative += '/';
            file.relative += segment;
        }
        if (slash == std::string_view::npos)
            break;
        left.remove_prefix(slash + 1);
    }
    if (file.relative.empty())
        return std::nullopt;
    return file;
}

std::string_view globeContentType(std::string_view relative) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 18> kTypes{{
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".json", "application/json"},
        {".png", "image/png"},
        {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},
        {".gif", "image/gif"},
        {".svg", "image/svg+xml"},
        {".xml", "application/xml"},
        {".txt", "text/plain; charset=utf-8"},
        {".wasm", "application/wasm"},
        {".glb", "model/gltf-binary"},
        {".gltf", "model/gltf+json"},
        {".ktx2", "image/ktx2"},
        {".woff2", "font/woff2"},
        {".ico", "image/x-icon"},
    }};
    const size_t slash = relative.rfind('/');
    const std::string_view name =
        slash == std::string_view::npos ? relative : relative.substr(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot != std::string_view::npos) {
        std::string extension(name.substr(dot));
        for (char& c : extension)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        for (const auto& [ext, type] : kTypes)
            if (extension == ext)
                return type;
    }
    return "application/octet-stream";
}

std::string globeAddress(const std::string& listenAddress, int port) {
    return listenerUrl(listenAddress, port) + std::string(kGlobePath);
}

int32_t answerGlobeFile(std::string_view path, const GlobeFolders& folders, ServerReply& reply) {
    const std::optional<GlobeFile> file = globeFile(path);
    if (!file) {
        noteRefusal(path, "not a file of the globe's folders");
        return reply.give(httpNotFound("not a file of the globe's folders"));
    }
    const std::string& folder = file->cesium ? folders.cesium : folders.page;
    const std::string real = containedPath(folder, file->relative);
    std::string body;
    if (real.empty() || !readSmallFile(real, body)) {
        if (file->cesium && containedPath(folder, "Cesium.js").empty()) {
            noteRefusal(path, "CesiumJS is not installed");
            return reply.give(httpNotFound("CesiumJS is not installed in '" + folder +
                                           "' (run scripts/setup, or set NIVRA_CESIUM_DIR to "
                                           "the Build/Cesium folder of the cesium npm package)"));
        }
        noteRefusal(path, "no such file");
        return reply.give(httpNotFound("no such file"));
    }
    return reply.give(httpReply("200 OK", globeContentType(file->relative), body,
                                file->cesium ? kCesiumMaxAge : 0));
}
