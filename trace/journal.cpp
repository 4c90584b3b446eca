#include "trace/journal.h"

#include "trace/trace.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// -1: not looked at yet.
std::atomic<int> g_journal{-1};

bool parseNumber(const char*& p, unsigned long long& out) {
    if (*p < '0' || *p > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    out = std::strtoull(p, &end, 10);
    if (errno != 0 || end == p)
        return false;
    p = end;
    return true;
}

} // namespace

bool journalStreamIs(const char* journalStream, int fd) {
    if (!journalStream || !*journalStream)
        return false;
    const char* p = journalStream;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (!parseNumber(p, device) || *p++ != ':' || !parseNumber(p, inode) || *p != '\0')
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    return static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
}

bool detectStderrJournal() {
    const bool journal = journalStreamIs(std::getenv("JOURNAL_STREAM"), STDERR_FILENO);
    g_journal = journal ? 1 : 0;
    return journal;
}

bool stderrIsJournal() {
    const int known = g_journal.load();
    return known < 0 ? detectStderrJournal() : known == 1;
}

int journalPriority(int traceSeverity) {
    switch (traceSeverity) {
    case kTraceError:
        return kJournalError;
    case kTraceNotice:
    case kTraceWarning:
        return kJournalWarning;
    default:
        return kJournalDebug;
    }
}

const char* stderrPrefix(int priority) {
    static const char* const kPrefixes[] = {"<0>", "<1>", "<2>", "<3>", "<4>", "<5>", "<6>", "<7>"};
    if (!stderrIsJournal() || priority < 0 || priority > 7)
        return "";
    return kPrefixes[priority];
}

std::string stderrLines(int priority, const std::string& text) {
    const char* prefix = stderrPrefix(priority);
    std::string out;
    out.reserve(text.size() + 8);
    bool lineStart = true;
    for (char c : text) {
        if (c == '\r')
            continue;
        if (lineStart)
            out += prefix;
        out += c;
        lineStart = c == '\n';
    }
    if (!lineStart)
        out += '\n';
    return out;
}
