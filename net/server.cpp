#include "net/server.h"

#include "platform/runtime.h"
#include "platform/socket.h"
#include "platform/uiServices.h"
#include "trace/throttle.h"
#include "trace/trace.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

// Every listener that runs, so that shutdown can wake them all.
std::mutex g_runningMutex;
std::set<CServer*> g_running;

constexpr unsigned kWaitSliceMs = 50;
// The event loop looks at the shutdown flag at least this often.
constexpr unsigned kLoopSliceMs = 200;
// Connections taken from the queue per wake, so a flood cannot starve the
// connections already open.
constexpr int kAcceptBurst = 64;
// A refused or dropped connection is logged once per kind and address, then
// counted for this long.
constexpr auto kRefusalLogPeriod = std::chrono::seconds(60);
constexpr size_t kReadChunk = 4096;
// Freed reply buffers this large go back to the system at once.
constexpr size_t kReleaseAfterBytes = size_t(1) << 20;

using Clock = std::chrono::steady_clock;

// One accepted connection, from its first byte to its last.
struct Connection {
    Socket sock;
    std::string peer;
    std::string request; // what arrived so far, at most kMaxRequest
    bool peerClosed = false;
    bool sending = false;           // the handler ran; the reply is going out
    Clock::time_point deadline;     // to finish the current phase (or window)
    Clock::time_point lastArrival;  // of the latest bytes
    Clock::time_point lastProgress; // the accept, or the latest bytes read or sent
    Clock::time_point opened;
    // The reply: bytes built for it, possibly shared with other connections
    // sending the same, or none for a static text.
    std::shared_ptr<const std::string> buffer;
    std::string_view out; // the reply bytes still to send
    int32_t result = 0;
    size_t sent = 0;              // handed to the system
    size_t delivered = 0;         // of those, acknowledged by the client's side
    size_t deliveredAtWindow = 0; // `delivered` when the current send window began
    bool firstWindow = true;      // the first window asks for no particular rate
};

// Notes what the client took of its reply. Bytes the system accepted are not
// yet the client's: a send queue of megabytes fills at once whether anyone
// reads or not. What the client's side acknowledged is what counts.
void noteDelivery(Connection& c, Clock::time_point now) {
    const long queued = c.sock.unacknowledged();
    const size_t delivered =
        queued < 0 ? c.sent : c.sent - std::min(c.sent, static_cast<size_t>(queued));
    if (delivered > c.delivered) {
        c.delivered = delivered;
        c.lastProgress = now;
    }
}

// Logs the first error or refusal of a period per kind and address, and
// counts the rest: whatever a client does over and over, the log gets one
// line a minute for it.
class RefusalLog {
public:
    // `text` is the whole line; `kind` and `peer` choose its throttle.
    void note(int severity, std::string_view kind, const std::string& peer,
              const std::string& text) {
        int heldBack = 0;
        if (!m_throttle.allow(kind, peer, Clock::now(), heldBack))
            return;
        if (heldBack > 0)
            NTRACE_AS_AT("CServer::server", severity, "%s (%d more like it not logged)",
                         text.c_str(), heldBack);
        else
            NTRACE_AS_AT("CServer::server", severity, "%s", text.c_str());
    }

private:
    KeyedTraceThrottle m_throttle{kRefusalLogPeriod};
};

int msUntil(Clock::time_point when, Clock::time_point now) {
    if (when <= now)
        return 0;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count() + 1;
    return static_cast<int>(std::min<long long>(ms, kLoopSliceMs));
}

} // namespace

int32_t ServerReply::give(std::string text) {
    owned = std::move(text);
    return static_cast<int32_t>(std::min<size_t>(owned.size(), INT32_MAX));
}

int32_t ServerReply::giveStatic(std::string_view text) {
    fixed = text;
    return -static_cast<int32_t>(std::min<size_t>(fixed.size(), INT32_MAX));
}

