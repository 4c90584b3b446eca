// The real program attacked as a stranger would, one attack per row: what it
// sends, what the program must keep in proportion meanwhile (reply size,
// memory, disk, the log) and that Google Earth's poll is still answered.
// Loopback addresses other than 127.0.0.1 stand in for other hosts. Each row
// takes seconds.
#include "fixText.h"
#include "nivraProcess.h"
#include "remote/scriptPeer.h"

#include "track/nmea.h"
#include "track/track.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace itest;
namespace fs = std::filesystem;

namespace {

constexpr int kLinkPort = 51233;
constexpr int kTrackerPort = 51234;
const char* const kRootGet = "GET / HTTP/1.1\r\nHost: nivra\r\n\r\n";
using Clock = std::chrono::steady_clock;

// Google Earth's poll is answered within this while the listener is under
// attack. This only tells that the poll was not stuck behind the attack (a
// stuck poll waits seconds for a slot, or is refused): how fast it is
// answered is bench/attack_poll.py's measure, not a test's, since the suites
// run side by side on a loaded machine. The ThreadSanitizer build runs every
// access through its checks, several times slower.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kSanitizerMb = 500; // the sanitizer's own bookkeeping
constexpr long kPollMs = 1000;
#elif defined(__SANITIZE_THREAD__)
constexpr long kSanitizerMb = 1000;
constexpr long kPollMs = 3000;
#else
constexpr long kSanitizerMb = 0;
constexpr long kPollMs = 1000;
#endif

long msSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// One attack on one run of the program. The program reads Google Earth's
// view from its polls (as with Google Earth Pro), so a poll that reports the
// view it was sent gets the small unchanged reply while nothing is new.
struct AttackRun {
    TempDir dir;
    std::string address = uniqueLoopbackAddress();
    std::unique_ptr<NivraProcess> nivra;
    std::vector<std::string> args = {"--earth", "gepro"};
    std::string earthView = "8,47,1000,0,0"; // lon, lat, range, tilt, heading
};

struct Attack {
    const char* name;
    std::string settings;                         // values under Software\Nivra
    std::function<void(AttackRun&)> prepare;      // files in place before the start
    std::function<void(AttackRun&)> attackAndSee; // the attack and what must hold
};

std::string registryWith(const std::string& values, const std::string& vehicles = "") {
    return "Windows Registry Editor Version 5.00\r\n\r\n[Software]\r\n\r\n[Software\\Nivra]\r\n"
           "\"DemoMode\"=dword:00000000\r\n\"AutoStartGE\"=dword:00000000\r\n" +
           values + "\r\n" + vehicles;
}

std::string dword(const char* name, unsigned value) {
    char text[80];
    std::snprintf(text, sizeof text, "\"%s\"=dword:%08x\r\n", name, value);
    return text;
}

// Device vehicles with full tracks, stored as an earlier run would have left
// them: a document of several megabytes.
std::string storedFleet(const std::string& dir, int vehicles) {
    std::string keys;
    for (int v = 0; v < vehicles; ++v) {
        CTrack t;
        for (int i = 0; i < kTrackCapacity; ++i)
            t.add(fixAt(30 + v + i * 0.00004, 10 + (i % 50) * 0.00003, i % 360,
                        kTrackCapacity - i + 600),
                  2);
        const std::string key = "Big" + std::to_string(v) + "@fleet";
        EXPECT_TRUE(t.save(dir + "/" + key + ".trk"));
        keys += "\r\n[Software\\Nivra\\servers" + std::to_string(v) + "]\r\n\"name\"=\"" + key +
                "\"\r\n\"uName\"=\"Big" + std::to_string(v) +
                "\"\r\n\"host\"=\"fleet\"\r\n\"remoteType\"=dword:00000002\r\n"
                "\"maxPts\"=dword:00007080\r\n";
    }
    return keys;
}

// The body of an HTTP reply (after the first blank line).
std::string bodyOf(const std::string& reply) {
    const size_t crlf = reply.find("\r\n\r\n");
    const size_t lf = reply.find("\n\n");
    if (lf != std::string::npos && (crlf == std::string::npos || lf < crlf))
        return reply.substr(lf + 2);
    return crlf == std::string::npos ? std::string() : reply.substr(crlf + 4);
}

// One request on a connection of its own; the milliseconds until the whole
// reply was in (-1 when none came within 10 s).
long timedExchange(const std::string& address, const std::string& request, std::string& reply) {
    const auto start = Clock::now();
    int fd = connectFrom("", address, kLinkPort);
    if (fd < 0)
        return -1;
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    reply.clear();
    char buf[65536];
    long ms = -1;
    while (msSince(start) < 10000) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            ms = n == 0 ? msSince(start) : -1;
            break;
        }
        reply.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return ms;
}

