// /history.json and /export.gpx: the query string, the paging cursor (every
// point once, in order, whatever the page size cuts), the bound on GPX
// replies, and a history that is off.
#include "historyTestUtil.h"

#include "earth/historyRequests.h"
#include "history/historyJson.h"
#include "history/historyStore.h"
#include "history/historyWriter.h"
#include "net/shareStore.h"
#include "platform/json.h"

#include <gtest/gtest.h>

namespace {

// Writes `n` points of `key`, one a second from `start`.
void fill(const std::string& path, const std::string& key, int n, int64_t start) {
    HistoryWriter w;
    std::string error;
    ASSERT_TRUE(w.open(path, error)) << error;
    std::vector<HistoryWriter::Item> items;
    for (int i = 0; i < n; ++i)
        items.push_back(
            {HistoryPoint{key, "peer", HistoryFix{start + i, 47 + i * 1e-5, 8, 400, 10, 90}},
             false});
    ASSERT_TRUE(w.write(items, false, error)) << error;
}

std::string body(const std::string& reply) {
    const size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : reply.substr(end + 4);
}

} // namespace

TEST(HistoryRequest, QueryStrings) {
    const struct {
        const char* query;
        const char* problem; // "" for none
        const char* key;
        int64_t from, to;
    } cases[] = {
        {"key=me%40localhost", "", "me@localhost", INT64_MIN, INT64_MAX},
        {"key=a&from=2009-06-14&to=1245013393&_=123", "", "a", 1244937600, 1245013393},
        {"from=2009-06-14", "key missing", "", 0, 0},
        // A share link's token in key= leaves the vehicle to vehicle=, either order.
        {"key=T0ken&vehicle=me%40localhost", "", "me@localhost", INT64_MIN, INT64_MAX},
        {"vehicle=me%40localhost&key=T0ken&to=1245013393", "", "me@localhost", INT64_MIN,
         1245013393},
        {"vehicle=", "bad value of vehicle", "", 0, 0},
        {"key=", "bad value of key", "", 0, 0},
        {"key=%zz", "bad value of key", "", 0, 0},
        {"key=a%00b", "bad value of key", "", 0, 0},
        {"key=a&from=soon", "not a time: from", "", 0, 0},
        {"key=a&from=2010-01-01&to=2009-01-01", "from is later than to", "", 0, 0},
        // A share link's token in "key=" is not the vehicle.
        {"key=me%40localhost&key=abcdefghijklmnopqrstuvwxyz-_0123456789ABCDE", "", "me@localhost",
         INT64_MIN, INT64_MAX},
        {"key=abcdefghijklmnopqrstuvwxyz-_0123456789ABCDE&key=me%40localhost", "", "me@localhost",
         INT64_MIN, INT64_MAX},
        {"key=abcdefghijklmnopqrstuvwxyz-_0123456789ABCDE", "key missing", "", 0, 0},
        {"vehicle=me%40localhost&key=abcdefghijklmnopqrstuvwxyz-_0123456789ABCDE", "",
         "me@localhost", INT64_MIN, INT64_MAX},
        {"vehicle=", "bad value of vehicle", "", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        HistoryRequest r;
        EXPECT_EQ(parseHistoryRequest(c.query, r), c.problem);
        if (!*c.problem) {
            EXPECT_EQ(r.key, c.key);
            EXPECT_EQ(r.from, c.from);
            EXPECT_EQ(r.to, c.to);
        }
    }
    HistoryRequest r;
    EXPECT_EQ(parseHistoryRequest("key=" + std::string(300, 'k'), r), "key too long");
}

TEST(HistoryRequest, PagesGiveEveryPointOnceInOrder) {
    TempDir dir;
    const std::string path = dir.file("history.gpkg");
    const int total = 2 * static_cast<int>(kHistoryPagePoints) + 123;
    fill(path, "me@localhost", total, 1245013393);
    fill(path, "other@h", 10, 1245013393);
    HistoryStore store(path);
    store.start();

    std::string from = "0";
    int64_t expected = 1245013393;
    int pages = 0;
    for (;;) {
        ASSERT_LT(++pages, 10);
        const std::string reply =
            answerHistoryRequest(kHistoryJsonPath, "key=me%40localhost&from=" + from, &store);
        ASSERT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply.substr(0, 200);
        JsonValue doc;
        JsonError error;
        JsonLimits limits;
        limits.maxBytes = 1 << 24;
        limits.maxValues = 1 << 20;
        ASSERT_TRUE(parseJson(body(reply), doc, error, limits)) << body(reply).substr(0, 200);
        const JsonValue* points = doc.member("points");
        ASSERT_TRUE(points && points->isArray());
        EXPECT_LE(points->items().size(), kHistoryPagePoints);
        for (const JsonValue& p : points->items()) {
            ASSERT_EQ(p.items().size(), 6u);
            EXPECT_EQ(static_cast<int64_t>(p.items()[0].number()), expected);
            ++expected;
        }
        const JsonValue* next = doc.member("next");
        ASSERT_TRUE(next);
        if (next->kind() == JsonValue::Kind::null)
            break;
        from = std::to_string(static_cast<int64_t>(next->number()));
    }
    EXPECT_EQ(expected, 1245013393 + total) << "every point, none twice";
    EXPECT_EQ(pages, 3);
}

TEST(HistoryRequest, GpxRepliesAreBoundedAndAHistoryOffAnswersNothing) {
    TempDir dir;
    const std::string path = dir.file("history.gpkg");
    fill(path, "big@h", static_cast<int>(kExportReplyPoints) + 1, 1000000000);
    fill(path, "small@h", 3, 1000000000);
    HistoryStore store(path);
    store.start();
    std::string reply = answerHistoryRequest(kExportGpxPath, "key=small%40h", &store);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply.substr(0, 200);
    EXPECT_NE(reply.find("application/gpx+xml"), std::string::npos);
    size_t points = 0;
    for (size_t p = 0; (p = reply.find("<trkpt ", p)) != std::string::npos; ++p)
        ++points;
    EXPECT_EQ(points, 3u);
    reply = answerHistoryRequest(kExportGpxPath, "key=big%40h", &store);
    EXPECT_EQ(reply.rfind("HTTP/1.1 413", 0), 0u) << reply.substr(0, 200);
    reply = answerHistoryRequest(kExportGpxPath, "key=big%40h&to=1000000999", &store);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply.substr(0, 200);
    reply = answerHistoryRequest(kHistoryJsonPath, "from=1", &store);
    EXPECT_EQ(reply.rfind("HTTP/1.1 400", 0), 0u) << reply.substr(0, 200);

    HistorySettings off;
    off.enabled = false;
    store.setSettings(off);
    reply = answerHistoryRequest(kExportGpxPath, "key=small%40h", &store);
    EXPECT_EQ(reply.rfind("HTTP/1.1 404", 0), 0u) << reply.substr(0, 200);
    EXPECT_EQ(answerHistoryRequest(kHistoryJsonPath, "key=a", nullptr).rfind("HTTP/1.1 404", 0),
              0u);
}

TEST(HistoryRequest, AShareLinkReadsOnlyTheVehiclesItGrants) {
    TempDir dir;
    const std::string path = dir.file("history.gpkg");
    fill(path, "small@h", 3, 1000000000);
    fill(path, "other@h", 3, 1000000000);
    HistoryStore store(path);
    store.start();
    const VehicleGrant small{false, {"small@h"}};
    const VehicleGrant all;
    const struct {
        const char* path;
        const char* query;
        const VehicleGrant* grant;
        const char* status;
    } cases[] = {
        {kHistoryJsonPath, "key=small%40h", &small, "HTTP/1.1 200"},
        {kExportGpxPath, "key=small%40h", &small, "HTTP/1.1 200"},
        {kHistoryJsonPath, "key=other%40h", &small, "HTTP/1.1 403"},
        {kExportGpxPath, "vehicle=other%40h", &small, "HTTP/1.1 403"},
        {kExportGpxPath, "key=other%40h", &all, "HTTP/1.1 200"},
        {kExportGpxPath, "key=other%40h", nullptr, "HTTP/1.1 200"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + "?" + c.query);
        const std::string reply = answerHistoryRequest(c.path, c.query, &store, c.grant);
        EXPECT_EQ(reply.rfind(c.status, 0), 0u) << reply.substr(0, 200);
        if (std::string(c.status) == "HTTP/1.1 403") {
            EXPECT_EQ(reply.find("47."), std::string::npos) << "no point of the vehicle";
        }
    }
}
