#include "earth/server.h"

#include "app/OptionsDlg.h"
#include "platform/runtime.h"
#include "platform/socket.h"
#include "platform/uiServices.h"
#include "trace/trace.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <set>
#include <sys/socket.h>
#include <system_error>

namespace {

// Every listener that runs, so that shutdown can wake them all.
std::mutex g_runningMutex;
std::set<CServer*> g_running;

constexpr unsigned kWaitSliceMs = 50;

} // namespace

int32_t ServerReply::give(std::string text) {
    owned = std::move(text);
    return static_cast<int32_t>(std::min<size_t>(owned.size(), INT32_MAX));
}

int32_t ServerReply::giveStatic(std::string_view text) {
    fixed = text;
    return -static_cast<int32_t>(std::min<size_t>(fixed.size(), INT32_MAX));
}

std::string_view ServerReply::bytes(int32_t result) const {
    if (result == 0)
        return {};
    // Widen before negating: -INT32_MIN does not fit in 32 bits.
    int64_t wanted = result > 0 ? int64_t{result} : -int64_t{result};
    std::string_view held = result > 0 ? std::string_view(owned) : fixed;
    return held.substr(0, static_cast<size_t>(std::min<int64_t>(wanted, int64_t(held.size()))));
}

int32_t nullPortHandler(std::span<char>, const char*, ServerReply&, void*) {
    return 0;
}

std::string bindFailureMessage(int port) {
    if (port == kFixBlurPort)
        return "Nivra can't open port 80, are you running an http server? You can't run an http "
               "server and use the \"Blurry image fix\". Uncheck \"Blurry image fix\" in the "
               "Options dialog, delete any NivraServers network links in the Google Earth "
               "Places folder, and restart Nivra";
    return "Nivra can't open one or more ports, make sure only one copy of Nivra is running";
}

int CServer::start(int32_t newPort, ServerHandler newHandler, void* newContext) {
    if (running())
        return 0;
    port = newPort;
    handler = newHandler;
    context = newContext;
    afterReply = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = false;
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

void CServer::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        if (m_listenFd >= 0)
            ::shutdown(m_listenFd, SHUT_RDWR);
        if (m_connFd >= 0)
            ::shutdown(m_connFd, SHUT_RDWR);
    }
    m_wake.notify_all();
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
            if (s->m_connFd >= 0)
                ::shutdown(s->m_connFd, SHUT_RDWR);
        }
        s->m_wake.notify_all();
    }
}

uint16_t CServer::boundPort() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_boundPort;
}

bool CServer::stopping() const {
    if (g_bShutdown)
        return true;
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
}

bool CServer::waitStop(unsigned ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop && !g_bShutdown) {
        auto now = std::chrono::steady_clock::now();
        if (now >= until)
            return false;
        // The shutdown flag does not notify; look at it every slice.
        m_wake.wait_for(lock, std::min<std::chrono::steady_clock::duration>(
                                  until - now, std::chrono::milliseconds(kWaitSliceMs)));
    }
    return true;
}

void CServer::setActive(int which, int fd) {
    std::lock_guard<std::mutex> lock(m_mutex);
    (which == 0 ? m_listenFd : m_connFd) = fd;
    if (which == 0 && fd < 0)
        m_boundPort = 0;
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
    // Publishes a socket to stop()/wakeAll() for its lifetime. Declared after
    // the Socket it names, so it is withdrawn before that socket closes and a
    // shutdown from another thread can never reach a reused descriptor.
    struct Published {
        CServer& owner;
        int which;
        Published(CServer& s, int w, int fd) : owner(s), which(w) { owner.setActive(which, fd); }
        ~Published() { owner.setActive(which, -1); }
        Published(const Published&) = delete;
        Published& operator=(const Published&) = delete;
    };

    const uint16_t wirePort = static_cast<uint16_t>(port & 0xffff);
    int err = 0;
    Socket listener = Socket::tcp(err);
    if (!listener.valid()) {
        NTRACE("ERROR opening socket:%d port:%d", err, port);
        return;
    }
    listener.setReuseAddress();
    std::string address = bindAddress.empty() ? theOptions().BindAddress : bindAddress;
    err = listener.bind(address, wirePort);
    if (err != 0) {
        // Only a taken port is the user's to fix; tell them once, whichever
        // listener meets it first, and keep retrying quietly.
        if (err == EADDRINUSE)
            showMessageOnce("listener-bind", bindFailureMessage(port));
        NTRACE("ERROR binding:%d port:%d", err, port);
        return;
    }
    Published publishedListener(*this, 0, listener.fd());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_boundPort = listener.localPort();
    }
    err = listener.listen(5);
    if (err != 0) {
        NTRACE("ERROR on accept:%d port:%d", err, port);
        return;
    }

    std::array<char, kMaxRequest + 1> buffer;
    while (!stopping()) {
        // Wait in short slices so that the shutdown flag alone ends the run,
        // even when nobody shuts the socket down.
        if (listener.waitReadable(kWaitSliceMs * 4) == 0)
            continue;
        if (stopping())
            break;
        std::string peer;
        Socket conn = listener.accept(peer, err);
        if (!conn.valid()) {
            if (!stopping())
                NTRACE("ERROR on accept:%d port:%d", err, port);
            return;
        }
        Published publishedConn(*this, 1, conn.fd());
        if (stopping())
            break;
        if (int e = conn.setTimeouts(ioTimeoutMs))
            NTRACE("ERROR setting time-outs:%d port:%d", e, port);

        int ready = 0;
        for (unsigned waited = 0; !stopping() && waited < ioTimeoutMs; waited += kWaitSliceMs * 4)
            if ((ready = conn.waitReadable(std::min(kWaitSliceMs * 4, ioTimeoutMs - waited))) != 0)
                break;
        if (stopping())
            break;
        long n = ready == 0 ? -EAGAIN : conn.recv(buffer.data(), kMaxRequest);
        if (n < 0) {
            // A silent client ends here after the time-out (EAGAIN).
            NTRACE("ERROR recv error:%ld port:%d", -n, port);
            continue;
        }
        if (stopping())
            break;
        buffer[static_cast<size_t>(n)] = 0;

        ServerReply reply;
        int32_t result = handler ? handler(std::span<char>(buffer.data(), static_cast<size_t>(n)),
                                           peer.c_str(), reply, context)
                                 : 0;
        if (result != 0) {
            std::string_view out = reply.bytes(result);
            int64_t wanted = result > 0 ? int64_t{result} : -int64_t{result};
            if (int64_t(out.size()) < wanted)
                NTRACE("ERROR reply holds %zu of %lld bytes port:%d", out.size(),
                       static_cast<long long>(wanted), port);
            long sent = conn.send(out.data(), out.size());
            if (sent < 0) {
                NTRACE("ERROR send error:%ld port:%d", -sent, port);
                continue;
            }
            NTRACE("Sent %ld/%ld bytes", static_cast<long>(result), sent);
        }
        // The reply built for this request is released here, after sending.
        if (afterReply)
            afterReply(context);
    }
}