int32_t ServerReply::giveShared(std::shared_ptr<const std::string> text) {
    shared = std::move(text);
    return shared ? static_cast<int32_t>(std::min<size_t>(shared->size(), INT32_MAX)) : 0;
}

std::string_view ServerReply::bytes(int32_t result) const {
    if (result == 0)
        return {};
    // Widen before negating: -INT32_MIN does not fit in 32 bits.
    int64_t wanted = result > 0 ? int64_t{result} : -int64_t{result};
    std::string_view held = result < 0 ? fixed
                            : shared   ? std::string_view(*shared)
                                       : std::string_view(owned);
    return held.substr(0, static_cast<size_t>(std::min<int64_t>(wanted, int64_t(held.size()))));
}

int32_t nullPortHandler(std::span<char>, const char*, ServerReply&, void*) {
    return 0;
}

std::string reachText(const std::string& address) {
    if (address.empty() || address == "0.0.0.0")
        return "every network";
    if (address.starts_with("127."))
        return "this machine only";
    return address + " only";
}

std::string bindFailureMessage(int port, int error, const std::string& address) {
    if (error == EADDRINUSE) {
        if (port == kFixBlurPort)
            return "Nivra can't open port 80, are you running an http server? You can't run an "
                   "http server and use the \"Blurry image fix\". Uncheck \"Blurry image fix\" "
                   "in the Options dialog, delete any NivraServers network links in the Google "
                   "Earth Places folder, and restart Nivra";
        return "Nivra can't open one or more ports, make sure only one copy of Nivra is running";
    }
    // Not a second copy: a port below 1024 without the right to it, or an
    // address this machine does not have. Retrying will not help either.
    std::string text = "Nivra can't open port " + std::to_string(port) + " on " +
                       (address.empty() ? std::string("0.0.0.0") : address) + ": " +
                       std::strerror(error) + ".";
    if (port == kFixBlurPort)
        text += " Uncheck \"Blurry image fix\" in the Options dialog and restart Nivra.";
    else if (error == EADDRNOTAVAIL)
        text += " Check the address given with --bind or in the settings.";
    return text;
}

// The event loop of one listening run: every open connection of the port,
// read and written without blocking, the handler run for one complete
// request at a time.
// The loop's lines are the listening run's, whichever step writes them.
#define LOOP_TRACE(...) NTRACE_AS("CServer::server", __VA_ARGS__)

class ListenerLoop {
public:
    ListenerLoop(CServer& server, Socket& listener) : m_server(server), m_listener(listener) {}

    // Serves until the listener is stopped (normal end) or accepting fails.
    void run();

private:
    using Conns = std::vector<std::unique_ptr<Connection>>;

    bool acceptNew();
    void admit(Socket conn, std::string peer);
    bool evictLeastProgress();
    void readFrom(Connection& c);
    void writeTo(Connection& c);
    void handle(Connection& c);
    std::shared_ptr<const std::string> shareIdentical(std::shared_ptr<const std::string> buffer,
                                                      const Connection& c) const;
    size_t pendingBytes() const;
    void makeRoomFor(const Connection& c);
    void nextWindow(Connection& c, Clock::time_point now);
    void finish(Connection& c, bool handled);
    void drop(Connection& c);
    bool due(const Connection& c, Clock::time_point now) const;
    void expire(Connection& c, Clock::time_point now);
    void removeClosed();
    int nextWakeMs(Clock::time_point now) const;
    void complain(int severity, std::string_view kind, const std::string& peer,
                  const std::string& text) {
        m_refusals.note(severity, kind, peer, text);
    }

    CServer& m_server;
    Socket& m_listener;
    Conns m_conns;
    std::map<std::string, size_t> m_perPeer;
    RefusalLog m_refusals;
    std::string m_chunk = std::string(kReadChunk, '\0');
    // More complete requests wait than were handled in the last pass.
    bool m_moreDue = false;
};

CServer::CServer() {
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0)
        NTRACE("ERROR creating wake event:%d", errno);
}

