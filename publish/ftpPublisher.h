// CftpServer, the web publisher: a worker thread that checks every second
// whether the local vehicle's track (or any track, with pftpSaveAll) has new
// points and then publishes the standalone KML document, either to an FTP
// server with a small FTP client of its own (passive mode, optionally through
// a temporary name renamed into place) or to a local file replaced whole.
//
// The main window and the settings dialog hand the account, file name, mode
// and period over with setParams() and start or stop the thread; they read
// status() and lastSuccess() to show the outcome.
#pragma once

#include "earth/kml.h"
#include "platform/liveSettings.h"
#include "platform/socket.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class CClients;

// Progress of the last publication; a failed one keeps the code of its step.
enum FtpStatus : int32_t {
    ftpNothing = 0,     // nothing attempted yet
    ftpLoggingIn = 1,   // also: the server could not be reached
    ftpBadPassword = 2, // password refused
    ftpBadUser = 3,     // user name refused
    ftpChangingDir = 4, // CWD refused
    ftpSending = 5,     // the file did not get there (or its name was refused)
    ftpRenaming = 6,    // the temporary file was not moved into place
    ftpDone = 7,        // published
};

// The temporary name, in the server directory of the published file.
constexpr const char* kFtpTempName = "nivraftp.tmp";
constexpr int kFtpPort = 21;
constexpr int kFtpCommandBudgetMs = 6000;
constexpr int kFtpReplyBudgetMs = 20000;
constexpr int kFtpDataBudgetMs = 20000;

// What the user chose (pftpUserName, pftpServerName, pftpPassword,
// pftpFileName, pftpUseFtp, pftpSavePeriod).
struct FtpParams {
    std::string user;
    std::string server;
    std::string password;
    std::string fileName;
    int32_t useFtp = 1;
    int32_t period = 7; // seconds; 0 stops publishing
};

// The publishing settings read at each publication (pftpSaveAll,
// pftpForceUpdates, pftpCopyThenRename, pftpMaxPts) and how the document is
// written.
struct FtpPublishing {
    bool saveAll = false;
    bool forceUpdates = false;
    bool copyThenRename = true;
    int maxPts = 20000;
    KmlOptions kml;
};

class CftpServer {
public:
    // Publishes the vehicles of `clients`.
    explicit CftpServer(CClients& clients);
    ~CftpServer();
    CftpServer(const CftpServer&) = delete;
    CftpServer& operator=(const CftpServer&) = delete;

    void setParams(const FtpParams& params);
    FtpParams params() const;
    // The settings each publication reads, replaced whole when one changes.
    void setPublishing(FtpPublishing publishing) { m_publishing.set(std::move(publishing)); }
    std::shared_ptr<const FtpPublishing> publishing() const { return m_publishing.get(); }

    // Starts the thread unless it runs (a thread still on its way out after
    // stop() carries on instead). stop() asks it to end and returns at once.
    void start();
    void stop();
    bool running() const { return m_threadState == 2; }

    // One publication with the settings handed over last.
    void uploadKml();
    void uploadKml(const FtpPublishing& publishing);

    int32_t status() const { return m_status; }
    // Fix-time-scale time of the last successful publication (0: none yet).
    int64_t lastSuccess() const { return m_lastSuccess; }

    // The FTP steps, on the control connection of the running publication.
    // login: 0 logged in, 1 failed (status says which step).
    int login(const FtpParams& params);
    // Sends one command line (logged, the password hidden); with `reply`, reads
    // the answer, which must carry the code `expected` when one is given.
    // 0 done; 1 answered otherwise; -1 the connection is gone.
    int doMsg(const std::string& command, std::string* reply = nullptr,
              const char* expected = nullptr);
    // 0 sent and confirmed, 1 failed, 2 no data connection.
    int sendFile(const std::string& name, const std::string& data);
    // Reads the next reply (preliminary 1xx replies are logged and skipped
    // while a code is expected). 0 the expected reply (or any, without one);
    // 1 another reply; -1 closed, reset or not FTP; EWOULDBLOCK no reply in time.
    int recvResp(Socket& s, std::string& reply, const char* expected);

    // Where the server listens and how long each wait lasts; tests shorten them.
    int m_port = kFtpPort;
    int m_commandBudgetMs = kFtpCommandBudgetMs;
    int m_replyBudgetMs = kFtpReplyBudgetMs;
    int m_dataBudgetMs = kFtpDataBudgetMs;

private:
    static void staticThreadFuncx(CftpServer* self);
    void publishingLoop();
    // Waits up to `ms`, ending early on stop or shutdown. False when ending.
    bool pause(unsigned ms);
    bool ending() const;
    int32_t signature(bool saveAll) const;
    bool buildDocument(const FtpPublishing& publishing, std::string& kml);
    void publishFile(const FtpParams& params, const std::string& kml);
    // 0 done, 1 failed, -1 the connection was lost on the way.
    int publishFtp(const FtpParams& params, const FtpPublishing& publishing,
                   const std::string& directory, const std::string& name, const std::string& kml);
    int passiveConnection(Socket& data);
    void closeControl();

    CClients& m_clients;
    std::atomic<int32_t> m_threadState{0}; // 2 while the thread runs
    std::atomic<int32_t> m_stop{0};
    mutable std::mutex m_paramsMutex;
    FtpParams m_params;
    LiveSettings<FtpPublishing> m_publishing;
    std::atomic<int32_t> m_status{ftpNothing};
    std::atomic<int64_t> m_lastSuccess{0};
    Socket m_control;
    std::string m_pending; // received bytes not yet taken as a reply
    int32_t m_lastSignature = 0;

    std::mutex m_runMutex; // start() against the thread's decision to end
    std::condition_variable m_wake;
    std::thread m_thread;
};
