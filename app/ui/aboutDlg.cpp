#include "app/ui/aboutDlg.h"

#include "app/testDlg.h"
#include "app/ui/appIcon.h"
#include "app/ui/palette.h"

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent), m_version(QString::fromStdString(CtestDlg::aboutText())),
      m_buttons(QDialogButtonBox::Ok) {
    setWindowTitle(QStringLiteral("About Nivra"));
    setObjectName(QStringLiteral("aboutBox"));
    useNivraPalette(*this);
    m_picture.setPixmap(nivraIcon().pixmap(48, 48));
    connect(&m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    m_layout.addWidget(&m_picture, 0, 0);
    m_layout.addWidget(&m_version, 0, 1);
    m_layout.addWidget(&m_buttons, 1, 0, 1, 2);
    m_layout.setHorizontalSpacing(16);
    m_layout.setSizeConstraint(QLayout::SetFixedSize);
    setLayout(&m_layout);
}
