// CSslConnection: the HTTPS client of the service links, one request per
// connection object, on libcurl with OpenSSL, both loaded on the first
// open (remote/tlsLibraries.h); when they cannot be loaded, open fails with
// "Cannot open internet: " and the reason. Calling order: set, open, send,
// read, destruct. Failures come back as false with a text and a code kept for
// the caller ("%s Code: %d"); the code is libcurl's (CURLcode), and the text
// ends with libcurl's own explanation.
//
// Server certificates are verified (chain, name and dates, against the
// system's CA store) unless the TlsVerify setting is 0. A client certificate
// is taken from a certificate folder (remote/clientCertificates.h) only when
// the server asks for one.
#pragma once

#include "remote/clientCertificates.h"

#include <cstdint>
#include <memory>
#include <string>

using CURL = void;
struct TlsLibraries;

// The certificate store types.
enum CertStoreType : int { certStoreMy = 0, certStoreCa = 1, certStoreRoot = 2, certStoreSpc = 3 };

// Attempts of one send (each a full request).
constexpr int kSslSendAttempts = 20;
// The most a reply may hold; a bigger one fails the request.
constexpr size_t kSslMaxReply = 64u << 20;
// Time limits of a request, in seconds (total limit settable per connection).
constexpr long kSslConnectTimeoutS = 30;
constexpr long kSslTotalTimeoutS = 300;

class CSslConnection {
public:
    CSslConnection();
    virtual ~CSslConnection();
    CSslConnection(const CSslConnection&) = delete;
    CSslConnection& operator=(const CSslConnection&) = delete;

    void setServerName(const std::string& name) { m_strServerName = name; }
    void setObjectName(const std::string& name) { m_strObjectName = name; }
    void setPort(int port) { m_wPort = port; }
    void setUserName(const std::string& name) { m_strUserName = name; }
    void setPassword(const std::string& password) { m_strPassword = password; }
    void setAgentName(const std::string& agent) { m_strAgentName = agent; }
    void setCertStoreType(int type) { m_certStoreType = type; }
    void setRequestID(int id) { m_ReqID = id; }
    // The organisational unit a client certificate's subject must carry
    // (empty: any certificate of the store).
    void setOrganizationUnit(const std::string& unit) { m_strOrganizationUnit = unit; }
    // A PEM file of certificate authorities trusted besides the system's.
    void setCaFile(const std::string& path) { m_caFile = path; }
    // Verification of the server's certificate (on unless the caller turns
    // it off, as the TlsVerify setting 0 asks).
    void setVerifyServer(bool on) { m_verifyServer = on; }
    void setTotalTimeout(long seconds) { m_totalTimeoutS = seconds; }
    // The most a reply may hold (at most kSslMaxReply); a bigger one fails.
    void setMaxReply(size_t bytes) { m_maxReply = bytes < kSslMaxReply ? bytes : kSslMaxReply; }

    const std::string& getLastErrorString() const { return m_strLastError; }
    int getLastErrorCode() const { return m_lastErrorCode; }
    int getRequestID() const { return m_ReqID; }
    // The HTTP status of the last reply (0 before one came).
    long httpStatus() const { return m_httpStatus; }
    // The file of the client certificate presented (empty when none was).
    const std::string& clientCertificateFile() const { return m_certificate.file; }

    // Prepares a request with `verb` ("GET", "POST", "HEAD"...).
    bool open(const std::string& verb = "GET");
    // Performs the request, with the retries of a certificate failure.
    bool send();
    // The whole reply of the last send (empty when nothing came).
    std::string read();
    void close();

private:
    struct CurlFree {
        void operator()(CURL* p) const;
    };
    friend struct SslCallbacks; // libcurl's and OpenSSL's callbacks
    bool fail(const std::string& text, int code);
    bool setError(const std::string& text, int code);

    const TlsLibraries* m_tls = nullptr;         // loaded by the first open
    std::unique_ptr<CURL, CurlFree> m_hInternet; // the request, as libcurl holds it
    std::string m_strServerName;
    std::string m_strObjectName;
    int m_wPort = 443;
    ClientCertificate m_certificate; // chosen client certificate
    int m_certStoreType = certStoreMy;
    std::string m_strUserName;
    std::string m_strPassword;
    std::string m_strAgentName;
    std::string m_strOrganizationUnit;
    std::string m_strLastError;
    int m_lastErrorCode = 0;
    int m_ReqID = 0;

    std::string m_caFile;
    bool m_verifyServer = true;
    bool m_relaxAuthority = false; // the unknown-authority retry, only when not verifying
    long m_totalTimeoutS = kSslTotalTimeoutS;
    std::string m_reply;
    bool m_replyTooLarge = false;
    size_t m_maxReply = kSslMaxReply;
    bool m_certAsked = false;
    std::string m_certProblem; // why no certificate could be given when one was asked
    long m_httpStatus = 0;
    char m_curlError[256] = {};
};
