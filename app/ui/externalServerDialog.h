// The external server dialog: the Qt skin over CExternalServerLogic. On the
// left the web tracking service (Mologogo, or MapFactor), on the right
// GpsGate, each with its instructions, account fields, update period and a
// button to its web site. Enter stores the fields and stays; OK, Escape and
// the close box store them and end.
#pragma once

#include "app/externalServerLogic.h"

#include <QCheckBox>
#include <QDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

class CSubsystems;

class CExternalServerDialog : public QDialog, public CExternalServerView {
public:
    CExternalServerDialog(COptionsDlg& options, bool mapFactor, QWidget* parent);

    CExternalServerLogic& logic() { return m_logic; }

    // CExternalServerView
    void refresh() override;
    void message(const std::string& text) override;
    void endDialog() override;
    void openWebSite(const std::string& url) override;

protected:
    void keyPressEvent(QKeyEvent* event) override; // Enter
    void reject() override;                        // Escape
    void closeEvent(QCloseEvent* event) override;

private:
    void buildLayout(const ExternalServerTexts& texts);
    void connectControls();
    void readFields();

    CExternalServerLogic m_logic;
    bool m_ended = false;

    QGroupBox m_webGroup;
    QGroupBox m_gpsgGroup;
    QLabel m_webInfo;
    QCheckBox m_webEnable;
    QLabel m_webNameLabel;
    QLineEdit m_webName;
    QLabel m_webPassLabel;
    QLineEdit m_webPass;
    QLabel m_webFreqLabel;
    QLineEdit m_webFreq;
    QPushButton m_webSite;
    QLabel m_gpsgInfo;
    QCheckBox m_gpsgEnable;
    QLabel m_gpsgNameLabel;
    QLineEdit m_gpsgName;
    QLabel m_gpsgPassLabel;
    QLineEdit m_gpsgPass;
    QLabel m_gpsgFreqLabel;
    QLineEdit m_gpsgFreq;
    QCheckBox m_gpsgUpdate;
    QLabel m_gpsgServerLabel;
    QLineEdit m_gpsgServer;
    QPushButton m_gpsgSite;
    QPushButton m_ok;
    // Layouts after the widgets: they go first and let the widgets be.
    QGridLayout m_webLayout;
    QGridLayout m_gpsgLayout;
    QGridLayout m_layout;
};

// Runs the dialog modally over `parent` on the program's settings.
bool runExternalServerDialog(QWidget* parent, CSubsystems& sys, bool mapFactor);
