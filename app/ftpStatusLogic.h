// The FTP status dialog's logic, CFtpUpdateDlg's rules without a window: the
// publishing settings shown in its fields, which fields can be edited, the
// publisher started and stopped by the on/off choice, the status line that
// follows the publisher's progress, and OK, which checks and stores the
// fields and hands the account to the publisher. A front end implements
// CFtpStatusView; all of it runs on the user-interface thread.
#pragma once

#include "publish/ftpPublisher.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class COptionsDlg;

// The refresh: first after 1 s, then every 2 s. "Update successful" shows
// while the last success is at most 3 s old.
constexpr unsigned kFtpFirstRefreshMs = 1000;
constexpr unsigned kFtpRefreshMs = 2000;
constexpr int64_t kFtpSuccessShownSeconds = 3;
inline constexpr const char* kFtpUpdateSuccessful = "Update successful";
inline constexpr const char* kFtpWaitingToUpdate = "Waiting to update";
inline constexpr const char* kFtpServerMissing =
    "Enter the FTP server's host name, or publish to a local file.";

// The limits of the two number fields. A period of 0 stops publishing (the
// publisher waits for another period); a fraction of a second cannot be typed.
constexpr int32_t kFtpPeriodMin = 0;
constexpr int32_t kFtpPeriodMax = 86400;
constexpr int32_t kFtpMaxPtsMin = 1;
constexpr int32_t kFtpMaxPtsMax = 1000000;

// The account, file name, mode and period that the publisher takes from the
// settings.
FtpParams publishingParams(const COptionsDlg& options);

// The status line for the publisher's status code; `lastSuccess` and `now`
// on the fix-time scale.
std::string ftpStatusLine(int32_t status, int64_t lastSuccess, int64_t now);

// What the dialog needs of the publisher (CftpServer in the program).
class CFtpPublisherControl {
public:
    virtual ~CFtpPublisherControl() = default;
    virtual int32_t status() const = 0;
    virtual int64_t lastSuccess() const = 0;
    virtual FtpParams params() const = 0;
    virtual void setParams(const FtpParams& params) = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
};
// The control over the program's publisher.
std::unique_ptr<CFtpPublisherControl> publisherControl(CftpServer& publisher);

// The dialog's fields as typed.
struct FtpStatusFields {
    bool enabled = false;
    bool useFtp = true;
    bool saveAll = false;
    bool forceUpdates = false;
    bool copyThenRename = true;
    std::string user;
    std::string password;
    std::string server;
    std::string fileName;
    std::string period;
    std::string maxPts;
};

enum class FtpText { User, Password, Server, FileName, Period, MaxPts };

class CFtpStatusView {
public:
    virtual ~CFtpStatusView() = default;
    // Everything the getters return may have changed: show it again.
    virtual void refresh() = 0;
    // Only the status line and the last success changed (every refresh).
    virtual void showStatus(const std::string& status, const std::string& lastSuccess) = 0;
    virtual void setTimer(unsigned periodMs) = 0;
    // A message box over the dialog.
    virtual void message(const std::string& text) = 0;
    // Ends the dialog (with OK when `ok`).
    virtual void endDialog(bool ok) = 0;
};

class CFtpStatusLogic {
public:
    // `publisher` may be null (no publisher in this run): the dialog still
    // edits the settings. `now` reads the fix-time clock.
    CFtpStatusLogic(CFtpStatusView& view, COptionsDlg& options, CFtpPublisherControl* publisher,
                    std::function<int64_t()> now);

    // Opening: every field from its setting, the refresh timer armed.
    void open();
    void onTimer();

    // The two radio pairs: enable rules; on/off also starts or stops the
    // publisher at once.
    void onEnabled(bool on);
    void onUseFtp(bool on);
    // These write their setting at once.
    void onSaveAll(bool on);
    void onForceUpdates(bool on);
    void onCopyThenRename(bool on);
    void onText(FtpText field, const std::string& text);

    // OK: checks the fields (a message and the dialog stays open when one is
    // unusable), stores them trimmed, hands them to the publisher and ends.
    void onOk();
    // Cancel, Escape, the close box: the fields are dropped and the
    // publisher runs again as the stored setting says.
    void onCancel();

    const FtpStatusFields& fields() const { return m_fields; }
    // The account fields and the temporary-name box.
    bool accountEnabled() const { return m_fields.useFtp; }
    // Period, point limit, file name, vehicle choice, force box.
    bool publishingEnabled() const { return m_fields.enabled; }
    const std::string& statusLine() const { return m_status; }
    const std::string& lastSuccessText() const { return m_lastSuccess; }

private:
    void setRunning(bool on);

    CFtpStatusView& m_view;
    COptionsDlg& m_o;
    CFtpPublisherControl* m_publisher;
    std::function<int64_t()> m_now;
    FtpStatusFields m_fields;
    std::string m_status;
    std::string m_lastSuccess;
};
