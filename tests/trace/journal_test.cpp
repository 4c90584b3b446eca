// stderr lines as the systemd journal wants them: the priority in front, no
// time stamp, and only when JOURNAL_STREAM really names stderr.
#include "trace/journal.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string streamName(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return std::string();
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// stderr goes into a temporary file for the life of the object; JOURNAL_STREAM
// names that file when `journal` is set.
class StderrToFile {
public:
    explicit StderrToFile(bool journal) {
        m_file = std::tmpfile();
        std::fflush(stderr);
        m_saved = dup(fileno(stderr));
        dup2(fileno(m_file), fileno(stderr));
        if (journal)
            setenv("JOURNAL_STREAM", streamName(fileno(m_file)).c_str(), 1);
        else
            unsetenv("JOURNAL_STREAM");
        detectStderrJournal();
    }
    ~StderrToFile() {
        restore();
        std::fclose(m_file);
    }
    // Puts stderr back and returns what was written.
    std::string text() {
        restore();
        std::rewind(m_file);
        std::string out;
        char buf[512];
        while (size_t n = std::fread(buf, 1, sizeof buf, m_file))
            out.append(buf, n);
        return out;
    }

private:
    void restore() {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        dup2(m_saved, fileno(stderr));
        close(m_saved);
        m_saved = -1;
        unsetenv("JOURNAL_STREAM");
        detectStderrJournal();
    }
    std::FILE* m_file = nullptr;
    int m_saved = -1;
};

} // namespace

TEST(Journal, TheStreamMustNameTheFileItself) {
    std::FILE* file = std::tmpfile();
    std::FILE* other = std::tmpfile();
    ASSERT_NE(file, nullptr);
    ASSERT_NE(other, nullptr);
    const std::string own = streamName(fileno(file));
    struct Row {
        std::string value;
        bool journal;
    };
    const Row rows[] = {
        {own, true},
        {streamName(fileno(other)), false}, // inherited, but stderr now goes elsewhere
        {"", false},
        {own + "x", false},
        {own.substr(0, own.find(':')), false},        // no inode
        {":" + own.substr(own.find(':') + 1), false}, // no device
        {"-1:" + own.substr(own.find(':') + 1), false},
        {own + ":1", false},
        {"99999999999999999999999:1", false}, // out of range
    };
    for (const Row& r : rows)
        EXPECT_EQ(journalStreamIs(r.value.c_str(), fileno(file)), r.journal) << r.value;
    EXPECT_FALSE(journalStreamIs(nullptr, fileno(file)));
    EXPECT_FALSE(journalStreamIs(own.c_str(), -1));
    std::fclose(file);
    std::fclose(other);
}

TEST(Journal, EveryLineCarriesItsPriorityOnlyUnderTheJournal) {
    struct Row {
        bool journal;
        int priority;
        std::string text;
        std::string lines;
    };
    const Row rows[] = {
        {true, kJournalError, "nivra: broken", "<3>nivra: broken\n"},
        {true, kJournalWarning, "two\nlines\n", "<4>two\n<4>lines\n"},
        {true, kJournalInfo, "dos\r\nends", "<6>dos\n<6>ends\n"},
        {true, kJournalDebug, "x", "<7>x\n"},
        {true, 9, "no such priority", "no such priority\n"},
        {false, kJournalError, "nivra: broken", "nivra: broken\n"},
        {false, kJournalWarning, "two\r\nlines", "two\nlines\n"},
        {true, kJournalError, "", ""},
    };
    for (const Row& r : rows) {
        StderrToFile capture(r.journal);
        EXPECT_EQ(stderrLines(r.priority, r.text), r.lines) << r.text;
    }
}

TEST(Journal, TraceSeveritiesMapOntoJournalPriorities) {
    EXPECT_EQ(journalPriority(kTraceError), kJournalError);
    EXPECT_EQ(journalPriority(kTraceNotice), kJournalWarning);
    EXPECT_EQ(journalPriority(kTraceWarning), kJournalWarning);
    EXPECT_EQ(journalPriority(kTraceInfo), kJournalDebug);
}

TEST(Journal, TheStderrCopyWritesBareMessagesBehindTheirPriorities) {
    StderrToFile capture(true);
    setTraceToStderr(true);
    NTRACE("plain %d", 1); // information stays out while the debug log is off
    NTRACE_WARN("careful %d", 2);
    NTRACE_ERROR("broken\nin two lines");
    NTRACE("ERROR binding:%d port:%d", 98, 51233);
    setTraceToStderr(false);
    EXPECT_EQ(capture.text(),
              "<4>careful 2\n<3>broken\n<3>in two lines\n<3>ERROR binding:98 port:51233\n");
}

TEST(Journal, UnderTheJournalTheDebugLogAlsoGoesThereAsDebugOutput) {
    char dir[] = "/tmp/nivra-journal-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string log = std::string(dir) + "/nivraDebug.log";
    setDebugLogFile(log);
    std::string text;
    {
        StderrToFile capture(true);
        setTraceToStderr(true);
        setDebugLogging(true);
        NTRACE("tick %d", 7);
        setDebugLogging(false);
        NTRACE("after %d", 8);
        setTraceToStderr(false);
        text = capture.text();
    }
    EXPECT_EQ(text, "<7>tick 7\n");
    std::remove(log.c_str());
    rmdir(dir);
}

TEST(Journal, WithoutTheJournalStderrKeepsTheLogFilesLines) {
    StderrToFile capture(false);
    setTraceToStderr(true);
    setDebugLogging(true);
    NTRACE("not for stderr");
    setDebugLogging(false);
    NTRACE_WARN("careful");
    setTraceToStderr(false);
    const std::string text = capture.text();
    EXPECT_EQ(text.find("not for stderr"), std::string::npos) << text;
    // hh:mm:ss:mmm[tid] then the place, then the message
    EXPECT_NE(text.find("] "), std::string::npos) << text;
    EXPECT_NE(text.find("careful\n"), std::string::npos) << text;
    EXPECT_EQ(text.find('<'), std::string::npos) << text;
}
