// The browser globe's static files (see globe.h).
#include "earth/globe.h"

#include "net/server.h"
#include "platform/numeric.h"
#include "trace/throttle.h"
#include "trace/trace.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
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
// The installed data folder seen from the installed program's folder.
#ifndef NIVRA_DATA_FROM_BIN
#define NIVRA_DATA_FROM_BIN "../share"
#endif
// How CesiumJS is put where this build looks for it (a package names its own).
#ifndef NIVRA_CESIUM_FIX
#define NIVRA_CESIUM_FIX "run scripts/setup in Nivra's source folder"
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
// A missing CesiumJS is a warning: the user has something to mend.
void noteRefusal(std::string_view path, const char* why, int severity = kTraceInfo) {
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
    NTRACE_AT(1, severity, "globe: refused %s: %s (%d more refusals not logged)", shown.c_str(),
              why, heldBack);
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

// Opens a file of the folders for reading, if it is a regular file of at
// most kGlobeMaxFile bytes: never a FIFO or a device, whose open or read could
// hold the listener (O_NONBLOCK keeps the open itself from waiting), never
// through a link (the path was resolved already). -1 otherwise.
int openRegularFile(const std::string& path, struct stat& st) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<unsigned long long>(st.st_size) > kGlobeMaxFile) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads the whole of an open regular file of `size` bytes.
bool readWhole(int fd, size_t size, std::string& out) {
    out.resize(size);
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The replies of files already read, by real path, each with what
// identified the file then: a file that changed (inode, size, time) is read
// again. A burst of requests for CesiumJS's few megabytes then costs one
// read, and every connection sending it shares the one reply.
class FileReplies {
public:
    std::shared_ptr<const std::string> find(const std::string& path, const struct stat& st) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_entries.find(path);
        if (it == m_entries.end() || !same(it->second, st))
            return nullptr;
        it->second.lastUse = ++m_uses;
        return it->second.reply;
    }
    void store(const std::string& path, const struct stat& st,
               std::shared_ptr<const std::string> reply) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (reply->size() > kGlobeCacheBytes / 4)
            return; // not worth pushing everything else out for
        forget(path);
        while (m_bytes + reply->size() > kGlobeCacheBytes && !m_entries.empty()) {
            auto oldest = std::min_element(
                m_entries.begin(), m_entries.end(),
                [](const auto& a, const auto& b) { return a.second.lastUse < b.second.lastUse; });
            forget(oldest->first);
        }
        m_bytes += reply->size();
        m_entries[path] =
            Entry{st.st_dev, st.st_ino, st.st_size, st.st_mtim, std::move(reply), ++m_uses};
    }

private:
    struct Entry {
        dev_t dev;
        ino_t ino;
        off_t size;
        timespec mtime;
        std::shared_ptr<const std::string> reply;
        uint64_t lastUse;
    };
    static bool same(const Entry& e, const struct stat& st) {
        return e.dev == st.st_dev && e.ino == st.st_ino && e.size == st.st_size &&
               e.mtime.tv_sec == st.st_mtim.tv_sec && e.mtime.tv_nsec == st.st_mtim.tv_nsec;
    }
    void forget(const std::string& path) {
        auto it = m_entries.find(path);
        if (it == m_entries.end())
            return;
        m_bytes -= it->second.reply->size();
        m_entries.erase(it);
    }

    std::mutex m_mutex;
    std::map<std::string, Entry> m_entries;
    size_t m_bytes = 0;
    uint64_t m_uses = 0;
};

FileReplies& fileReplies() {
    static FileReplies replies;
    return replies;
}

} // namespace

GlobeFolders globeFolders(const std::string& executable) {
    std::string page = NIVRA_GLOBE_DIR;
    std::string cesium = NIVRA_CESIUM_DIR;
    const size_t slash = executable.rfind('/');
    if (slash != std::string::npos) {
        const std::string data = executable.substr(0, slash + 1) + NIVRA_DATA_FROM_BIN + "/nivra/";
        if (::access((data + "globe/index.html").c_str(), R_OK) == 0) {
            page = data + "globe";
            cesium = data + "cesium";
        }
    }
    const char* cesiumSet = std::getenv("NIVRA_CESIUM_DIR");
    return GlobeFolders{folderFromEnvironment("NIVRA_GLOBE_DIR", page.c_str()),
                        folderFromEnvironment("NIVRA_CESIUM_DIR", cesium.c_str()),
                        cesiumSet && *cesiumSet};
}

GlobeFolders globeFolders() {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    return globeFolders(n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string());
}

std::string cesiumMissing(const GlobeFolders& folders) {
    const std::string script = containedPath(folders.cesium, "Cesium.js");
    struct stat st {};
    if (!script.empty() && ::stat(script.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return std::string();
    return "CesiumJS is not installed in '" + folders.cesium + "': " +
           (folders.cesiumFromEnvironment
                ? "set NIVRA_CESIUM_DIR to the Build/Cesium folder of the cesium npm package"
                : NIVRA_CESIUM_FIX);
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
    struct stat st {};
    const int fd = real.empty() ? -1 : openRegularFile(real, st);
    if (fd >= 0) {
        struct Closer {
            int fd;
            ~Closer() { ::close(fd); }
        } closer{fd};
        if (std::shared_ptr<const std::string> known = fileReplies().find(real, st))
            return reply.giveShared(std::move(known));
        std::string body;
        if (readWhole(fd, static_cast<size_t>(st.st_size), body)) {
            auto whole = std::make_shared<const std::string>(
                httpReply("200 OK", globeContentType(file->relative), body,
                          file->cesium ? kCesiumMaxAge : 0));
            fileReplies().store(real, st, whole);
            return reply.giveShared(std::move(whole));
        }
    }
    if (file->cesium) {
        if (const std::string missing = cesiumMissing(folders); !missing.empty()) {
            noteRefusal(path, missing.c_str(), kTraceWarning);
            return reply.give(httpNotFound(missing));
        }
    }
    const char* why = real.empty() ? "no such file" : "not a regular file of at most 32 MB";
    noteRefusal(path, why);
    return reply.give(httpNotFound(why));
}
