#include "app/shareCommands.h"

#include "history/gpkg.h"
#include "net/shareStore.h"
#include "platform/atomicFile.h"
#include "platform/sha256.h"

#include <ctime>
#include <ostream>

namespace {

constexpr int64_t kDay = 86400;

bool validVehicleKey(const std::string& key) {
    if (key.empty() || key.size() > kMaxShareVehicleKey)
        return false;
    for (char ch : key)
        if (static_cast<unsigned char>(ch) < ' ' || ch == 0x7f)
            return false;
    return true;
}

bool load(const std::string& path, std::vector<ShareLink>& links, std::ostream& err) {
    std::string why;
    if (loadShareFile(path, links, why))
        return true;
    err << "nivra: the share links file " << path << " is damaged (" << why
        << "); it is left as it is: mend or remove it\n";
    return false;
}

// Two commands that change the file at once take turns.
bool lock(const FileLock& held, std::ostream& err) {
    if (held.locked())
        return true;
    err << "nivra: " << held.error() << "; the share links were not changed\n";
    return false;
}

bool save(const std::string& path, const std::vector<ShareLink>& links, std::ostream& err) {
    std::string why;
    if (saveShareFile(path, links, why))
        return true;
    err << "nivra: cannot write " << path << ": " << why << "\n";
    return false;
}

int create(const std::vector<std::string>& args, const std::string& path,
           const std::string& linkBase, bool linkLocalOnly, int64_t now, std::ostream& out,
           std::ostream& err) {
    ShareLink link;
    link.created = now;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if ((a == "--vehicle" || a == "--until") && i + 1 >= args.size()) {
            err << "nivra: " << a << " needs a value\n";
            return 2;
        }
        if (a == "--vehicle") {
            const std::string& key = args[++i];
            if (!validVehicleKey(key)) {
                err << "nivra: --vehicle needs a vehicle's key (1 to " << kMaxShareVehicleKey
                    << " characters, no control characters)\n";
                return 2;
            }
            if (link.grant.keys.size() >= kMaxShareVehicles) {
                err << "nivra: at most " << kMaxShareVehicles << " vehicles in one share link\n";
                return 2;
            }
            link.grant.all = false;
            if (!link.grant.allows(key))
                link.grant.keys.push_back(key);
        } else if (a == "--until") {
            if (!parseShareUntil(args[++i], link.until)) {
                err << "nivra: --until takes a date (YYYY-MM-DD, to the end of that day in UTC), "
                       "a date and time (YYYY-MM-DDTHH:MM[:SS], UTC) or seconds since 1970, "
                       "not \""
                    << args[i] << "\"\n";
                return 2;
            }
            if (link.until <= now) {
                err << "nivra: --until " << args[i] << " is not in the future\n";
                return 2;
            }
        } else {
            err << "nivra: unknown option \"" << a << "\" for --share create\n";
            return 2;
        }
    }
    const FileLock held(path);
    std::vector<ShareLink> links;
    if (!lock(held, err) || !load(path, links, err))
        return 1;
    if (links.size() >= kMaxShares) {
        err << "nivra: there are " << links.size() << " share links already; revoke some first\n";
        return 1;
    }
    std::string token;
    if (!newShareSecret(links, token, link.id)) {
        err << "nivra: the system's random source failed; no share link made\n";
        return 1;
    }
    link.tokenHash = sha256Hex(token);
    links.push_back(link);
    if (!save(path, links, err))
        return 1;
    out << "Share link " << link.id << " for "
        << (link.grant.all ? std::string("all vehicles")
                           : "vehicles " + shareVehiclesText(link.grant))
        << (link.until ? ", until " + shareTimeText(link.until) : std::string(", no end")) << ":\n"
        << "  browser:      " << linkBase << "/globe/?key=" << token << "\n"
        << "  Google Earth: " << linkBase << "/?key=" << token << "\n"
        << "The key is shown this once; only its hash is kept. Revoke it with: nivra --share "
           "revoke "
        << link.id << "\n";
    if (linkLocalOnly)
        out << "Note: the network-link port listens on this machine only; set LinkBindAddress "
               "(or --bind) to an address that others reach.\n";
    return 0;
}

int list(const std::string& path, int64_t now, std::ostream& out, std::ostream& err) {
    std::vector<ShareLink> links;
    if (!load(path, links, err))
        return 1;
    if (links.empty()) {
        out << "No share links.\n";
        return 0;
    }
    out << "ID        CREATED               UNTIL                 VEHICLES\n";
    for (const ShareLink& l : links) {
        std::string until = l.until ? shareTimeText(l.until) : "-";
        if (l.expired(now))
            until += " (ended)";
        until.resize(std::max<size_t>(until.size(), 21), ' ');
        out << l.id << "  " << shareTimeText(l.created) << "  " << until << " "
            << shareVehiclesText(l.grant) << "\n";
    }
    return 0;
}

int revoke(const std::vector<std::string>& args, const std::string& path, std::ostream& out,
           std::ostream& err) {
    if (args.size() != 2) {
        err << "nivra: --share revoke takes one id (see nivra --share list)\n";
        return 2;
    }
    const std::string& id = args[1];
    if (!isShareIdShape(id)) {
        err << "nivra: \"" << id << "\" is not a share link's id (8 characters 0-9, a-f)\n";
        return 2;
    }
    const FileLock held(path);
    std::vector<ShareLink> links;
    if (!lock(held, err) || !load(path, links, err))
        return 1;
    const size_t before = links.size();
    std::erase_if(links, [&](const ShareLink& l) { return l.id == id; });
    if (links.size() == before) {
        err << "nivra: no share link has the id " << id << "\n";
        return 1;
    }
    if (!save(path, links, err))
        return 1;
    out << "Share link " << id << " revoked.\n";
    return 0;
}

} // namespace

std::string shareVehiclesText(const VehicleGrant& grant) {
    if (grant.all)
        return "all";
    std::string out;
    for (const std::string& k : grant.keys)
        out += (out.empty() ? "" : ", ") + k;
    return out;
}

std::string shareTimeText(int64_t utc) {
    const time_t t = static_cast<time_t>(utc);
    std::tm tm{};
    if (!gmtime_r(&t, &tm))
        return std::to_string(utc);
    char text[40];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &tm);
    return text;
}

bool parseShareUntil(const std::string& text, int64_t& until) {
    const std::optional<int64_t> t = parseUserTime(text);
    if (!t || *t <= 0)
        return false;
    const bool dateOnly = text.size() == 10 && text[4] == '-' && text[7] == '-';
    until = dateOnly ? *t + kDay : *t;
    return true;
}

int shareCommand(const std::vector<std::string>& args, const std::string& sharesPath,
                 const std::string& linkBase, bool linkLocalOnly, int64_t now, std::ostream& out,
                 std::ostream& err) {
    const std::string what = args.empty() ? std::string() : args[0];
    if (what == "create")
        return create(args, sharesPath, linkBase, linkLocalOnly, now, out, err);
    if (what == "list") {
        if (args.size() != 1) {
            err << "nivra: --share list takes nothing more\n";
            return 2;
        }
        return list(sharesPath, now, out, err);
    }
    if (what == "revoke")
        return revoke(args, sharesPath, out, err);
    err << "nivra: --share takes create, list or revoke"
        << (what.empty() ? std::string() : ", not \"" + what + "\"") << "\n";
    return 2;
}
