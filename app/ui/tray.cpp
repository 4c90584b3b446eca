#include "app/ui/tray.h"

CTrayIcon::CTrayIcon(const QIcon& icon, Handlers handlers)
    : m_handlers(std::move(handlers)), m_open(QStringLiteral("Open")),
      m_exit(QStringLiteral("Exit")), m_icon(icon) {
    m_menu.addAction(&m_open);
    m_menu.addAction(&m_exit);
    QObject::connect(&m_open, &QAction::triggered, [this] {
        if (m_handlers.open)
            m_handlers.open();
    });
    QObject::connect(&m_exit, &QAction::triggered, [this] {
        if (m_handlers.exit)
            m_handlers.exit();
    });
    m_icon.setToolTip(QStringLiteral("Nivra"));
    m_icon.setContextMenu(&m_menu);
    // The menu comes with the right button (Qt opens the context menu
    // itself); a single left click does nothing, as on the original tray.
    QObject::connect(&m_icon, &QSystemTrayIcon::activated,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::DoubleClick && m_handlers.doubleClick)
                             m_handlers.doubleClick();
                     });
}

bool CTrayIcon::desktopHasTray() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void CTrayIcon::setShown(bool shown) {
    m_icon.setVisible(shown);
}
