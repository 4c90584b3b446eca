#include "app/shareLinksPage.h"

#include "app/OptionsDlg.h"
#include "app/addPhone.h"
#include "app/shareCommands.h"

#include <sstream>

ShareTarget shareTarget(const COptionsDlg& settings, int linkPort) {
    const std::string bound = linkListenAddress(settings);
    ShareTarget t;
    t.linkBase = "http://" + reachableHost(bound) + ":" + std::to_string(linkPort);
    t.localOnly = bound.rfind("127.", 0) == 0;
    return t;
}

CShareLinksPage::CShareLinksPage(std::string sharesPath, std::function<ShareTarget()> target,
                                 std::function<int64_t()> now)
    : m_path(std::move(sharesPath)), m_target(std::move(target)), m_now(std::move(now)) {}

bool CShareLinksPage::reload() {
    m_problem.clear();
    if (loadShareFile(m_path, m_links, m_problem))
        return true;
    m_links.clear();
    m_problem =
        "The share links file " + m_path + " is damaged (" + m_problem + "); mend or remove it.";
    return false;
}

std::vector<std::string> CShareLinksPage::rows() const {
    const int64_t now = m_now();
    std::vector<std::string> out;
    for (const ShareLink& l : m_links) {
        std::string row = l.id + "  ";
        row += l.until ? "until " + shareTimeText(l.until) : std::string("no end");
        if (l.expired(now))
            row += " (ended)";
        row += "  ";
        row += l.grant.all ? std::string("all vehicles") : shareVehiclesText(l.grant);
        out.push_back(row);
    }
    return out;
}

namespace {

// One of `nivra --share`'s commands; its output, or its complaint without
// the program's name, goes to `text`.
bool runShare(const std::vector<std::string>& args, const std::string& path,
              const ShareTarget& target, int64_t now, std::string& text) {
    std::ostringstream out, err;
    const int status = shareCommand(args, path, target.linkBase, target.localOnly, now, out, err);
    text = status == 0 ? out.str() : err.str();
    if (text.rfind("nivra: ", 0) == 0)
        text.erase(0, 7);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return status == 0;
}

} // namespace

bool CShareLinksPage::create(const std::vector<std::string>& vehicles, const std::string& untilDate,
                             std::string& text) {
    std::vector<std::string> args{"create"};
    for (const std::string& key : vehicles) {
        args.push_back("--vehicle");
        args.push_back(key);
    }
    if (!untilDate.empty()) {
        args.push_back("--until");
        args.push_back(untilDate);
    }
    const bool made = runShare(args, m_path, m_target(), m_now(), text);
    reload();
    return made;
}

bool CShareLinksPage::revoke(const std::string& id, std::string& text) {
    const bool done = runShare({"revoke", id}, m_path, ShareTarget{}, m_now(), text);
    reload();
    return done;
}
