// IPv4 TCP sockets with an owner. A Socket closes its descriptor when it goes
// out of scope; it can be moved but not copied. Operations report failures as
// errno values (0 meaning success) instead of leaving them in errno, so that a
// log call in between cannot lose them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket() { close(); }
    Socket(Socket&& other) noexcept : m_fd(other.release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // A new IPv4 stream socket (close-on-exec). `error` receives errno on failure.
    static Socket tcp(int& error);

    bool valid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    // Gives up ownership without closing.
    int release();
    void close();

    // Lets a restarted listener bind its port while connections of the previous
    // run are still in TIME_WAIT. On Linux this never lets two sockets listen on
    // the same port at once.
    int setReuseAddress();
    // Receive and send time-outs; a blocked call then fails with EAGAIN.
    int setTimeouts(unsigned ms);
    // Calls return -EAGAIN instead of waiting (event loops poll for readiness).
    int setNonBlocking();
    // Closing then resets the connection instead of ending it cleanly, so a
    // client whose reply was cut short sees an error, not a short reply.
    int setResetOnClose();

    // Binds to `address` (dotted decimal; empty means any address) and `port`.
    // EINVAL for an address that is not an IPv4 address.
    int bind(const std::string& address, uint16_t port);
    int listen(int backlog);
    // The next connection; an invalid Socket with `error` set on failure.
    // `peer` receives the client's address in dotted-decimal form.
    Socket accept(std::string& peer, int& error);
    // Connects to `host` (name or dotted decimal) within `timeoutMs`; 0 or errno
    // (ETIMEDOUT when the time ran out, EHOSTUNREACH when the name did not resolve).
    int connect(const std::string& host, uint16_t port, unsigned timeoutMs);

    // One receive or one send: the byte count, or -errno on failure. Sending
    // never raises SIGPIPE; a vanished peer gives -EPIPE.
    long recv(char* buffer, size_t size);
    long send(const char* data, size_t size);
    // Waits up to `ms` for data or a connection to read: 1 ready (or closed),
    // 0 time-out, -errno on failure.
    int waitReadable(unsigned ms);
    // The same for room to send.
    int waitWritable(unsigned ms);
    // Ends both directions; wakes another thread blocked in accept or recv.
    int shutdown();

    // The local port after bind (0 if unknown).
    uint16_t localPort() const;
    // Bytes sent but not yet acknowledged by the peer (still in the send
    // queue); -1 when the system cannot tell.
    long unacknowledged() const;
    // The connected peer's address in dotted-decimal form ("" if unknown).
    std::string peerAddress() const;

private:
    int m_fd = -1;
};
