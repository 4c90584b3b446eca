// The browser globe on a real network-link listener: files only from the
// globe's folders with their content types, 404 for every way out of them,
// the live data, and Google Earth's polls left exactly as they were.
#include "earth/globe.h"
#include "netlink/netlinkFixture.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

class GlobeServing : public NetLinkFixture {
protected:
    void SetUp() override {
        NetLinkFixture::SetUp();
        root = fs::temp_directory_path() / ("nivra-globe-" + std::to_string(::getpid()));
        fs::remove_all(root);
        writeText(root / "page/index.html", "<!DOCTYPE html><title>globe</title>");
        writeText(root / "page/globe.js", "console.log('globe');");
        writeText(root / "page/globe.css", "body{}");
        writeText(root / "cesium/Cesium.js", "var Cesium={};");
        writeText(root / "cesium/Workers/decoder.wasm", std::string("\0asm", 4));
        writeText(root / "cesium/Assets/Textures/NaturalEarthII/0/0/0.jpg", "JPEG");
        writeText(root / "secret.txt", "SECRET");
        writeText(root / "page-twin/x.js", "TWIN");
        fs::create_symlink(root / "secret.txt", root / "page/link.js");
        fs::create_symlink(root / "page-twin/x.js", root / "page/twin.js");
        fs::create_symlink(root / "cesium/Cesium.js", root / "page/inside.js");
        fs::create_directories(root / "page/sub");
        setFolders(root / "page", root / "cesium");
    }
    void TearDown() override {
        ::unsetenv("NIVRA_GLOBE_DIR");
        ::unsetenv("NIVRA_CESIUM_DIR");
        fs::remove_all(root);
        NetLinkFixture::TearDown();
    }
    static void setFolders(const fs::path& page, const fs::path& cesium) {
        ::setenv("NIVRA_GLOBE_DIR", page.c_str(), 1);
        ::setenv("NIVRA_CESIUM_DIR", cesium.c_str(), 1);
    }
    std::string get(const std::string& target) {
        return roundTrip(port, "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
    }
    static std::string header(const std::string& reply, const std::string& name) {
        const size_t at = reply.find("\r\n" + name + ": ");
        if (at == std::string::npos)
            return std::string();
        const size_t from = at + name.size() + 4;
        return reply.substr(from, reply.find("\r\n", from) - from);
    }
    static std::string body(const std::string& reply) {
        const size_t at = reply.find("\r\n\r\n");
        return at == std::string::npos ? std::string() : reply.substr(at + 4);
    }
    fs::path root;
};

} // namespace

TEST_F(GlobeServing, ServesTheFoldersFilesWithTheirTypes) {
    struct Case {
        std::string target;
        std::string type;
        std::string body;
        std::string caching;
    } cases[] = {
        {"/globe", "text/html; charset=utf-8", "<!DOCTYPE html><title>globe</title>", "no-store"},
        {"/globe/", "text/html; charset=utf-8", "<!DOCTYPE html><title>globe</title>", "no-store"},
        {"/globe/?x=1", "text/html; charset=utf-8", "<!DOCTYPE html><title>globe</title>",
         "no-store"},
        {"/globe/globe.js", "text/javascript; charset=utf-8", "console.log('globe');", "no-store"},
        {"/globe/globe.css", "text/css; charset=utf-8", "body{}", "no-store"},
        {"/globe/cesium/Cesium.js", "text/javascript; charset=utf-8", "var Cesium={};",
         "max-age=3600"},
        {"/globe/cesium/Workers/decoder.wasm", "application/wasm", std::string("\0asm", 4),
         "max-age=3600"},
        {"/globe/cesium/Assets/Textures/NaturalEarthII/0/0/0.jpg", "image/jpeg", "JPEG",
         "max-age=3600"},
    };
    for (const Case& c : cases) {
        const std::string reply = get(c.target);
        EXPECT_EQ(reply.substr(0, 17), "HTTP/1.1 200 OK\r\n") << c.target;
        EXPECT_EQ(header(reply, "Content-Type"), c.type) << c.target;
        EXPECT_EQ(header(reply, "Content-Length"), std::to_string(c.body.size())) << c.target;
        EXPECT_EQ(header(reply, "X-Content-Type-Options"), "nosniff") << c.target;
        EXPECT_EQ(header(reply, "Cache-Control"), c.caching) << c.target;
        EXPECT_EQ(body(reply), c.body) << c.target;
    }
}

