#include "publish/ftpPublisher.h"

#include "earth/kml.h"
#include "platform/atomicFile.h"
#include "platform/paths.h"
#include "platform/runtime.h"
#include "publish/ftpProtocol.h"
#include "remote/client.h"
#include "remote/rawSock.h"
#include "trace/trace.h"
#include "track/outsideText.h"
#include "track/track.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace {

// The most bytes taken from the control connection in one receive.
constexpr size_t kControlChunk = 4096;
constexpr unsigned kIdleStepMs = 1000;

bool isPassCommand(const std::string& command) {
    return command.find("PASS") != std::string::npos;
}

} // namespace

CftpServer::CftpServer(CClients& clients) : m_clients(clients) {}

CftpServer::~CftpServer() {
    stop();
    if (m_thread.joinable())
        m_thread.join();
}

void CftpServer::setParams(const FtpParams& params) {
    std::lock_guard<std::mutex> lock(m_paramsMutex);
    m_params = params;
}

FtpParams CftpServer::params() const {
    std::lock_guard<std::mutex> lock(m_paramsMutex);
    return m_params;
}

void CftpServer::start() {
    std::lock_guard<std::mutex> lock(m_runMutex);
    m_stop = 0;
    // A thread that has not yet decided to end sees the cleared flag and
    // carries on; its decision is taken under the same lock.
    if (m_threadState == 2)
        return;
    if (m_thread.joinable())
        m_thread.join();
    m_threadState = 2;
    m_thread = std::thread(&CftpServer::staticThreadFuncx, this);
}

void CftpServer::stop() {
    {
        std::lock_guard<std::mutex> lock(m_runMutex);
        m_stop = 1;
    }
    m_wake.notify_all();
}

bool CftpServer::ending() const {
    return m_stop != 0 || g_bShutdown != 0;
}

bool CftpServer::pause(unsigned ms) {
    std::unique_lock<std::mutex> lock(m_runMutex);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    // The shutdown flag has no one to wake this wait: look at it every second.
    while (!ending()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until)
            return true;
        const auto step = std::min<std::chrono::steady_clock::duration>(
            until - now, std::chrono::milliseconds(kIdleStepMs));
        m_wake.wait_for(lock, step, [this] { return m_stop != 0; });
    }
    return false;
}

void CftpServer::staticThreadFuncx(CftpServer* self) {
    try {
        self->publishingLoop();
    } catch (...) {
        NTRACE("Unhandled exception in ftp server thread");
    }
    std::lock_guard<std::mutex> lock(self->m_runMutex);
    self->m_threadState = 0;
}

void CftpServer::publishingLoop() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_runMutex);
            if (m_stop || g_bShutdown) {
                m_threadState = 0;
                return;
            }
        }
        bool first = true;
        uint32_t lastRun = 0;
        for (int32_t period; !ending() && (period = params().period) > 0;) {
            const uint64_t periodMs = uint64_t(period) * 1000;
            if (first || m_status != ftpDone || tickCountMs() - lastRun >= periodMs) {
                first = false;
                lastRun = tickCountMs();
                uploadKml();
            }
            if (m_status == ftpDone) {
                for (int32_t s = 0; s < period && pause(kIdleStepMs); ++s) {
                }
            } else {
                pause(kIdleStepMs);
            }
        }
        pause(kIdleStepMs);
    }
}

int32_t CftpServer::signature(bool saveAll) const {
    if (!saveAll) {
        const CClient* local = m_clients.localVehicle();
        return local ? local->track.m_seqNum.load() : 0;
    }
    int32_t sig = 0;
    for (const CClient* v : m_clients.vehicles()) {
        const int32_t seq = v->track.m_seqNum;
        if (seq > 0)
            sig |= seq;
    }
    return sig;
}

bool CftpServer::buildDocument(const FtpPublishing& publishing, std::string& kml) {
    if (publishing.saveAll) {
        allVehiclesKml(kml, publishing.maxPts, m_clients.vehicles(), publishing.kml);
        return true;
    }
    CClient* local = m_clients.localVehicle();
    if (!local)
        return false;
    TrackLockGuard lock;
    if (!lock.ok()) {
        NTRACE("track lock not granted, nothing published");
        return false;
    }
    vehicleKml(*local, kml, kmlSingle, publishing.maxPts, publishing.kml);
    return true;
}

void CftpServer::uploadKml() {
    uploadKml(*m_publishing.get());
}