// The text of `<name>` after `from` in a reply, empty when there is none.
std::string elementText(const std::string& reply, const std::string& name, size_t from) {
    const size_t open = reply.find("<" + name + ">", from);
    if (open == std::string::npos)
        return std::string();
    const size_t start = open + name.size() + 2;
    return reply.substr(start, reply.find('<', start) - start);
}

std::string earthRequest(const AttackRun& r) {
    return "GET /NivraServers?&LOOKAT=" + r.earthView + " HTTP/1.1\r\nHost: nivra\r\n\r\n";
}

// One poll as Google Earth makes it: with its view appended, and flying to
// the view a whole reply carries. The milliseconds it took, -1 when no
// document came.
long earthPoll(AttackRun& r, std::string& reply) {
    const long ms = timedExchange(r.address, earthRequest(r), reply);
    if (ms < 0 || reply.find("<kml") == std::string::npos)
        return -1;
    const size_t lookAt = reply.find("<LookAt>");
    if (lookAt != std::string::npos) {
        r.earthView.clear();
        for (const char* name : {"longitude", "latitude", "range", "tilt", "heading"})
            r.earthView += (r.earthView.empty() ? "" : ",") + elementText(reply, name, lookAt);
    }
    return ms;
}

// Google Earth's poll, a few times: the fastest answer (a busy machine may
// preempt one), and every one answered.
long earthPollMs(AttackRun& r, int tries = 5) {
    long best = -1;
    std::string reply;
    for (int i = 0; i < tries; ++i) {
        const long ms = earthPoll(r, reply);
        if (ms < 0)
            return -1;
        best = best < 0 ? ms : std::min(best, ms);
    }
    return best;
}

// Sends `text` on connections of its own from `source`, at most 32 KB a
// request, ending each request by closing the sending side; waits for nothing.
void postInPieces(const std::string& source, const std::string& address, const std::string& text) {
    constexpr size_t kPiece = 32000;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = std::min(text.size(), at + kPiece);
        const size_t lineEnd = text.rfind('\n', end - 1);
        if (end < text.size() && lineEnd != std::string::npos && lineEnd > at)
            end = lineEnd + 1;
        const int fd = connectFrom(source, address, kTrackerPort);
        if (fd >= 0) {
            send(fd, text.data() + at, end - at, MSG_NOSIGNAL);
            shutdown(fd, SHUT_WR);
            close(fd);
        }
        at = end;
    }
}

// A client that asks and never reads.
struct NonReader {
    int fd = -1;
    NonReader(const std::string& source, const std::string& address, const std::string& request) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int tiny = 1;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, source.c_str(), &local.sin_addr);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kLinkPort);
        inet_pton(AF_INET, address.c_str(), &to.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            close(fd);
            fd = -1;
            return;
        }
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    }
    ~NonReader() {
        if (fd >= 0)
            close(fd);
    }
    NonReader(NonReader&& o) noexcept : fd(o.fd) { o.fd = -1; }
    NonReader(const NonReader&) = delete;
};

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Whether python3 reads `text` as JSON (strict UTF-8 included).
bool parsesAsJson(const std::string& text, const std::string& scratch) {
    writeFile(scratch, text);
    const std::string cmd = "python3 -c 'import json, sys; "
                            "json.loads(open(sys.argv[1], \"rb\").read().decode(\"utf-8\"))' " +
                            scratch + " 2>/dev/null";
    return std::system(cmd.c_str()) == 0;
}

void stopCleanly(NivraProcess& nivra) {
    int status = 0;
    ASSERT_GE(nivra.terminate(status, 20000), 0) << "still running after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << nivra.err();
}

// --- the attacks -------------------------------------------------------------

