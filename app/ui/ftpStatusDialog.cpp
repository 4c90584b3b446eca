#include "app/ui/ftpStatusDialog.h"

#include "app/OptionsDlg.h"
#include "app/subsystems.h"
#include "app/ui/appIcon.h"
#include "app/ui/palette.h"
#include "app/ui/uiServicesQt.h"
#include "platform/runtime.h"

#include <QPushButton>

namespace {

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

CFtpStatusDialog::CFtpStatusDialog(COptionsDlg& options, CFtpPublisherControl* publisher,
                                   QWidget* parent, std::unique_ptr<CTickTimer> timer,
                                   std::function<int64_t()> now)
    : QDialog(parent), m_logic(*this, options, publisher,
                               now ? std::move(now) : std::function<int64_t()>(nowFixTime)),
      m_timer(std::move(timer)), m_publishingLabel(QStringLiteral("Publishing")),
      m_publishToLabel(QStringLiteral("Publish to")), m_vehiclesLabel(QStringLiteral("Vehicles")),
      m_on(QStringLiteral("On")), m_off(QStringLiteral("Off")),
      m_useFtp(QStringLiteral("FTP server")), m_localFile(QStringLiteral("Local file")),
      m_localOnly(QStringLiteral("My vehicle only")), m_allVehicles(QStringLiteral("All vehicles")),
      m_force(QStringLiteral("Update even without new points")),
      m_copyThenRename(QStringLiteral("Upload under a temporary name, then rename")),
      m_userLabel(QStringLiteral("User name")), m_passwordLabel(QStringLiteral("Password")),
      m_serverLabel(QStringLiteral("Server")), m_fileLabel(QStringLiteral("File name")),
      m_periodLabel(QStringLiteral("Period (seconds)")),
      m_maxPtsLabel(QStringLiteral("Most points")), m_statusLabel(QStringLiteral("Status")),
      m_lastLabel(QStringLiteral("Last update")),
      m_buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel) {
    if (!m_timer)
        m_timer = std::make_unique<CQtTickTimer>();
    m_timer->setHandler([this] { m_logic.onTimer(); });

    setObjectName(QStringLiteral("ftpStatusDialog"));
    setWindowTitle(QStringLiteral("Periodic File Save"));
    setWindowIcon(nivraIcon());
    useNivraPalette(*this);

    buildLayout();
    m_logic.open();
    connectControls();
}

CFtpStatusDialog::~CFtpStatusDialog() {
    m_timer->setHandler({});
}

void CFtpStatusDialog::buildLayout() {
    struct Named {
        QWidget* w;
        const char* name;
    } named[] = {
        {&m_on, "on"},
        {&m_off, "off"},
        {&m_useFtp, "useFtp"},
        {&m_localFile, "localFile"},
        {&m_localOnly, "localOnly"},
        {&m_allVehicles, "allVehicles"},
        {&m_force, "force"},
        {&m_copyThenRename, "copyThenRename"},
        {&m_user, "user"},
        {&m_password, "password"},
        {&m_server, "server"},
        {&m_file, "fileName"},
        {&m_period, "period"},
        {&m_maxPts, "maxPts"},
        {&m_status, "status"},
        {&m_last, "lastSuccess"},
    };
    for (const Named& n : named)
        n.w->setObjectName(QString::fromLatin1(n.name));

    m_onOff.addButton(&m_on);
    m_onOff.addButton(&m_off);
    m_ftpFile.addButton(&m_useFtp);
    m_ftpFile.addButton(&m_localFile);
    m_vehicles.addButton(&m_localOnly);
    m_vehicles.addButton(&m_allVehicles);
    m_password.setEchoMode(QLineEdit::Password);
    for (QLineEdit* e : {&m_user, &m_password, &m_server, &m_file})
        e->setMaxLength(1023); // the longest text a setting holds
    for (QLineEdit* e : {&m_period, &m_maxPts})
        e->setMaxLength(12);
    m_status.setTextFormat(Qt::PlainText);
    m_last.setTextFormat(Qt::PlainText);
    m_status.setMinimumWidth(220);

    int row = 0;
    m_layout.addWidget(&m_publishingLabel, row, 0);
    m_layout.addWidget(&m_on, row, 1);
    m_layout.addWidget(&m_off, row++, 2);
    m_layout.addWidget(&m_publishToLabel, row, 0);
    m_layout.addWidget(&m_useFtp, row, 1);
    m_layout.addWidget(&m_localFile, row++, 2);
    m_layout.addWidget(&m_vehiclesLabel, row, 0);
    m_layout.addWidget(&m_localOnly, row, 1);
    m_layout.addWidget(&m_allVehicles, row++, 2);
    m_layout.addWidget(&m_force, row++, 1, 1, 2);
    const std::pair<QLabel*, QLineEdit*> edits[] = {
        {&m_userLabel, &m_user}, {&m_passwordLabel, &m_password}, {&m_serverLabel, &m_server},
        {&m_fileLabel, &m_file}, {&m_periodLabel, &m_period},     {&m_maxPtsLabel, &m_maxPts},
    };
    for (const auto& [label, edit] : edits) {
        label->setBuddy(edit);
        m_layout.addWidget(label, row, 0);
        m_layout.addWidget(edit, row++, 1, 1, 2);
    }
    m_layout.addWidget(&m_copyThenRename, row++, 1, 1, 2);
    m_layout.addWidget(&m_statusLabel, row, 0);
    m_layout.addWidget(&m_status, row++, 1, 1, 2);
    m_layout.addWidget(&m_lastLabel, row, 0);
    m_layout.addWidget(&m_last, row++, 1, 1, 2);
    m_layout.addWidget(&m_buttons, row++, 0, 1, 3);
    setLayout(&m_layout);
}