CServer::~CServer() {
    stop();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

int CServer::start(int32_t newPort, ServerHandler newHandler, void* newContext) {
    if (running())
        return 0;
    port = newPort;
    handler = newHandler;
    context = newContext;
    afterReply = nullptr;
    m_bindLog = TraceThrottle(bindLogPeriod);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = false;
        m_bindTried = false;
        m_bindError = 0;
    }
    {
        std::lock_guard<std::mutex> lock(g_runningMutex);
        g_running.insert(this);
    }
    try {
        m_thread = std::thread(staticServerFunc, this);
    } catch (const std::system_error& e) {
        NTRACE("ERROR starting listener:%d port:%d", e.code().value(), port);
        std::lock_guard<std::mutex> lock(g_runningMutex);
        g_running.erase(this);
        return 0;
    }
    return 1;
}

void CServer::wake() {
    if (m_wakeFd >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(m_wakeFd, &one, sizeof one);
    }
    m_wake.notify_all();
}

void CServer::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        if (m_listenFd >= 0)
            ::shutdown(m_listenFd, SHUT_RDWR);
    }
    wake();
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach(); // stopped from its own handler: the run ends by itself
        else
            m_thread.join();
    }
    std::lock_guard<std::mutex> lock(g_runningMutex);
    g_running.erase(this);
}

void CServer::wakeAll() {
    std::lock_guard<std::mutex> lock(g_runningMutex);
    for (CServer* s : g_running) {
        {
            std::lock_guard<std::mutex> own(s->m_mutex);
            if (s->m_listenFd >= 0)
                ::shutdown(s->m_listenFd, SHUT_RDWR);
        }
        s->wake();
    }
}

uint16_t CServer::boundPort() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_boundPort;
}

BindOutcome CServer::waitForBind(unsigned ms) const {
    BindOutcome out;
    out.port = port;
    out.address = bindAddress;
    if (!running())
        return out;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_bindDone.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_bindTried; });
    out.tried = m_bindTried;
    out.error = m_bindError;
    return out;
}

void CServer::noteBind(int error) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bindTried = true;
        m_bindError = error;
    }
    m_bindDone.notify_all();
}

bool CServer::stopping() const {
    if (g_bShutdown)
        return true;
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
}

bool CServer::waitStop(unsigned ms) {
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop && !g_bShutdown) {
        auto now = Clock::now();
        if (now >= until)
            return false;
        // The shutdown flag does not notify; look at it every slice.
        m_wake.wait_for(
            lock, std::min<Clock::duration>(until - now, std::chrono::milliseconds(kWaitSliceMs)));
    }
    return true;
}

void CServer::setListening(int fd) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listenFd = fd;
    if (fd < 0)
        m_boundPort = 0;
}

std::string CServer::listenAddress() const {
    return bindAddress;
}

void CServer::staticServerFunc(CServer* self) {
    try {
        while (!self->stopping()) {
            self->server();
            if (self->waitStop(1000) || self->waitStop(1000))
                break;
        }
    } catch (...) {
        NTRACE_AS("staticServerFunc", "Unhandled exception in server thread");
    }
}

