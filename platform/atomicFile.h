// Replacing files safely. Replacing a file whole: the text goes to a
// temporary file beside the target, which is then renamed over it, so a reader
// (a web server, Google Earth) sees the old file or the new one, never half of
// one. And what every file the program replaces needs: the file a symbolic
// link names, a temporary name beside it that says which process made it,
// moving a damaged file aside without replacing an earlier one, and removing
// the temporary files of processes that died in the middle of a save.
#pragma once

#include <string>
#include <string_view>

// Writes `text` beside `path` and renames it into place. The new file is as
// readable as any new file (0666 less the umask). On failure the target is
// left as it was, the temporary file is removed and `error` says what failed.
bool writeFileAtomically(const std::string& path, std::string_view text, std::string& error);

// The file that `path` names, following symbolic links (also to a file that
// does not exist yet), so that replacing it keeps the link a link. A path
// that is not a link comes back unchanged.
std::string resolveLinkTarget(const std::string& path);

// A fresh temporary name beside `target`: "<target>.tmp<pid>.<n>". The pid in
// the name lets a later start tell the leftovers of a dead process.
std::string tempNameBeside(const std::string& target);

// Renames `path` to the first free name of "<path>.bad", "<path>.2.bad",
// "<path>.3.bad", ... (never replacing an earlier one). Returns 0 and the new
// name in `movedTo`, or the errno of the failure.
int moveAside(const std::string& path, std::string& movedTo);

// Removes from `dir` the regular files named "*<ending>.tmp<pid>.<n>" (the
// temporary names of files ending in `ending`, such as ".trk") whose process
// no longer runs. Returns how many were removed.
int removeStaleTempFiles(const std::string& dir, const std::string& ending);

// An exclusive lock on "<path>.lock" for a read-change-write of `path`: two
// programs that change the file at once (two `--share create`, say) take
// turns, so neither loses the other's change. Readers need no lock: the file
// is replaced whole. The lock file stays; the lock ends with the object (or
// the process).
class FileLock {
public:
    explicit FileLock(const std::string& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    // False when the lock file could not be opened or locked; `error` says why.
    bool locked() const { return m_fd >= 0; }
    const std::string& error() const { return m_error; }

private:
    int m_fd = -1;
    std::string m_error;
};
