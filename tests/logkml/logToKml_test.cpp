// Converting a recorded log into a KML document. Every document produced is
// read back by ogrinfo (GDAL's KML reader), the way a user's GIS would read it.
#include "publish/logToKml.h"
#include "sources/demoScripts.h"
#include "track/nmea.h"
#include "track/track.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

struct Outcome {
    int status = -1;
    std::string output;
};

// Runs a shell command, collecting stdout and stderr.
Outcome run(const std::string& command) {
    Outcome r;
    std::unique_ptr<FILE, int (*)(FILE*)> p(::popen((command + " 2>&1").c_str(), "r"), ::pclose);
    if (!p)
        return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p.get())) > 0)
        r.output.append(buf, n);
    int raw = ::pclose(p.release());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return r;
}

// Built by appending: GCC 12 at -O3 mistakes `"literal" + std::string&&`
// (an insert at the front) for an overlapping copy (-Werror=restrict).
std::string quoted(const fs::path& p) {
    std::string q = "'";
    q += p.string();
    q += '\'';
    return q;
}

// ogrinfo's summary of a document: exit status and text.
Outcome ogrinfo(const fs::path& kml) {
    return run("ogrinfo -ro -al -so " + quoted(kml));
}

// Distinct points of the plain track: the coordinate lines of the "Track"
// folder (its runs break where fix times jump, and may share end points).
size_t trackPoints(const std::string& kml) {
    size_t start = kml.find("<name>Track</name>");
    if (start == std::string::npos)
        return 0;
    std::istringstream folder(kml.substr(start, kml.find("</Folder>", start) - start));
    std::set<std::string> points;
    bool inside = false;
    for (std::string line; std::getline(folder, line);) {
        if (line == "<coordinates>")
            inside = true;
        else if (line == "</coordinates>")
            inside = false;
        else if (inside)
            points.insert(line);
    }
    return points.size();
}

// `n` RMC+GGA fixes one second apart, each turning a little so that none is
// compressed away.
std::string makeLog(int n) {
    std::string log;
    log.reserve(static_cast<size_t>(n) * 150);
    for (int i = 0; i < n; ++i) {
        GpsFix f;
        f.lat = 47.0 + i * 0.00001;
        f.lon = 8.0 + (i % 100) * 0.00001;
        f.alt = 400;
        f.spd = 10;
        f.hdg = i % 2 ? 30 : 40;
        f.time = 1245000000 + i;
        log += makeRmcSentence(f);
        log += makeGgaSentence(f);
    }
    return log;
}

class LogToKml : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                (std::string("nivra-logkml-") + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    fs::path write(const std::string& name, const std::string& text) {
        fs::path p = m_dir / name;
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }
    // Only the expected files: no temporary files left behind.
    size_t files() const {
        size_t n = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(m_dir))
            ++n;
        return n;
    }
    int command(std::initializer_list<std::string> args) {
        std::vector<std::string> all{"nivra"};
        all.insert(all.end(), args);
        std::vector<const char*> argv;
        for (const auto& a : all)
            argv.push_back(a.c_str());
        std::ostringstream out, err;
        int status = kmlCommand(static_cast<int>(argv.size()), argv.data(), out, err);
        m_out = out.str();
        m_err = err.str();
        return status;
    }

    fs::path m_dir;
    std::string m_out, m_err;
};

} // namespace

TEST(KmlName, TheLogsNameWithKmlInPlaceOfItsExtension) {
    EXPECT_EQ(defaultKmlName("trip.nme"), "trip.kml");
    EXPECT_EQ(defaultKmlName("/logs/Me_061409_183204.nme"), "/logs/Me_061409_183204.kml");
    EXPECT_EQ(defaultKmlName("trip"), "trip.kml");
    EXPECT_EQ(defaultKmlName("logs.d/trip"), "logs.d/trip.kml");
    EXPECT_EQ(defaultKmlName(".nme"), ".nme.kml");
}