void millionLines(AttackRun& r) {
    // Warm: the first document with the fleet (over the 2 MB budget).
    std::string reply;
    ASSERT_GE(timedExchange(r.address, kRootGet, reply), 0);
    const std::string stranger = uniqueLoopbackAddress();
    const auto start = Clock::now();
    constexpr int kLines = 1000000;
    constexpr int kUnits = 500;
    const int64_t first = nowFixTime() - 3 * 3600;
    std::string batch;
    long peakMb = 0;
    for (int i = 0; i < kLines; ++i) {
        const int unit = i % kUnits;
        batch += "Flood@" + std::to_string(unit) + ":" +
                 makeRmcSentence(fixAt(20 + unit * 0.01 + (i / kUnits) * 1e-4, 20, i % 360,
                                       nowFixTime() - first - i / kUnits));
        if (batch.size() > (4u << 20) || i == kLines - 1) {
            postInPieces(stranger, r.address, batch);
            batch.clear();
            peakMb = std::max(peakMb, residentMb(r.nivra->pid()));
        }
    }
    const long sendingMs = msSince(start);
    // Every reply stays under the budget, Google Earth's too, and is whole.
    ASSERT_GE(timedExchange(r.address, kRootGet, reply), 0);
    EXPECT_NE(reply.find("</kml>"), std::string::npos);
    EXPECT_LE(reply.size(), 2u << 20);
    ASSERT_GE(earthPoll(r, reply), 0);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << "the flood's points make a whole document";
    EXPECT_NE(reply.find("</kml>"), std::string::npos);
    EXPECT_LE(reply.size(), 2u << 20) << "Google Earth's document too";
    peakMb = std::max(peakMb, residentMb(r.nivra->pid()));
    EXPECT_LT(peakMb, 200 + kSanitizerMb) << "resident memory under the flood";
    const std::string err = r.nivra->err();
    EXPECT_NE(err.find("left out to keep the document under 2 MB"), std::string::npos) << err;
    EXPECT_NE(err.find("beyond 50 a second dropped"), std::string::npos) << err;
    EXPECT_LT(countOf(err, "\n"), 50u) << "a flood makes a few lines, not one per line\n" << err;
    std::printf("[ info ] a million lines sent in %ld ms, peak resident %ld MB\n", sendingMs,
                peakMb);
}

void unitsOfOneThenTwoPoints(AttackRun& r) {
    // 500 units with one fix each, from one address (its whole burst).
    const int64_t ago = 120;
    auto post = [&](int round) {
        std::string lines;
        for (int i = 0; i < 500; ++i)
            lines += "Unit@u" + std::to_string(i) + ":" +
                     makeRmcSentence(fixAt(10 + i * 0.01, 20 + round * 0.01, 90, ago - round * 10));
        postInPieces(uniqueLoopbackAddress(), r.address, lines);
    };
    post(0);
    ASSERT_NE(pollUntil(r.address, {"Unit@u499", "Unit@u0"}).find("Unit@u499"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(3500)); // saves run every second
    int files = 0;
    for (const auto& e : fs::directory_iterator(r.dir.path()))
        files += e.path().extension() == ".trk";
    EXPECT_EQ(files, 0) << "a unit with one fix is not written";
    EXPECT_LT(diskUsedBytes(r.dir.path()), 1 << 20);

    // A second fix each, a second later and from another address.
    post(1);
    ASSERT_NE(pollUntil(r.address, {"20.01000,14.99000"}).find("20.01000,14.99000"),
              std::string::npos)
        << "the last unit's second point arrived";
    stopCleanly(*r.nivra);
    files = 0;
    for (const auto& e : fs::directory_iterator(r.dir.path())) {
        if (e.path().extension() != ".trk")
            continue;
        ++files;
        struct stat st {};
        ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_size, kTrackFileSize) << "the layout stays whole";
    }
    EXPECT_EQ(files, 500);
    const long long used = diskUsedBytes(r.dir.path());
    EXPECT_LT(used, 5ll << 20) << "500 two-point tracks and the registry";
    CTrack one;
    ASSERT_TRUE(one.load(r.dir.file("Unit@u7.trk")));
    EXPECT_EQ(one.pointCount(), 2);
    std::printf("[ info ] 500 two-point units take %lld KB of disk\n", used / 1024);
}

