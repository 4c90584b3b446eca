// The vehicle selector: entries, reading a key back, selecting a key.
#include "app/vehicleSelector.h"
#include "remote/client.h"

#include <gtest/gtest.h>

namespace {

// A list of its own: the local vehicle "Me@localhost" and three others.
struct SelectorList {
    CClients clients{"selectortest"};
    SelectorList() {
        clients.add("Me", "localhost");
        clients.designateLocal();
        clients.add("bob", "peer.example.org")->online = 1;
        clients.add("SANAV GC101", "123456789012345")->online = 0;
        clients.add("zed", "gone.example.org")->online = 1;
        clients.remove("zed@gone.example.org");
    }
};

} // namespace

TEST(VehicleSelector, LocalVehicleFirstWithoutSuffixThenKeysMarkedOnlineOrNot) {
    SelectorList list;
    CVehicleSelector sel;
    sel.fill(list.clients);
    // The removed vehicle is not listed; the others follow the list's key order.
    EXPECT_EQ(sel.entries(), (std::vector<std::string>{"Me", "SANAV GC101@123456789012345!",
                                                       "bob@peer.example.org*"}));
    // An empty selector reads "@localhost", which selects the local entry.
    EXPECT_EQ(sel.current(), 0);
    EXPECT_EQ(sel.readKey(list.clients), "Me@localhost");
}

TEST(VehicleSelector, ReadingTrimsCutsAndDropsOneSuffix) {
    SelectorList list;
    CVehicleSelector sel;
    sel.fill(list.clients);
    sel.pick(2);
    EXPECT_EQ(sel.readKey(list.clients), "bob@peer.example.org");
    sel.pick(1);
    EXPECT_EQ(sel.readKey(list.clients), "SANAV GC101@123456789012345");
    // Out-of-range picks change nothing.
    sel.pick(7);
    sel.pick(-1);
    EXPECT_EQ(sel.current(), 1);
}

TEST(VehicleSelector, SelectPrefersOnlineThenOfflineThenLocal) {
    SelectorList list;
    CVehicleSelector sel;
    sel.fill(list.clients);
    EXPECT_EQ(sel.selectKey("bob@peer.example.org", list.clients), 2);
    // Case is ignored, as the list's own search does.
    EXPECT_EQ(sel.selectKey("SANAV gc101@123456789012345", list.clients), 1);
    // A key that matches no entry selects the local vehicle.
    EXPECT_EQ(sel.selectKey("nobody@nowhere", list.clients), 0);
    EXPECT_EQ(sel.selectKey("zed@gone.example.org", list.clients), 0);
}

TEST(VehicleSelector, PrefixSearchNeedsTheSuffixRightAfterTheKey) {
    CClients clients{"selectortest2"};
    clients.add("Me", "localhost");
    clients.designateLocal();
    // Two vehicles whose keys both begin with "a@h".
    clients.add("a", "h")->online = 0;
    clients.add("a", "h2")->online = 1;
    CVehicleSelector sel;
    sel.fill(clients);
    ASSERT_EQ(sel.entries(), (std::vector<std::string>{"Me", "a@h!", "a@h2*"}));
    // "a@h" + "*" is not a prefix of "a@h!"; it is not one of "a@h2*" either.
    EXPECT_EQ(sel.selectKey("a@h", clients), 1);
    EXPECT_EQ(sel.selectKey("a@h2", clients), 2);
}

TEST(VehicleSelector, FillKeepsTheSelectionAndLeavesAnOpenListAlone) {
    SelectorList list;
    CVehicleSelector sel;
    sel.fill(list.clients);
    sel.pick(2);
    list.clients.add("carol", "c.example.org")->online = 1; // sorts before the others
    sel.fill(list.clients);
    EXPECT_EQ(sel.readKey(list.clients), "bob@peer.example.org");

    sel.setDropped(true);
    list.clients.add("dave", "d.example.org")->online = 1;
    const std::vector<std::string> before = sel.entries();
    sel.fill(list.clients);
    EXPECT_EQ(sel.entries(), before);
    sel.setDropped(false);
    sel.fill(list.clients);
    EXPECT_EQ(sel.entries().size(), before.size() + 1);
    EXPECT_EQ(sel.readKey(list.clients), "bob@peer.example.org");
}

TEST(VehicleSelector, DemoStandInIsListedAsLocalAndReadsWithItsHost) {
    SelectorList list;
    CClient* demo = list.clients.add("Me(demo)", "demo5");
    demo->online = 1;
    list.clients.setLocalVehicle(demo);
    list.clients.remove("Me@localhost"); // hidden while the demo runs
    CVehicleSelector sel;
    sel.fill(list.clients);
    ASSERT_FALSE(sel.entries().empty());
    EXPECT_EQ(sel.entries()[0], "Me(demo)");
    // The demo's pending entry has no "*" entry of its own: the local one is chosen.
    EXPECT_EQ(sel.selectKey("Me(demo)*", list.clients), 0);
    EXPECT_EQ(sel.readKey(list.clients), "Me(demo)@demo5");
}

TEST(VehicleSelector, LongEntryIsCutBeforeTheSuffixIsLookedAt) {
    CClients clients{"selectortest3"};
    clients.add("Me", "localhost");
    clients.designateLocal();
    clients.add("u", std::string(300, 'h'))->online = 1;
    CVehicleSelector sel;
    sel.fill(clients);
    sel.pick(1);
    // 255 characters of "u@hhh...": the "*" went with the rest.
    EXPECT_EQ(sel.readKey(clients), "u@" + std::string(253, 'h'));
}