void CServer::server() {
    // Publishes the listening socket to stop()/wakeAll() for its lifetime.
    // Declared after the Socket it names, so it is withdrawn before that
    // socket closes and a shutdown from another thread can never reach a
    // reused descriptor.
    struct Published {
        CServer& owner;
        Published(CServer& s, int fd) : owner(s) { owner.setListening(fd); }
        ~Published() { owner.setListening(-1); }
        Published(const Published&) = delete;
        Published& operator=(const Published&) = delete;
    };

    const uint16_t wirePort = static_cast<uint16_t>(port & 0xffff);
    int err = 0;
    Socket listener = Socket::tcp(err);
    if (!listener.valid()) {
        NTRACE("ERROR opening socket:%d port:%d", err, port);
        noteBind(err);
        return;
    }
    listener.setReuseAddress();
    err = listener.bind(listenAddress(), wirePort);
    if (err != 0) {
        // The user is told once, whichever listener meets a failure first;
        // the retries every two seconds are logged once a minute.
        showMessageOnce("listener-bind", bindFailureMessage(port, err, listenAddress()));
        int heldBack = 0;
        if (m_bindLog.allow(std::chrono::steady_clock::now(), heldBack)) {
            if (heldBack > 0)
                NTRACE("%d more failed binds port:%d", heldBack, port);
            NTRACE("ERROR binding:%d port:%d", err, port);
        }
        noteBind(err);
        return;
    }
    Published published(*this, listener.fd());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_boundPort = listener.localPort();
    }
    // A deep queue: connections beyond the caps are taken and closed at once
    // rather than left waiting in the kernel.
    err = listener.listen(SOMAXCONN);
    if (err == 0)
        err = listener.setNonBlocking();
    if (err != 0) {
        NTRACE("ERROR on accept:%d port:%d", err, port);
        noteBind(err);
        return;
    }
    // A port that came free logs its next failure at once.
    m_bindLog = TraceThrottle(bindLogPeriod);
    noteBind(0);
    ListenerLoop(*this, listener).run();
}

void ListenerLoop::run() {
    std::vector<pollfd> fds;
    std::vector<std::string_view> servedPeers;
    while (!m_server.stopping()) {
        fds.clear();
        fds.push_back({m_server.m_wakeFd, POLLIN, 0});
        fds.push_back({m_listener.fd(), POLLIN, 0});
        for (const auto& c : m_conns)
            fds.push_back({c->sock.fd(), short(c->sending ? POLLOUT : POLLIN), 0});
        int n = ::poll(fds.data(), fds.size(), m_moreDue ? 0 : nextWakeMs(Clock::now()));
        if (n < 0 && errno != EINTR) {
            LOOP_TRACE("ERROR on accept:%d port:%d", errno, m_server.port);
            return;
        }
        if (m_server.stopping())
            return;
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t r = ::read(m_server.m_wakeFd, &count, sizeof count);
        }
        // Connections opened in this pass are polled from the next one on.
        size_t polled = m_conns.size();
        for (size_t i = 0; i < polled; ++i) {
            Connection& c = *m_conns[i];
            if (fds[i + 2].revents == 0 || !c.sock.valid())
                continue;
            if (c.sending)
                writeTo(c);
            else
                readFrom(c);
        }
        // Complete requests are handled one at a time, oldest first, and at
        // most one per address in a pass: a client with many requests queued
        // makes the others wait for one of its requests, not for all of them.
        auto now = Clock::now();
        servedPeers.clear();
        m_moreDue = false;
        for (size_t i = 0; i < polled && !m_server.stopping(); ++i) {
            Connection& c = *m_conns[i];
            if (!c.sock.valid())
                continue;
            // At its deadline a request is handed over as far as it came.
            if (!c.sending && (due(c, now) || (now >= c.deadline && !c.request.empty()))) {
                if (std::find(servedPeers.begin(), servedPeers.end(), c.peer) !=
                    servedPeers.end()) {
                    m_moreDue = true;
                    continue;
                }
                servedPeers.push_back(c.peer);
                handle(c);
                now = Clock::now();
            } else if (now >= c.deadline) {
                expire(c, now);
            }
        }
        // The views in servedPeers name connections that may go now.
        servedPeers.clear();
        removeClosed();
        if ((fds[1].revents & (POLLIN | POLLERR | POLLHUP)) && !acceptNew())
            return;
    }
}

int ListenerLoop::nextWakeMs(Clock::time_point now) const {
    int ms = kLoopSliceMs;
    for (const auto& c : m_conns) {
        ms = std::min(ms, msUntil(c->deadline, now));
        if (!c->sending && !c->request.empty()) {
            auto quiet = std::chrono::milliseconds(requestQuietMs(c->request, m_server.framing));
            ms = std::min(ms, msUntil(c->lastArrival + quiet, now));
        }
    }
    return ms;
}