void clientsThatNeverRead(AttackRun& r, const std::string& target) {
    std::string reply;
    ASSERT_GE(timedExchange(r.address, "GET " + target + " HTTP/1.1\r\n\r\n", reply), 0);
    ASSERT_GT(reply.size(), 1u << 20) << "the test needs a large reply";
    ASSERT_GE(earthPollMs(r), 0);
    const long before = residentMb(r.nivra->pid());
    std::vector<NonReader> held;
    long peak = before;
    {
        for (int a = 0; a < 8; ++a) {
            const std::string source = uniqueLoopbackAddress();
            for (int i = 0; i < 16; ++i)
                held.emplace_back(source, r.address, "GET " + target + " HTTP/1.1\r\n\r\n");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        peak = std::max(peak, residentMb(r.nivra->pid()));
        // Google Earth's poll is answered while every slot is taken.
        const long ms = earthPollMs(r);
        EXPECT_GE(ms, 0) << "Google Earth was refused";
        EXPECT_LT(ms, kPollMs) << "Google Earth's poll waited";
        peak = std::max(peak, residentMb(r.nivra->pid()));
        EXPECT_LT(peak, 300 + kSanitizerMb) << "resident memory with 128 held replies";
    }
    held.clear();
    // The replies go, and their memory with them.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const long after = residentMb(r.nivra->pid());
    EXPECT_LT(after, before + 64 + kSanitizerMb)
        << "before " << before << " MB, peak " << peak << " MB";
    EXPECT_GE(earthPollMs(r), 0);
    std::printf("[ info ] %s: resident %ld MB before, %ld MB at most, %ld MB after\n",
                target.c_str(), before, peak, after);
}

void resetFlood(AttackRun& r) {
    const std::string stranger = uniqueLoopbackAddress();
    const auto start = Clock::now();
    int sent = 0;
    while (msSince(start) < 3000) {
        const int fd = connectFrom(stranger, r.address, kTrackerPort);
        if (fd < 0)
            continue;
        send(fd, "x", 1, MSG_NOSIGNAL);
        linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(fd);
        ++sent;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string err = r.nivra->err();
    const std::string log = readFile(r.dir.file("nivraDebug.log"));
    EXPECT_GT(sent, 100);
    EXPECT_LT(countOf(err, "\n"), 100u) << sent << " resets\n" << err.substr(0, 3000);
    EXPECT_LT(countOf(log, "ERROR"), 100u) << sent << " resets";
    EXPECT_GE(countOf(err, "ERROR recv error:104"), 1u) << "the first is told";
    EXPECT_GE(earthPollMs(r), 0);
}

void pasvBounce(AttackRun& r) {
    const std::string record = r.dir.file("ftp.txt");
    // The stand-in listens where the publisher looks for an FTP server: port 21.
    ScriptPeer server({"/usr/bin/python3",
                       std::string(NIVRA_SOURCE_DIR) + "/tests/publish/hostileFtp.py",
                       "pasv-bounce", record, r.address, "21"});
    if (server.port() != 21) {
        std::printf("[ info ] skipped: port 21 cannot be bound here\n");
        return;
    }
    // The local vehicle's points are what is published.
    for (int i = 0; i < 3; ++i)
        exchange(r.address, kTrackerPort, makeRmcSentence(fixAt(47 + i * 0.01, 8, 0, 60 - i)));
    const auto start = Clock::now();
    while (msSince(start) < 20000 && !fs::exists(record + ".data"))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(fs::exists(record + ".data")) << "published to the server itself\n"
                                              << readFile(record);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(fs::exists(record + ".bounce")) << "the stand-in for another host got the upload";
    EXPECT_NE(r.nivra->err().find("PASV named 127.0.0.99"), std::string::npos) << r.nivra->err();
}

void fifoInThePageFolder(AttackRun& r) {
    std::string reply;
    const long ms = timedExchange(r.address, "GET /globe/feed.js HTTP/1.1\r\n\r\n", reply);
    EXPECT_GE(ms, 0);
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(reply.rfind("HTTP/1.1 404", 0), 0u) << reply;
    EXPECT_GE(earthPollMs(r), 0);
    ASSERT_GE(timedExchange(r.address, "GET /globe/ HTTP/1.1\r\n\r\n", reply), 0);
    EXPECT_NE(reply.find("the page"), std::string::npos) << "regular files are still served";
}

void hostileRegistryName(AttackRun& r) {
    std::string reply;
    ASSERT_GE(timedExchange(r.address, "GET /vehicles.json HTTP/1.1\r\n\r\n", reply), 0);
    const std::string json = bodyOf(reply);
    EXPECT_NE(json.find("Reg?@2"), std::string::npos) << json;
    EXPECT_TRUE(parsesAsJson(json, r.dir.file("vehicles.json"))) << json.substr(0, 500);
}

} // namespace

TEST(Attacks, EachAttackLeavesRepliesMemoryDiskAndTheLogInProportion) {
    // A network of its own where allowed: another program listening on
    // every address cannot answer in the program's place.
    if (!enterOwnNetwork())
        std::printf("[ info ] in the machine's network: no namespace of its own allowed\n");
    const std::string pageDir = "page";
    const Attack attacks[] = {
        {"a million tracker lines from one address", dword("MaxReplyMB", 2),
         [](AttackRun& r) {
             const std::string fleet = storedFleet(r.dir.path(), 8);
             writeFile(r.dir.file("registry.reg"), registryWith(dword("MaxReplyMB", 2), fleet));
         },
         millionLines},
        {"500 units of one point, then of two", dword("AutoSavePeriod", 1), nullptr,
         unitsOfOneThenTwoPoints},
        {"128 clients that never read the network link's document", "",
         [](AttackRun& r) {
             writeFile(r.dir.file("registry.reg"), registryWith("", storedFleet(r.dir.path(), 12)));
         },
         [](AttackRun& r) { clientsThatNeverRead(r, "/"); }},
        {"128 clients that never read CesiumJS", "", nullptr,
         [](AttackRun& r) {
             const fs::path cesium = fs::path(NIVRA_SOURCE_DIR) /
                                     ".deps/npm/node_modules/cesium/Build/Cesium/Cesium.js";
             if (!fs::exists(cesium) || fs::file_size(cesium) < (1u << 20)) {
                 std::printf("[ info ] skipped: CesiumJS is not installed\n");
                 return;
             }
             clientsThatNeverRead(r, "/globe/cesium/Cesium.js");
         }},
        {"connect, send a byte, reset", "", [](AttackRun& r) { r.args.push_back("--debug-log"); },
         resetFlood},
        {"a PASV reply naming another host", "",
         [](AttackRun& r) {
             if (geteuid() != 0)
                 return;
             writeFile(r.dir.file("registry.reg"),
                       registryWith(dword("pftpEnabled", 1) + dword("pftpUseFtp", 1) +
                                    dword("pftpSavePeriod", 1) + dword("pftpCopyThenRename", 0) +
                                    "\"pftpServerName\"=\"" + r.address +
                                    "\"\r\n\"pftpFileName\"=\"track.kml\"\r\n"));
         },
         [](AttackRun& r) {
             if (geteuid() != 0) {
                 std::printf("[ info ] skipped: port 21 needs root\n");
                 return;
             }
             pasvBounce(r);
         }},
        {"a FIFO in the page folder", "",
         [&](AttackRun& r) {
             fs::create_directory(r.dir.file(pageDir));
             writeFile(r.dir.file(pageDir + "/index.html"), "<title>the page</title>");
             ASSERT_EQ(::mkfifo(r.dir.file(pageDir + "/feed.js").c_str(), 0600), 0);
             ::setenv("NIVRA_GLOBE_DIR", r.dir.file(pageDir).c_str(), 1);
         },
         fifoInThePageFolder},
        {"a name in the registry that is not UTF-8", "",
         [](AttackRun& r) {
             writeFile(r.dir.file("registry.reg"),
                       registryWith("", "\r\n[Software\\Nivra\\servers0]\r\n\"name\"=\"Reg\xff@2\""
                                        "\r\n\"uName\"=\"Reg\xff\"\r\n\"host\"=\"2\"\r\n"));
         },
         hostileRegistryName},
    };
    for (const Attack& a : attacks) {
        SCOPED_TRACE(a.name);
        std::printf("[ attack ] %s\n", a.name);
        const auto start = Clock::now();
        AttackRun r;
        writeFile(r.dir.file("registry.reg"), registryWith(a.settings));
        if (a.prepare)
            a.prepare(r);
        r.nivra = std::make_unique<NivraProcess>(r.dir.path(), r.address, r.args);
        ::unsetenv("NIVRA_GLOBE_DIR"); // read at the start only
        ASSERT_TRUE(r.nivra->waitForPort(kTrackerPort)) << r.nivra->out() << r.nivra->err();
        ASSERT_TRUE(r.nivra->waitForPort(kLinkPort)) << r.nivra->out();
        a.attackAndSee(r);
        if (r.nivra->started()) {
            int status = 0;
            r.nivra->terminate(status, 20000);
        }
        std::printf("[ attack ] %s: %ld ms\n", a.name, msSince(start));
    }
}
