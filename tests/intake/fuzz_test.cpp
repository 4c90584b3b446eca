// Random and mutated tracker posts through the tracker port's handler. Run
// under the sanitizer build, any read or write outside a line shows up here.
#include "track/intake.h"
#include "track/nmea.h"

#include "earth/n2k.h"
#include "remote/client.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

std::string fpiSeed() {
    std::string f = std::string("$$\0\0", 4) + "\x13\x61\x23\x45\x67\x8f\xff\x99\x55" +
                    "035644.000,A,2232.6083,N,11404.8137,E,0.00,,010809,,*1C|11.5|194|0000" +
                    "\xa5\x3c\r\n";
    f[3] = char(f.size());
    return f;
}

const std::vector<std::string>& seeds() {
    static const std::vector<std::string> s = {
        "imei=352024020000000&rmc=$GPRMC,053740.000,A,2503.6319,N,12136.0099,E,2.69,79.65,100106,,"
        ",A*53,AUTO\r\n",
        "$AVRMC,80000551,144049,A,4351.3853,N,07923.5408,W,0.00,0.00,010907,0,0,0*3D\r\n",
        fpiSeed(),
        "Truck 7@unit42:$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230324,003.1,W*61\r\n",
        "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230324,003.1,W*61\r\n",
        "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n",
    };
    return s;
}

// Flips, inserts, deletes and duplicates bytes of a seed.
std::string mutate(std::string s, std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(0, 255);
    int edits = 1 + int(rng() % 8);
    for (int i = 0; i < edits; ++i) {
        size_t at = s.empty() ? 0 : rng() % s.size();
        switch (rng() % 5) {
        case 0:
            if (!s.empty())
                s[at] = char(byte(rng));
            break;
        case 1:
            s.insert(s.begin() + long(at), char(byte(rng)));
            break;
        case 2:
            if (!s.empty())
                s.erase(at, 1 + rng() % 16);
            break;
        case 3:
            s.insert(at, s.substr(at, rng() % 64));
            break;
        default:
            s.insert(at, 1, "$@:&,*\n="[rng() % 8]);
            break;
        }
    }
    return s;
}

} // namespace

TEST(IntakeFuzz, RandomAndMutatedPostsNeverBreakTheHandler) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    int decoded = 0;
    for (int batch = 0; batch < 40; ++batch) {
        // A fresh list per batch keeps the tracks that mutated messages create
        // from piling up.
        CClients list("fuzz");
        Cn2k engine(list);
        engine.m_local = list.add("Me", "localhost");
        for (int i = 0; i < 250; ++i) {
            std::string post;
            if (i % 3 == 0) {
                post.resize(rng() % 400);
                for (char& c : post)
                    c = char(byte(rng));
            } else {
                post = mutate(seeds()[rng() % seeds().size()], rng);
            }
            // Straight through the decoder: what it gives back is always usable.
            TrackerMessage m;
            if (decodeTrackerLine(post, m)) {
                ++decoded;
                EXPECT_FALSE(m.model.empty());
                EXPECT_FALSE(m.identifier.empty());
                EXPECT_LE(m.model.size(), kDeviceTextMax);
                EXPECT_LE(m.identifier.size(), kDeviceTextMax);
                EXPECT_TRUE(hasNmeaTalker(m.sentence)) << m.sentence;
            }
            // And as the listener hands it over: followed by a 0 byte, writable.
            std::vector<char> buffer(post.begin(), post.end());
            buffer.push_back('\0');
            ServerReply reply;
            ASSERT_EQ(Cn2k::processTrackerDataFunc(std::span<char>(buffer.data(), post.size()),
                                                   "127.0.0.1", reply, &engine),
                      0);
            ASSERT_TRUE(reply.owned.empty());
        }
        for (CClient* v : list.vehicles())
            EXPECT_LE(v->lastLine.size(), kLastLineMax);
    }
    EXPECT_GT(decoded, 100) << "the mutations should keep many posts decodable";
}