bool ListenerLoop::acceptNew() {
    for (int i = 0; i < kAcceptBurst; ++i) {
        std::string peer;
        int err = 0;
        Socket conn = m_listener.accept(peer, err);
        if (conn.valid()) {
            admit(std::move(conn), std::move(peer));
            continue;
        }
        if (err == EAGAIN || err == EWOULDBLOCK)
            return true;
        // Out of descriptors or a connection that vanished while queued: the
        // listener itself is fine.
        if (err == EMFILE || err == ENFILE || err == ECONNABORTED || err == ENOBUFS ||
            err == ENOMEM || err == EPROTO || err == EPERM) {
            complain(kTraceError, "accept:" + std::to_string(err), "",
                     "ERROR on accept:" + std::to_string(err) +
                         " port:" + std::to_string(m_server.port));
            return true;
        }
        if (!m_server.stopping())
            LOOP_TRACE("ERROR on accept:%d port:%d", err, m_server.port);
        return false;
    }
    return true;
}

void ListenerLoop::admit(Socket conn, std::string peer) {
    // A refused connection is closed here, as `conn` goes out of scope.
    const std::string port = " port:" + std::to_string(m_server.port);
    auto known = m_perPeer.find(peer);
    if (known != m_perPeer.end() && known->second >= m_server.maxPerPeer) {
        complain(kTraceInfo, "per-peer cap", peer,
                 "refused: too many connections from " + peer + port);
        return;
    }
    if (m_conns.size() >= m_server.maxConnections && !evictLeastProgress()) {
        complain(kTraceInfo, "listener cap", peer,
                 "refused: too many connections, the newest from " + peer + port);
        return;
    }
    if (int e = conn.setNonBlocking()) {
        LOOP_TRACE("ERROR setting time-outs:%d port:%d", e, m_server.port);
        return;
    }
    ++m_perPeer[peer];
    auto c = std::make_unique<Connection>();
    c->sock = std::move(conn);
    c->peer = std::move(peer);
    c->opened = c->lastArrival = c->lastProgress = Clock::now();
    c->deadline = c->opened + std::chrono::milliseconds(m_server.ioTimeoutMs);
    m_conns.push_back(std::move(c));
}

// A full listener makes room for a newcomer by dropping the connection that
// has gone longest without a byte read or sent: a client that asks and never
// reads, or says nothing, gives way to one that polls; replies that are
// moving are not cut for it.
bool ListenerLoop::evictLeastProgress() {
    const auto now = Clock::now();
    Connection* stalest = nullptr;
    for (const auto& c : m_conns) {
        if (!c->sock.valid())
            continue;
        if (c->sending)
            noteDelivery(*c, now);
        if (!stalest || c->lastProgress < stalest->lastProgress)
            stalest = c.get();
    }
    if (!stalest)
        return false;
    complain(kTraceInfo, "evicted", stalest->peer,
             "dropped to make room: the connection without progress the longest, from " +
                 stalest->peer + " port:" + std::to_string(m_server.port));
    if (stalest->sending)
        stalest->sock.setResetOnClose(); // a cut reply must not look complete
    drop(*stalest);
    removeClosed();
    return true;
}

void ListenerLoop::readFrom(Connection& c) {
    while (c.request.size() < kMaxRequest && !c.peerClosed) {
        size_t want = std::min(m_chunk.size(), kMaxRequest - c.request.size());
        long n = c.sock.recv(m_chunk.data(), want);
        if (n == -EAGAIN || n == -EWOULDBLOCK)
            return;
        if (n < 0) {
            complain(kTraceError, "recv error:" + std::to_string(-n), c.peer,
                     "ERROR recv error:" + std::to_string(-n) +
                         " port:" + std::to_string(m_server.port) + " from " + c.peer);
            drop(c);
            return;
        }
        if (n == 0) {
            c.peerClosed = true;
            // Closed without a word (a port probe): nothing to answer, and
            // its slot is free at once.
            if (c.request.empty())
                drop(c);
            return;
        }
        c.request.append(m_chunk.data(), static_cast<size_t>(n));
        c.lastArrival = c.lastProgress = Clock::now();
    }
}

