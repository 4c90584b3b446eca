// The FTP status dialog: the Qt skin over CFtpStatusLogic. The user sets up
// web publishing here (on or off, FTP or local file, which vehicles, the
// account, file name, period and point limit) and watches the status line
// and the time of the last successful publication, refreshed while it is open.
#pragma once

#include "app/ftpStatusLogic.h"
#include "app/ui/tickTimer.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include <memory>

class CSubsystems;

class CFtpStatusDialog : public QDialog, public CFtpStatusView {
public:
    // `publisher` may be null; `timer` replaces the dialog's QTimer (tests
    // fire it themselves); `now` reads the fix-time clock.
    CFtpStatusDialog(COptionsDlg& options, CFtpPublisherControl* publisher, QWidget* parent,
                     std::unique_ptr<CTickTimer> timer = nullptr,
                     std::function<int64_t()> now = nullptr);
    ~CFtpStatusDialog() override;

    CFtpStatusLogic& logic() { return m_logic; }

    // CFtpStatusView
    void refresh() override;
    void showStatus(const std::string& status, const std::string& lastSuccess) override;
    void setTimer(unsigned periodMs) override;
    void message(const std::string& text) override;
    void endDialog(bool ok) override;

protected:
    void reject() override; // Escape, Cancel and the close box
    void accept() override; // OK and Enter

private:
    void buildLayout();
    void connectControls();

    CFtpStatusLogic m_logic;
    std::unique_ptr<CTickTimer> m_timer;
    bool m_ended = false;

    QLabel m_publishingLabel;
    QLabel m_publishToLabel;
    QLabel m_vehiclesLabel;
    QRadioButton m_on;
    QRadioButton m_off;
    QRadioButton m_useFtp;
    QRadioButton m_localFile;
    QRadioButton m_localOnly;
    QRadioButton m_allVehicles;
    QButtonGroup m_onOff;
    QButtonGroup m_ftpFile;
    QButtonGroup m_vehicles;
    QCheckBox m_force;
    QCheckBox m_copyThenRename;
    QLabel m_userLabel;
    QLineEdit m_user;
    QLabel m_passwordLabel;
    QLineEdit m_password;
    QLabel m_serverLabel;
    QLineEdit m_server;
    QLabel m_fileLabel;
    QLineEdit m_file;
    QLabel m_periodLabel;
    QLineEdit m_period;
    QLabel m_maxPtsLabel;
    QLineEdit m_maxPts;
    QLabel m_statusLabel;
    QLabel m_status;
    QLabel m_lastLabel;
    QLabel m_last;
    QDialogButtonBox m_buttons;
    QGridLayout m_layout; // after the widgets: it goes first and lets them be
};

// Runs the dialog modally over `parent` on the program's settings and its
// publisher; true when it ended with OK.
bool runFtpStatusDialog(QWidget* parent, CSubsystems& sys);
