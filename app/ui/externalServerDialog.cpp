#include "app/ui/externalServerDialog.h"

#include "app/OptionsDlg.h"
#include "app/subsystems.h"
#include "app/ui/appIcon.h"
#include "app/ui/palette.h"
#include "app/ui/uiServicesQt.h"
#include "platform/uiServices.h"
#include "trace/trace.h"

#include <QCloseEvent>
#include <QKeyEvent>

namespace {

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

std::string ss(const QLineEdit& e) {
    return e.text().toStdString();
}

// One row: a caption and its field.
void addRow(QGridLayout& grid, int row, QLabel& label, QWidget& field) {
    label.setBuddy(&field);
    grid.addWidget(&label, row, 0);
    grid.addWidget(&field, row, 1);
}

} // namespace

CExternalServerDialog::CExternalServerDialog(COptionsDlg& options, bool mapFactor, QWidget* parent)
    : QDialog(parent), m_logic(*this, options, mapFactor), m_webEnable(QStringLiteral("Enable")),
      m_webNameLabel(QStringLiteral("User name")), m_webPassLabel(QStringLiteral("Password")),
      m_webFreqLabel(QStringLiteral("Update every (seconds)")),
      m_gpsgEnable(QStringLiteral("Enable")), m_gpsgNameLabel(QStringLiteral("User name")),
      m_gpsgPassLabel(QStringLiteral("Password")),
      m_gpsgFreqLabel(QStringLiteral("Update every (seconds)")),
      m_gpsgUpdate(QStringLiteral("Send my position")), m_gpsgServerLabel(QStringLiteral("Server")),
      m_ok(QStringLiteral("OK")) {
    setObjectName(QStringLiteral("externalServerDialog"));
    setWindowIcon(nivraIcon());
    useNivraPalette(*this);

    const ExternalServerTexts texts = externalServerTexts(mapFactor);
    setWindowTitle(qs(texts.title));
    buildLayout(texts);
    connectControls();
    m_logic.open();
}

void CExternalServerDialog::buildLayout(const ExternalServerTexts& texts) {
    struct Named {
        QWidget* w;
        const char* name;
    } named[] = {
        {&m_webEnable, "webEnable"},
        {&m_webName, "webName"},
        {&m_webPass, "webPass"},
        {&m_webFreq, "webFreq"},
        {&m_webSite, "webSite"},
        {&m_gpsgEnable, "gpsgEnable"},
        {&m_gpsgName, "gpsgName"},
        {&m_gpsgPass, "gpsgPass"},
        {&m_gpsgFreq, "gpsgFreq"},
        {&m_gpsgUpdate, "gpsgUpdate"},
        {&m_gpsgServer, "gpsgServer"},
        {&m_gpsgSite, "gpsgSite"},
        {&m_ok, "ok"},
        {&m_webInfo, "webInfo"},
        {&m_gpsgInfo, "gpsgInfo"},
        {&m_webGroup, "webGroup"},
        {&m_gpsgGroup, "gpsgGroup"},
    };
    for (const Named& n : named)
        n.w->setObjectName(QString::fromLatin1(n.name));

    m_webGroup.setTitle(qs(texts.webGroup));
    m_gpsgGroup.setTitle(qs(texts.gpsgGroup));
    m_webSite.setText(qs(texts.webSiteButton));
    m_gpsgSite.setText(qs(texts.gpsgSiteButton));
    for (QLabel* info : {&m_webInfo, &m_gpsgInfo}) {
        info->setWordWrap(true);
        info->setTextFormat(Qt::PlainText);
        info->setMinimumWidth(300);
    }
    m_webInfo.setText(qs(texts.webInstructions));
    m_gpsgInfo.setText(qs(texts.gpsgInstructions));
    m_webPass.setEchoMode(QLineEdit::Password);
    m_gpsgPass.setEchoMode(QLineEdit::Password);
    for (QLineEdit* e : {&m_webName, &m_webPass, &m_gpsgName, &m_gpsgPass, &m_gpsgServer})
        e->setMaxLength(1023); // the longest text a setting holds
    for (QLineEdit* e : {&m_webFreq, &m_gpsgFreq})
        e->setMaxLength(12);
    // Enter stores and stays: no button may take it for itself.
    for (QPushButton* b : {&m_webSite, &m_gpsgSite, &m_ok}) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }

    int row = 0;
    m_webLayout.addWidget(&m_webInfo, row++, 0, 1, 2);
    m_webLayout.addWidget(&m_webEnable, row++, 0, 1, 2);
    addRow(m_webLayout, row++, m_webNameLabel, m_webName);
    addRow(m_webLayout, row++, m_webPassLabel, m_webPass);
    addRow(m_webLayout, row++, m_webFreqLabel, m_webFreq);
    m_webLayout.setRowStretch(row++, 1);
    m_webLayout.addWidget(&m_webSite, row++, 0, 1, 2);
    m_webGroup.setLayout(&m_webLayout);

    row = 0;
    m_gpsgLayout.addWidget(&m_gpsgInfo, row++, 0, 1, 2);
    m_gpsgLayout.addWidget(&m_gpsgEnable, row++, 0, 1, 2);
    addRow(m_gpsgLayout, row++, m_gpsgNameLabel, m_gpsgName);
    addRow(m_gpsgLayout, row++, m_gpsgPassLabel, m_gpsgPass);
    addRow(m_gpsgLayout, row++, m_gpsgFreqLabel, m_gpsgFreq);
    m_gpsgLayout.addWidget(&m_gpsgUpdate, row++, 0, 1, 2);
    addRow(m_gpsgLayout, row++, m_gpsgServerLabel, m_gpsgServer);
    m_gpsgLayout.setRowStretch(row++, 1);
    m_gpsgLayout.addWidget(&m_gpsgSite, row++, 0, 1, 2);
    m_gpsgGroup.setLayout(&m_gpsgLayout);

    m_layout.addWidget(&m_webGroup, 0, 0);
    m_layout.addWidget(&m_gpsgGroup, 0, 1);
    m_layout.addWidget(&m_ok, 1, 1, Qt::AlignRight);
    setLayout(&m_layout);
}

