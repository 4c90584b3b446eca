// The main window: a small fixed-size window that shows CtestDlg's state
// (the five camera check boxes, the vehicle selector, the start/pause
// caption, the status line) and forwards every click, shortcut, timer tick,
// move, close and minimise to it. It owns the tray icon and the about box.
//
// Linux window managers own the title-bar menu, so the about entry that
// Windows puts in the system menu is in the window's own menu bar ("About"),
// beside the browser globe ("Globe"); both are also in its right-click menu.
#pragma once

#include "app/testDlg.h"
#include "app/ui/selectorCombo.h"
#include "app/ui/tickTimer.h"

#include <QAction>
#include <QCheckBox>
#include <QDialog>
#include <QGridLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QShortcut>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class CAboutDlg;
class CGpsDataWindow;
class CSubsystems;
class CTrayIcon;

class CMainWindow : public QDialog, public CtestDlgView {
public:
    // `timer` replaces the window's QTimer (tests fire it themselves).
    explicit CMainWindow(CSubsystems& sys, std::unique_ptr<CTickTimer> timer = nullptr);
    ~CMainWindow() override;

    CtestDlg& dlg() { return m_dlg; }

    // Window creation and destruction: CtestDlg's start-up and shutdown.
    void startUp();
    bool shutdown();

    // The options dialog, once there is one; until then the options button
    // stays disabled.
    void setOptionsDialog(std::function<bool()> run);
    // Overrides what the desktop says about its notification area.
    void setTrayAvailable(std::optional<bool> available) { m_trayAvailable = available; }

    // True once the dialog has ended (Escape, Exit, or closing outside the tray).
    bool ended() const { return m_ended; }
    // The about box while it is open (nullptr otherwise).
    CAboutDlg* aboutBox() const;
    void showAbout();
    // Right-click menu "Export Track…": asks where, then the logic writes it.
    void exportTrack();
    // The GPS data window, once start-up has created it.
    CGpsDataWindow* gpsDataWindow() const { return m_gpsData.get(); }

    // CtestDlgView
    void placeWindow(bool topMost, int left, int top, bool show) override;
    void setTopMost(bool topMost) override;
    void showWindow(bool show) override;
    bool windowShown() const override;
    void setTitle(const std::string& title) override;
    void setCheck(DlgCheck box, bool on) override;
    void showSelector(const std::vector<std::string>& entries, int current) override;
    void setStartCaption(const std::string& caption) override;
    void setStatusLine(const std::string& text) override;
    void setTimer(unsigned periodMs) override;
    void endDialog() override;
    bool trayAvailable() const override;
    void setTrayIcon(bool shown) override;
    bool runOptionsDialog() override;
    void showGpsData(bool show) override;

    CTrayIcon& tray() { return *m_tray; }

protected:
    void reject() override; // Escape
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    QAbstractButton& checkWidget(DlgCheck box);
    void buildLayout();
    void connectControls();
    void addShortcuts();

    CSubsystems& m_sys;
    CtestDlg m_dlg; // first: the widgets below forward to it until they are gone
    std::unique_ptr<CTickTimer> m_timer;
    std::unique_ptr<CTrayIcon> m_tray;
    std::vector<std::unique_ptr<QShortcut>> m_shortcuts;
    std::function<bool()> m_optionsDialog;
    std::optional<bool> m_trayAvailable;
    std::unique_ptr<CAboutDlg> m_about;
    std::unique_ptr<CGpsDataWindow> m_gpsData;
    bool m_ended = false;
    std::string m_status;

    QCheckBox m_autoTrack;
    CSelectorCombo m_selector;
    QCheckBox m_autoView;
    QPushButton m_rotate;
    QPushButton m_zoom;
    QPushButton m_tilt;
    QPushButton m_startPause;
    QPushButton m_save;
    QPushButton m_clearTrack;
    QPushButton m_options;
    QLabel m_statusLine;
    QAction m_globeAction;
    QAction m_exportAction;
    QAction m_aboutAction;
    QMenuBar m_menuBar;
    QGridLayout m_layout; // after the widgets: it goes first and lets them be
};
