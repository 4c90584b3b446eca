// The listeners: one small generic TCP server per port, each on a thread of
// its own. A listener serves one connection at a time: accept, one receive of
// at most 32768 bytes, the port's handler, one send of the handler's reply,
// close. It knows nothing of HTTP; handlers build complete replies.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

// The port plan: five consecutive ports from the base.
constexpr int kBasePort = 51230;
constexpr int kControlPort = kBasePort + 1;     // peer CONTROL= requests
constexpr int kPingPort = kBasePort + 2;        // peer pings
constexpr int kNetworkLinkPort = kBasePort + 3; // Google Earth's polls (80 with FixBlur)
constexpr int kTrackerPort = kBasePort + 4;     // lines posted by trackers
constexpr int kFixBlurPort = 80;

// The largest request a listener reads: what one receive returns, at most this.
constexpr size_t kMaxRequest = 32768;

// A handler's answer. The handler's signed result tells the listener where
// the bytes are and who releases them:
//   0      send nothing;
//   n > 0  send n bytes of `owned`, built for this request; the listener
//          releases it after sending;
//   n < 0  send -n bytes of `fixed`, a static text that outlives the listener
//          and is never released.
struct ServerReply {
    std::string owned;
    std::string_view fixed;

    // Stores a reply built for this request; returns its positive length.
    int32_t give(std::string text);
    // Points at a static text; returns its negative length.
    int32_t giveStatic(std::string_view text);
    // The bytes a result asks for, never more than the reply holds.
    std::string_view bytes(int32_t result) const;
};

// A port's request handler. `request` holds the bytes one receive brought (at
// most kMaxRequest) and is followed by a 0 byte; handlers may modify it in
// place. `peerAddress` is the client's IPv4 address in dotted-decimal form.
// Handlers run on the listener's thread, one request at a time per port.
using ServerHandler = int32_t (*)(std::span<char> request, const char* peerAddress,
                                  ServerReply& reply, void* context);

// The base port's handler: reads the request and answers nothing.
int32_t nullPortHandler(std::span<char> request, const char* peerAddress, ServerReply& reply,
                        void* context);

class CServer {
public:
    int32_t port = 0; // only the low 16 bits are used; 0 lets the system choose
    ServerHandler handler = nullptr;
    void (*afterReply)(void* context) = nullptr; // called after each handled connection
    void* context = nullptr;
    // Address to bind; empty takes the BindAddress setting, and an empty
    // setting means any local address.
    std::string bindAddress;
    // Receive and send time-out of an accepted connection, so that a client
    // that connects and stays silent cannot hold the port.
    unsigned ioTimeoutMs = 5000;

    CServer() = default;
    ~CServer() { stop(); }
    CServer(const CServer&) = delete;
    CServer& operator=(const CServer&) = delete;

    // Stores the fields, clears the after-reply hook and starts the listener
    // thread. Returns 1 when the thread started, 0 when it did not (or when
    // this listener already runs).
    int start(int32_t port, ServerHandler handler, void* context);
    // Ends the listener: wakes its thread out of accept or receive and waits
    // for it. Safe to call when it is not running.
    void stop();
    bool running() const { return m_thread.joinable(); }

    // The thread body: listening runs, retried every two seconds until the
    // program shuts down or the listener is stopped.
    static void staticServerFunc(CServer* self);
    // One listening run: bind, then serve connections until a failure.
    void server();

    // The port the current run is bound to (0 while not bound). With port 0
    // this is the one the system chose.
    uint16_t boundPort() const;

    // Shuts down the sockets of every running listener, so that threads
    // blocked in accept or receive see the shutdown flag at once.
    static void wakeAll();

private:
    bool stopping() const;
    bool waitStop(unsigned ms);
    void setActive(int which, int fd);

    std::thread m_thread;
    mutable std::mutex m_mutex; // guards the fields below
    std::condition_variable m_wake;
    bool m_stop = false;
    int m_listenFd = -1; // sockets another thread may shut down
    int m_connFd = -1;
    uint16_t m_boundPort = 0;
};

// The text shown (once per process) when a listener's port is taken.
std::string bindFailureMessage(int port);