void CftpServer::uploadKml(const FtpPublishing& publishing) {
    const int32_t sig = signature(publishing.saveAll);
    if (sig <= 0 || (sig == m_lastSignature && !publishing.forceUpdates))
        return;
    m_lastSignature = sig;
    m_status = ftpNothing;
    const FtpParams p = params();

    if (!p.useFtp) {
        if (p.fileName.empty())
            return;
        std::string kml;
        if (!buildDocument(publishing, kml)) {
            m_status = ftpSending;
            return;
        }
        publishFile(p, kml);
        return;
    }

    // Everything that goes into a command line is checked before the server
    // hears from us: a line break in a name would start a command of its own.
    std::string directory, name;
    const std::string why = splitFtpFileName(p.fileName, directory, name);
    if (!why.empty()) {
        m_status = ftpSending;
        NTRACE("file name refused: %s", why.c_str());
        NTRACE("ftp error");
        return;
    }
    if (!fitsFtpCommand(p.user) || !fitsFtpCommand(p.password) || !fitsFtpCommand(p.server)) {
        m_status = ftpLoggingIn;
        NTRACE("control characters in the user name, password or server refused");
        NTRACE("ftp error");
        return;
    }
    std::string kml;
    if (!buildDocument(publishing, kml)) {
        m_status = ftpSending;
        NTRACE("ftp error");
        return;
    }

    int rc = publishFtp(p, publishing, directory, name, kml);
    closeControl();
    if (rc < 0 && !ending()) {
        // The server dropped the connection after the login: once more from
        // the start, as the directory and the temporary name went with it.
        NTRACE("retrying login");
        rc = publishFtp(p, publishing, directory, name, kml);
        closeControl();
    }
    if (rc != 0)
        NTRACE("ftp error");
}

void CftpServer::publishFile(const FtpParams& p, const std::string& kml) {
    const std::string path = FullPath(p.fileName);
    std::string error;
    if (writeFileAtomically(path, kml, error)) {
        m_status = ftpDone;
        m_lastSuccess = nowFixTime();
    } else {
        m_status = ftpSending;
        NTRACE("%s", error.c_str());
    }
}

int CftpServer::publishFtp(const FtpParams& p, const FtpPublishing& publishing,
                           const std::string& directory, const std::string& name,
                           const std::string& kml) {
    m_status = ftpLoggingIn;
    if (login(p) != 0)
        return 1;
    std::string reply;
    int rc;
    if (!directory.empty()) {
        m_status = ftpChangingDir;
        if ((rc = doMsg("CWD " + directory + "\r\n", &reply, "250")) != 0)
            return rc;
    }
    if (publishing.copyThenRename) {
        // A temporary file left by an interrupted publication goes into place
        // first; usually there is none and the server says so.
        rc = doMsg(std::string("RNFR ") + kFtpTempName + "\r\n", &reply);
        if (rc < 0)
            return rc;
        if (ftpReplyCode(reply) == 350 && (rc = doMsg("RNTO " + name + "\r\n", &reply, "250")) != 0)
            return rc;
    }
    m_status = ftpSending;
    if (sendFile(publishing.copyThenRename ? kFtpTempName : name, kml) != 0)
        return 1;
    if (publishing.copyThenRename) {
        m_status = ftpRenaming;
        // Servers that cannot rename onto an existing file need it gone;
        // the first publication has nothing to delete.
        if ((rc = doMsg("DELE " + name + "\r\n", &reply, "250")) < 0)
            return rc;
        if ((rc = doMsg(std::string("RNFR ") + kFtpTempName + "\r\n", &reply, "350")) != 0)
            return rc;
        if ((rc = doMsg("RNTO " + name + "\r\n", &reply, "250")) != 0)
            return rc;
    }
    m_status = ftpDone;
    m_lastSuccess = nowFixTime();
    return 0;
}

void CftpServer::closeControl() {
    m_control.close();
    m_pending.clear();
}

int CftpServer::login(const FtpParams& p) {
    NTRACE("\nConnecting\n");
    closeControl();
    m_control = rawOpenConnect(p.server, m_port, false);
    if (!m_control.valid())
        return 1;
    std::string reply;
    if (recvResp(m_control, reply, "220") != 0)
        return 1;

    if (doMsg("USER " + p.user + "\r\n", &reply) != 0)
        return 1;
    int code = ftpReplyCode(reply);
    // Some servers let a user in without a password (230); PASS is sent all
    // the same, and its answer no longer matters.
    const bool inAlready = code == 230;
    if (code >= 400) {
        if (code >= 500)
            m_status = ftpBadUser;
        NTRACE("user name refused");
        return 1;
    }

    if (doMsg("PASS " + p.password + "\r\n", &reply) != 0)
        return 1;
    code = ftpReplyCode(reply);
    if (inAlready || (code >= 200 && code < 300))
        return 0;
    if (code >= 500 || code < 400)
        m_status = ftpBadPassword;
    NTRACE("password refused");
    return 1;
}