bool ListenerLoop::due(const Connection& c, Clock::time_point now) const {
    if (c.request.empty())
        return false; // a client that closes without a word has nothing to answer
    if (c.peerClosed || c.request.size() >= kMaxRequest)
        return true;
    auto quiet = std::chrono::milliseconds(requestQuietMs(c.request, m_server.framing));
    return now >= c.lastArrival + quiet;
}

void ListenerLoop::expire(Connection& c, Clock::time_point now) {
    if (c.sending) {
        // The first window is free; after it the client must take its share
        // of the reply in each window.
        const uint64_t windowMs = m_server.ioTimeoutMs;
        const uint64_t rate = m_server.minSendBytesPerSecond;
        const uint64_t owed = rate > UINT64_MAX / std::max<uint64_t>(windowMs, 1)
                                  ? UINT64_MAX
                                  : rate * windowMs / 1000;
        noteDelivery(c, now);
        if (c.firstWindow || c.delivered - c.deliveredAtWindow >= owed) {
            nextWindow(c, now);
            return;
        }
        // The reply did not get through in time: reset the connection so the
        // client sees a failure rather than a complete-looking short reply.
        complain(kTraceError, "send error:" + std::to_string(ETIMEDOUT), c.peer,
                 "ERROR send error:" + std::to_string(ETIMEDOUT) +
                     " port:" + std::to_string(m_server.port) + " (" + std::to_string(c.delivered) +
                     " of " + std::to_string(c.sent + c.out.size()) +
                     " bytes taken) to a reader slower than " + std::to_string(rate) +
                     " bytes/s, " + c.peer);
        c.sock.setResetOnClose();
        finish(c, false);
        return;
    }
    if (c.peerClosed) {
        drop(c);
        return;
    }
    // A client that said nothing in its time.
    complain(kTraceError, "recv error:" + std::to_string(EAGAIN), c.peer,
             "ERROR recv error:" + std::to_string(EAGAIN) +
                 " port:" + std::to_string(m_server.port) + " from " + c.peer);
    drop(c);
}

void ListenerLoop::nextWindow(Connection& c, Clock::time_point now) {
    c.firstWindow = false;
    c.deliveredAtWindow = c.delivered;
    c.deadline = now + std::chrono::milliseconds(m_server.ioTimeoutMs);
}

// A reply identical to one going out to another client shares its buffer:
// a hundred clients asking for the same document hold it once.
std::shared_ptr<const std::string>
ListenerLoop::shareIdentical(std::shared_ptr<const std::string> buffer, const Connection& c) const {
    if (!buffer || buffer->size() < kShareReplyMin)
        return buffer;
    for (const auto& other : m_conns) {
        const std::shared_ptr<const std::string>& b = other->buffer;
        if (other.get() == &c || !other->sending || !b || b == buffer)
            continue;
        if (b->size() == buffer->size() && std::memcmp(b->data(), buffer->data(), b->size()) == 0)
            return b;
    }
    return buffer;
}

size_t ListenerLoop::pendingBytes() const {
    std::vector<const std::string*> counted;
    size_t total = 0;
    for (const auto& c : m_conns) {
        const std::string* b = c->buffer.get();
        if (!c->sock.valid() || !c->sending || !b ||
            std::find(counted.begin(), counted.end(), b) != counted.end())
            continue;
        counted.push_back(b);
        total += b->size();
    }
    return total;
}

