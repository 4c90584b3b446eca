// The current user's registry: a small tree of keys holding text (REG_SZ) and
// 32-bit number (REG_DWORD) values, kept in one text file in the .reg export
// syntax (see docs/registry.md). Key paths are relative to the user's root and
// use '\' between names ("Software\Nivra\servers0"); key and value names compare
// without regard to ASCII case, as the Windows registry does.
//
// Readers see the last committed state. Writers gather their changes in a
// RegTransaction, which reaches the disk as one atomic replacement of the file
// (temp file, fsync, rename) when committed: a save either lands whole or
// leaves the file exactly as it was.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

enum class RegType : uint8_t { sz, dword };

struct RegValue {
    RegType type = RegType::sz;
    std::string text; // REG_SZ
    uint32_t dword = 0;
    bool operator==(const RegValue&) const = default;
};

// ASCII case-insensitive ordering of key paths.
struct RegNameLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

// One key: its values in the order they were first written.
struct RegKeyData {
    std::string path; // as first created (case kept)
    std::vector<std::pair<std::string, RegValue>> values;

    const RegValue* find(const std::string& name) const;
    void set(const std::string& name, RegValue value);
    bool operator==(const RegKeyData&) const = default;
};

// Every key by full path. A parent always sorts before its subkeys.
using RegTree = std::map<std::string, RegKeyData, RegNameLess>;

// A read-only snapshot of one key, taken when it was opened.
class RegKey {
public:
    explicit RegKey(RegKeyData data) : m_data(std::move(data)) {}
    const std::string& path() const { return m_data.path; }
    // A REG_SZ value, cut to at most maxBytes-1 bytes (the reader's buffer).
    bool queryString(const std::string& name, std::string& out, size_t maxBytes = 1024) const;
    // A REG_DWORD value.
    bool queryDword(const std::string& name, uint32_t& out) const;
    bool hasValue(const std::string& name) const { return m_data.find(name) != nullptr; }

private:
    RegKeyData m_data;
};

class RegistryStore {
public:
    // The file is read on first use, not here.
    explicit RegistryStore(std::string path);
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    std::string path() const;
    // Points the store at another file; the next use reads it.
    void reopen(const std::string& path);

    // A snapshot of an existing key, or nothing.
    std::optional<RegKey> openKey(const std::string& path) const;
    bool keyExists(const std::string& path) const { return openKey(path).has_value(); }
    // 0 when the store can be written; otherwise the error that keeps the file
    // from being replaced (a corrupt file that could not be moved aside).
    int error() const;
    // The committed tree, for tests and tools.
    RegTree snapshot() const;

private:
    friend class RegTransaction;
    void ensureLoaded() const; // m_mutex held
    int writeFile(const RegTree& tree) const;

    mutable std::mutex m_mutex; // guards everything below
    std::string m_path;
    mutable bool m_loaded = false;
    mutable int m_error = 0;
    mutable RegTree m_tree;
    std::mutex m_writer; // one transaction at a time
};

// Changes to the registry that reach the file together. Holding a transaction
// keeps other writers waiting until it is committed or dropped; a thread must
// not open a second one while it holds one. Every call returns 0 or an errno
// code.
class RegTransaction {
public:
    explicit RegTransaction(RegistryStore& store);
    ~RegTransaction() = default; // uncommitted changes are dropped
    RegTransaction(const RegTransaction&) = delete;
    RegTransaction& operator=(const RegTransaction&) = delete;

    // 0 when the store can be written at all.
    int error() const { return m_error; }
    // Creates the key and any missing parents; an existing key is opened.
    int createKey(const std::string& path);
    // Deletes the key and everything below it; ENOENT when there is no such key.
    int deleteTree(const std::string& path);
    // The key must exist (created or present). Text is cut at an embedded NUL.
    int setString(const std::string& key, const std::string& name, const std::string& value);
    int setDword(const std::string& key, const std::string& name, uint32_t value);
    // Writes the whole tree to the file and makes it the store's state. After
    // a failure the file and the store are unchanged.
    int commit();

private:
    // Stores `value` under `name` in an existing key.
    int setValue(const std::string& key, const std::string& name, RegValue value);

    RegistryStore& m_store;
    std::unique_lock<std::mutex> m_writeLock;
    RegTree m_tree;
    int m_error = 0;
};

// The program's key: the settings and, below it, the vehicle list.
constexpr const char* kSoftwareKey = "Software";
constexpr const char* kNivraKey = "Software\\Nivra";

// Opens the program's key in `tx`, creating "Software" and "Software\Nivra" as
// needed. When the store cannot be written or a key cannot be made, logs why
// under the name of the saving function `caller` ("CClients::save") and
// returns false.
bool openProgramKey(RegTransaction& tx, const char* caller);

// A double stored as a DWORD: times `scale`, truncated toward zero (clamped to
// the 32-bit signed range; NaN gives 0).
uint32_t scaledDword(double value, double scale = 10000.0);

// Where the current user's registry lives: $NIVRA_REGISTRY, else
// $XDG_CONFIG_HOME/nivra/registry.reg, else ~/.config/nivra/registry.reg.
std::string defaultRegistryPath();

// Key and text formatting of the .reg file, exposed for tests.
std::string formatRegFile(const RegTree& tree);
// Parses a .reg file. On failure returns false with the line number and reason.
bool parseRegFile(const std::string& text, RegTree& tree, int& errorLine, std::string& reason);
