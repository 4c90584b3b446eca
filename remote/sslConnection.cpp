#include "remote/sslConnection.h"

#include "platform/runtime.h"
#include "trace/trace.h"
#include "track/outsideText.h"

#include "remote/tlsLibraries.h"

#include <cctype>

namespace {

// A host name or address as it may stand in a URL: no user part, path,
// spaces or control characters can be smuggled in.
bool plainHost(const std::string& host) {
    if (host.empty() || host.size() > 255)
        return false;
    for (unsigned char c : host)
        if (!(std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == ':'))
            return false;
    return true;
}

// A request path and query: printable, no spaces, no fragment.
bool plainObject(const std::string& object) {
    if (object.size() > 8192)
        return false;
    for (unsigned char c : object)
        if (c <= ' ' || c >= 0x7f || c == '#')
            return false;
    return true;
}

bool plainVerb(const std::string& verb) {
    if (verb.empty() || verb.size() > 16)
        return false;
    for (unsigned char c : verb)
        if (!std::isupper(c))
            return false;
    return true;
}

} // namespace

// The callbacks, with the exact types libcurl and OpenSSL call them by.
struct SslCallbacks {
    static size_t onData(char* data, size_t size, size_t count, void* self) {
        auto* c = static_cast<CSslConnection*>(self);
        size_t n = size * count;
        if (c->m_reply.size() > c->m_maxReply || n > c->m_maxReply - c->m_reply.size()) {
            c->m_replyTooLarge = true;
            return 0; // libcurl ends the transfer with a write error
        }
        c->m_reply.append(data, n);
        return n;
    }

    static int onProgress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return g_bShutdown.load() != 0 ? 1 : 0;
    }

    static CURLcode onSslContext(CURL*, void* sslCtx, void* self) {
        auto* ctx = static_cast<SSL_CTX*>(sslCtx);
        auto* c = static_cast<CSslConnection*>(self);
        const TlsLibraries& tls = *c->m_tls;
        tls.SSL_CTX_set_ex_data(ctx, tls.connectionIndex, c);
        tls.SSL_CTX_set_client_cert_cb(ctx, &SslCallbacks::onCertificateRequest);
        X509_STORE* store = tls.SSL_CTX_get_cert_store(ctx);
        if (!c->m_caFile.empty() && tls.X509_STORE_load_file(store, c->m_caFile.c_str()) != 1)
            NTRACE("cannot read the certificate authorities in %s", c->m_caFile.c_str());
        if (!c->m_verifyServer)
            tls.X509_STORE_set_flags(store, X509_V_FLAG_NO_CHECK_TIME);
        return CURLE_OK;
    }

    // Called only when the server asks for a client certificate.
    static int onCertificateRequest(SSL* ssl, X509** cert, EVP_PKEY** key) {
        std::string why;
        const TlsLibraries* tls = tlsLibraries(why);
        if (!tls)
            return 0;
        auto* c = static_cast<CSslConnection*>(
            tls->SSL_CTX_get_ex_data(tls->SSL_get_SSL_CTX(ssl), tls->connectionIndex));
        if (!c)
            return 0;
        c->m_certAsked = true;
        if (!c->m_certificate.cert) {
            std::string why;
            if (!findClientCertificate(c->m_certStoreType, c->m_strOrganizationUnit,
                                       c->m_certificate, why)) {
                c->m_certProblem = why;
                return 0; // the handshake goes on without a certificate
            }
            NTRACE("client certificate %s", c->m_certificate.file.c_str());
        }
        if (tls->X509_up_ref(c->m_certificate.cert.get()) != 1)
            return 0;
        if (tls->EVP_PKEY_up_ref(c->m_certificate.key.get()) != 1) {
            tls->X509_free(c->m_certificate.cert.get());
            c->m_certProblem = "Cannot set certificate context";
            return 0;
        }
        *cert = c->m_certificate.cert.get();
        *key = c->m_certificate.key.get();
        return 1;
    }
};

// A handle exists only once the libraries are loaded, and they stay loaded.
void CSslConnection::CurlFree::operator()(CURL* p) const {
    std::string why;
    if (const TlsLibraries* tls = tlsLibraries(why))
        tls->easy_cleanup(p);
}

CSslConnection::CSslConnection() = default;

CSslConnection::~CSslConnection() {
    close();
}

bool CSslConnection::setError(const std::string& text, int code) {
    m_strLastError = text;
    m_lastErrorCode = code;
    NTRACE("%s Code: %d", logText(text).c_str(), code);
    return false;
}

bool CSslConnection::fail(const std::string& text, int code) {
    setError(text, code);
    close();
    return false;
}

