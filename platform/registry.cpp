#include "platform/registry.h"

#include "platform/atomicFile.h"

#include "platform/numeric.h"
#include "platform/paths.h"
#include "trace/notice.h"
#include "trace/trace.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace {

constexpr const char* kRegHeader = "Windows Registry Editor Version 5.00";
constexpr const char* kRegHeader4 = "REGEDIT4";
// Windows exports carry the root; we accept it and write paths without it.
constexpr const char* kUserRoot = "HKEY_CURRENT_USER\\";

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

bool startsWithNoCase(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && equalNoCase(s.substr(0, prefix.size()), prefix);
}

bool hasControlChar(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f)
            return true;
    return false;
}

// A key path is one or more non-empty names joined by '\'.
bool validKeyPath(const std::string& path) {
    if (path.empty() || path.front() == '\\' || path.back() == '\\' || hasControlChar(path))
        return false;
    return path.find("\\\\") == std::string::npos;
}

// --- .reg text ------------------------------------------------------------

// Quoted text as regedit writes it ("\\" and "\""); control bytes, which the
// line-based format cannot hold, are written as \xHH.
void appendQuoted(std::string& out, const std::string& s) {
    out += '"';
    for (unsigned char c : s) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

// Reads a quoted text starting at line[pos] == '"'; pos ends after the quote.
bool readQuoted(const std::string& line, size_t& pos, std::string& out) {
    if (pos >= line.size() || line[pos] != '"')
        return false;
    ++pos;
    out.clear();
    while (pos < line.size()) {
        char c = line[pos++];
        if (c == '"')
            return true;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (pos >= line.size())
            return false;
        char e = line[pos++];
        if (e == '\\' || e == '"') {
            out += e;
        } else if (e == 'x' && pos + 1 < line.size() && hexDigit(line[pos]) >= 0 &&
                   hexDigit(line[pos + 1]) >= 0) {
            out += static_cast<char>(hexDigit(line[pos]) * 16 + hexDigit(line[pos + 1]));
            pos += 2;
        } else {
            return false;
        }
    }
    return false; // no closing quote
}

bool onlySpaceFrom(const std::string& line, size_t pos) {
    for (; pos < line.size(); ++pos)
        if (line[pos] != ' ' && line[pos] != '\t')
            return false;
    return true;
}

// "dword:" followed by 1 to 8 hex digits.
bool readDword(const std::string& text, uint32_t& out) {
    size_t end = text.size();
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t'))
        --end;
    if (end <= 6 || end - 6 > 8)
        return false;
    uint32_t v = 0;
    for (size_t i = 6; i < end; ++i) {
        int d = hexDigit(text[i]);
        if (d < 0)
            return false;
        v = v * 16 + static_cast<uint32_t>(d);
    }
    out = v;
    return true;
}

// --- the file ---------------------------------------------------------------

void report(const std::string& message) {
    noticeUser("RegistryStore::load", message);
}

// Reads a whole regular file. Returns 0, or the errno of the failure (ENOENT when
// there is no file; EINVAL when the path is not a regular file).
int readWholeFile(const std::string& path, std::string& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat st {};
    int err = ::fstat(fd, &st) != 0 ? errno : 0;
    if (err == 0 && !S_ISREG(st.st_mode))
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (err != 0) {
        ::close(fd);
        return err;
    }
    out.clear();
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            err = errno;
            ::close(fd);
            return err;
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return 0;
}

// Creates the missing directories above `file` (private to the user).
int makeParentDirs(const std::string& file) {
    size_t slash = file.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return 0;
    std::string dir = file.substr(0, slash);
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (errno != ENOENT)
        return errno;
    int err = makeParentDirs(dir);
    if (err != 0)
        return err;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

int writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Replaces `target` with `data`: a private temp file beside it, flushed to the
// disk, then renamed over it, so a reader (or a crash) sees the old file or the
// new one, never a mix.
int replaceFile(const std::string& target, const std::string& data) {
    int err = makeParentDirs(target);
    if (err != 0)
        return err;
    // Named after this process, so that a later start can remove it should
    // the process die before the rename.
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = tempNameBeside(target);
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return errno;
    err = ::fchmod(fd, 0600) != 0 ? errno : 0;
    if (err == 0)
        err = writeAll(fd, data);
    if (err == 0 && ::fsync(fd) != 0)
        err = errno;
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && ::rename(tmp.c_str(), target.c_str()) != 0)
        err = errno;
    if (err != 0) {
        ::unlink(tmp.c_str());
        return err;
    }
    // Make the rename itself durable.
    std::string dir = target.find('/') == std::string::npos
                          ? std::string(".")
                          : target.substr(0, std::max<size_t>(target.rfind('/'), 1));
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return 0;
}

} // namespace

bool RegNameLess::operator()(const std::string& a, const std::string& b) const {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char ca = static_cast<unsigned char>(lowerAscii(a[i]));
        unsigned char cb = static_cast<unsigned char>(lowerAscii(b[i]));
        if (ca != cb)
            return ca < cb;
    }
    return a.size() < b.size();
}

