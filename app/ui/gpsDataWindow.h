// The GPS data window: a small always-on-top window with one line of the
// local vehicle's speed, altitude and heading and the time of its newest
// point in the title; the Qt skin over CGpsDataLogic. The main window creates
// it at the end of its start-up and shows or hides it by ShowGpsData.
//
// It has no parent window on purpose: it must stay on screen while the main
// window is hidden in the tray.
#pragma once

#include "app/gpsDataLogic.h"
#include "app/ui/tickTimer.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QWidget>

#include <memory>

class CGpsDataWindow : public QWidget, public CGpsDataView {
public:
    // Shows the local vehicle of `clients` by the settings `options`; `timer`
    // replaces the window's QTimer (tests fire it themselves).
    // `gpsd` tells what gpsd reports of the receiver, for the line's end.
    CGpsDataWindow(COptionsDlg& options, CClients& clients,
                   std::unique_ptr<CTickTimer> timer = nullptr,
                   CGpsDataLogic::GpsdStatusSource gpsd = nullptr);
    ~CGpsDataWindow() override;

    CGpsDataLogic& logic() { return m_logic; }
    // Creation: placed by the remembered rectangle (or, the first time,
    // beside `mainWindow`, the main window's frame), shown by ShowGpsData.
    void create(const QRect& mainWindow = QRect());
    QString text() const { return m_text.text(); }
    // The program is ending: the window goes away without switching
    // ShowGpsData off, so the next start shows it again.
    void programEnding();

    // CGpsDataView
    void place(const WindowRect& rect) override;
    void showWindow(bool show) override;
    void setText(const std::string& text) override;
    void setTitle(const std::string& title) override;
    void setTimer(unsigned periodMs) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void remember();

    CGpsDataLogic m_logic;
    std::unique_ptr<CTickTimer> m_timer;
    QLabel m_text;
    QHBoxLayout m_layout; // after the label: it goes first and lets it be
    bool m_ending = false;
};
