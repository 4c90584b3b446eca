// What the links to the outside tracking services read from the settings,
// handed to the vehicle list whole (CClients::setServiceSettings) and copied
// by its update threads at the start of every pass.
#pragma once

#include <cstdint>
#include <string>

// A web service account (Mologogo or MapFactor) as the settings give it.
struct WebAccountSettings {
    std::string server;    // MologogoServer or MapFactorServer: "host" or "host:port"
    std::string name;      // moloName: the program's own account
    std::string password;  // moloPass
    int32_t freq = 60;     // moloFreq, seconds between passes
    int32_t enable = 0;    // moloEnable
    bool tlsVerify = true; // TlsVerify: check the HTTPS server's certificate
};

// The GpsGate account.
struct GpsGateSettings {
    std::string server;   // gpsgServerName: "host" or "host:port"
    std::string name;     // gpsgName
    std::string password; // gpsgPass
    int32_t freq = 60;    // gpsgFreq, seconds between exchanges
    int32_t enable = 0;   // gpsgEnable
    int32_t upload = 0;   // gpsgUpdate: upload the local track
};

struct ServiceSettings {
    WebAccountSettings mologogo;
    WebAccountSettings mapFactor;
    GpsGateSettings gpsgate;
    bool useMapFactor = false; // mapFactor: the web thread follows MapFactor, not Mologogo
};