TEST_F(GlobeServing, EveryWayOutOfTheFoldersIsANotFound) {
    const std::string requests[] = {
        "GET /globe/../../etc/passwd HTTP/1.1\r\n\r\n",
        "GET /globe/../secret.txt HTTP/1.1\r\n\r\n",
        "GET /globe/%2e%2e/secret.txt HTTP/1.1\r\n\r\n",
        "GET /globe/%2E%2E%2Fsecret.txt HTTP/1.1\r\n\r\n",
        "GET /globe/..%2f..%2f..%2fetc%2fpasswd HTTP/1.1\r\n\r\n",
        "GET /globe/cesium/../../secret.txt HTTP/1.1\r\n\r\n",
        "GET /globe/cesium/%2e%2e/secret.txt HTTP/1.1\r\n\r\n",
        "GET /globe/..%5csecret.txt HTTP/1.1\r\n\r\n",
        "GET /globe/%2fetc%2fpasswd HTTP/1.1\r\n\r\n",
        "GET /globe//etc/passwd HTTP/1.1\r\n\r\n",
        "GET /globe/link.js HTTP/1.1\r\n\r\n", // a symbolic link out
        "GET /globe/sub HTTP/1.1\r\n\r\n",     // a folder
        "GET /globe/../page-twin/x.js HTTP/1.1\r\n\r\n",
        "GET /globe/twin.js HTTP/1.1\r\n\r\n",   // a link to a sibling sharing the prefix
        "GET /globe/inside.js HTTP/1.1\r\n\r\n", // a link to the other folder
        "GET /globe/missing.js HTTP/1.1\r\n\r\n",
        "GET /globe/index.html%00.png HTTP/1.1\r\n\r\n",
        "GET /globe/index.html\0/../../secret.txt HTTP/1.1\r\n\r\n"s,
        "GET /globe/\0../secret.txt HTTP/1.1\r\n\r\n"s,
        "GET /vehicles.json\0 HTTP/1.1\r\n\r\n"s,
    };
    for (const std::string& request : requests) {
        const std::string reply = roundTrip(port, request);
        EXPECT_EQ(reply.substr(0, 24), "HTTP/1.1 404 Not Found\r\n") << request;
        EXPECT_EQ(reply.find("SECRET"), std::string::npos) << request;
        EXPECT_EQ(reply.find("TWIN"), std::string::npos) << request;
        EXPECT_EQ(header(reply, "Content-Type"), "text/plain; charset=utf-8") << request;
    }
    EXPECT_TRUE(trace.contains("globe: refused")) << "refusals are logged";
}

TEST_F(GlobeServing, MissingCesiumIsSaidOnThePageAndTheLog) {
    setFolders(root / "page", root / "no-cesium-here");
    const std::string reply = get("/globe/cesium/Cesium.js");
    EXPECT_EQ(reply.substr(0, 24), "HTTP/1.1 404 Not Found\r\n");
    EXPECT_NE(
        body(reply).find("CesiumJS is not installed in '" + (root / "no-cesium-here").string()),
        std::string::npos)
        << reply;
    EXPECT_NE(body(reply).find("NIVRA_CESIUM_DIR"), std::string::npos);
    // The page itself is still there to show it.
    EXPECT_EQ(get("/globe/").substr(0, 17), "HTTP/1.1 200 OK\r\n");
}