bool CSslConnection::open(const std::string& verb) {
    close();
    std::string why;
    m_tls = tlsLibraries(why);
    if (!m_tls)
        return fail("Cannot open internet: " + why, CURLE_FAILED_INIT);
    m_hInternet.reset(m_tls->easy_init());
    if (!m_hInternet)
        return fail("Cannot open internet", CURLE_FAILED_INIT);
    CURL* h = m_hInternet.get();
    // Under this name the calls go through libcurl's header, which checks
    // each option's value type while compiling.
    const auto curl_easy_setopt = m_tls->easy_setopt;
    if (!m_strAgentName.empty())
        curl_easy_setopt(h, CURLOPT_USERAGENT, m_strAgentName.c_str());

    if (!plainHost(m_strServerName) || m_wPort < 1 || m_wPort > 65535)
        return fail("Cannot connect to internet", CURLE_URL_MALFORMAT);
    if (!m_strUserName.empty()) {
        curl_easy_setopt(h, CURLOPT_USERNAME, m_strUserName.c_str());
        curl_easy_setopt(h, CURLOPT_PASSWORD, m_strPassword.c_str());
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
    }

    if (!plainVerb(verb) || !plainObject(m_strObjectName))
        return fail("Cannot perform http request", CURLE_URL_MALFORMAT);
    std::string host = m_strServerName.find(':') != std::string::npos ? "[" + m_strServerName + "]"
                                                                      : m_strServerName;
    std::string path = m_strObjectName.empty() || m_strObjectName[0] != '/' ? "/" + m_strObjectName
                                                                            : m_strObjectName;
    std::string url = "https://" + host + ":" + std::to_string(m_wPort) + path;
    CURLcode rc = curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    if (rc == CURLE_OK) {
        if (verb == "GET") {
            rc = curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
        } else if (verb == "HEAD") {
            rc = curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
        } else if (verb == "POST") {
            curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, 0L);
            rc = curl_easy_setopt(h, CURLOPT_POSTFIELDS, "");
        } else {
            rc = curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, verb.c_str());
        }
    }
    if (rc != CURLE_OK)
        return fail("Cannot perform http request", rc);

    // HTTPS only, also after a redirect; every attempt makes a fresh
    // connection so a relaxed retry never rides on a refused one.
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kSslConnectTimeoutS);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, m_totalTimeoutS);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &SslCallbacks::onData);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &SslCallbacks::onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, m_curlError);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &SslCallbacks::onSslContext);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, this);
    ++m_ReqID;
    return true;
}

bool CSslConnection::send() {
    if (!m_hInternet)
        return setError("Cannot perform http request", CURLE_FAILED_INIT);
    CURL* h = m_hInternet.get();
    const auto curl_easy_setopt = m_tls->easy_setopt;
    m_relaxAuthority = false;
    for (int attempt = 1; attempt <= kSslSendAttempts; ++attempt) {
        m_reply.clear();
        m_replyTooLarge = false;
        m_certAsked = false;
        m_certProblem.clear();
        m_curlError[0] = '\0';
        m_httpStatus = 0;
        // Without verification the certificate's name and dates are not
        // checked, and its authority only until it proves unknown.
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, m_verifyServer ? 2L : 0L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, m_verifyServer || !m_relaxAuthority ? 1L : 0L);

        CURLcode rc = m_tls->easy_perform(h);
        m_tls->easy_getinfo(h, CURLINFO_RESPONSE_CODE, &m_httpStatus);
        if (rc == CURLE_OK)
            return true;
        std::string reason = m_curlError[0] ? m_curlError : m_tls->easy_strerror(rc);
        if (m_certAsked && !m_certProblem.empty()) {
            NTRACE("%s", m_certProblem.c_str());
            return setError("Cannot perform http request, client authentication needed but "
                            "couldnt detect required client certificate",
                            rc);
        }
        if (rc == CURLE_PEER_FAILED_VERIFICATION) {
            if (m_verifyServer)
                return setError("server certificate not trusted: " + reason, rc);
            if (attempt >= 2)
                return setError("Cannot perform http request, client authentication needed, "
                                "invalid client certificate is used",
                                rc);
            NTRACE("server certificate not trusted (%s); TlsVerify is 0, trying again",
                   reason.c_str());
            m_relaxAuthority = true;
            continue;
        }
        if (m_replyTooLarge)
            return setError("Cannot perform http request: reply larger than " +
                                std::to_string(m_maxReply) + " bytes",
                            rc);
        if (rc == CURLE_ABORTED_BY_CALLBACK)
            return setError("Cannot perform http request: shutting down", rc);
        return setError("Cannot perform http request: " + reason, rc);
    }
    return false;
}

std::string CSslConnection::read() {
    std::string text;
    text.swap(m_reply);
    return text;
}

void CSslConnection::close() {
    m_hInternet.reset();
    m_certificate = ClientCertificate{};
}