TEST_F(LogToKml, ARecordedLogBecomesADocumentThatOgrReads) {
    fs::path log = NIVRA_TEST_DATA "/harbour.nme";
    fs::path kml = m_dir / "harbour.kml";
    KmlConversion stats;
    std::string error;
    ASSERT_TRUE(convertLogToKml(log.string(), kml.string(), false, stats, error)) << error;
    // Satellite chatter, a damaged sentence, an empty and an over-long line are
    // skipped; the 20 intact fixes reach the track, and the GGA before the
    // first RMC counts as a fix of its own.
    EXPECT_EQ(stats.fixes, 21);
    EXPECT_GT(stats.points, 1);
    EXPECT_LE(stats.points, 20);

    std::string doc = readFile(kml);
    EXPECT_EQ(doc.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u);
    EXPECT_NE(doc.find("<Document>"), std::string::npos);
    EXPECT_EQ(doc.substr(doc.size() - 19), "</Document>\n</kml>\n");
    EXPECT_NE(doc.find("<name>harbour@play</name>"), std::string::npos);
    // The newest position is the last intact fix of the log.
    EXPECT_NE(doc.find("-122.4"), std::string::npos);
    // Every point but the first: the GGA before the first RMC has no time, so
    // a gap parts it from the others, and a point alone draws no line.
    EXPECT_EQ(trackPoints(doc), static_cast<size_t>(stats.points) - 1);

    Outcome info = ogrinfo(kml);
    EXPECT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find("Feature Count:"), std::string::npos) << info.output;
    EXPECT_EQ(info.output.find("ERROR"), std::string::npos) << info.output;
    EXPECT_EQ(files(), 1u);
}

TEST_F(LogToKml, AllPointsKeepsEveryFixAndTheRingKeepsTheNewest) {
    fs::path log = write("long.nme", makeLog(kTrackCapacity + 50));
    ASSERT_EQ(command({"--kml", log.string(), "--all-points"}), 0) << m_err;
    std::string doc = readFile(m_dir / "long.kml");
    EXPECT_EQ(trackPoints(doc), static_cast<size_t>(kTrackCapacity));
    EXPECT_NE(m_err.find("keeps the newest 28800 of 28850 points"), std::string::npos) << m_err;
    EXPECT_NE(m_out.find("28800 points from 28850 fixes"), std::string::npos) << m_out;
    // The oldest 50 fixes fell out of the ring.
    EXPECT_EQ(doc.find("8.00000,47.00000,"), std::string::npos);
    EXPECT_NE(doc.find("8.00050,47.00050,"), std::string::npos);
    EXPECT_EQ(ogrinfo(m_dir / "long.kml").status, 0);
}

TEST_F(LogToKml, CompressionDropsFixesThatAddNothing) {
    // A vehicle standing still: the same position again and again.
    std::string log;
    for (int i = 0; i < 40; ++i) {
        GpsFix f;
        f.lat = 47.0;
        f.lon = 8.0;
        f.time = 1245000000 + i;
        log += makeRmcSentence(f);
    }
    fs::path path = write("parked.nme", log);
    KmlConversion packed, all;
    std::string error;
    ASSERT_TRUE(convertLogToKml(path.string(), (m_dir / "a.kml").string(), false, packed, error));
    ASSERT_TRUE(convertLogToKml(path.string(), (m_dir / "b.kml").string(), true, all, error));
    EXPECT_EQ(packed.points, 1);
    EXPECT_EQ(all.points, 40);
}

TEST_F(LogToKml, LineEndsBlocksAndJunkLinesDoNotChangeTheDocument) {
    // The same fixes written in the ways logs come: the document and the
    // count of fixes must be those of the plain CR LF log every time.
    const std::string base = makeLog(300);
    std::string lf;
    for (char c : base)
        if (c != '\r')
            lf += c;
    const size_t middle = base.find("$GPRMC", base.size() / 2);
    const std::string overlong(3 << 20, 'x'); // longer than a read block
    struct Variant {
        const char* what;
        std::string text;
    };
    const Variant variants[] = {
        {"LF line ends", lf},
        {"no line end after the last sentence", base.substr(0, base.size() - 2)},
        {"an over-long line in the middle",
         base.substr(0, middle) + overlong + "\r\n" + base.substr(middle)},
        {"an over-long line at the start", overlong + "\n" + base},
        {"a line with NUL bytes in the middle",
         base.substr(0, middle) + std::string("$GPRMC\0,1,2\r\n", 13) + base.substr(middle)},
    };
    fs::path expectedDir = m_dir / "base";
    fs::create_directories(expectedDir);
    KmlConversion want;
    std::string error;
    ASSERT_TRUE(convertLogToKml(write("base/trip.nme", base).string(),
                                (expectedDir / "trip.kml").string(), false, want, error))
        << error;
    ASSERT_EQ(want.fixes, 300); // each RMC; the GGA after it only updates
    const std::string expected = readFile(expectedDir / "trip.kml");
    int n = 0;
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.what);
        std::string sub = "v";
        sub += std::to_string(n++);
        fs::create_directories(m_dir / sub);
        KmlConversion got;
        ASSERT_TRUE(convertLogToKml(write(sub + "/trip.nme", v.text).string(),
                                    (m_dir / sub / "trip.kml").string(), false, got, error))
            << error;
        EXPECT_EQ(got.fixes, want.fixes);
        EXPECT_EQ(got.points, want.points);
        EXPECT_TRUE(readFile(m_dir / sub / "trip.kml") == expected);
    }
}

