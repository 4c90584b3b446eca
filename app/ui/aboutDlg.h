// The about box: the icon, the version line and an OK button.
#pragma once

#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    QString versionLine() const { return m_version.text(); }

private:
    QLabel m_picture;
    QLabel m_version;
    QDialogButtonBox m_buttons;
    QGridLayout m_layout; // after the widgets: it goes first and lets them be
};
