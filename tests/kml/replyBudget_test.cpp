// The network link's byte budget: which points go when the vehicles' KML
// would not fit, and that nothing changes while it does.
#include "earth/replyBudget.h"

#include "kmlTestUtil.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace kmltest;

namespace {

class Budget : public ::testing::Test {
protected:
    struct Unit {
        CClient* v;
        BudgetRank rank;
    };

    void SetUp() override {
        // Three devices, a peer and the selected vehicle, each a track of its
        // own length and place, so that every point's text is its own.
        add("Dev@a", BudgetRank::device, 2000, 10);
        add("Dev@b", BudgetRank::device, 600, 20);
        add("Dev@c", BudgetRank::device, 40, 30);
        add("Peer@x", BudgetRank::other, 900, 40);
        add("Sel@me", BudgetRank::selected, 1200, 50);
    }

    void add(const std::string& key, BudgetRank rank, int points, double lat) {
        CClient* v = list.add(key);
        v->remoteType = rank == BudgetRank::device ? remoteDevice : remotePeer;
        v->maxPts = 30000;
        v->speedTrack = 1;
        v->timestamps = 1;
        for (int i = 0; i < points; ++i)
            drive(*v, fixAt(kUtc0 - points + i, lat + i * 1e-4, 8 + i * 1e-4, 100, 20 + i % 30,
                            i % 360));
        units.push_back({v, rank});
    }

    std::vector<BudgetItem> items() const {
        std::vector<BudgetItem> out;
        for (const Unit& u : units)
            out.push_back({u.v, u.rank});
        return out;
    }

    // Each vehicle as the network link draws it, followed by a line feed.
    BudgetDraw draw() {
        return [this](CClient& v, int pointLimit, std::string& out) {
            std::string part;
            vehicleKml(v, part, kmlLink, pointLimit, opt);
            out += part;
            out += '\n';
            return true;
        };
    }

    std::string whole() {
        std::string out;
        for (const Unit& u : units)
            draw()(*u.v, kKmlAllPoints, out);
        return out;
    }

    static bool holdsPoint(const std::string& kml, CClient& v, int index) {
        return kml.find(v.track.point(index)->coords) != std::string::npos;
    }
    // The newest point a document still holds of the vehicle: the index of the
    // oldest point drawn, -1 when none is.
    static int oldestDrawn(const std::string& kml, CClient& v) {
        int oldest = -1;
        for (int i = 1; i < v.track.pointCount(); ++i) // index 0 is the placemark's too
            if (holdsPoint(kml, v, i))
                oldest = i;
        return oldest;
    }

    StartDir dir;
    CClients list{"budget-test"};
    std::vector<Unit> units;
    KmlOptions opt = statuteOptions();
};

} // namespace

TEST_F(Budget, ADocumentWithinTheBudgetIsExactlyTheWholeDocument) {
    const std::string expected = whole();
    for (size_t room : {expected.size() * 10, expected.size()}) {
        ReplyBudget budget;
        std::string out = "head\n";
        const BudgetOutcome o = budget.append(out, items(), room, draw());
        EXPECT_EQ(out, "head\n" + expected) << room;
        EXPECT_EQ(o.vehiclesCut, 0u);
        EXPECT_EQ(o.pointsLeftOut, 0);
        EXPECT_FALSE(o.overBudget);
    }
}

TEST_F(Budget, TheOldestPointsOfDevicesGoFirstThenOthersThenTheSelected) {
    const std::string full = whole();
    CClient* devA = units[0].v;
    CClient* devB = units[1].v;
    CClient* devC = units[2].v;
    CClient* peer = units[3].v;
    CClient* sel = units[4].v;
    std::string noDevices;
    for (const Unit& u : units)
        draw()(*u.v, u.rank == BudgetRank::device ? 0 : kKmlAllPoints, noDevices);
    struct Case {
        const char* what;
        size_t room;
        bool devicesCut, peerCut, selectedCut;
    };
    const Case cases[] = {
        {"a little over", full.size() * 9 / 10, true, false, false},
        {"devices gone, the peer cut", noDevices.size() * 9 / 10, true, true, false},
        {"only the selected vehicle's newest points", noDevices.size() / 4, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A new budget and one that drew the same document before (it starts
        // from what the parts cost then) give documents of the same kind.
        ReplyBudget budget;
        for (int pass = 0; pass < 2; ++pass) {
            std::string out;
            const BudgetOutcome o = budget.append(out, items(), c.room, draw());
            EXPECT_LE(out.size(), c.room) << "pass " << pass;
            EXPECT_FALSE(o.overBudget);
            EXPECT_GT(o.pointsLeftOut, 0);
            // Every vehicle keeps its place; what goes is its oldest points.
            for (const Unit& u : units) {
                EXPECT_NE(out.find(u.v->name), std::string::npos) << u.v->name;
                const int oldest = oldestDrawn(out, *u.v);
                for (int i = 1; i <= oldest; ++i)
                    ASSERT_TRUE(holdsPoint(out, *u.v, i))
                        << u.v->name << " lost point " << i << " but kept " << oldest;
            }
            const int last = devA->track.pointCount() - 1;
            EXPECT_EQ(holdsPoint(out, *devA, last), !c.devicesCut);
            EXPECT_EQ(holdsPoint(out, *peer, peer->track.pointCount() - 1), !c.peerCut);
            EXPECT_EQ(holdsPoint(out, *sel, sel->track.pointCount() - 1), !c.selectedCut);
            if (c.devicesCut && !c.peerCut) {
                // The devices keep the same number of newest points, or all
                // they have: the short track of Dev@c is cut last.
                const int keptA = oldestDrawn(out, *devA);
                const int keptB = oldestDrawn(out, *devB);
                if (keptA >= 0 && keptB >= 0 && keptB < devB->track.pointCount() - 1) {
                    EXPECT_NEAR(keptA, keptB, 1);
                }
                if (keptA >= devC->track.pointCount()) {
                    EXPECT_EQ(oldestDrawn(out, *devC), devC->track.pointCount() - 1);
                }
            }
        }
    }
}

TEST_F(Budget, TooSmallForEvenThePlacemarksSaysSo) {
    ReplyBudget budget;
    std::string out;
    const BudgetOutcome o = budget.append(out, items(), 2000, draw());
    EXPECT_TRUE(o.overBudget);
    for (const Unit& u : units) {
        EXPECT_NE(out.find(u.v->name), std::string::npos) << "every vehicle is still shown";
        EXPECT_EQ(oldestDrawn(out, *u.v), -1) << "without its track";
    }
}

TEST_F(Budget, HiddenVehiclesCostNothing) {
    // Hidden ones would need cutting if they counted.
    for (int i = 0; i < 3; ++i)
        units[i].v->visible = 0;
    std::string shown;
    for (const Unit& u : units) {
        if (u.v->visible)
            draw()(*u.v, kKmlAllPoints, shown);
    }
    ReplyBudget budget;
    std::string out;
    const BudgetOutcome o =
        budget.append(out, items(), shown.size(), [&](CClient& v, int pointLimit, std::string& p) {
            return v.visible && draw()(v, pointLimit, p);
        });
    EXPECT_EQ(out, shown);
    EXPECT_EQ(o.vehiclesCut, 0u);
}
