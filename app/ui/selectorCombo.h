// The vehicle selector's drop-down list. It tells its owner when the list
// opens and closes, because the timer must not refill an open list.
#pragma once

#include <QComboBox>

#include <functional>
#include <string>
#include <vector>

class CSelectorCombo : public QComboBox {
public:
    explicit CSelectorCombo(QWidget* parent = nullptr);

    void setDroppedHandler(std::function<void(bool dropped)> handler) {
        m_onDropped = std::move(handler);
    }
    bool dropped() const { return m_dropped; }

    // Shows `entries` with entry `current` selected (-1: none). The items are
    // only rebuilt when they changed, and never while the list is open.
    void showEntries(const std::vector<std::string>& entries, int current);

    void showPopup() override;
    void hidePopup() override;

private:
    std::function<void(bool)> m_onDropped;
    bool m_dropped = false;
};
