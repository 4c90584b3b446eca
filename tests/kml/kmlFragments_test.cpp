// The kept folders of the network link and the kept heads of the globe's
// entries: whatever happens to the vehicles, each cache hands out exactly what
// its writer writes at that moment, and writes again only the vehicles that
// changed.
#include "earth/kmlFragments.h"
#include "earth/vehiclesJson.h"
#include "kmlTestUtil.h"

#include <memory>
#include <random>

using namespace kmltest;

namespace {

struct Fleet {
    std::vector<std::unique_ptr<CClient>> owned;
    std::vector<CClient*> list;
    CClient& add(const std::string& key) {
        owned.push_back(std::make_unique<CClient>(key));
        CClient& v = *owned.back();
        v.uName = key;
        v.host = "h" + key;
        v.remoteType = remoteDevice;
        list.push_back(&v);
        return v;
    }
};

// The document the way the network link assembles it: each vehicle's folder
// and a line feed.
std::string assemble(const std::vector<CClient*>& list, int limit, const KmlOptions& opt,
                     KmlFragmentCache* cache) {
    std::string doc = kmlDocumentHead();
    std::string part;
    for (CClient* v : list) {
        if (!v->visible)
            continue;
        if (cache)
            doc += cache->fragment(*v, limit, opt);
        else {
            vehicleKml(*v, part, kmlLink, limit, opt);
            doc += part;
        }
        doc += '\n';
    }
    doc += kmlDocumentTail();
    return doc;
}

TEST(KmlFragments, RandomChangesGiveThePlainWritersBytesAfterEveryStep) {
    StartDir dir;
    ZoneScope zone("UTC");
    std::mt19937 rng(20261209);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto chance = [&](int percent) { return pick(100) < percent; };
    const char* colors[] = {"Orange", "red", "ff00ff00", "7f123456", "x", "Blue"};
    const char* texts[] = {"", "a<b", "van 7", "Ünïcode", "&amp;"};

    for (int round = 0; round < 12; ++round) {
        Fleet fleet;
        const int count = 1 + pick(12);
        for (int i = 0; i < count; ++i)
            fleet.add("v" + std::to_string(round) + "_" + std::to_string(i));
        KmlOptions opt = statuteOptions();
        int limit = kKmlAllPoints;
        KmlFragmentCache cache;
        GlobeEntryCache heads;
        int64_t clock = kUtc0;

        for (int step = 0; step < 150; ++step) {
            CClient& v = *fleet.list[static_cast<size_t>(pick(count))];
            switch (pick(26)) {
            case 0:
            case 1:
            case 2:
            case 3:
            case 4:
            case 5:
            case 6: { // a new point
                clock += chance(10) ? 400 + pick(4000) : 1 + pick(30);
                const double lat = 48 + pick(1000) / 997.0;
                const double lon = chance(10) ? -0.0 : 11 + pick(1000) / 991.0;
                GpsFix f = fixAt(clock, lat, lon, pick(3000) - 100, pick(800) / 7.0, pick(360));
                v.track.add(f, chance(50) ? 1 : 2);
                v.setPosition(f);
                break;
            }
            case 7:
                v.track.clear();
                break;
            case 8:
                v.color = colors[pick(6)];
                break;
            case 9:
                v.uName = texts[pick(5)];
                break;
            case 10:
                v.host = texts[pick(5)];
                break;
            case 11:
                v.camRange = pick(3) == 0 ? 20000000.0 : pick(5000) * 1.5;
                break;
            case 12:
                v.speedTrack = pick(2);
                v.fly = pick(2);
                v.extrude = pick(2);
                break;
            case 13:
                v.timestamps = pick(2);
                v.trackWidth = chance(30) ? pick(40) : 0;
                break;
            case 14:
                v.showName = pick(2), v.showHost = pick(2), v.showSpeed = pick(2);
                v.showHdg = pick(2), v.showAlt = pick(2), v.showTime = pick(2);
                break;
            case 15:
                v.online = pick(2);
                break;
            case 16:
                v.maxPts = 1 + pick(40);
                break;
            case 17:
                v.useTimeSpan = pick(2);
                v.startTime = static_cast<int32_t>(kUtc0 + pick(2000));
                v.endTime = static_cast<int32_t>(v.startTime + pick(4000));
                break;
            case 18:
                v.cursorType = pick(3);
                v.imageFile = texts[pick(5)];
                v.modelFile = texts[pick(5)];
                break;
            case 19:
                v.maxSpd = pick(120);
                v.tracking = pick(2) ? kTrackFollow : 0;
                break;
            case 20:
                opt.cursorSize = 20 + pick(200);
                break;
            case 21:
                opt.metric = pick(2);
                opt.speedInKnots = pick(2);
                break;
            case 22:
                limit = chance(50) ? kKmlAllPoints : pick(30);
                break;
            case 23:
                v.visible = chance(80);
                v.isLocal = chance(15);
                break;
            case 24:
                v.battery = pick(120) - 10;
                break;
            case 25:
                v.remoteType = pick(6);
                v.isDemo = chance(20);
                break;
            }
            if (step % 50 == 49) {
                // The zone moves the time texts, and nothing of the vehicles.
                setenv("TZ", step % 100 == 49 ? "America/New_York" : "UTC", 1);
                tzset();
            }
            for (CClient* one : fleet.list) {
                std::string plain;
                vehicleKml(*one, plain, kmlLink, limit, opt);
                const std::string& kept = cache.fragment(*one, limit, opt);
                ASSERT_EQ(kept, plain)
                    << "round " << round << " step " << step << " vehicle " << one->name;
            }
            ASSERT_EQ(assemble(fleet.list, limit, opt, &cache),
                      assemble(fleet.list, limit, opt, nullptr))
                << "round " << round << " step " << step;
            const std::string details = fleet.list[0]->name;
            ASSERT_EQ(
                vehiclesJson(fleet.list, fleet.list[0], false, {}, opt, details, clock, &heads),
                vehiclesJson(fleet.list, fleet.list[0], false, {}, opt, details, clock))
                << "globe, round " << round << " step " << step;
        }
    }
}

TEST(KmlFragments, OnlyTheChangedVehicleIsWrittenAgain) {
    StartDir dir;
    ZoneScope zone("UTC");
    Fleet fleet;
    for (int i = 0; i < 5; ++i) {
        CClient& v = fleet.add("car" + std::to_string(i));
        for (int p = 0; p < 10; ++p)
            drive(v, fixAt(kUtc0 + p * 60, 48 + p * 0.001 + i, 11, 500, 20, 10));
    }
    const KmlOptions opt = statuteOptions();
    KmlFragmentCache cache;
    auto pass = [&] {
        for (CClient* v : fleet.list)
            cache.fragment(*v, kKmlAllPoints, opt);
    };
    pass();
    EXPECT_EQ(cache.written(), 5u);
    pass();
    EXPECT_EQ(cache.written(), 5u) << "unchanged vehicles were written again";

    drive(*fleet.list[2], fixAt(kUtc0 + 3600, 48.5, 11.1, 500, 20, 10));
    fleet.list[4]->color = "red";
    pass();
    EXPECT_EQ(cache.written(), 7u);

    // The local vehicle's label follows the status line: never kept.
    fleet.list[0]->isLocal = 1;
    pass();
    pass();
    EXPECT_EQ(cache.written(), 9u);

    // A removed vehicle's folder goes.
    fleet.list.pop_back();
    cache.keepOnly(fleet.list);
    EXPECT_EQ(cache.size(), 4u);

    // The globe's heads: the same, and a battery report changes one.
    GlobeEntryCache heads;
    auto globePass = [&] {
        vehiclesJson(fleet.list, fleet.list[1], false, {}, opt, {}, kUtc0, &heads);
    };
    globePass();
    globePass();
    EXPECT_EQ(heads.written(), 4u + 1u) << "the local vehicle's head is written every time";
    fleet.list[3]->battery = 57;
    globePass();
    EXPECT_EQ(heads.written(), 4u + 2u + 1u);
    fleet.list.pop_back();
    heads.keepOnly(fleet.list);
    EXPECT_EQ(heads.size(), 2u) << "the local vehicle's is never kept";
}

} // namespace