const RegValue* RegKeyData::find(const std::string& name) const {
    for (const auto& [n, v] : values)
        if (equalNoCase(n, name))
            return &v;
    return nullptr;
}

void RegKeyData::set(const std::string& name, RegValue value) {
    for (auto& [n, v] : values) {
        if (equalNoCase(n, name)) {
            v = std::move(value);
            return;
        }
    }
    values.emplace_back(name, std::move(value));
}

bool RegKey::queryString(const std::string& name, std::string& out, size_t maxBytes) const {
    const RegValue* v = m_data.find(name);
    if (!v || v->type != RegType::sz || maxBytes == 0)
        return false;
    out = v->text.size() < maxBytes ? v->text : v->text.substr(0, maxBytes - 1);
    return true;
}

bool RegKey::queryDword(const std::string& name, uint32_t& out) const {
    const RegValue* v = m_data.find(name);
    if (!v || v->type != RegType::dword)
        return false;
    out = v->dword;
    return true;
}

std::string formatRegFile(const RegTree& tree) {
    std::string out = kRegHeader;
    out += "\n";
    for (const auto& [key, data] : tree) {
        out += "\n[" + data.path + "]\n";
        for (const auto& [name, v] : data.values) {
            if (name.empty())
                out += "@";
            else
                appendQuoted(out, name);
            out += '=';
            if (v.type == RegType::sz) {
                appendQuoted(out, v.text);
            } else {
                char hex[16];
                std::snprintf(hex, sizeof hex, "dword:%08x", v.dword);
                out += hex;
            }
            out += '\n';
        }
    }
    return out;
}

bool parseRegFile(const std::string& text, RegTree& tree, int& errorLine, std::string& reason) {
    tree.clear();
    errorLine = 0;
    size_t pos = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        pos = 3;
    bool haveHeader = false;
    RegKeyData* current = nullptr;
    // Value names per key, folded to lower case, with their place in the key:
    // a file with very many values in one key still reads in linear time.
    std::unordered_map<const RegKeyData*, std::unordered_map<std::string, size_t>> index;
    int lineNo = 0;
    auto fail = [&](const char* why) {
        errorLine = lineNo;
        reason = why;
        tree.clear();
        return false;
    };
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (onlySpaceFrom(line, 0) || line[0] == ';')
            continue;
        if (!haveHeader) {
            if (line != kRegHeader && line != kRegHeader4)
                return fail("not a registry file");
            haveHeader = true;
            continue;
        }
        if (line[0] == '[') {
            size_t close = line.rfind(']');
            if (close == std::string::npos || !onlySpaceFrom(line, close + 1))
                return fail("unterminated key name");
            std::string path = line.substr(1, close - 1);
            if (startsWithNoCase(path, kUserRoot))
                path = path.substr(std::strlen(kUserRoot));
            if (!validKeyPath(path) || path[0] == '-')
                return fail("bad key name");
            auto it = tree.find(path);
            if (it == tree.end())
                it = tree.emplace(path, RegKeyData{path, {}}).first;
            current = &it->second;
            continue;
        }
        if (!current)
            return fail("value outside a key");
        std::string name;
        size_t p = 0;
        if (line[0] == '@') {
            p = 1;
        } else if (!readQuoted(line, p, name)) {
            return fail("bad value name");
        }
        if (p >= line.size() || line[p] != '=')
            return fail("missing '='");
        ++p;
        RegValue value;
        if (p < line.size() && line[p] == '"') {
            if (!readQuoted(line, p, value.text) || !onlySpaceFrom(line, p))
                return fail("bad text value");
            value.type = RegType::sz;
        } else if (line.compare(p, 6, "dword:") == 0) {
            if (!readDword(line.substr(p), value.dword))
                return fail("bad dword value");
            value.type = RegType::dword;
        } else {
            return fail("unsupported value type");
        }
        std::string folded = name;
        for (char& c : folded)
            c = lowerAscii(c);
        auto [slot, fresh] = index[current].emplace(std::move(folded), current->values.size());
        if (fresh)
            current->values.emplace_back(name, std::move(value));
        else
            current->values[slot->second].second = std::move(value);
    }
    if (!haveHeader && lineNo > 0)
        return fail("not a registry file");
    return true;
}

uint32_t scaledDword(double value, double scale) {
    return static_cast<uint32_t>(truncInt32(value * scale));
}

// --- the store --------------------------------------------------------------

RegistryStore::RegistryStore(std::string path) : m_path(std::move(path)) {}

std::string RegistryStore::path() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path;
}

void RegistryStore::reopen(const std::string& path) {
    std::lock_guard<std::mutex> writer(m_writer);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_path = path;
    m_loaded = false;
    m_error = 0;
    m_tree.clear();
}