TEST_F(GlobeServing, LiveDataLeavesGoogleEarthsNewPointFlagsAlone) {
    track(bravo);
    addPoint(alpha, 48.10, 11.50);
    addPoint(bravo, 48.20, 11.60);
    const std::string reply = get("/vehicles.json?s=1:Alpha%40h1");
    EXPECT_EQ(reply.substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(header(reply, "Content-Type"), "application/json");
    EXPECT_EQ(header(reply, "Cache-Control"), "no-store");
    EXPECT_NE(body(reply).find("\"tracked\":\"Bravo@h2\""), std::string::npos) << reply;
    EXPECT_NE(body(reply).find("\"key\":\"Charlie@h3\""), std::string::npos) << reply;
    EXPECT_EQ(alpha->track.m_newPt, 1) << "the page's poll is not Google Earth's";
    EXPECT_EQ(bravo->track.m_newPt, 1);

    // Google Earth's next poll still sees the new points and gets the KML.
    std::string kml;
    ASSERT_TRUE(splitFullReply(poll(), kml));
    EXPECT_EQ(kml, expectedDocument());

    // Paths that only look like the globe's are still the network link's.
    for (const char* other : {"/vehicles.jsonx", "/globex", "/vehicles.json/x"})
        EXPECT_EQ(poll(other).find("HTTP/1.1 404"), std::string::npos) << other;
}

TEST_F(GlobeServing, AFifoOrADeviceIsANotFoundAtOnce) {
    ASSERT_EQ(::mkfifo((root / "page/feed.js").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((root / "cesium/pipe.js").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", root / "page/zero.js"); // resolved out of the folder
    for (const char* target : {"/globe/feed.js", "/globe/cesium/pipe.js", "/globe/zero.js"}) {
        const auto start = std::chrono::steady_clock::now();
        const std::string reply = get(target);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(reply.substr(0, 24), "HTTP/1.1 404 Not Found\r\n") << target;
        // Opening a FIFO without a writer would wait for one forever.
        EXPECT_LT(took, std::chrono::seconds(5)) << target;
    }
    // The listener was never held: Google Earth's next poll is answered.
    track(bravo);
    addPoint(bravo, 48.2, 11.6);
    std::string kml;
    EXPECT_TRUE(splitFullReply(poll(), kml));
}

TEST_F(GlobeServing, HeadGetsTheHeadersAndOtherMethodsA405) {
    const std::string full = get("/globe/globe.js");
    struct Case {
        std::string method;
        std::string target;
        std::string status;
    };
    const Case cases[] = {
        {"HEAD", "/globe/globe.js", "HTTP/1.1 200 OK\r\n"},
        {"HEAD", "/vehicles.json", "HTTP/1.1 200 OK\r\n"},
        {"HEAD", "/globe/missing.js", "HTTP/1.1 404 Not Found\r\n"},
        {"POST", "/globe/globe.js", "HTTP/1.1 405 Method Not Allowed\r\n"},
        {"OPTIONS", "/globe/", "HTTP/1.1 405 Method Not Allowed\r\n"},
        {"PUT", "/vehicles.json", "HTTP/1.1 405 Method Not Allowed\r\n"},
        {"DELETE", "/globe/cesium/Cesium.js", "HTTP/1.1 405 Method Not Allowed\r\n"},
    };
    for (const Case& c : cases) {
        const std::string reply = roundTrip(port, c.method + " " + c.target + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(reply.substr(0, c.status.size()), c.status) << c.method << " " << c.target;
        EXPECT_EQ(reply.find("<kml"), std::string::npos) << "never the network link's document";
        if (c.method == "HEAD") {
            EXPECT_TRUE(reply.ends_with("\r\n\r\n")) << "no body: " << reply;
            EXPECT_NE(header(reply, "Content-Length"), "0") << "the length a GET would get";
        } else {
            EXPECT_EQ(header(reply, "Allow"), "GET, HEAD") << c.method;
        }
    }
    EXPECT_EQ(roundTrip(port, "HEAD /globe/globe.js HTTP/1.1\r\n\r\n"),
              full.substr(0, full.find("\r\n\r\n") + 4));
}

TEST_F(GlobeServing, AChangedFileIsReadAgain) {
    EXPECT_EQ(body(get("/globe/globe.js")), "console.log('globe');");
    EXPECT_EQ(body(get("/globe/globe.js")), "console.log('globe');");
    // Replaced (a new file under the name) and rewritten in place, longer.
    writeText(root / "page/globe.tmp", "console.log('two');");
    fs::rename(root / "page/globe.tmp", root / "page/globe.js");
    EXPECT_EQ(body(get("/globe/globe.js")), "console.log('two');");
    writeText(root / "page/globe.js", "console.log('three, longer');");
    EXPECT_EQ(body(get("/globe/globe.js")), "console.log('three, longer');");
    fs::remove(root / "page/globe.js");
    EXPECT_EQ(get("/globe/globe.js").substr(0, 24), "HTTP/1.1 404 Not Found\r\n");
}

TEST_F(GlobeServing, AnInstalledProgramTakesTheFilesInstalledBesideIt) {
    // An installed tree: bin/nivra, share/nivra/globe with the page; CesiumJS
    // present or not.
    const fs::path prefix = root / "prefix";
    writeText(prefix / "bin/nivra", "");
    writeText(prefix / "share/nivra/globe/index.html", "<!DOCTYPE html>");
    writeText(prefix / "share/nivra/cesium/Cesium.js", "var Cesium={};");
    const fs::path bare = root / "bare";
    writeText(bare / "bin/nivra", "");
    const std::string installedPage = (prefix / "bin/../share/nivra/globe").string();
    const std::string installedCesium = (prefix / "bin/../share/nivra/cesium").string();
    struct Row {
        const char* what;
        std::string executable;
        bool environment; // NIVRA_GLOBE_DIR and NIVRA_CESIUM_DIR set
        std::string page;
        std::string cesium;
    };
    const std::string envPage = (root / "env-page").string();
    const std::string envCesium = (root / "env-cesium").string();
    const Row rows[] = {
        {"installed", (prefix / "bin/nivra").string(), false, installedPage, installedCesium},
        {"installed, folders named", (prefix / "bin/nivra").string(), true, envPage, envCesium},
        {"no page beside it", (bare / "bin/nivra").string(), false, NIVRA_SOURCE_DIR "/web/globe",
         ""},
        {"no folder at all", "nivra", false, NIVRA_SOURCE_DIR "/web/globe", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ::unsetenv("NIVRA_GLOBE_DIR");
        ::unsetenv("NIVRA_CESIUM_DIR");
        if (r.environment)
            setFolders(envPage, envCesium);
        const GlobeFolders folders = globeFolders(r.executable);
        EXPECT_EQ(fs::path(folders.page).lexically_normal(), fs::path(r.page).lexically_normal());
        if (!r.cesium.empty()) {
            EXPECT_EQ(fs::path(folders.cesium).lexically_normal(),
                      fs::path(r.cesium).lexically_normal());
        }
        EXPECT_EQ(folders.cesiumFromEnvironment, r.environment);
    }
}

TEST_F(GlobeServing, MissingCesiumNamesTheOneFixThatSuitsHowTheFolderWasChosen) {
    struct Row {
        const char* what;
        GlobeFolders folders;
        bool missing;
        // The fix: the variable when the folder was named by it, else the
        // build's own way (which never asks for the variable).
        bool fixIsTheVariable;
    };
    fs::create_directories(root / "folder-cesium/Cesium.js");
    const std::string here = (root / "cesium").string();
    const std::string gone = (root / "gone").string();
    const std::string folderOnly = (root / "folder-cesium").string();
    const Row rows[] = {
        {"present", GlobeFolders{"", here, false}, false, false},
        {"present, named", GlobeFolders{"", here, true}, false, false},
        {"missing, named", GlobeFolders{"", gone, true}, true, true},
        {"missing where the build put it", GlobeFolders{"", gone, false}, true, false},
        {"a Cesium.js that is a folder", GlobeFolders{"", folderOnly, false}, true, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string said = cesiumMissing(r.folders);
        if (!r.missing) {
            EXPECT_EQ(said, "");
            continue;
        }
        const std::string head = "CesiumJS is not installed in '" + r.folders.cesium + "': ";
        ASSERT_EQ(said.substr(0, head.size()), head) << said;
        const std::string fix = said.substr(head.size());
        if (r.fixIsTheVariable) {
            EXPECT_EQ(fix, "set NIVRA_CESIUM_DIR to the Build/Cesium folder of the cesium npm "
                           "package");
        } else {
            EXPECT_FALSE(fix.empty());
            EXPECT_EQ(fix.find("NIVRA_CESIUM_DIR"), std::string::npos) << fix;
        }
    }
}
