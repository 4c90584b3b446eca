#include "app/ftpStatusLogic.h"

#include "app/OptionsDlg.h"
#include "app/dialogFields.h"
#include "earth/kml.h"
#include "trace/trace.h"

#include <array>

namespace {

class CPublisherControl : public CFtpPublisherControl {
public:
    explicit CPublisherControl(CftpServer& publisher) : m_p(publisher) {}
    int32_t status() const override { return m_p.status(); }
    int64_t lastSuccess() const override { return m_p.lastSuccess(); }
    FtpParams params() const override { return m_p.params(); }
    void setParams(const FtpParams& params) override { m_p.setParams(params); }
    void start() override { m_p.start(); }
    void stop() override { m_p.stop(); }

private:
    CftpServer& m_p;
};

std::string numberText(int32_t value) {
    return std::to_string(value);
}

} // namespace

std::unique_ptr<CFtpPublisherControl> publisherControl(CftpServer& publisher) {
    return std::make_unique<CPublisherControl>(publisher);
}

FtpParams publishingParams(const COptionsDlg& o) {
    FtpParams p;
    p.user = o.pftpUserName;
    p.server = o.pftpServerName;
    p.password = o.pftpPassword;
    p.fileName = o.pftpFileName;
    p.useFtp = o.pftpUseFtp;
    p.period = o.pftpSavePeriod;
    return p;
}

std::string ftpStatusLine(int32_t status, int64_t lastSuccess, int64_t now) {
    // The step a publication is at, or failed at.
    static constexpr std::array<const char*, 7> kSteps = {
        "",
        " logging in",
        ": Bad user name or password",
        ": Bad user name",
        " changing directory",
        " sending file",
        " renaming file",
    };
    if (status == ftpDone)
        return now - lastSuccess > kFtpSuccessShownSeconds ? kFtpWaitingToUpdate
                                                           : kFtpUpdateSuccessful;
    if (status <= ftpNothing || status >= static_cast<int32_t>(kSteps.size()))
        return std::string();
    return std::string("Error") + kSteps[static_cast<size_t>(status)];
}

CFtpStatusLogic::CFtpStatusLogic(CFtpStatusView& view, COptionsDlg& options,
                                 CFtpPublisherControl* publisher, std::function<int64_t()> now)
    : m_view(view), m_o(options), m_publisher(publisher), m_now(std::move(now)) {}

void CFtpStatusLogic::open() {
    m_fields.enabled = m_o.pftpEnabled != 0;
    m_fields.useFtp = m_o.pftpUseFtp != 0;
    m_fields.saveAll = m_o.pftpSaveAll != 0;
    m_fields.forceUpdates = m_o.pftpForceUpdates != 0;
    m_fields.copyThenRename = m_o.pftpCopyThenRename != 0;
    m_fields.user = m_o.pftpUserName;
    m_fields.password = m_o.pftpPassword;
    m_fields.server = m_o.pftpServerName;
    m_fields.fileName = m_o.pftpFileName;
    m_fields.period = numberText(m_o.pftpSavePeriod);
    m_fields.maxPts = numberText(m_o.pftpMaxPts);
    m_view.refresh();
    m_view.setTimer(kFtpFirstRefreshMs);
}

void CFtpStatusLogic::onTimer() {
    m_view.setTimer(kFtpRefreshMs);
    if (!m_publisher)
        return;
    // With the local file there are no steps to report: the line stays.
    if (m_fields.useFtp)
        m_status = ftpStatusLine(m_publisher->status(), m_publisher->lastSuccess(), m_now());
    if (const int64_t last = m_publisher->lastSuccess())
        m_lastSuccess = formatFixTime(last);
    m_view.showStatus(m_status, m_lastSuccess);
}

void CFtpStatusLogic::setRunning(bool on) {
    if (!m_publisher)
        return;
    if (on)
        m_publisher->start();
    else
        m_publisher->stop();
}

void CFtpStatusLogic::onEnabled(bool on) {
    m_fields.enabled = on;
    setRunning(on);
    m_view.refresh();
}

void CFtpStatusLogic::onUseFtp(bool on) {
    m_fields.useFtp = on;
    m_view.refresh();
}

void CFtpStatusLogic::onSaveAll(bool on) {
    m_fields.saveAll = on;
    m_o.pftpSaveAll = on;
}

void CFtpStatusLogic::onForceUpdates(bool on) {
    m_fields.forceUpdates = on;
    m_o.pftpForceUpdates = on;
}

void CFtpStatusLogic::onCopyThenRename(bool on) {
    m_fields.copyThenRename = on;
    m_o.pftpCopyThenRename = on;
}

void CFtpStatusLogic::onText(FtpText field, const std::string& text) {
    switch (field) {
    case FtpText::User:
        m_fields.user = text;
        break;
    case FtpText::Password:
        m_fields.password = text;
        break;
    case FtpText::Server:
        m_fields.server = text;
        break;
    case FtpText::FileName:
        m_fields.fileName = text;
        break;
    case FtpText::Period:
        m_fields.period = text;
        break;
    case FtpText::MaxPts:
        m_fields.maxPts = text;
        break;
    }
}

void CFtpStatusLogic::onOk() {
    const std::optional<int32_t> period =
        readWholeNumber(m_fields.period, kFtpPeriodMin, kFtpPeriodMax);
    const std::optional<int32_t> maxPts =
        readWholeNumber(m_fields.maxPts, kFtpMaxPtsMin, kFtpMaxPtsMax);
    const std::string server = trimBlanks(m_fields.server);
    std::string problem;
    if (!period)
        problem = "The update period must be a whole number of seconds (\"" + m_fields.period +
                  "\" is not).";
    else if (!maxPts)
        problem = "The point limit must be a whole number (\"" + m_fields.maxPts + "\" is not).";
    else if (m_fields.enabled && m_fields.useFtp && server.empty())
        // The publisher would fail at every period without the user seeing why.
        problem = kFtpServerMissing;
    else
        problem = hostNameProblem(server, "ftp.example.com");
    if (!problem.empty()) {
        NTRACE("FTP settings refused: %s", problem.c_str());
        m_view.message(problem);
        return;
    }
    m_o.pftpEnabled = m_fields.enabled;
    m_o.pftpUseFtp = m_fields.useFtp;
    m_o.pftpSaveAll = m_fields.saveAll;
    m_o.pftpForceUpdates = m_fields.forceUpdates;
    m_o.pftpCopyThenRename = m_fields.copyThenRename;
    m_o.pftpUserName = trimBlanks(m_fields.user);
    m_o.pftpServerName = server;
    m_o.pftpPassword = trimBlanks(m_fields.password);
    m_o.pftpFileName = trimBlanks(m_fields.fileName);
    m_o.pftpSavePeriod = *period;
    m_o.pftpMaxPts = *maxPts;
    if (m_publisher)
        m_publisher->setParams(publishingParams(m_o));
    m_view.endDialog(true);
}

void CFtpStatusLogic::onCancel() {
    setRunning(m_o.pftpEnabled != 0);
    m_view.endDialog(false);
}
