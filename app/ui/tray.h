// The notification-area (tray) icon with its menu: a double-click shows or
// hides the window, the right button opens the menu with Open and Exit. The
// rules behind these (what hiding and exiting mean) are CtestDlg's; this
// class only shows the icon and forwards the user's actions.
#pragma once

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>

#include <functional>

class CTrayIcon {
public:
    struct Handlers {
        std::function<void()> doubleClick;
        std::function<void()> open;
        std::function<void()> exit;
    };

    CTrayIcon(const QIcon& icon, Handlers handlers);
    CTrayIcon(const CTrayIcon&) = delete;
    CTrayIcon& operator=(const CTrayIcon&) = delete;

    // Whether the desktop has a notification area at all.
    static bool desktopHasTray();

    void setShown(bool shown);
    bool shown() const { return m_icon.isVisible(); }

    // The menu entries, for tests and for menus that repeat them.
    QAction& openAction() { return m_open; }
    QAction& exitAction() { return m_exit; }
    QSystemTrayIcon& icon() { return m_icon; }

private:
    Handlers m_handlers;
    QAction m_open;
    QAction m_exit;
    QMenu m_menu;
    QSystemTrayIcon m_icon; // last: it goes first, before the menu it shows
};
