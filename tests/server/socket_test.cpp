#include "platform/socket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>

namespace {

// A listening socket on 127.0.0.1 with a system-chosen port.
Socket listenLoopback(uint16_t& port) {
    int err = 0;
    Socket s = Socket::tcp(err);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(s.bind("127.0.0.1", 0), 0);
    EXPECT_EQ(s.listen(5), 0);
    port = s.localPort();
    return s;
}

} // namespace

TEST(Socket, FailuresComeBackAsErrnoValues) {
    uint16_t port = 0;
    {
        Socket gone = listenLoopback(port); // take a free port, then give it back
    }
    int err = 0;
    Socket s = Socket::tcp(err);
    EXPECT_EQ(s.connect("127.0.0.1", port, 2000), ECONNREFUSED);
    Socket t = Socket::tcp(err);
    EXPECT_EQ(t.connect("no-such-host.invalid", port, 2000), EHOSTUNREACH);
    Socket u = Socket::tcp(err);
    EXPECT_EQ(u.bind("not an address", 0), EINVAL);
    EXPECT_EQ(u.bind("", 0), 0) << "an empty address binds any interface";

    uint16_t busy = 0;
    Socket holder = listenLoopback(busy);
    Socket second = Socket::tcp(err);
    EXPECT_EQ(second.setReuseAddress(), 0);
    EXPECT_EQ(second.bind("127.0.0.1", busy), EADDRINUSE)
        << "address reuse never lets two listeners share a port";
}

TEST(Socket, SendToAVanishedPeerFailsWithoutKillingTheProcess) {
    uint16_t port = 0;
    Socket server = listenLoopback(port);
    int err = 0;
    Socket client = Socket::tcp(err);
    ASSERT_EQ(client.connect("127.0.0.1", port, 2000), 0);
    std::string peer;
    {
        Socket conn = server.accept(peer, err);
        ASSERT_TRUE(conn.valid());
    } // closed by its owner
    std::string block(65536, 'x');
    long r = 0;
    for (int i = 0; i < 50 && r >= 0; ++i)
        r = client.send(block.data(), block.size());
    EXPECT_TRUE(r == -EPIPE || r == -ECONNRESET) << r;
}

TEST(Socket, TimeOutEndsAReceiveAndOwnershipMoves) {
    uint16_t port = 0;
    Socket server = listenLoopback(port);
    int err = 0;
    Socket client = Socket::tcp(err);
    ASSERT_EQ(client.connect("127.0.0.1", port, 2000), 0);
    ASSERT_EQ(client.setTimeouts(100), 0);
    char c;
    EXPECT_EQ(client.recv(&c, 1), -EAGAIN);

    int fd = client.fd();
    Socket moved = std::move(client);
    EXPECT_FALSE(client.valid());
    EXPECT_EQ(moved.fd(), fd);
    moved.close();
    EXPECT_FALSE(moved.valid());
}
