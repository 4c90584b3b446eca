#include "common/traceCapture.h"
#include "platform/paths.h"
#include "sources/recording.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Local wall-clock time to a clock value, whatever zone the test runs in.
time_t localTime(int year, int month, int day, int hour, int minute, int second) {
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return mktime(&t);
}

std::string readFile(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class Recording : public ::testing::Test {
protected:
    void SetUp() override {
        m_savedStartDir = g_startDir;
        m_dir = fs::temp_directory_path() /
                ("nivra-recording-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        setStartDir(m_dir.string());
    }
    void TearDown() override {
        g_startDir = m_savedStartDir;
        fs::remove_all(m_dir);
    }

    std::set<std::string> logs() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(m_dir))
            names.insert(e.path().filename().string());
        return names;
    }

    fs::path m_dir;
    std::string m_savedStartDir;
    CRecording m_rec;
};

const char* const kRmc = "$GPRMC,183204,A,3747.6885,N,12223.6635,W,000.0,000.0,140609,014.2,E*67\r";

} // namespace

TEST(LogName, DateAndTimeOfTheLocalClock) {
    EXPECT_EQ(makeLogName("Me", localTime(2009, 6, 14, 18, 32, 4)), "Me_061409_183204.nme");
    EXPECT_EQ(makeLogName("Me", localTime(2010, 1, 2, 3, 4, 5)), "Me_010210_030405.nme");
    // Separators in the user name cannot move the log out of the start directory.
    EXPECT_EQ(makeLogName("../a/b", localTime(2009, 6, 14, 0, 0, 0)), "...a.b_061409_000000.nme");
}

TEST_F(Recording, RecordTwiceMakesOneFileAndNamesItOnce) {
    time_t now = localTime(2009, 6, 14, 18, 32, 4);
    std::string started;
    EXPECT_EQ(m_rec.start("Me", true, now, &started), "Recording: Me_061409_183204.nme");
    EXPECT_TRUE(m_rec.recording());
    EXPECT_EQ(m_rec.recordFileName(), "Me_061409_183204.nme");
    EXPECT_EQ(started, "Me_061409_183204.nme");
    // The second click, a second later, changes nothing.
    started.clear();
    EXPECT_EQ(m_rec.start("Me", true, now + 1, &started), "");
    EXPECT_EQ(started, "");
    EXPECT_EQ(m_rec.recordFileName(), "Me_061409_183204.nme");
    EXPECT_EQ(logs(), std::set<std::string>{"Me_061409_183204.nme"});
    EXPECT_EQ(fs::file_size(m_dir / "Me_061409_183204.nme"), 0u);

    EXPECT_EQ(m_rec.stop(), "Recorded: Me_061409_183204.nme");
    EXPECT_FALSE(m_rec.recording());
    // A new recording starts a new log.
    m_rec.start("Me", true, now + 60, &started);
    EXPECT_EQ(started, "Me_061409_183304.nme");
    EXPECT_EQ(logs().size(), 2u);
}

TEST_F(Recording, UntickedRecordDoesNothing) {
    EXPECT_EQ(m_rec.start("Me", false, localTime(2009, 6, 14, 18, 32, 4)), "");
    EXPECT_FALSE(m_rec.recording());
    EXPECT_TRUE(logs().empty());
}

TEST_F(Recording, LinesGoToTheRecordFileUntilStopped) {
    time_t now = localTime(2009, 6, 14, 18, 32, 4);
    m_rec.appendLine("$GPGGA,not recording", "Me", 1000000, now);
    EXPECT_TRUE(logs().empty());

    m_rec.start("Me", true, now);
    m_rec.appendLine(kRmc, "Me", 1000000, now + 1);
    m_rec.appendLine("$GPGGA,second", "Me", 1000001, now + 2);
    m_rec.stop();
    m_rec.appendLine("$GPGGA,after stop", "Me", 1000002, now + 3);
    EXPECT_EQ(readFile(m_dir / "Me_061409_183204.nme"), std::string(kRmc) + "\n$GPGGA,second\n");
    EXPECT_EQ(m_rec.currentLogName(), "Me_061409_183204.nme");
}

