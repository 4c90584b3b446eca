#include "platform/atomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string errnoText(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

} // namespace

bool writeFileAtomically(const std::string& path, std::string_view text, std::string& error) {
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        error = errnoText("cannot create", temp);
        return false;
    }
    // mkstemp makes the file private; a document is as readable as any new file.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    const char* p = text.data();
    size_t left = text.size();
    bool ok = true;
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    // No fsync: the rename alone keeps readers from ever seeing half a
    // document, and every document here can be made again from its source.
    if (!ok)
        error = errnoText("cannot write", path);
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errnoText("cannot write", path);
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errnoText("cannot replace", path);
    }
    if (!ok)
        ::unlink(temp.c_str());
    return ok;
}