TEST_F(LogToKml, AMultiSystemReceiversDriveGivesTheTrackOfItsGpsTwin) {
    // The same drive as an older receiver ($GP) and a current multi-system one
    // reports it ($GN fixes, satellites per system), and as one that reports
    // every fix under both talkers.
    const fs::path gp = NIVRA_SOURCE_DIR "/tests/data/comm/zurich-drive.nmea";
    const fs::path gn = NIVRA_SOURCE_DIR "/tests/data/comm/zurich-drive-gn.nmea";
    std::string both;
    {
        std::istringstream in(readFile(gp));
        for (std::string line; std::getline(in, line);) {
            both += line + "\n";
            if (line.rfind("$GPRMC", 0) == 0 || line.rfind("$GPGGA", 0) == 0) {
                const std::string body = "$GN" + line.substr(3, line.find('*') - 3);
                std::string twin = body;
                appendNmeaChecksum(body.c_str(), twin);
                both += twin + "\r\n";
            }
        }
    }
    struct Case {
        const char* dir;
        std::string log;
    } cases[] = {{"gp", readFile(gp)}, {"gn", readFile(gn)}, {"both", both}};
    std::string expected;
    KmlConversion want;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir);
        ASSERT_EQ(c.log.find("GPRMC") != std::string::npos, std::string(c.dir) != "gn");
        fs::create_directories(m_dir / c.dir);
        const fs::path log = write(std::string(c.dir) + "/drive.nme", c.log);
        KmlConversion stats;
        std::string error;
        ASSERT_TRUE(convertLogToKml(log.string(), (m_dir / c.dir / "drive.kml").string(), true,
                                    stats, error))
            << error;
        const std::string doc = readFile(m_dir / c.dir / "drive.kml");
        if (expected.empty()) {
            expected = doc;
            want = stats;
            // Every RMC of the drive, and the GGA before the first.
            EXPECT_EQ(stats.fixes, 21);
            EXPECT_EQ(trackPoints(doc), 20u);
            continue;
        }
        // Before the first RMC each GGA counts (it has no time to tell a
        // repeat by); the track keeps one point of the two all the same.
        EXPECT_EQ(stats.fixes, want.fixes + (std::string(c.dir) == "both"));
        EXPECT_EQ(stats.points, want.points);
        EXPECT_TRUE(doc == expected) << doc;
    }
}

TEST_F(LogToKml, ALogOfOneFixHasItsPlacemarkAndNoEmptyTrackFolder) {
    GpsFix f;
    f.lat = 47.5;
    f.lon = 8.5;
    f.spd = 3;
    f.time = utcToFixTime(1718202669);
    fs::path log = write("one.nme", makeRmcSentence(f));
    ASSERT_EQ(command({"--kml", log.string()}), 0) << m_err;
    const std::string doc = readFile(m_dir / "one.kml");
    EXPECT_NE(doc.find("8.50000, 47.50000"), std::string::npos) << doc; // the vehicle
    EXPECT_EQ(doc.find("<name>Track</name>"), std::string::npos) << doc;
    EXPECT_EQ(doc.find("<name>SpeedTrack</name>"), std::string::npos) << doc;
    Outcome info = ogrinfo(m_dir / "one.kml");
    EXPECT_EQ(info.status, 0) << info.output;
    EXPECT_EQ(info.output.find("ERROR"), std::string::npos) << info.output;
}

