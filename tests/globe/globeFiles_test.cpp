// Which request paths name a file of the globe's folders, how they decode,
// and the content types the files go out with.
#include "earth/globe.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

struct PathCase {
    std::string path;
    bool served;
    bool cesium = false;
    std::string relative = "";
};

} // namespace

TEST(GlobeFile, MapsOnlyPathsThatStayInsideTheirFolder) {
    std::string seventeen = "/globe";
    for (int i = 0; i < 17; ++i)
        seventeen += "/a";
    std::string sixteen = "/globe";
    for (int i = 0; i < 16; ++i)
        sixteen += "/a";
    const PathCase cases[] = {
        {"/globe", true, false, "index.html"},
        {"/globe/", true, false, "index.html"},
        {"/globe/globe.js", true, false, "globe.js"},
        {"/globe/cesium/Cesium.js", true, true, "Cesium.js"},
        {"/globe/cesium/Widgets/widgets.css", true, true, "Widgets/widgets.css"},
        {"/globe/cesium/Assets/Textures/NaturalEarthII/0/0/0.jpg", true, true,
         "Assets/Textures/NaturalEarthII/0/0/0.jpg"},
        {"/globe/with%20space.js", true, false, "with space.js"},
        {"/globe/cesium", true, false, "cesium"}, // a page file of that name, not the folder
        {"/globe/%252e%252e/x", true, false, "%2e%2e/x"}, // decoded once only
        {sixteen, true, false, sixteen.substr(7)},
        {seventeen, false},
        {"/globe/../../etc/passwd", false},
        {"/globe/..", false},
        {"/globe/./globe.js", false},
        {"/globe/a/../globe.js", false},
        {"/globe/%2e%2e/%2e%2e/etc/passwd", false},
        {"/globe/%2E%2E%2F%2E%2E%2Fetc%2Fpasswd", false},
        {"/globe/..%2f..%2fetc%2fpasswd", false},
        {"/globe/cesium/../../../etc/passwd", false},
        {"/globe/cesium/%2e%2e/x", false},
        {"/globe/..%5c..%5cetc%5cpasswd", false},
        {"/globe/a\\b", false},
        {"/globe/index.html%00.png", false},
        {"/globe/a%0ab", false},
        {"/globe/a%7fb", false},
        {"/globe/%", false},
        {"/globe/%2", false},
        {"/globe/%g0", false},
        {"/globe/.hidden", false},
        {"/globe/cesium/.git/config", false},
        {"/globe//etc/passwd", false},
        {"/globe/a/", false},
        {"/globe/cesium/", false},
        {"/globefoo", false},
        {"/glob", false},
        {"/NivraServers", false},
        {"/globe/" + std::string(kGlobeMaxPath, 'a'), false},
    };
    for (const PathCase& c : cases) {
        const std::optional<GlobeFile> file = globeFile(c.path);
        ASSERT_EQ(file.has_value(), c.served) << c.path;
        if (!file)
            continue;
        EXPECT_EQ(file->cesium, c.cesium) << c.path;
        EXPECT_EQ(file->relative, c.relative) << c.path;
    }
}

TEST(GlobeFile, PercentDecodingRefusesBadEscapesAndControlBytes) {
    struct Case {
        std::string in;
        bool ok;
        std::string out;
    } cases[] = {
        {"", true, ""},
        {"plain", true, "plain"},
        {"a%20b", true, "a b"},
        {"%41%62%2F", true, "Ab/"},
        {"%c3%a9", true, "\xc3\xa9"},
        {"100%", false, ""},
        {"%4", false, ""},
        {"%zz", false, ""},
        {"%00", false, ""},
        {"%1f", false, ""},
        {"%7F", false, ""},
        {std::string("a\x01", 2), false, ""},
        {std::string("a\0b", 3), false, ""},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(percentDecode(c.in, out), c.ok) << c.in;
        if (c.ok) {
            EXPECT_EQ(out, c.out) << c.in;
        }
    }
}

TEST(GlobeFile, ContentTypeFollowsTheExtension) {
    const std::pair<std::string, std::string> cases[] = {
        {"index.html", "text/html; charset=utf-8"},
        {"globe.js", "text/javascript; charset=utf-8"},
        {"Workers/x.MJS", "text/javascript; charset=utf-8"},
        {"Widgets/widgets.css", "text/css; charset=utf-8"},
        {"Assets/approximateTerrainHeights.json", "application/json"},
        {"Assets/Textures/NaturalEarthII/0/0/0.jpg", "image/jpeg"},
        {"Assets/Images/x.PNG", "image/png"},
        {"Widgets/Images/x.svg", "image/svg+xml"},
        {"Assets/Textures/NaturalEarthII/tilemapresource.xml", "application/xml"},
        {"ThirdParty/draco_decoder.wasm", "application/wasm"},
        {"Assets/x.ktx2", "image/ktx2"},
        {"model.glb", "model/gltf-binary"},
        {"LICENSE", "application/octet-stream"},
        {"dir.js/file", "application/octet-stream"},
        {"archive.tar.gz", "application/octet-stream"},
    };
    for (const auto& [path, type] : cases)
        EXPECT_EQ(globeContentType(path), type) << path;
}

TEST(GlobeFile, AddressesShowLoopbackForAnyAddress) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "http://127.0.0.1:51233/globe"},
        {"0.0.0.0", "http://127.0.0.1:51233/globe"},
        {"127.0.0.1", "http://127.0.0.1:51233/globe"},
        {"192.168.1.5", "http://192.168.1.5:51233/globe"},
    };
    for (const auto& [address, url] : cases)
        EXPECT_EQ(globeAddress(address, 51233), url) << address;
    EXPECT_EQ(listenerUrl("10.0.0.2", 80), "http://10.0.0.2:80");
}