void RegistryStore::ensureLoaded() const {
    if (m_loaded)
        return;
    m_loaded = true;
    m_error = 0;
    m_tree.clear();
    std::string text;
    int err = readWholeFile(m_path, text);
    if (err == ENOENT || err == ENOTDIR)
        return; // first start: nothing stored yet
    if (err == EINVAL || err == EISDIR) {
        // A device, a pipe (NIVRA_REGISTRY=/dev/null) or a folder named by
        // mistake: never move it, never replace it.
        m_error = err;
        report("registry " + m_path + " is not a regular file; settings will not be saved");
        return;
    }
    std::string why;
    int line = 0;
    if (err == 0) {
        if (parseRegFile(text, m_tree, line, why))
            return;
        why = "line " + std::to_string(line) + ": " + why;
    } else {
        why = std::strerror(err);
    }
    // Through a link, the file it names is moved aside and the link stays.
    const std::string target = resolveLinkTarget(m_path);
    std::string bad;
    int moved = moveAside(target, bad);
    if (moved == 0) {
        report("registry file " + m_path + " is unreadable (" + why + "); moved aside to " + bad +
               ", starting with defaults");
    } else {
        m_error = moved;
        report("registry file " + m_path + " is unreadable (" + why + ") and cannot be moved (" +
               std::strerror(m_error) + "); starting with defaults, settings will not be saved");
    }
}

std::optional<RegKey> RegistryStore::openKey(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    ensureLoaded();
    auto it = m_tree.find(path);
    if (it == m_tree.end())
        return std::nullopt;
    return RegKey(it->second);
}

int RegistryStore::error() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    ensureLoaded();
    return m_error;
}

RegTree RegistryStore::snapshot() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    ensureLoaded();
    return m_tree;
}

RegTransaction::RegTransaction(RegistryStore& store) : m_store(store), m_writeLock(store.m_writer) {
    std::lock_guard<std::mutex> lock(store.m_mutex);
    store.ensureLoaded();
    m_error = store.m_error;
    m_tree = store.m_tree;
}

int RegTransaction::createKey(const std::string& path) {
    if (!validKeyPath(path))
        return EINVAL;
    size_t from = 0;
    for (;;) {
        size_t sep = path.find('\\', from);
        std::string prefix = path.substr(0, sep);
        if (m_tree.find(prefix) == m_tree.end())
            m_tree.emplace(prefix, RegKeyData{prefix, {}});
        if (sep == std::string::npos)
            return 0;
        from = sep + 1;
    }
}

int RegTransaction::deleteTree(const std::string& path) {
    auto it = m_tree.find(path);
    if (it == m_tree.end())
        return ENOENT;
    m_tree.erase(it);
    std::string below = path + "\\";
    auto sub = m_tree.lower_bound(below);
    while (sub != m_tree.end() && startsWithNoCase(sub->first, below))
        sub = m_tree.erase(sub);
    return 0;
}

int RegTransaction::setValue(const std::string& key, const std::string& name, RegValue value) {
    auto it = m_tree.find(key);
    if (it == m_tree.end())
        return ENOENT;
    if (hasControlChar(name))
        return EINVAL;
    it->second.set(name, std::move(value));
    return 0;
}

int RegTransaction::setString(const std::string& key, const std::string& name,
                              const std::string& value) {
    RegValue v;
    v.type = RegType::sz;
    v.text = value.substr(0, value.find('\0'));
    return setValue(key, name, std::move(v));
}

int RegTransaction::setDword(const std::string& key, const std::string& name, uint32_t value) {
    RegValue v;
    v.type = RegType::dword;
    v.dword = value;
    return setValue(key, name, std::move(v));
}

int RegTransaction::commit() {
    if (m_error != 0)
        return m_error;
    std::string target = resolveLinkTarget(m_store.path());
    {
        // Nothing changed (a periodic save of an idle list): the file already
        // says all of it, and a disk that is full or slow is not touched.
        std::lock_guard<std::mutex> lock(m_store.m_mutex);
        if (m_tree == m_store.m_tree && ::access(target.c_str(), F_OK) == 0)
            return 0;
    }
    int err = replaceFile(target, formatRegFile(m_tree));
    if (err != 0)
        return err;
    std::lock_guard<std::mutex> lock(m_store.m_mutex);
    m_store.m_tree = m_tree;
    return 0;
}

bool openProgramKey(RegTransaction& tx, const char* caller) {
    if (tx.error() != 0 || tx.createKey(kSoftwareKey) != 0) {
        NTRACE_AS(caller, "No HKLM/Software key???");
        return false;
    }
    int err = tx.createKey(kNivraKey);
    if (err != 0) {
        NTRACE_AS(caller, "Can't create key - error %d", err);
        return false;
    }
    return true;
}

std::string defaultRegistryPath() {
    const char* env = std::getenv("NIVRA_REGISTRY");
    if (env && *env)
        return env;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        return std::string(xdg) + "/nivra/registry.reg";
    const char* home = std::getenv("HOME");
    std::string dir = home && *home ? home : "";
    if (dir.empty()) {
        struct passwd* pw = ::getpwuid(::getuid());
        if (pw && pw->pw_dir)
            dir = pw->pw_dir;
    }
    if (dir.empty())
        return FullPath("registry.reg");
    return dir + "/.config/nivra/registry.reg";
}