TEST_F(LogToKml, ALogWithoutAValidFixIsAnErrorAndWritesNothing) {
    // Such a document would show the vehicle at 0,0, off Africa.
    // A receiver still searching: a time, no position.
    const char* searching = "$GPRMC,120000,V,,,,,,,010109,,";
    std::string sentence = searching;
    appendNmeaChecksum(searching, sentence);
    const struct {
        const char* what;
        std::string text;
    } logs[] = {
        {"an empty file", ""},
        {"noise", "hello\r\n$GPRMC,bad*00\r\n$GPGSV,1,1,00*79\r\n\r\n"},
        {"binary", std::string("\x7f"
                               "ELF\x02\x01\x01\0\0\0\xff\xfe\n\x01\x02",
                               15)},
        {"a receiver without a fix", sentence + "\r\n"},
    };
    for (const auto& l : logs) {
        SCOPED_TRACE(l.what);
        fs::path log = write("nofix.nme", l.text);
        EXPECT_EQ(command({"--kml", log.string(), "-o", (m_dir / "out.kml").string()}), 1);
        EXPECT_NE(m_err.find("holds no valid fix"), std::string::npos) << m_err;
        EXPECT_NE(m_err.find("nothing written"), std::string::npos) << m_err;
        EXPECT_FALSE(fs::exists(m_dir / "out.kml"));
        EXPECT_EQ(command({"--kml", log.string(), "-o", "-"}), 1);
        EXPECT_TRUE(m_out.empty()) << m_out.substr(0, 80);
        EXPECT_EQ(files(), 1u); // the log alone
    }
}

TEST_F(LogToKml, DashWritesTheDocumentToStandardOutput) {
    fs::path log = write("trip.nme", makeLog(30));
    ASSERT_EQ(command({"--kml", log.string(), "-o", "-"}), 0) << m_err;
    EXPECT_EQ(m_out.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u);
    EXPECT_EQ(m_out.substr(m_out.size() - 19), "</Document>\n</kml>\n");
    // The summary goes beside the document, and no file named "-" appears.
    EXPECT_NE(m_err.find("standard output: "), std::string::npos) << m_err;
    EXPECT_FALSE(fs::exists("-"));
    EXPECT_EQ(files(), 1u);
    // The same document as a file of that log gives.
    ASSERT_EQ(command({"--kml", log.string()}), 0) << m_err;
    const std::string viaFile = readFile(m_dir / "trip.kml");
    ASSERT_EQ(command({"--kml", log.string(), "-o", "-"}), 0);
    EXPECT_TRUE(m_out == viaFile);
}

TEST_F(LogToKml, OnlyKmlAndGpxAreWritten) {
    fs::path log = write("trip.nme", makeLog(5));
    const struct {
        const char* name;
        int status;
    } outputs[] = {
        {"trip.gpx", 0}, {"trip.GPX", 0}, {"trip.txt", 2}, {"trip", 2},
        {"trip.kmz", 2}, {"trip.KML", 0}, {"trip.kml", 0},
    };
    for (const auto& o : outputs) {
        SCOPED_TRACE(o.name);
        EXPECT_EQ(command({"--kml", log.string(), "-o", (m_dir / o.name).string()}), o.status)
            << m_err;
        EXPECT_EQ(fs::exists(m_dir / o.name), o.status == 0);
        if (o.status != 0) {
            EXPECT_NE(m_err.find("Nivra writes KML or GPX"), std::string::npos) << m_err;
        }
    }
}

TEST_F(LogToKml, AMissingLogIsAnErrorAndWritesNothing) {
    EXPECT_EQ(command({"--kml", (m_dir / "absent.nme").string()}), 1);
    EXPECT_NE(m_err.find("cannot read"), std::string::npos) << m_err;
    EXPECT_NE(m_err.find("absent.nme: No such file or directory"), std::string::npos) << m_err;
    EXPECT_EQ(files(), 0u);
    // A directory is not a log either.
    EXPECT_EQ(command({"--kml", m_dir.string(), "-o", (m_dir / "x.kml").string()}), 1);
    EXPECT_EQ(files(), 0u);
}

