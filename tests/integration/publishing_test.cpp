// The real program publishing to a local file: the demo runs headless, the
// publisher replaces the file every 2 seconds, and a reader polling it all
// the while only ever finds a whole document.
#include "nivraProcess.h"

#include "common/shellRun.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <set>
#include <thread>

using namespace itest;

namespace {

std::string publishingSettings(const std::string& file, int period = 2) {
    return "Windows Registry Editor Version 5.00\r\n\r\n[Software]\r\n\r\n"
           "[Software\\Nivra]\r\n"
           "\"DemoMode\"=dword:00000001\r\n"
           "\"pftpEnabled\"=dword:00000001\r\n"
           "\"pftpUseFtp\"=dword:00000000\r\n"
           "\"pftpSavePeriod\"=dword:0000000" +
           std::to_string(period) +
           "\r\n"
           "\"pftpFileName\"=\"" +
           file + "\"\r\n\r\n";
}

bool wholeDocument(const std::string& text) {
    return text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<kml", 0) == 0 &&
           text.size() > 7 && text.compare(text.size() - 7, 7, "</kml>\n") == 0;
}

} // namespace

TEST(Publishing, TheDemoIsPublishedToALocalFileThatIsAlwaysWhole) {
    TempDir dir;
    const std::string web = dir.file("web");
    ASSERT_EQ(mkdir(web.c_str(), 0755), 0);
    const std::string published = web + "/Me.kml";
    writeFile(dir.file("registry.reg"), publishingSettings(published));

    NivraProcess nivra(dir.path(), uniqueLoopbackAddress(), {"--start"});
    ASSERT_TRUE(nivra.started());

    // Poll as a web server would, for 12 seconds after the first document and
    // on until three versions were seen (a busy machine may stretch the 2 s
    // period), 60 seconds at most.
    std::set<ino_t> versions;
    std::vector<std::string> samples;
    int reads = 0;
    using Clock = std::chrono::steady_clock;
    Clock::time_point until = Clock::now() + std::chrono::seconds(40);
    Clock::time_point enough{};
    bool first = true;
    while (Clock::now() < until && (first || Clock::now() < enough || versions.size() < 3)) {
        struct stat st {};
        if (stat(published.c_str(), &st) == 0) {
            if (first) {
                first = false;
                enough = Clock::now() + std::chrono::seconds(12);
                until = Clock::now() + std::chrono::seconds(60);
            }
            const std::string text = readFile(published);
            // The file may be replaced between stat and read; what was read is
            // one whole version either way.
            ++reads;
            ASSERT_TRUE(wholeDocument(text)) << "read " << reads << ":\n" << text.substr(0, 200);
            if (versions.insert(st.st_ino).second)
                samples.push_back(text);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_FALSE(first) << "nothing was published\n" << nivra.out();
    // A new version every 2 s: a dozen seconds give several, a minute surely.
    EXPECT_GE(versions.size(), 3u) << reads << " reads";
    EXPECT_GE(reads, 50);

    // Every version seen parses as KML and shows the demo's stand-in.
    for (size_t i = 0; i < samples.size(); ++i) {
        const std::string copy = dir.file("sample" + std::to_string(i) + ".kml");
        writeFile(copy, samples[i]);
        const ShellOutcome info = ogrinfoKml(copy);
        EXPECT_EQ(info.status, 0) << info.output;
        EXPECT_EQ(info.output.find("ERROR"), std::string::npos) << info.output;
        EXPECT_NE(samples[i].find("<name>Me(demo)</name>"), std::string::npos);
    }

    int status = 0;
    ASSERT_GE(nivra.terminate(status, 10000), 0) << "still running 10 s after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // No temporary file stays beside the published one.
    EXPECT_EQ(runShell("ls -A '" + web + "'").output, "Me.kml\n");
}

TEST(Publishing, APeriodOfZeroStopsPublishing) {
    struct Case {
        int period;
        bool published;
    };
    for (const Case c : {Case{0, false}, Case{1, true}}) {
        SCOPED_TRACE(c.period);
        TempDir dir;
        const std::string published = dir.file("Me.kml");
        writeFile(dir.file("registry.reg"), publishingSettings(published, c.period));
        NivraProcess nivra(dir.path(), uniqueLoopbackAddress(), {"--start"});
        ASSERT_TRUE(nivra.waitForOutput("Stop with Ctrl+C")) << nivra.out() << nivra.err();
        // A period of one second publishes within a few; give 0 as long.
        bool seen = false;
        for (int i = 0; i < 100 && !seen; ++i) {
            struct stat st {};
            seen = stat(published.c_str(), &st) == 0;
            if (!seen)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_EQ(seen, c.published);
        int status = 0;
        ASSERT_GE(nivra.terminate(status, 10000), 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        // The setting stays as the user wrote it.
        EXPECT_NE(readFile(dir.file("registry.reg"))
                      .find("\"pftpSavePeriod\"=dword:0000000" + std::to_string(c.period)),
                  std::string::npos);
    }
}
