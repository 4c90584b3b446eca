#include "app/addPhone.h"

#include "app/OptionsDlg.h"
#include "phones/phoneKey.h"
#include "phones/phoneListener.h"
#include "platform/registry.h"
#include "remote/client.h"
#include "track/outsideText.h"
#include "track/track.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <ostream>

namespace {

std::string firstNetworkAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return {};
    std::string found;
    for (ifaddrs* a = list; a && found.empty(); a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET)
            continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        if ((ntohl(in->sin_addr.s_addr) >> 24) == 127)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text))
            found = text;
    }
    freeifaddrs(list);
    return found;
}

} // namespace

std::string phoneUrlHost(const COptionsDlg& o) {
    return reachableHost(phoneListenAddress(o));
}

std::string reachableHost(const std::string& bound) {
    if (!bound.empty() && bound != "0.0.0.0")
        return bound;
    const std::string address = firstNetworkAddress();
    return address.empty() ? "127.0.0.1" : address;
}

int addPhone(RegistryStore& reg, COptionsDlg& options, CClients& clients, const std::string& name,
             PhoneKind kind, std::ostream& out, std::ostream& err) {
    const std::string id = phoneIdFromName(name);
    if (id.empty()) {
        err << "nivra: --add-phone needs a name with letters or digits, not \"" << name << "\"\n";
        return 1;
    }
    for (const CClient* c : clients.vehicles(true)) {
        if (c->host == id && (c->remoteType == remotePhone || c->remoteType == remoteDevice)) {
            err << "nivra: a vehicle with the identifier " << id
                << " exists already; choose another name\n";
            return 1;
        }
    }
    const std::string key = newPhoneKey();
    const std::string hash = key.empty() ? std::string() : hashPhoneKey(key);
    if (hash.empty()) {
        err << "nivra: no random key could be made (the system's random source failed)\n";
        return 1;
    }
    // Shown by its name; known by its identifier.
    const std::string shown = cleanText(name).substr(0, kClientTextField - 1);
    CClient* v = clients.add(shown, id);
    {
        TrackLockGuard lock;
        v->remoteType = remotePhone;
        v->phoneKey = hash;
        v->phoneSpeedUnit = phoneKindSpeedUnit(kind);
        v->visible = 1;
    }
    std::vector<std::string> failures;
    if (!clients.save(reg, false, &failures)) {
        err << "nivra: the phone was not saved:";
        for (const std::string& f : failures)
            err << " " << f;
        err << "\n";
        return 1;
    }
    const std::string host = phoneUrlHost(options);
    const int port =
        options.PhonePort > 0 && options.PhonePort <= 65535 ? options.PhonePort : kPhonePort;
    const std::string setupUrl = phoneSetupUrl(kind, host, port, key, id);
    out << "Added the phone " << id << " (" << phoneKindName(kind) << ") to " << reg.path() << ".\n"
        << "  Identifier: " << id << "\n"
        << "  Key:        " << key << "  (shown this once; only its hash is stored)\n";
    switch (kind) {
    case PhoneKind::traccar:
        out << "  Traccar Client: server URL " << setupUrl << ", device identifier " << id << "\n";
        break;
    case PhoneKind::osmand:
        out << "  OsmAnd online tracking web address:\n    " << setupUrl << "\n";
        break;
    case PhoneKind::owntracks:
        out << "  OwnTracks (mode HTTP): URL " << setupUrl << ", user " << id
            << ", password the key\n";
        break;
    }
    out << "  The phone port is " << port << " on " << host
        << "; behind a TLS proxy use its https address instead (docs/phones.md).\n"
        << "  A running Nivra keeps its own vehicle list: restart it to take the phone.\n\n";
    const auto modules = qrModules(setupUrl);
    if (modules.empty())
        out << "(the URL is too long for a QR code)\n";
    else
        out << qrTerminalText(modules);
    return 0;
}

int addPhoneCommand(const std::string& name, const std::string& kindName, std::ostream& out,
                    std::ostream& err) {
    PhoneKind kind = PhoneKind::traccar;
    if (!kindName.empty() && !phoneKindFromName(kindName, kind)) {
        err << "nivra: --kind takes traccar, osmand or owntracks, not \"" << kindName << "\"\n";
        return 2;
    }
    RegistryStore reg(defaultRegistryPath());
    if (reg.error() != 0) {
        err << "nivra: the settings file " << reg.path() << " cannot be used (error " << reg.error()
            << ")\n";
        return 1;
    }
    COptionsDlg options;
    options.load(reg);
    CClients clients("servers");
    clients.load(reg, "Me", "localhost");
    return addPhone(reg, options, clients, name, kind, out, err);
}