void CFtpStatusDialog::connectControls() {
    using B = QAbstractButton;
    // `clicked` comes from the user only, never from the refresh's setChecked.
    connect(&m_on, &B::clicked, this, [this] { m_logic.onEnabled(true); });
    connect(&m_off, &B::clicked, this, [this] { m_logic.onEnabled(false); });
    connect(&m_useFtp, &B::clicked, this, [this] { m_logic.onUseFtp(true); });
    connect(&m_localFile, &B::clicked, this, [this] { m_logic.onUseFtp(false); });
    connect(&m_localOnly, &B::clicked, this, [this] { m_logic.onSaveAll(false); });
    connect(&m_allVehicles, &B::clicked, this, [this] { m_logic.onSaveAll(true); });
    connect(&m_force, &B::clicked, this, [this](bool on) { m_logic.onForceUpdates(on); });
    connect(&m_copyThenRename, &B::clicked, this,
            [this](bool on) { m_logic.onCopyThenRename(on); });
    const std::pair<QLineEdit*, FtpText> texts[] = {
        {&m_user, FtpText::User},     {&m_password, FtpText::Password},
        {&m_server, FtpText::Server}, {&m_file, FtpText::FileName},
        {&m_period, FtpText::Period}, {&m_maxPts, FtpText::MaxPts},
    };
    for (const auto& [edit, field] : texts) {
        const FtpText f = field;
        connect(edit, &QLineEdit::textEdited, this,
                [this, f](const QString& text) { m_logic.onText(f, text.toStdString()); });
    }
    connect(&m_buttons, &QDialogButtonBox::accepted, this, [this] { accept(); });
    connect(&m_buttons, &QDialogButtonBox::rejected, this, [this] { reject(); });
}

void CFtpStatusDialog::refresh() {
    const FtpStatusFields& f = m_logic.fields();
    (f.enabled ? m_on : m_off).setChecked(true);
    (f.useFtp ? m_useFtp : m_localFile).setChecked(true);
    (f.saveAll ? m_allVehicles : m_localOnly).setChecked(true);
    m_force.setChecked(f.forceUpdates);
    m_copyThenRename.setChecked(f.copyThenRename);
    const std::pair<QLineEdit*, const std::string*> texts[] = {
        {&m_user, &f.user},     {&m_password, &f.password}, {&m_server, &f.server},
        {&m_file, &f.fileName}, {&m_period, &f.period},     {&m_maxPts, &f.maxPts},
    };
    for (const auto& [edit, text] : texts) {
        if (edit->text().toStdString() != *text)
            edit->setText(qs(*text));
    }
    const bool account = m_logic.accountEnabled();
    for (QWidget* w :
         std::initializer_list<QWidget*>{&m_user, &m_userLabel, &m_password, &m_passwordLabel,
                                         &m_server, &m_serverLabel, &m_copyThenRename})
        w->setEnabled(account);
    const bool publishing = m_logic.publishingEnabled();
    for (QWidget* w : std::initializer_list<QWidget*>{&m_period, &m_periodLabel, &m_maxPts,
                                                      &m_maxPtsLabel, &m_file, &m_fileLabel,
                                                      &m_localOnly, &m_allVehicles, &m_force})
        w->setEnabled(publishing);
}

void CFtpStatusDialog::showStatus(const std::string& status, const std::string& lastSuccess) {
    m_status.setText(qs(status));
    m_last.setText(qs(lastSuccess));
}

void CFtpStatusDialog::setTimer(unsigned periodMs) {
    m_timer->start(periodMs);
}

void CFtpStatusDialog::message(const std::string& text) {
    warnOver(this, windowTitle().toStdString(), text);
}

void CFtpStatusDialog::endDialog(bool ok) {
    if (m_ended)
        return;
    m_ended = true;
    m_timer->setHandler({});
    done(ok ? QDialog::Accepted : QDialog::Rejected);
}

void CFtpStatusDialog::accept() {
    m_logic.onOk();
}

void CFtpStatusDialog::reject() {
    if (!m_ended)
        m_logic.onCancel();
}

bool runFtpStatusDialog(QWidget* parent, CSubsystems& sys) {
    CftpServer* publisher = sys.publisher();
    std::unique_ptr<CFtpPublisherControl> control =
        publisher ? publisherControl(*publisher) : nullptr;
    CFtpStatusDialog dialog(sys.options(), control.get(), parent);
    const bool ok = dialog.exec() == QDialog::Accepted;
    sys.settingsChanged();
    return ok;
}