int CftpServer::doMsg(const std::string& command, std::string* reply, const char* expected) {
    if (reply)
        reply->clear();
    if (!m_control.valid())
        return -1;
    const int sent = rawSendMsg(m_control, command.data(), command.size(), m_commandBudgetMs);
    if (isPassCommand(command))
        NTRACE("PASS ***\r\n");
    else
        NTRACE("%s", command.c_str());
    if (sent != 0)
        return -1;
    if (!reply)
        return 0;
    const int rc = recvResp(m_control, *reply, expected);
    if (rc == 0 || rc == 1)
        return rc;
    // A server that does not answer in time has not dropped the connection,
    // but the exchange is over all the same.
    return rc == EWOULDBLOCK ? 1 : -1;
}

int CftpServer::recvResp(Socket& s, std::string& reply, const char* expected) {
    const int want = expected ? std::atoi(expected) : 0;
    for (int n = 0; n < 3; ++n) {
        reply.clear();
        const uint32_t start = tickCountMs();
        int taken;
        while ((taken = takeFtpReply(m_pending, reply)) == 0) {
            const uint32_t spent = tickCountMs() - start;
            if (spent >= uint32_t(m_replyBudgetMs)) {
                NTRACE("no reply within %d ms", m_replyBudgetMs);
                return EWOULDBLOCK;
            }
            std::string chunk;
            const int rc = rawRecvMsg(s, chunk, kControlChunk, false, m_replyBudgetMs - int(spent));
            if (rc == EWOULDBLOCK) {
                NTRACE("no reply within %d ms", m_replyBudgetMs);
                return EWOULDBLOCK;
            }
            if (rc != 0)
                return -1;
            if (chunk.empty()) {
                NTRACE("connection closed by the server");
                return -1;
            }
            m_pending += chunk;
        }
        if (taken < 0) {
            NTRACE("not an FTP reply, %zu bytes", m_pending.size());
            m_pending.clear();
            return -1;
        }
        NTRACE("received %s", logText(reply).c_str());
        if (!expected)
            return 0;
        const int code = ftpReplyCode(reply);
        if (code == want)
            return 0;
        if (code >= 200)
            break; // a final answer: no other reply will come for this command
    }
    NTRACE("didn't get expected resp %s", expected);
    return 1;
}

int CftpServer::passiveConnection(Socket& data) {
    std::string reply;
    const int rc = doMsg("PASV\r\n", &reply, "227");
    if (rc != 0) {
        if (reply.empty())
            closeControl();
        return 1;
    }
    std::string named;
    int port = 0;
    if (!parsePassiveReply(reply, named, port)) {
        NTRACE("PASV reply refused, no data address in it: %s", logText(reply).c_str());
        return 1;
    }
    // The data goes to the server we are talking to, whatever address its
    // reply names (only the port is taken): a hostile or misconfigured server
    // must not aim our upload at another host.
    const std::string server = m_control.peerAddress();
    if (server.empty()) {
        NTRACE("PASV refused: the control connection's address is unknown");
        return 1;
    }
    if (named != server)
        NTRACE_WARN("PASV named %s; the data connection goes to the server's own address %s",
                    named.c_str(), server.c_str());
    data = rawOpenConnect(server, port, false);
    return data.valid() ? 0 : 1;
}

int CftpServer::sendFile(const std::string& name, const std::string& data) {
    std::string reply;
    if (doMsg("TYPE L 8\r\n", &reply, "200") != 0)
        return 1;
    Socket channel;
    if (passiveConnection(channel) != 0)
        return 2;
    const std::string stor = "STOR " + name + "\r\n";
    const int sent = rawSendMsg(m_control, stor.data(), stor.size(), m_commandBudgetMs);
    NTRACE("%s", stor.c_str());
    if (sent != 0)
        return 1;
    const bool ok = rawSendMsg(channel, data.data(), data.size(), m_dataBudgetMs) == 0;
    NTRACE(ok ? "file sent ok\n" : "error sending file\n");
    channel.close();
    if (!ok)
        return 1;
    for (int i = 0; i < 3; ++i) {
        const int rc = recvResp(m_control, reply, "226");
        if (rc == 0)
            return 0;
        NTRACE("didn't get 226??");
        if (rc != EWOULDBLOCK)
            return 1; // refused, or the connection is gone: no 226 will come
    }
    return 1;
}
