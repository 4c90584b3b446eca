// The real program, headless, following a buddy of each tracking service:
// stand-in GpsGate, Mologogo and MapFactor servers on loopback move their
// users on at every request, and each buddy's moving position shows in the
// network-link reply that Google Earth reads.
#include "nivraProcess.h"
#include "remote/gpsgateText.h"
#include "services/serviceLinks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <sys/wait.h>
#include <thread>

using namespace itest;

namespace {

constexpr int kLinkPort = 51233;
const char* const kRootGet = "GET / HTTP/1.1\r\nHost: nivra\r\n\r\n";

// Asks the network-link port until the reply holds `wanted`.
bool linkShows(const std::string& address, const std::string& wanted, std::string& reply,
               int ms = 60000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        reply = exchange(address, kLinkPort, kRootGet);
        if (reply.find(wanted) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return false;
}

std::string dword(int v) {
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", v);
    return text;
}

std::string vehicleKey(int n, const std::string& user, const std::string& host, int type) {
    return "[Software\\Nivra\\servers" + std::to_string(n) + "]\r\n\"name\"=\"" + user + "@" +
           host + "\"\r\n\"uName\"=\"" + user + "\"\r\n\"host\"=\"" + host +
           "\"\r\n\"remoteType\"=" + dword(type) + "\r\n\r\n";
}

// The settings of a run: all three servers, each link every 2 s.
std::string registry(int mapFactor, const StandIn& gpsgate, const StandIn& mologogo,
                     const StandIn& mapfactor) {
    return "Windows Registry Editor Version 5.00\r\n\r\n[Software\\Nivra]\r\n"
           "\"DemoMode\"=" +
           dword(0) + "\r\n\"gpsgEnable\"=" + dword(1) + "\r\n\"gpsgFreq\"=" + dword(1) +
           "\r\n\"gpsgServerName\"=\"" + gpsgate.address() +
           "\"\r\n\"gpsgName\"=\"me\"\r\n\"gpsgPass\"=\"pw1\"\r\n\"moloEnable\"=" + dword(1) +
           "\r\n\"moloFreq\"=" + dword(1) +
           "\r\n\"moloName\"=\"me\"\r\n\"moloPass\"=\"pw\"\r\n"
           "\"MologogoServer\"=\"" +
           mologogo.address() + "\"\r\n\"MapFactorServer\"=\"" + mapfactor.address() +
           "\"\r\n\"TlsVerify\"=" + dword(0) + "\r\n\"mapFactor\"=" + dword(mapFactor) +
           "\r\n\r\n" + vehicleKey(0, "Me", "localhost", 0) +
           vehicleKey(1, "ann", "gpsgate.com", 4) +
           (mapFactor ? vehicleKey(2, "dev1", "mapfactor.com", 3)
                      : vehicleKey(2, "bob", "mologogo.com/public", 3));
}

class ServicesEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_certs = std::make_unique<TempDir>();
        s_certsMade =
            makeServerCertificate(s_certs->file("server.pem"), s_certs->file("server.key"));
    }
    static void TearDownTestSuite() { s_certs.reset(); }

    ServicesEndToEnd()
        : gpsgate("gpsgate", gpsgateConfig()),
          mologogo("mologogo", R"({"account": "me", "password": "pw",
                      "moving": {"bob": {"lat": 40.0, "lon": 3.0, "step": 0.001}}})"),
          mapfactor("mapfactor",
                    R"({"account": "me", "password": "pw",
                        "moving": {"dev1": {"lat": 5.0, "lon": 1.0, "step": 0.001}}})",
                    {s_certs->file("server.pem"), s_certs->file("server.key")}) {}

    // The stand-in checks the password as GpsGate sees it: scrambled.
    static std::string gpsgateConfig() {
        return R"({"account": "me", "password": ")" + scramblePassword("pw1") +
               R"(", "buddies": [{"name": "ann", "lat": 51.5, "lon": 7.5, "step": 0.01}]})";
    }

    // Starts the program with `mapFactor`, waits until `moving` (the texts of
    // a vehicle's first and third positions) show in turn, and stops it.
    void followAll(int mapFactorOn,
                   const std::vector<std::pair<std::string, std::string>>& moving) {
        TempDir dir;
        writeFile(dir.file("registry.reg"), registry(mapFactorOn, gpsgate, mologogo, mapfactor));
        const std::string address = uniqueLoopbackAddress();
        NivraProcess nivra(dir.path(), address, {});
        ASSERT_TRUE(nivra.waitForPort(kLinkPort)) << nivra.out();
        for (const auto& [first, later] : moving) {
            std::string reply;
            EXPECT_TRUE(linkShows(address, first, reply)) << first << "\n" << reply.substr(0, 3000);
            EXPECT_TRUE(linkShows(address, later, reply)) << later << "\n" << reply.substr(0, 3000);
        }
        int status = 0;
        EXPECT_GE(nivra.terminate(status, 10000), 0);
    }

    static inline std::unique_ptr<TempDir> s_certs;
    static inline bool s_certsMade = false;
    StandIn gpsgate;
    StandIn mologogo;
    StandIn mapfactor;
};

} // namespace

TEST_F(ServicesEndToEnd, GpsGateAndMologogoBuddiesMoveInTheNetworkLink) {
    ASSERT_GT(gpsgate.port(), 0);
    ASSERT_GT(mologogo.port(), 0);
    // Positions as the track's coordinates text shows them: "lon,lat".
    followAll(0,
              {{"7.50000,51.50000", "7.50000,51.52000"}, {"3.00000,40.00000", "3.00000,40.00200"}});
    EXPECT_FALSE(gpsgate.requestsWith("$FRRDT,_buddies,1").empty());
    EXPECT_FALSE(mologogo.requestsWith("GET /waypoints/public/bob").empty());
    EXPECT_TRUE(mapfactor.requests().empty()); // the mapFactor setting is off
}

TEST_F(ServicesEndToEnd, MapFactorDeviceMovesInTheNetworkLink) {
    ASSERT_TRUE(s_certsMade);
    ASSERT_GT(mapfactor.port(), 0);
    followAll(1,
              {{"1.00000,5.00000", "1.00000,5.00200"}, {"7.50000,51.50000", "7.50000,51.52000"}});
    EXPECT_FALSE(mapfactor.requestsWith("vtu=dev1").empty());
    EXPECT_TRUE(mologogo.requests().empty()); // MapFactor replaces Mologogo
}
