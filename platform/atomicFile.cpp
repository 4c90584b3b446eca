#include "platform/atomicFile.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::string errnoText(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

constexpr int kMaxLinkHops = 40;
constexpr int kMaxBadNames = 1000;

// Renames without replacing an existing file. File systems without
// RENAME_NOREPLACE get a hard link and an unlink, which cannot replace either.
int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno;
    ::unlink(from.c_str());
    return 0;
}

// The pid in "<name><ending>.tmp<pid>.<n>", or 0 when the name is not of that form.
long tempFileOwner(const char* name, const std::string& ending) {
    const char* tmp = nullptr;
    for (const char* p = std::strstr(name, ".tmp"); p; p = std::strstr(p + 1, ".tmp"))
        tmp = p; // the last ".tmp" in the name
    if (!tmp || static_cast<size_t>(tmp - name) < ending.size() ||
        std::string_view(name, static_cast<size_t>(tmp - name))
                .substr(static_cast<size_t>(tmp - name) - ending.size()) != ending)
        return 0;
    char* end = nullptr;
    long pid = std::strtol(tmp + 4, &end, 10);
    if (pid <= 0 || end == tmp + 4 || *end != '.')
        return 0;
    const char* n = end + 1;
    if (*n == '\0')
        return 0;
    for (; *n; ++n)
        if (*n < '0' || *n > '9')
            return 0;
    return pid;
}

} // namespace

std::string resolveLinkTarget(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < kMaxLinkHops; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        if (char* real = ::realpath(current.c_str(), nullptr)) {
            std::string r(real);
            std::free(real);
            return r;
        }
        // A link to a file that does not exist yet: follow it by hand.
        char buf[PATH_MAX];
        ssize_t n = ::readlink(current.c_str(), buf, sizeof buf - 1);
        if (n <= 0)
            return current;
        std::string target(buf, static_cast<size_t>(n));
        size_t slash = current.rfind('/');
        if (target[0] != '/' && slash != std::string::npos)
            target = current.substr(0, slash + 1) + target;
        current = target;
    }
    return current;
}

std::string tempNameBeside(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    return target + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(counter++);
}

int moveAside(const std::string& path, std::string& movedTo) {
    for (int n = 1; n <= kMaxBadNames; ++n) {
        std::string bad = n == 1 ? path + ".bad" : path + "." + std::to_string(n) + ".bad";
        int err = renameNoReplace(path, bad);
        if (err == 0) {
            movedTo = bad;
            return 0;
        }
        if (err != EEXIST)
            return err;
    }
    return EEXIST;
}

int removeStaleTempFiles(const std::string& dir, const std::string& ending) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    if (!d)
        return 0;
    int removed = 0;
    while (const dirent* e = ::readdir(d.get())) {
        long pid = tempFileOwner(e->d_name, ending);
        if (pid <= 0 || pid > INT_MAX || pid == ::getpid())
            continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue; // still running (or not ours to ask about): keep
        struct stat st {};
        if (::fstatat(::dirfd(d.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        if (::unlinkat(::dirfd(d.get()), e->d_name, 0) == 0)
            ++removed;
    }
    return removed;
}

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

FileLock::FileLock(const std::string& path) {
    const std::string lockPath = resolveLinkTarget(path) + ".lock";
    m_fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (m_fd < 0) {
        m_error = errnoText("cannot open", lockPath);
        return;
    }
    int rc;
    do
        rc = ::flock(m_fd, LOCK_EX);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        m_error = errnoText("cannot lock", lockPath);
        ::close(m_fd);
        m_fd = -1;
    }
}

FileLock::~FileLock() {
    if (m_fd >= 0)
        ::close(m_fd); // closing the last descriptor ends the lock
}
