// `nivra --add-phone NAME [--kind KIND]`: makes a phone vehicle with a fresh
// device key in the stored vehicle list and prints what to type into the
// phone (the URLs and a QR code of the one its app takes). The key is shown
// this once; only its hash is stored.
#pragma once

#include "phones/phoneSetup.h"

#include <iosfwd>
#include <string>

class RegistryStore;
class COptionsDlg;
class CClients;

// The host a phone on the network reaches this machine at: PhoneBindAddress
// when set to one address, else this machine's first IPv4 address that is
// not loopback, else 127.0.0.1.
std::string phoneUrlHost(const COptionsDlg& o);
// The host others reach a listener bound to `bound` at: that address when it
// is one, else this machine's first IPv4 address that is not loopback, else
// 127.0.0.1.
std::string reachableHost(const std::string& bound);

// Adds the phone to `clients` (loaded from `reg`) and saves the list.
// Returns the process exit status: 0 done, 1 refused or not saved (said on
// `err`).
int addPhone(RegistryStore& reg, COptionsDlg& options, CClients& clients, const std::string& name,
             PhoneKind kind, std::ostream& out, std::ostream& err);
// The whole command on the program's own settings file.
int addPhoneCommand(const std::string& name, const std::string& kind, std::ostream& out,
                    std::ostream& err);
