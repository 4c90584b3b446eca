// The options dialog's share links: the list of links made (never their
// keys: only hashes are kept), making one for every vehicle or the shown one,
// optionally until a date, and revoking one. It works on the same shares file
// and through the same steps as `nivra --share` (app/shareCommands.h), so the
// dialog and the command line say and store the same things; the running
// tracker reads the file again within a second.
#pragma once

#include "net/shareStore.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class COptionsDlg;

// Where a link made here points: "http://HOST:PORT" of the network-link port,
// and whether that port listens on this machine only (a link then cannot be
// opened elsewhere yet, which the maker is told).
struct ShareTarget {
    std::string linkBase;
    bool localOnly = true;
};
ShareTarget shareTarget(const COptionsDlg& settings, int linkPort);

class CShareLinksPage {
public:
    // `sharesPath` is the shares file; `target` and `now` (UTC seconds) are
    // asked each time a link is made.
    CShareLinksPage(std::string sharesPath, std::function<ShareTarget()> target,
                    std::function<int64_t()> now);

    // Reads the file again; false (and problem() says why) when it is damaged
    // or cannot be read: the list is then empty.
    bool reload();
    const std::vector<ShareLink>& links() const { return m_links; }
    const std::string& problem() const { return m_problem; }
    // One line per link: "ID  until DATE|no end  VEHICLES", "(ended)" when past.
    std::vector<std::string> rows() const;

    // Makes a link for `vehicles` (empty: all) until `untilDate` (YYYY-MM-DD,
    // to the end of that day in UTC; empty: no end). True when made; `text` is
    // then the links to hand out (shown this once), else why nothing was made.
    bool create(const std::vector<std::string>& vehicles, const std::string& untilDate,
                std::string& text);
    // Revokes the link `id`; `text` says what was done or why not.
    bool revoke(const std::string& id, std::string& text);

private:
    std::string m_path;
    std::function<ShareTarget()> m_target;
    std::function<int64_t()> m_now;
    std::vector<ShareLink> m_links;
    std::string m_problem;
};