void CExternalServerDialog::connectControls() {
    connect(&m_webSite, &QPushButton::clicked, this, [this] { m_logic.onWebSite(); });
    connect(&m_gpsgSite, &QPushButton::clicked, this, [this] { m_logic.onGpsGateSite(); });
    connect(&m_ok, &QPushButton::clicked, this, [this] {
        readFields();
        m_logic.onClose();
    });
}

void CExternalServerDialog::readFields() {
    ExternalServerFields& f = m_logic.fields();
    f.webEnable = m_webEnable.isChecked();
    f.webName = ss(m_webName);
    f.webPass = ss(m_webPass);
    f.webFreq = ss(m_webFreq);
    f.gpsgEnable = m_gpsgEnable.isChecked();
    f.gpsgName = ss(m_gpsgName);
    f.gpsgPass = ss(m_gpsgPass);
    f.gpsgFreq = ss(m_gpsgFreq);
    f.gpsgUpdate = m_gpsgUpdate.isChecked();
    f.gpsgServer = ss(m_gpsgServer);
}

void CExternalServerDialog::refresh() {
    const ExternalServerFields& f = m_logic.fields();
    m_webEnable.setChecked(f.webEnable);
    m_webName.setText(qs(f.webName));
    m_webPass.setText(qs(f.webPass));
    m_webFreq.setText(qs(f.webFreq));
    m_gpsgEnable.setChecked(f.gpsgEnable);
    m_gpsgName.setText(qs(f.gpsgName));
    m_gpsgPass.setText(qs(f.gpsgPass));
    m_gpsgFreq.setText(qs(f.gpsgFreq));
    m_gpsgUpdate.setChecked(f.gpsgUpdate);
    m_gpsgServer.setText(qs(f.gpsgServer));
}

void CExternalServerDialog::message(const std::string& text) {
    warnOver(this, windowTitle().toStdString(), text);
}

void CExternalServerDialog::endDialog() {
    if (m_ended)
        return;
    m_ended = true;
    done(QDialog::Accepted);
}

void CExternalServerDialog::openWebSite(const std::string& url) {
    // The program's desktop services open it with QDesktopServices on the
    // user-interface thread.
    if (!uiServices().openUrl(url))
        NTRACE("no browser to open %s", url.c_str());
}

void CExternalServerDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        readFields();
        m_logic.onEnter();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CExternalServerDialog::reject() {
    if (m_ended)
        return;
    readFields();
    m_logic.onClose();
}

void CExternalServerDialog::closeEvent(QCloseEvent* event) {
    if (!m_ended) {
        readFields();
        m_logic.onClose();
    }
    // A field that could not be stored keeps the dialog open.
    if (m_ended)
        event->accept();
    else
        event->ignore();
}

bool runExternalServerDialog(QWidget* parent, CSubsystems& sys, bool mapFactor) {
    CExternalServerDialog dialog(sys.options(), mapFactor, parent);
    const bool ok = dialog.exec() == QDialog::Accepted;
    // The update threads take the account from the next pass on.
    sys.settingsChanged();
    return ok;
}