// Keeps the reply bytes held for readers under the budget: the replies whose
// readers have gone longest without taking a byte go first. The newest reply
// is never pushed out for the older ones.
void ListenerLoop::makeRoomFor(const Connection& c) {
    while (pendingBytes() > m_server.maxPendingBytes) {
        Connection* stalest = nullptr;
        for (const auto& other : m_conns) {
            Connection* o = other.get();
            if (o == &c || !o->sock.valid() || !o->sending || !o->buffer || o->buffer == c.buffer)
                continue;
            if (!stalest || o->lastProgress < stalest->lastProgress)
                stalest = o;
        }
        if (!stalest)
            return;
        complain(kTraceInfo, "reply budget", stalest->peer,
                 "dropped: replies waiting for their readers exceed " +
                     std::to_string(m_server.maxPendingBytes) +
                     " bytes; the slowest reader, from " + stalest->peer +
                     " port:" + std::to_string(m_server.port));
        stalest->sock.setResetOnClose();
        drop(*stalest);
    }
}

void ListenerLoop::handle(Connection& c) {
    if (c.request.empty()) {
        drop(c);
        return;
    }
    ServerHandler handler = m_server.handler;
    // The request is followed by a 0 byte (std::string keeps one past its end).
    ServerReply reply;
    c.result = handler ? handler(std::span<char>(c.request.data(), c.request.size()),
                                 c.peer.c_str(), reply, m_server.context)
                       : 0;
    if (c.result == 0) {
        finish(c, true);
        return;
    }
    const size_t length = reply.bytes(c.result).size();
    int64_t wanted = c.result > 0 ? int64_t{c.result} : -int64_t{c.result};
    if (int64_t(length) < wanted)
        LOOP_TRACE("ERROR reply holds %zu of %lld bytes port:%d", length,
                   static_cast<long long>(wanted), m_server.port);
    if (c.result > 0) {
        std::shared_ptr<const std::string> buffer =
            reply.shared ? std::move(reply.shared)
                         : std::make_shared<const std::string>(std::move(reply.owned));
        c.buffer = shareIdentical(std::move(buffer), c);
        c.out = std::string_view(*c.buffer).substr(0, length);
    } else {
        c.out = reply.fixed.substr(0, length);
    }
    c.sending = true;
    c.request.clear();
    c.request.shrink_to_fit();
    const auto now = Clock::now();
    c.lastProgress = now;
    c.firstWindow = true;
    c.deadline = now + std::chrono::milliseconds(m_server.ioTimeoutMs);
    makeRoomFor(c);
    writeTo(c);
}

void ListenerLoop::writeTo(Connection& c) {
    while (!c.out.empty()) {
        long n = c.sock.send(c.out.data(), c.out.size());
        if (n == -EAGAIN || n == -EWOULDBLOCK)
            break;
        if (n < 0) {
            complain(kTraceError, "send error:" + std::to_string(-n), c.peer,
                     "ERROR send error:" + std::to_string(-n) +
                         " port:" + std::to_string(m_server.port) + " to " + c.peer);
            finish(c, false);
            return;
        }
        c.sent += static_cast<size_t>(n);
        c.out.remove_prefix(static_cast<size_t>(n));
    }
    if (!c.out.empty()) {
        noteDelivery(c, Clock::now());
        return;
    }
    LOOP_TRACE("Sent %ld/%ld bytes", static_cast<long>(c.result), static_cast<long>(c.sent));
    finish(c, true);
}

void ListenerLoop::finish(Connection& c, bool handled) {
    // The reply built for this request is released with the connection.
    drop(c);
    if (handled && m_server.afterReply)
        m_server.afterReply(m_server.context);
}

void ListenerLoop::drop(Connection& c) {
    if (!c.sock.valid())
        return;
    c.sock.close();
    c.out = {};
    // The last holder of a large reply gives its pages back: a burst of big
    // replies must not leave the process that much larger for good.
    const bool release =
        c.buffer && c.buffer.use_count() == 1 && c.buffer->size() >= kReleaseAfterBytes;
    c.buffer.reset();
    if (release)
        releaseFreedMemory();
    auto it = m_perPeer.find(c.peer);
    if (it != m_perPeer.end() && --it->second == 0)
        m_perPeer.erase(it);
}

void ListenerLoop::removeClosed() {
    std::erase_if(m_conns, [](const std::unique_ptr<Connection>& c) { return !c->sock.valid(); });
}
