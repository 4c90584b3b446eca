// The listeners: one small generic TCP server per port, each on a thread of
// its own. A listener serves many connections at once from one event loop:
// it reads each request whole (at most 32768 bytes), runs the port's handler
// for one request at a time, sends the handler's reply without blocking and
// closes. Slow, silent or non-reading clients are dropped at their deadline,
// caps on open connections keep one address from crowding out the others,
// identical replies share one buffer and the replies waiting for their
// readers stay under a byte budget. A listener knows nothing of HTTP beyond
// where a request ends; handlers build complete replies.
#pragma once

#include "net/requestEnd.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "trace/throttle.h"

// The port plan: five consecutive ports from the base.
constexpr int kBasePort = 51230;
constexpr int kControlPort = kBasePort + 1;     // peer CONTROL= requests
constexpr int kPingPort = kBasePort + 2;        // peer pings
constexpr int kNetworkLinkPort = kBasePort + 3; // Google Earth's polls (80 with FixBlur)
constexpr int kTrackerPort = kBasePort + 4;     // lines posted by trackers
constexpr int kFixBlurPort = 80;

// The largest request a listener reads; a longer one is handed over cut here.
constexpr size_t kMaxRequest = 32768;
// Open connections a listener keeps, in all and from one peer address.
constexpr size_t kMaxConnections = 128;
constexpr size_t kMaxConnectionsPerPeer = 16;
// A reply goes out in windows of the request time-out: after the first one,
// each window must carry at least this many bytes a second (or the rest of the
// reply), so a slow but steady reader gets all of it and a client that asks and
// never reads lets go of its slot and its bytes within two windows.
constexpr size_t kMinSendBytesPerSecond = 32 * 1024;
// The reply bytes a listener keeps for clients still reading them; counted once
// for a buffer that several connections share.
constexpr size_t kMaxPendingReplyBytes = size_t(64) << 20;
// Replies at least this long are compared with the ones going out, so that
// identical ones share one buffer.
constexpr size_t kShareReplyMin = 64 * 1024;

// A handler's answer. The handler's signed result tells the listener where
// the bytes are and who releases them:
//   0      send nothing;
//   n > 0  send n bytes of `owned`, built for this request; the listener
//          releases it after sending;
//   n < 0  send -n bytes of `fixed`, a static text that outlives the listener
//          and is never released.
// A positive result sends `shared` instead when it is set: a reply the handler
// keeps (a cache) and hands to every client that asks the same.
struct ServerReply {
    std::string owned;
    std::string_view fixed;
    std::shared_ptr<const std::string> shared;

    // Stores a reply built for this request; returns its positive length.
    int32_t give(std::string text);
    // Points at a static text; returns its negative length.
    int32_t giveStatic(std::string_view text);
    // Hands over a reply that other connections may be sending at the same
    // time; returns its positive length.
    int32_t giveShared(std::shared_ptr<const std::string> text);
    // The bytes a result asks for, never more than the reply holds.
    std::string_view bytes(int32_t result) const;
};

// A port's request handler. `request` holds the whole request (at most
// kMaxRequest bytes) and is followed by a 0 byte; handlers may modify it in
// place. `peerAddress` is the client's IPv4 address in dotted-decimal form.
// Handlers run on the listener's thread, one request at a time per port.
using ServerHandler = int32_t (*)(std::span<char> request, const char* peerAddress,
                                  ServerReply& reply, void* context);

// The base port's handler: reads the request and answers nothing.
int32_t nullPortHandler(std::span<char> request, const char* peerAddress, ServerReply& reply,
                        void* context);

// What a listener's latest attempt to bind its port came to.
struct BindOutcome {
    int port = 0;
    std::string address; // the address it binds ("" for any)
    bool tried = false;  // false: it has not tried (yet)
    int error = 0;       // errno of a failed attempt, 0 once it listens
    bool listening() const { return tried && error == 0; }
};

