#include "net/shareStore.h"

#include "net/http.h"
#include "platform/atomicFile.h"
#include "platform/secrets.h"
#include "platform/sha256.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sys/stat.h>

namespace {

constexpr std::string_view kMagic = "nivra-shares 1";

bool isBase64UrlChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

bool isLowerHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool parseSeconds(std::string_view text, int64_t& out) {
    if (text.empty() || text.size() > 12)
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && out >= 0;
}

// A vehicle key in the file: every byte that is not printable ASCII, and
// '%', ',' and the blank, as %XX.
std::string encodeKey(std::string_view key) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : key) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= ' ' || c >= 0x7f || c == '%' || c == ',') {
            out += '%';
            out += kDigits[c >> 4];
            out += kDigits[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    while (true) {
        const size_t at = text.find(sep);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
        text.remove_prefix(at + 1);
    }
}

bool parseLine(std::string_view line, ShareLink& link, std::string& why) {
    const std::vector<std::string_view> f = split(line, ' ');
    if (f.size() != 5) {
        why = "5 fields expected";
        return false;
    }
    if (!isShareIdShape(f[0])) {
        why = "bad id";
        return false;
    }
    if (f[1].size() != 64 || !isLowerHex(f[1])) {
        why = "bad token hash";
        return false;
    }
    if (!parseSeconds(f[2], link.created)) {
        why = "bad creation time";
        return false;
    }
    if (f[3] == "-") {
        link.until = 0;
    } else if (!parseSeconds(f[3], link.until) || link.until == 0) {
        why = "bad end time";
        return false;
    }
    link.id = f[0];
    link.tokenHash = f[1];
    link.grant = VehicleGrant{};
    if (f[4] == "*")
        return true;
    link.grant.all = false;
    const std::vector<std::string_view> keys = split(f[4], ',');
    if (keys.size() > kMaxShareVehicles) {
        why = "more than " + std::to_string(kMaxShareVehicles) + " vehicles";
        return false;
    }
    for (std::string_view encoded : keys) {
        std::string key;
        if (encoded.empty() || !percentDecode(encoded, key) || key.empty() ||
            key.size() > kMaxShareVehicleKey) {
            why = "bad vehicle key";
            return false;
        }
        link.grant.keys.push_back(std::move(key));
    }
    return true;
}

} // namespace

bool VehicleGrant::allows(std::string_view key) const {
    return all || std::find(keys.begin(), keys.end(), key) != keys.end();
}

bool isShareTokenShape(std::string_view text) {
    return text.size() == kShareTokenChars &&
           std::all_of(text.begin(), text.end(), isBase64UrlChar);
}

bool isShareIdShape(std::string_view text) {
    return text.size() == kShareIdChars && isLowerHex(text);
}

std::string formatShareFile(const std::vector<ShareLink>& links) {
    std::string out(kMagic);
    out += '\n';
    for (const ShareLink& l : links) {
        out += l.id + ' ' + l.tokenHash + ' ' + std::to_string(l.created) + ' ' +
               (l.until ? std::to_string(l.until) : std::string("-")) + ' ';
        if (l.grant.all) {
            out += '*';
        } else {
            for (size_t i = 0; i < l.grant.keys.size(); ++i) {
                if (i)
                    out += ',';
                out += encodeKey(l.grant.keys[i]);
            }
        }
        out += '\n';
    }
    return out;
}

bool parseShareFile(std::string_view text, std::vector<ShareLink>& links, std::string& why) {
    links.clear();
    if (text.size() > kMaxShareFileBytes) {
        why = "larger than " + std::to_string(kMaxShareFileBytes) + " bytes";
        return false;
    }
    if (text.find('\0') != std::string_view::npos) {
        why = "holds a NUL byte";
        return false;
    }
    std::vector<ShareLink> read;
    size_t lineNo = 0;
    bool sawMagic = false;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!sawMagic) {
            if (line != kMagic) {
                why = "line 1: not a share file (\"" + std::string(kMagic) + "\" expected)";
                return false;
            }
            sawMagic = true;
            continue;
        }
        if (line.empty() || line.front() == '#')
            continue;
        if (read.size() >= kMaxShares) {
            why = "more than " + std::to_string(kMaxShares) + " shares";
            return false;
        }
        ShareLink link;
        std::string problem;
        if (!parseLine(line, link, problem)) {
            why = "line " + std::to_string(lineNo) + ": " + problem;
            return false;
        }
        for (const ShareLink& other : read)
            if (other.id == link.id) {
                why = "line " + std::to_string(lineNo) + ": id " + link.id + " twice";
                return false;
            }
        read.push_back(std::move(link));
    }
    if (!sawMagic) {
        why = "empty";
        return false;
    }
    links = std::move(read);
    return true;
}

bool loadShareFile(const std::string& path, std::vector<ShareLink>& links, std::string& why) {
    links.clear();
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return true;
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxShareFileBytes) {
        why = "larger than " + std::to_string(kMaxShareFileBytes) + " bytes";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = "cannot be read";
        return false;
    }
    std::string text(kMaxShareFileBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return parseShareFile(text, links, why);
}

bool saveShareFile(const std::string& path, const std::vector<ShareLink>& links, std::string& why) {
    return writeFileAtomically(path, formatShareFile(links), why);
}

bool newShareSecret(const std::vector<ShareLink>& links, std::string& token, std::string& id) {
    token = randomBase64Url(kShareTokenBytes);
    if (token.size() != kShareTokenChars)
        return false;
    for (int attempt = 0; attempt < 16; ++attempt) {
        unsigned char raw[kShareIdChars / 2];
        if (!systemRandomBytes(raw))
            return false;
        static constexpr char kDigits[] = "0123456789abcdef";
        id.clear();
        for (unsigned char b : raw) {
            id += kDigits[b >> 4];
            id += kDigits[b & 15];
        }
        if (std::none_of(links.begin(), links.end(),
                         [&](const ShareLink& l) { return l.id == id; }))
            return true;
    }
    return false;
}

const ShareLink* findShare(const std::vector<ShareLink>& links, std::string_view token,
                           int64_t now) {
    if (!isShareTokenShape(token))
        return nullptr;
    const std::string hash = sha256Hex(token);
    const ShareLink* found = nullptr;
    // Every stored hash is compared, so the time does not tell which matched.
    for (const ShareLink& l : links)
        if (equalInConstantTime(l.tokenHash, hash) && !found)
            found = &l;
    if (found && found->expired(now))
        return nullptr;
    return found;
}
