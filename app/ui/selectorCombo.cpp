#include "app/ui/selectorCombo.h"

#include <QSignalBlocker>

CSelectorCombo::CSelectorCombo(QWidget* parent) : QComboBox(parent) {
    setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    setMinimumContentsLength(10);
}

void CSelectorCombo::showEntries(const std::vector<std::string>& entries, int current) {
    if (m_dropped)
        return;
    const QSignalBlocker quiet(this);
    bool same = count() == static_cast<int>(entries.size());
    for (int i = 0; same && i < count(); ++i)
        same = itemText(i) == QString::fromStdString(entries[static_cast<size_t>(i)]);
    if (!same) {
        clear();
        for (const std::string& e : entries)
            addItem(QString::fromStdString(e));
    }
    setCurrentIndex(current >= 0 && current < count() ? current : -1);
}

void CSelectorCombo::showPopup() {
    m_dropped = true;
    if (m_onDropped)
        m_onDropped(true);
    QComboBox::showPopup();
}

void CSelectorCombo::hidePopup() {
    QComboBox::hidePopup();
    const bool was = m_dropped;
    m_dropped = false;
    if (was && m_onDropped)
        m_onDropped(false);
}