class CServer {
public:
    int32_t port = 0; // only the low 16 bits are used; 0 lets the system choose
    ServerHandler handler = nullptr;
    void (*afterReply)(void* context) = nullptr; // called after each handled connection
    void* context = nullptr;
    // Address to bind, set by the listener's owner before start (the
    // program's BindAddress or LinkBindAddress); empty means any address.
    std::string bindAddress;
    // Time a client has from connecting to the end of its request; a silent
    // or dribbling client is dropped then. It is also the window in which a
    // reply must make progress (minSendBytesPerSecond).
    unsigned ioTimeoutMs = 5000;
    // Where a request ends (the network-link port speaks HTTP).
    RequestFraming framing = RequestFraming::lines;
    // Caps on open connections (kMaxConnections, kMaxConnectionsPerPeer).
    // A full listener makes room for a newcomer by dropping the connection
    // that has made no progress for the longest time.
    size_t maxConnections = kMaxConnections;
    size_t maxPerPeer = kMaxConnectionsPerPeer;
    // The slowest reader a reply waits for after its first window
    // (kMinSendBytesPerSecond).
    size_t minSendBytesPerSecond = kMinSendBytesPerSecond;
    // Reply bytes kept for clients still reading (kMaxPendingReplyBytes); a
    // new reply beyond it pushes out the replies whose readers made no
    // progress for the longest time.
    size_t maxPendingBytes = kMaxPendingReplyBytes;
    // A bind that keeps failing is retried every two seconds but logged once
    // per this period, with a count of the attempts in between.
    std::chrono::steady_clock::duration bindLogPeriod = std::chrono::minutes(1);

    CServer();
    ~CServer();
    CServer(const CServer&) = delete;
    CServer& operator=(const CServer&) = delete;

    // Stores the fields, clears the after-reply hook and starts the listener
    // thread. Returns 1 when the thread started, 0 when it did not (or when
    // this listener already runs).
    int start(int32_t port, ServerHandler handler, void* context);
    // Ends the listener: wakes its event loop and waits for its thread; open
    // connections are closed. Safe to call when it is not running.
    void stop();
    bool running() const { return m_thread.joinable(); }

    // The thread body: listening runs, retried every two seconds until the
    // program shuts down or the listener is stopped.
    static void staticServerFunc(CServer* self);
    // One listening run: bind, then serve connections until a failure.
    void server();
    // The address the listener binds: bindAddress ("" for any).
    std::string listenAddress() const;

    // The port the current run is bound to (0 while not bound). With port 0
    // this is the one the system chose.
    uint16_t boundPort() const;
    // Waits up to `ms` until the listener has tried to bind at least once,
    // and says how its latest attempt went. A listener that is not running
    // answers at once (not tried).
    BindOutcome waitForBind(unsigned ms) const;

    // Shuts down the listening socket of every running listener and wakes
    // its event loop, so that it sees the shutdown flag at once.
    static void wakeAll();

private:
    friend class ListenerLoop;
    bool stopping() const;
    bool waitStop(unsigned ms);
    void setListening(int fd);
    void noteBind(int error);
    void wake();

    std::thread m_thread;
    mutable std::mutex m_mutex; // guards the fields below
    std::condition_variable m_wake;
    bool m_stop = false;
    int m_listenFd = -1; // the listening socket, which another thread may shut down
    uint16_t m_boundPort = 0;
    bool m_bindTried = false;
    int m_bindError = 0;
    mutable std::condition_variable m_bindDone;
    int m_wakeFd = -1; // an eventfd that ends the event loop's wait
    // A port that stays taken fails every retry; its line is logged once a
    // minute with a count of the rest. Used by the listener's thread only.
    TraceThrottle m_bindLog;
};

// Where a listener bound to `address` can be reached from, for the banner:
// "this machine only", "every network" or "ADDRESS only".
std::string reachText(const std::string& address);

// The text shown (once per process) when a listener cannot bind `port` on
// `address` ("" for any): `error` is the errno of the bind (EADDRINUSE: the
// port is taken).
std::string bindFailureMessage(int port, int error, const std::string& address);
