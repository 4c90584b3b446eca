// Reading the key of odd entry texts, through a list holding exactly them.
#include "app/vehicleSelector.h"
#include "remote/client.h"

#include <gtest/gtest.h>

namespace {

std::string readBack(const std::string& host, const std::string& uName, int online) {
    CClients clients{"readkeytest"};
    clients.add("Me", "localhost");
    clients.designateLocal();
    clients.add(uName, host)->online = online;
    CVehicleSelector sel;
    sel.fill(clients);
    sel.pick(1);
    return sel.readKey(clients);
}

} // namespace

TEST(VehicleSelectorKey, SpacesTabsAndOneSuffixGo) {
    EXPECT_EQ(readBack("h", " \tpadded", 1), "padded@h");
    // Only one suffix is dropped; a key that itself ends in '*' keeps it.
    EXPECT_EQ(readBack("star*", "x", 0), "x@star*");
}

TEST(VehicleSelectorKey, LongTextIsCutBeforeTheSuffixIsLookedAt) {
    const std::string host(300, 'h');
    const std::string key = readBack(host, "u", 1);
    // 255 characters of "u@hhh...": the suffix was cut away with the rest.
    EXPECT_EQ(key.size(), 255u);
    EXPECT_EQ(key.substr(0, 3), "u@h");
}

TEST(VehicleSelectorKey, TextWithoutAtAfterItsFirstCharacterGetsTheLocalHost) {
    CClients clients{"readkeytest2"};
    clients.add("Me", "localhost");
    clients.designateLocal();
    CVehicleSelector sel;
    sel.fill(clients);
    EXPECT_EQ(sel.entries(), std::vector<std::string>{"Me"});
    EXPECT_EQ(sel.readKey(clients), "Me@localhost");
    // A vehicle whose user name is empty reads "@host": the '@' is its first
    // character, so the local host is appended.
    clients.add("", "h")->online = 1;
    sel.fill(clients);
    sel.pick(1);
    EXPECT_EQ(sel.readKey(clients), "@h@localhost");
}
