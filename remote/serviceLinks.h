// One pass of each tracking-service exchange. The update threads of the
// vehicle list call them every 2 seconds; each checks its own enable setting
// and keeps to the period the user set. They live in remote/gpsgate.cpp,
// remote/mologogo.cpp and remote/mapfactor.cpp.
#pragma once

class CClients;

// The GpsGate server: buddies' positions in, the local track out.
void gpsgateUpdate(CClients& clients);
// Mologogo accounts' positions (when the mapFactor setting is off).
void moloUpdate(CClients& clients);
// MapFactor accounts' histories (when the mapFactor setting is on).
void mapFactorUpdate(CClients& clients);
