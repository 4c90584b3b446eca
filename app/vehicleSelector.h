// The vehicle selector: the drop-down list of the main window (and of the
// options dialog) with one entry per shown vehicle. The local vehicle comes
// first under its user name; every other vehicle follows as its key with "*"
// when online and "!" when not. The list itself lives here; a front end only
// shows `entries()` with `current()` highlighted and forwards the user's pick.
#pragma once

#include <string>
#include <vector>

class CClients;

class CVehicleSelector {
public:
    // The longest entry text that is read back as a key.
    static constexpr size_t kMaxKeyText = 255;

    // Rebuilds the entries from the vehicle list (removed vehicles skipped)
    // and selects the key that was current before. Does nothing while the
    // list is dropped down, so an open list is never disturbed.
    void fill(const CClients& clients);

    // The key of the current entry: the text trimmed of spaces and tabs, cut
    // to 255 characters, one trailing '*' or '!' dropped, and "@" plus the
    // local vehicle's host appended when the text has no '@' after its first
    // character ("Me" reads back as "Me@localhost").
    std::string readKey(const CClients& clients) const;

    // Selects the first entry that begins with key + "*", else key + "!", else
    // the entry that begins with the local vehicle's user name. Matching is
    // case-insensitive and searches from the second entry, wrapping around to
    // the first. Returns the index selected (-1 when the list is empty).
    int selectKey(const std::string& key, const CClients& clients);

    // Whether an entry shows `entry`, ignoring case and the online mark ("*"
    // or "!") on either side: "Me(demo)*" is listed as the local "Me(demo)".
    bool lists(const std::string& entry) const;

    // The user picked an entry (out-of-range indexes are ignored).
    void pick(int index);
    void setDropped(bool dropped) { m_dropped = dropped; }
    bool dropped() const { return m_dropped; }

    const std::vector<std::string>& entries() const { return m_entries; }
    int current() const { return m_current; }
    // The text shown for the current entry (empty when nothing is selected).
    std::string currentText() const;

private:
    // The list's prefix search: first entry after index 0 (wrapping to 0)
    // whose text begins with `prefix`, ignoring case; -1 when none.
    int findPrefix(const std::string& prefix) const;

    std::vector<std::string> m_entries;
    int m_current = -1;
    bool m_dropped = false;
};