TEST_F(LogToKml, AnOutputThatCannotBeWrittenIsAnErrorAndKeepsTheOldFile) {
    fs::path log = write("trip.nme", makeLog(5));
    EXPECT_EQ(command({"--kml", log.string(), "-o", (m_dir / "no/such/dir.kml").string()}), 1);
    EXPECT_NE(m_err.find("cannot create"), std::string::npos) << m_err;
    // Replacing a document: the new one lands whole.
    write("trip.kml", "old");
    EXPECT_EQ(command({"--kml", log.string()}), 0) << m_err;
    EXPECT_NE(readFile(m_dir / "trip.kml"), "old");
    EXPECT_EQ(files(), 2u);
}

TEST_F(LogToKml, TheLogItselfIsNeverTheOutput) {
    // A log that happens to end in ".kml" would be its own default output.
    std::string text = makeLog(5);
    fs::path log = write("trip.kml", text);
    EXPECT_EQ(command({"--kml", log.string()}), 1);
    EXPECT_NE(m_err.find("it is the log being converted"), std::string::npos) << m_err;
    EXPECT_EQ(readFile(log), text);
    EXPECT_EQ(command({"--kml", log.string(), "-o", log.string()}), 1);
    EXPECT_EQ(readFile(log), text);
    // Another name for the same file is the same file.
    fs::create_hard_link(log, m_dir / "alias.kml");
    EXPECT_EQ(command({"--kml", log.string(), "-o", (m_dir / "alias.kml").string()}), 1);
    EXPECT_EQ(readFile(log), text);
    EXPECT_EQ(files(), 2u);
}

TEST_F(LogToKml, UsageErrors) {
    EXPECT_EQ(command({"--kml"}), 2);
    EXPECT_NE(m_err.find("--kml needs the log to convert\nusage: nivra --kml LOG.nme"),
              std::string::npos)
        << m_err;
    EXPECT_EQ(command({"--kml", "a.nme", "-o"}), 2);
    EXPECT_NE(m_err.find("-o needs a file name"), std::string::npos) << m_err;
    EXPECT_EQ(command({"--kml", "a.nme", "--frobnicate"}), 2);
    EXPECT_NE(m_err.find("unexpected argument '--frobnicate'"), std::string::npos);
    const char* argv[] = {"nivra", "--headless", "--kml", "x"};
    EXPECT_TRUE(isKmlCommand(4, argv));
    EXPECT_FALSE(isKmlCommand(2, argv));
}

#ifdef NIVRA_PROGRAM
TEST_F(LogToKml, TheProgramConvertsFromTheCommandLine) {
    fs::path log = NIVRA_TEST_DATA "/harbour.nme";
    fs::path kml = m_dir / "shared.kml";
    Outcome r =
        run(std::string("'") + NIVRA_PROGRAM + "' --kml " + quoted(log) + " -o " + quoted(kml));
    EXPECT_EQ(r.status, 0) << r.output;
    Outcome info = ogrinfo(kml);
    EXPECT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find("Feature Count:"), std::string::npos) << info.output;

    r = run(std::string("'") + NIVRA_PROGRAM + "' --kml " + quoted(m_dir / "absent.nme"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("No such file or directory"), std::string::npos) << r.output;
}

