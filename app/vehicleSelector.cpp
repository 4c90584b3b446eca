#include "app/vehicleSelector.h"

#include "remote/client.h"

#include <cctype>

namespace {

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

std::string withoutMark(std::string text) {
    if (!text.empty() && (text.back() == '*' || text.back() == '!'))
        text.pop_back();
    return text;
}

} // namespace

void CVehicleSelector::fill(const CClients& clients) {
    if (m_dropped)
        return;
    const std::string remembered = readKey(clients);
    m_entries.clear();
    m_current = -1;
    CClient* local = clients.localVehicle();
    if (local)
        m_entries.push_back(local->uName);
    for (CClient* v : clients.vehicles()) {
        if (v == local)
            continue;
        m_entries.push_back(v->name + (v->online ? "*" : "!"));
    }
    selectKey(remembered, clients);
}

std::string CVehicleSelector::currentText() const {
    if (m_current < 0 || m_current >= static_cast<int>(m_entries.size()))
        return std::string();
    return m_entries[m_current];
}

std::string CVehicleSelector::readKey(const CClients& clients) const {
    std::string text = currentText();
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        text.clear();
    } else {
        const size_t last = text.find_last_not_of(" \t");
        text = text.substr(first, last - first + 1);
    }
    if (text.size() > kMaxKeyText)
        text.resize(kMaxKeyText);
    if (!text.empty() && (text.back() == '*' || text.back() == '!'))
        text.pop_back();
    if (text.find('@', 1) == std::string::npos) {
        CClient* local = clients.localVehicle();
        text += "@";
        text += local ? local->host : std::string("localhost");
    }
    return text;
}

bool CVehicleSelector::lists(const std::string& entry) const {
    const std::string wanted = withoutMark(entry);
    for (const std::string& e : m_entries) {
        const std::string shown = withoutMark(e);
        if (shown.size() == wanted.size() && startsWithNoCase(shown, wanted))
            return true;
    }
    return false;
}

int CVehicleSelector::findPrefix(const std::string& prefix) const {
    const int n = static_cast<int>(m_entries.size());
    for (int step = 1; step <= n; ++step) {
        const int i = step % n;
        if (startsWithNoCase(m_entries[i], prefix))
            return i;
    }
    return -1;
}

int CVehicleSelector::selectKey(const std::string& key, const CClients& clients) {
    int found = findPrefix(key + "*");
    if (found < 0)
        found = findPrefix(key + "!");
    if (found < 0) {
        CClient* local = clients.localVehicle();
        found = findPrefix(local ? local->uName : std::string());
    }
    if (found < 0 && !m_entries.empty())
        found = 0;
    m_current = found;
    return found;
}

void CVehicleSelector::pick(int index) {
    if (index >= 0 && index < static_cast<int>(m_entries.size()))
        m_current = index;
}
