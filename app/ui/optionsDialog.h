// The options dialog window: the Qt skin over COptionsLogic. It lays the
// controls out in the groups the user knows (GPS, playback and recording,
// function buttons, the vehicle page, and the column of display settings),
// shows the logic's state after every refresh and forwards each user action.
// It ends only with OK; Escape and the close box do the same.
//
// It fits the screen it opens on: the groups stand in three columns when
// there is room, else in two or one, and scroll when the screen is still too
// low; OK stays in sight below them. Every control stays in the window (only
// scrolled out of view), so its keyboard shortcut works wherever it is, and
// a control that takes the focus is scrolled into view.
#pragma once

#include "app/optionsLogic.h"
#include "app/shareLinksPage.h"
#include "app/ui/selectorCombo.h"
#include "app/ui/tickTimer.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSlider>
#include <QVBoxLayout>

#include <functional>
#include <memory>
#include <vector>

class CSubsystems;

class COptionsDialog : public QDialog, public COptionsView {
public:
    // `timer` replaces the dialog's QTimer (tests fire it themselves).
    explicit COptionsDialog(CSubsystems& sys, QWidget* parent = nullptr,
                            std::unique_ptr<CTickTimer> timer = nullptr);
    ~COptionsDialog() override;

    COptionsLogic& logic() { return m_logic; }

    // The FTP and external-server dialogs; until they are set, their buttons
    // stay disabled.
    void setFtpDialog(std::function<bool()> run);
    void setServerDialog(std::function<bool(bool mapFactor)> run);

    // COptionsView
    void refresh() override;
    void showStatus(const std::string& text) override;
    void message(const std::string& text) override;
    void focusName() override;
    void setTimer(unsigned periodMs) override;
    void endDialog() override;
    bool runFtpDialog() override;
    bool runExternalServerDialog(bool mapFactor) override;

protected:
    void reject() override; // Escape
    void closeEvent(QCloseEvent* event) override;

private:
    void buildLayout();
    void connectControls();
    void setTabChain();
    void showPage();
    void showPhone(const VehiclePage& p, bool entering);
    void browseLogFile();
    void browseCursorFile();
    void arrangeGroups();
    void fitScreen();
    void showSliderValues();
    void showShares();
    void createShare();
    void revokeShare();

    COptionsLogic m_logic; // first: the widgets below forward to it
    CShareLinksPage m_shares;
    std::unique_ptr<CTickTimer> m_timer;
    std::function<bool()> m_ftpDialog;
    std::function<bool(bool)> m_serverDialog;
    bool m_ended = false;

    // The groups scroll inside the dialog when the screen is too small for
    // them; OK and the web site button stay below, always in sight.
    QScrollArea m_scroll;
    QWidget m_content; // after the scroll area: it goes first and leaves it

    // Group boxes before the controls they hold, so the controls go first.
    QGroupBox m_gpsGroup;
    QGroupBox m_playGroup;
    QGroupBox m_functionGroup;
    QGroupBox m_vehicleGroup;
    QGroupBox m_rightGroup;
    QGroupBox m_globeGroup;

    // GPS
    QComboBox m_port;
    QComboBox m_rate;
    QComboBox m_flow;
    QLabel m_gpsdServerLabel;
    QLineEdit m_gpsdServer;
    QPushButton m_connect;
    QPushButton m_disconnect;
    QCheckBox m_autoConnect;
    QCheckBox m_autoFind;
    QLabel m_status;
    // Playback and recording
    QLineEdit m_logFile;
    QPushButton m_logBrowse;
    QRadioButton m_play;
    QRadioButton m_stop;
    QCheckBox m_loop;
    QRadioButton m_record;
    QRadioButton m_stopRecord;
    QCheckBox m_continuous;
    QLabel m_recordStatus;
    // Function buttons
    QPushButton m_ftp;
    QPushButton m_server;
    QCheckBox m_debugLog;
    // Vehicle page
    CSelectorCombo m_vehicles;
    QLabel m_nameLabel;
    QLineEdit m_name;
    QLabel m_hostLabel;
    QLineEdit m_host;
    QPushButton m_new;
    QPushButton m_delete;
    QRadioButton m_land;
    QRadioButton m_air;
    QCheckBox m_visible;
    QRadioButton m_classic;
    QRadioButton m_image;
    QRadioButton m_model;
    QLineEdit m_cursorFile;
    QPushButton m_cursorBrowse;
    std::vector<std::unique_ptr<QCheckBox>> m_labels; // name, host, time, speed, altitude, heading
    QLabel m_colorLabel;
    QComboBox m_color;
    QCheckBox m_speedTrack;
    QCheckBox m_extrude;
    QCheckBox m_timestamps;
    QCheckBox m_compress;
    QLabel m_maxSpeedLabel;
    QLineEdit m_maxSpeed;
    QLabel m_maxPointsLabel;
    QLineEdit m_maxPoints;
    QLabel m_radiusLabel;
    QLineEdit m_radius;
    QCheckBox m_dateRange;
    QDateEdit m_startDate;
    QDateEdit m_endDate;
    // Phones: the kind of app, "Add phone" / "New key", sharing, the URL and its QR code.
    QComboBox m_phoneKind;
    QPushButton m_phoneButton;
    QCheckBox m_phoneShare;
    QLineEdit m_phoneUrl;
    QLabel m_phoneQr;
    // The browser globe, the history and share links
    QLabel m_tilesLabel;
    QLineEdit m_tiles;
    QLabel m_creditLabel;
    QLineEdit m_credit;
    QCheckBox m_history;
    QLabel m_historyDaysLabel;
    QLineEdit m_historyDays;
    QLabel m_historyMbLabel;
    QLineEdit m_historyMb;
    QLabel m_sharesLabel;
    QComboBox m_shareList;
    QPushButton m_shareRevoke;
    QComboBox m_shareWhat;
    QCheckBox m_shareUntil;
    QDateEdit m_shareUntilDate;
    QPushButton m_shareCreate;
    QPlainTextEdit m_shareText;
    // Right-hand column
    QCheckBox m_demo;
    QRadioButton m_statute;
    QRadioButton m_metric;
    QCheckBox m_knots;
    std::vector<std::unique_ptr<QCheckBox>> m_flags; // in OptionFlag order, loop excluded
    QLabel m_flyToLabel;
    QSlider m_flyTo;
    QLabel m_flyToValue;
    QLabel m_cursorSizeLabel;
    QSlider m_cursorSize;
    QLabel m_cursorSizeValue;
    QLabel m_demoSpeedLabel;
    QSlider m_demoSpeed;
    QLabel m_demoSpeedValue;
    QLabel m_rotationLabel;
    QComboBox m_rotation;
    QPushButton m_web;
    QPushButton m_ok;

    // Radio buttons that share a group box but not a choice.
    QButtonGroup m_playChoice;
    QButtonGroup m_recordChoice;
    QButtonGroup m_flyChoice;
    QButtonGroup m_cursorChoice;
    QButtonGroup m_unitsChoice;

    // Layouts last: they go before the widgets they arrange.
    QGridLayout m_gpsLayout;
    QGridLayout m_playLayout;
    QGridLayout m_functionLayout;
    QGridLayout m_vehicleLayout;
    QGridLayout m_rightLayout;
    QGridLayout m_globeLayout;
    QGridLayout m_columns; // the groups in as many columns as the screen has room for
    QVBoxLayout m_layout;
    QHBoxLayout m_buttonRow; // inside m_layout: it goes first and leaves it
};
