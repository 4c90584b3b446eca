#include "remote/rawSock.h"

#include "common/traceCapture.h"
#include "platform/runtime.h"
#include "scriptPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

const std::string kRawPeer = std::string(NIVRA_SOURCE_DIR) + "/tests/remote/rawPeer.py";

std::vector<std::string> peerArgs(const std::string& mode, const std::string& arg = "") {
    std::vector<std::string> args{"/usr/bin/python3", kRawPeer, mode};
    if (!arg.empty())
        args.push_back(arg);
    return args;
}

// A port that nothing listens on: taken from the system, then given back.
int freePort() {
    int err = 0;
    Socket s = Socket::tcp(err);
    s.bind("127.0.0.1", 0);
    return s.localPort();
}

// Fills the one-place accept queue of a peer that never accepts, so that the
// next connection stays half-open.
std::vector<Socket> fillQueue(int port) {
    std::vector<Socket> held;
    for (int i = 0; i < 3; ++i) {
        int err = 0;
        Socket s = Socket::tcp(err);
        s.connect("127.0.0.1", static_cast<uint16_t>(port), 300);
        held.push_back(std::move(s));
    }
    return held;
}

long msSince(std::chrono::steady_clock::time_point start) {
    using namespace std::chrono;
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

} // namespace

TEST(RawSock, ConnectionsThatCannotBeMadeFailClearlyAndLeaveNoDescriptor) {
    struct Case {
        const char* what;
        std::string host;
        int port;
        const char* logged; // the line that says why
    };
    const Case cases[] = {
        {"unresolvable name", "no-such-host.invalid", 51231,
         "no-such-host.invalid: getaddrinfo() error"},
        {"empty name", "", 51231, ": getaddrinfo() error"},
        {"refused port", "127.0.0.1", freePort(), "111"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TraceCapture log;
        int before = openDescriptorCount();
        {
            Socket s = rawOpenConnect(c.host, c.port, false);
            // A refused loopback connection may be reported by connect or by
            // the first send; either way nothing is sent.
            if (s.valid()) {
                EXPECT_EQ(rawSendMsg(s, "hello\n"), 1);
            }
        }
        EXPECT_TRUE(log.contains(c.logged)) << log.all();
        EXPECT_FALSE(log.contains("too many tries")) << "a refusal is not a wait";
        EXPECT_EQ(openDescriptorCount(), before);
    }
}

TEST(RawSock, RepliesAreReadWholeOrByChunkWithinTheBufferSize) {
    ScriptPeer reply(peerArgs("reply", "resp"));
    ScriptPeer echo(peerArgs("echo"));
    ScriptPeer chunks(peerArgs("chunks", "first"));
    ScriptPeer big(peerArgs("big", "100000"));
    ASSERT_TRUE(reply.port() && echo.port() && chunks.port() && big.port());
    struct Case {
        const char* what;
        int port;
        std::string request;
        size_t size;
        bool readAll;
        std::string expected;
        const char* logged;
    };
    const Case cases[] = {
        {"reply then close", reply.port(), "ping:host\n", 256, true, "resp", "got 4 bytes"},
        {"echo of what was sent", echo.port(), "CONTROL=a@b,1,2000,0,0,0,Red\n", 576512, true,
         "CONTROL=a@b,1,2000,0,0,0,Red\n", "got "},
        {"single chunk stops early", chunks.port(), "x\n", 256, false, "first", "got 5 bytes"},
        {"read-all takes every chunk", chunks.port(), "x\n", 256, true, "firstfirst", "got "},
        {"reply larger than the buffer", big.port(), "x\n", 1000, true, std::string(1000, 'x'),
         "reply fills the 1000-byte buffer"},
        {"large reply read whole", big.port(), "x\n", 200000, true, std::string(100000, 'x'),
         "got "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TraceCapture log;
        int before = openDescriptorCount();
        {
            Socket s = rawOpenConnect("127.0.0.1", c.port, false);
            ASSERT_TRUE(s.valid());
            ASSERT_EQ(rawSendMsg(s, c.request), 0);
            std::string buffer = "left over";
            EXPECT_EQ(rawRecvMsg(s, buffer, c.size, c.readAll, 6000), 0);
            EXPECT_EQ(buffer, c.expected);
            EXPECT_EQ(buffer.c_str()[buffer.size()], '\0');
            EXPECT_LE(buffer.size(), c.size);
        }
        EXPECT_TRUE(log.contains(c.logged)) << log.all();
        EXPECT_EQ(openDescriptorCount(), before);
    }
}

TEST(RawSock, SilentResettingAndUnreachablePeersEndWithinTheBudget) {
    ScriptPeer silent(peerArgs("silent"));
    ScriptPeer reset(peerArgs("reset", "part"));
    ScriptPeer noAccept(peerArgs("noaccept"));
    ASSERT_TRUE(silent.port() && reset.port() && noAccept.port());
    std::vector<Socket> queue = fillQueue(noAccept.port());

    // Silent peer: read-all gives up after its ten waits with the would-block code.
    {
        TraceCapture log;
        int before = openDescriptorCount();
        {
            Socket s = rawOpenConnect("127.0.0.1", silent.port(), false);
            ASSERT_EQ(rawSendMsg(s, "x\n"), 0);
            std::string buffer;
            auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(rawRecvMsg(s, buffer, 256, true, 1000), EWOULDBLOCK);
            EXPECT_GE(msSince(start), 900) << "each of the ten tries waits its 100 ms";
            EXPECT_TRUE(buffer.empty());
        }
        EXPECT_EQ(log.count("too many tries while connected, giving up"), 1) << log.all();
        EXPECT_EQ(openDescriptorCount(), before);
    }
    // Reset mid-reply: what came is kept, the receive ends with the reset.
    {
        TraceCapture log;
        int before = openDescriptorCount();
        {
            Socket s = rawOpenConnect("127.0.0.1", reset.port(), false);
            ASSERT_EQ(rawSendMsg(s, "x\n"), 0);
            std::string buffer;
            EXPECT_EQ(rawRecvMsg(s, buffer, 256, true, 6000), ECONNRESET);
            EXPECT_EQ(buffer, "part");
        }
        EXPECT_TRUE(log.contains("connection reset 104")) << log.all();
        EXPECT_FALSE(log.contains("giving up"));
        EXPECT_EQ(openDescriptorCount(), before);
    }
    // A connection that is never completed: the send runs out of tries.
    {
        TraceCapture log;
        int before = openDescriptorCount();
        {
            Socket s = rawOpenConnect("127.0.0.1", noAccept.port(), false);
            ASSERT_TRUE(s.valid());
            EXPECT_EQ(rawSendMsg(s, "hello\n", 0, 1000), 1);
        }
        EXPECT_TRUE(log.contains("made 10 tries writing")) << log.all();
        EXPECT_TRUE(log.contains("too many tries writing to socket")) << log.all();
        EXPECT_EQ(log.count("writing 11"), 2) << "only the first two tries are logged";
        EXPECT_EQ(openDescriptorCount(), before);
    }
}

TEST(RawSock, ShutdownEndsEveryWaitEarlyAndIsNeverASuccess) {
    ScriptPeer silent(peerArgs("silent"));
    ScriptPeer noAccept(peerArgs("noaccept"));
    ASSERT_TRUE(silent.port() && noAccept.port());
    std::vector<Socket> queue = fillQueue(noAccept.port());
    struct Case {
        const char* what;
        bool receive;
    };
    for (const Case& c : {Case{"send to a connection never made", false},
                          Case{"receive from a silent peer", true}}) {
        SCOPED_TRACE(c.what);
        TraceCapture log;
        int before = openDescriptorCount();
        {
            Socket s =
                rawOpenConnect("127.0.0.1", c.receive ? silent.port() : noAccept.port(), false);
            ASSERT_TRUE(s.valid());
            if (c.receive) {
                ASSERT_EQ(rawSendMsg(s, "x\n"), 0);
            }
            std::thread stopper([] {
                sleepMs(300);
                g_bShutdown = 1;
            });
            auto start = std::chrono::steady_clock::now();
            std::string buffer;
            int rc = c.receive ? rawRecvMsg(s, buffer, 256, true, 600000)
                               : rawSendMsg(s, "hello\n", 0, 600000);
            long took = msSince(start);
            stopper.join();
            EXPECT_EQ(rc, c.receive ? ECANCELED : 1);
            EXPECT_LT(took, 60000) << "the ten-minute budget is cut short";
            // Once the flag is up nothing is tried, and that is no success.
            EXPECT_EQ(rawSendMsg(s, "x\n"), 1);
            EXPECT_EQ(rawRecvMsg(s, buffer, 256, true, 6000), ECANCELED);
            g_bShutdown = 0;
        }
        EXPECT_FALSE(log.contains("too many tries")) << log.all();
        EXPECT_EQ(openDescriptorCount(), before);
    }
}
