#include "remote/rawSock.h"

#include "platform/runtime.h"
#include "platform/tcpConnect.h"
#include "trace/trace.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The slice in which a wait looks at the shutdown flag.
constexpr int kShutdownPollMs = 10;
// The most one receive takes, so that a large buffer is not cleared for
// every small reply.
constexpr size_t kRecvChunk = 64 * 1024;

bool shuttingDown() {
    return g_bShutdown.load() != 0;
}

// Waits up to one step for the socket, in slices, so that both the socket
// becoming ready and the program shutting down end the wait early.
void waitStep(Socket& s, bool forWrite) {
    for (int waited = 0; waited < kRawStepMs && !shuttingDown(); waited += kShutdownPollMs) {
        if (waitSocket(s, forWrite, kShutdownPollMs) != 0)
            return;
    }
}

// The errors of a send that mean "the connection is not ready yet": a
// non-blocking connect still under way, or a full send buffer.
bool sendMayRetry(int err) {
    return err == EWOULDBLOCK || err == EAGAIN || err == ENOTCONN;
}

// The errors after which no byte can come on the connection any more.
bool connectionGone(int err) {
    return err == ECONNRESET || err == ECONNREFUSED || err == ENOTCONN || err == EPIPE ||
           err == ETIMEDOUT || err == EHOSTUNREACH || err == ENETUNREACH || err == EBADF;
}

} // namespace

Socket rawOpenConnect(const std::string& host, int port, bool blocking) {
    sockaddr_in address{};
    int rc = resolveIPv4(host, port, address);
    if (rc != 0) {
        NTRACE("%s: getaddrinfo() error %d (%s)", host.c_str(), rc, resolveErrorText(rc));
        return Socket();
    }
    int err = 0;
    Socket s = Socket::tcp(err);
    if (!s.valid()) {
        NTRACE("%s: socket() error %d", host.c_str(), err);
        return Socket();
    }
    if (!blocking && (err = setNonBlocking(s, true)) != 0) {
        NTRACE("%s: socket() error %d", host.c_str(), err);
        return Socket();
    }
    err = startConnect(s, address);
    if (err != 0 && err != EINPROGRESS && err != EWOULDBLOCK) {
        NTRACE("%s:error connecting %d", host.c_str(), err);
        return Socket();
    }
    return s;
}

int rawSendMsg(Socket& s, const char* data, size_t length, int budgetMs) {
    if (length == 0 && data != nullptr)
        length = std::strlen(data);
    const int tries = budgetMs > 0 ? budgetMs / kRawStepMs : 0;
    size_t sent = 0;
    int made = 0;
    int failure = 0;
    while (made < tries && sent < length && !shuttingDown()) {
        long n = s.send(data + sent, length - sent);
        ++made;
        if (n > 0) {
            // A large message may need several sends; the rest goes on at once.
            sent += static_cast<size_t>(n);
            continue;
        }
        int err = n < 0 ? static_cast<int>(-n) : EPIPE;
        if (made <= 2 || !sendMayRetry(err))
            NTRACE("writing %d", err);
        if (!sendMayRetry(err)) {
            failure = err;
            break;
        }
        waitStep(s, true);
    }
    if (made > 1)
        NTRACE("made %d tries writing", made);
    if (sent == length)
        return 0;
    if (failure != 0)
        NTRACE("error writing to socket %d, %zu of %zu bytes sent", failure, sent, length);
    else if (made >= tries)
        NTRACE("too many tries writing to socket");
    else
        NTRACE("shutting down, %zu of %zu bytes sent", sent, length);
    return 1;
}

int rawSendMsg(Socket& s, const std::string& text) {
    if (text.empty())
        return 0;
    return rawSendMsg(s, text.data(), text.size(), kRawSendBudgetMs);
}

int rawRecvMsg(Socket& s, std::string& buffer, size_t size, bool readAll, int budgetMs) {
    buffer.clear();
    const int tries = budgetMs > 0 ? budgetMs / kRawStepMs : 0;
    int errors = 0;
    int waits = 0;
    int result = 0;
    bool ended = false;
    std::string chunk;
    while (errors < tries && !shuttingDown()) {
        if (buffer.size() >= size) {
            NTRACE("reply fills the %zu-byte buffer, the rest is not read", size);
            result = 0;
            ended = true;
            break;
        }
        chunk.resize(std::min(kRecvChunk, size - buffer.size()));
        long n = s.recv(chunk.data(), chunk.size());
        if (n > 0) {
            buffer.append(chunk.data(), static_cast<size_t>(n));
            NTRACE("got %ld bytes", n);
            result = 0;
            if (!readAll) {
                ended = true;
                break;
            }
            continue;
        }
        if (n == 0) {
            result = 0;
            ended = true;
            break;
        }
        result = static_cast<int>(-n);
        if (result != EWOULDBLOCK && result != EAGAIN) {
            NTRACE("error receiving %d", result);
            if (result == ECONNRESET)
                NTRACE("connection reset %d", result);
            if (connectionGone(result)) {
                ended = true;
                break;
            }
            ++errors;
        }
        if (++waits >= tries) {
            NTRACE("too many tries while connected, giving up");
            ended = true;
            break;
        }
        waitStep(s, false);
    }
    if (!ended) {
        // Shutdown (or a budget too small for one try) ended the receive
        // before the reply did: never report that as a complete reply.
        NTRACE("receive abandoned after %zu bytes", buffer.size());
        result = shuttingDown() ? ECANCELED : EWOULDBLOCK;
    }
    return result;
}