TEST_F(Recording, ContinuousLogStartsANewFileEachDay) {
    m_rec.setContinuous(true);
    int64_t fix = 1245000000;
    time_t evening = localTime(2009, 6, 14, 23, 59, 58);
    m_rec.appendLine("$GPRMC,one", "Me", fix, evening);
    m_rec.appendLine("$GPRMC,two", "Me", fix + 1, evening + 1);
    m_rec.appendLine("$GPRMC,three", "Me", fix + 2, evening + 2);
    EXPECT_EQ(readFile(m_dir / "Me_061409_235958.nme"), "$GPRMC,one\n$GPRMC,two\n");
    EXPECT_EQ(readFile(m_dir / "Me_061509_000000.nme"), "$GPRMC,three\n");
    EXPECT_EQ(logs().size(), 2u);
}

TEST_F(Recording, ContinuousLogStartsANewFileAfterAPauseOfMoreThanTenMinutes) {
    EXPECT_EQ(m_rec.setContinuous(true), "Continuous Logging");
    int64_t fix = 1245000000;
    time_t now = localTime(2009, 6, 14, 10, 0, 0);
    m_rec.appendLine("a", "Me", fix, now);
    // Exactly 600 seconds is not yet a pause.
    m_rec.appendLine("b", "Me", fix + 600, now + 600);
    EXPECT_EQ(logs(), std::set<std::string>{"Me_061409_100000.nme"});
    // 601 seconds is.
    m_rec.appendLine("c", "Me", fix + 1201, now + 1201);
    EXPECT_EQ(logs().size(), 2u);
    EXPECT_EQ(readFile(m_dir / "Me_061409_100000.nme"), "a\nb\n");
    EXPECT_EQ(readFile(m_dir / "Me_061409_102001.nme"), "c\n");
    // A fix that goes back in time is not a pause.
    m_rec.appendLine("d", "Me", fix - 5000, now + 1202);
    EXPECT_EQ(logs().size(), 2u);
    EXPECT_EQ(readFile(m_dir / "Me_061409_102001.nme"), "c\nd\n");
}

TEST_F(Recording, ContinuousLoggingEndsARecordingAndSwitchesOff) {
    time_t now = localTime(2009, 6, 14, 10, 0, 0);
    m_rec.start("Me", true, now);
    m_rec.setContinuous(true);
    EXPECT_FALSE(m_rec.recording());
    EXPECT_TRUE(m_rec.continuous());
    m_rec.appendLine("x", "Me", 1245000000, now + 5);
    EXPECT_EQ(m_rec.currentLogName(), "Me_061409_100005.nme");

    EXPECT_EQ(m_rec.setContinuous(false), "");
    EXPECT_FALSE(m_rec.continuous());
    m_rec.appendLine("y", "Me", 1245000001, now + 6);
    EXPECT_EQ(readFile(m_dir / "Me_061409_100005.nme"), "x\n");
    EXPECT_EQ(fs::file_size(m_dir / "Me_061409_100000.nme"), 0u);
}

TEST_F(Recording, AFileThatCannotBeOpenedIsLoggedAndTheLineDropped) {
    // A start directory that went away: neither the log nor its lines can be written.
    setStartDir((m_dir / "gone").string());
    TraceCapture trace;
    EXPECT_EQ(m_rec.start("Me", true, localTime(2009, 6, 14, 10, 0, 0)),
              "Recording: Me_061409_100000.nme");
    EXPECT_TRUE(trace.contains("COptionsDlg::OnBnClickedRecord"));
    EXPECT_TRUE(trace.contains("open:No such file or directory"));
    trace.clear();
    m_rec.appendLine("lost", "Me", 1245000000, localTime(2009, 6, 14, 10, 0, 1));
    EXPECT_TRUE(trace.contains("open:No such file or directory"));
    EXPECT_TRUE(logs().empty());
}