TEST_F(LogToKml, TheProgramsRoughEdges) {
    // Run in the test's folder, so a file named "-" or a stray output shows.
    write("empty.nme", "");
    write("binary.nme", std::string("\0\x01\x02\xff\xfe\n\x7f\n", 8));
    fs::copy_file(NIVRA_TEST_DATA "/harbour.nme", m_dir / "trip.nme");
    const struct {
        const char* args;
        int status;
        const char* says;    // in stdout + stderr
        const char* created; // the one file the run adds, or ""
    } cases[] = {
        {"--kml", 2, "--kml needs the log to convert\nusage: nivra --kml", ""},
        {"--kml trip.nme -o -", 0, "<?xml version=", ""},
        {"--kml empty.nme", 1, "holds no valid fix", ""},
        {"--kml binary.nme -o out.kml", 1, "holds no valid fix", ""},
        {"--kml trip.nme -o out.txt", 2, "Nivra writes KML or GPX", ""},
        {"--kml trip.nme -o out.gpx", 0, "out.gpx: 9 points from", "out.gpx"},
        {"--kml trip.nme -o out.kml", 0, "out.kml: ", "out.kml"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const size_t before = files();
        Outcome r = run("cd " + quoted(m_dir) + " && '" + NIVRA_PROGRAM + "' " + c.args);
        EXPECT_EQ(r.status, c.status) << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output.substr(0, 300);
        EXPECT_EQ(files(), before + (*c.created ? 1 : 0));
        if (*c.created) {
            EXPECT_EQ(ogrinfo(m_dir / c.created).status, 0);
        }
        EXPECT_FALSE(fs::exists(m_dir / "-"));
    }
}
#endif

TEST_F(LogToKml, ReadingAheadOnASecondThreadGivesWhatOneThreadGives) {
    // Logs with everything a reader meets: two talkers, VTG and satellites,
    // damaged checksums, empty positions, time going back and a fix repeated;
    // long enough for many batches (the reader then waits for the track) or
    // shorter than one, or without a fix at all. Each is longer than one read
    // block (a log of one block is read on one thread either way).
    auto makeRoughLog = [](int fixes, unsigned seed) {
        std::string log;
        for (int i = 0; fixes == 0 && i < 5000; ++i)
            log += "$GPGSV,1,1,00*79\r\n";
        std::mt19937 random(seed);
        auto chance = [&random](int percent) { return static_cast<int>(random() % 100) < percent; };
        for (int i = 0; i < fixes; ++i) {
            GpsFix f;
            f.lat = 47.0 + i * 0.00003 + (random() % 7) * 0.000001;
            f.lon = 8.0 + (i % 500) * 0.00002;
            f.alt = 400 + random() % 20;
            f.spd = random() % 40;
            f.hdg = random() % 360;
            f.time = 1245000000 + i - (chance(2) ? 30 : 0);
            std::string rmc = makeRmcSentence(f);
            if (chance(3))
                rmc[rmc.find('*') + 1] ^= 1; // a damaged checksum
            if (chance(2))
                rmc = "$GNRMC,120000,A,,,,,1,2,150609,,*00\r\n"; // no position
            log += chance(50) ? rmc : "$GN" + rmc.substr(3);
            if (chance(30))
                log += rmc; // the same fix under a second talker
            log += makeGgaSentence(f);
            if (chance(20))
                log += "$GPVTG,54.7,T,,M,5.5,N,10.2,K*48\r\n$GPGSV,1,1,00*79\r\n";
        }
        return log;
    };
    struct Case {
        int fixes;
        bool allPoints;
    };
    for (const Case c : {Case{0, false}, Case{600, false}, Case{2048, true}, Case{5000, false},
                         Case{kTrackCapacity + 9000, false}, Case{kTrackCapacity + 9000, true}}) {
        SCOPED_TRACE(std::to_string(c.fixes) + (c.allPoints ? " fixes, all points" : " fixes"));
        const fs::path log = write("rough.nme", makeRoughLog(c.fixes, 7u + c.fixes));
        ASSERT_GT(fs::file_size(log), 65536u);
        KmlConversion aheadStats, oneStats;
        std::string aheadKml, oneKml, aheadError, oneError;
        const bool ahead = logToKmlText(log.string(), c.allPoints, aheadStats, aheadKml, aheadError,
                                        LogReadAhead::automatic);
        const bool one =
            logToKmlText(log.string(), c.allPoints, oneStats, oneKml, oneError, LogReadAhead::none);
        EXPECT_EQ(ahead, c.fixes > 0) << aheadError;
        EXPECT_EQ(ahead, one);
        EXPECT_EQ(aheadError, oneError);
        EXPECT_EQ(aheadStats.lines, oneStats.lines);
        EXPECT_EQ(aheadStats.fixes, oneStats.fixes);
        EXPECT_EQ(aheadStats.appended, oneStats.appended);
        EXPECT_EQ(aheadStats.points, oneStats.points);
        EXPECT_TRUE(aheadKml == oneKml) << "the documents differ";

        std::vector<HistoryFix> aheadFixes, oneFixes;
        EXPECT_EQ(logToFixes(log.string(), c.allPoints, aheadStats, aheadFixes, aheadError,
                             LogReadAhead::automatic),
                  logToFixes(log.string(), c.allPoints, oneStats, oneFixes, oneError,
                             LogReadAhead::none));
        ASSERT_EQ(aheadFixes.size(), oneFixes.size());
        for (size_t i = 0; i < oneFixes.size(); ++i)
            ASSERT_TRUE(std::memcmp(&aheadFixes[i], &oneFixes[i], sizeof oneFixes[i]) == 0)
                << "point " << i;
    }
}
