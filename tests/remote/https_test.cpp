#include "remote/sslConnection.h"

#include "common/traceCapture.h"
#include "platform/runtime.h"
#include "platform/socket.h"
#include "scriptPeer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace {

const std::string kTestsDir = std::string(NIVRA_SOURCE_DIR) + "/tests/remote/";

// Certificates made once per test program, and a certificate folder per case.
class Https : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = fs::temp_directory_path() / ("nivra-https-" + std::to_string(getpid()));
        fs::create_directories(s_dir / "certs");
        std::string cmd = "sh '" + kTestsDir + "makeCerts.sh' '" + (s_dir / "certs").string() + "'";
        s_certsMade = std::system(cmd.c_str()) == 0;
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        fs::remove_all(s_dir, ec);
    }
    void SetUp() override {
        ASSERT_TRUE(s_certsMade) << "openssl could not make the test certificates";
        setenv("XDG_CONFIG_HOME", (s_dir / "config").c_str(), 1);
        std::error_code ec;
        fs::remove_all(s_dir / "config", ec);
    }
    static std::string cert(const std::string& name) { return (s_dir / "certs" / name).string(); }

    // A server with `cert` and its key, and `extra` options.
    static std::vector<std::string> server(const std::string& name,
                                           std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"/usr/bin/python3", kTestsDir + "httpsPeer.py",
                                      cert(name + ".pem"), cert(name + ".key")};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    // Places certificate files (names under certs/, as NAME or SOURCE>TARGET)
    // in the store folder `store`.
    static void placeInStore(const std::string& store, const std::vector<std::string>& files) {
        fs::path folder = s_dir / "config" / "nivra" / "certs" / store;
        fs::create_directories(folder);
        for (const std::string& f : files) {
            size_t arrow = f.find('>');
            std::string from = arrow == std::string::npos ? f : f.substr(0, arrow);
            std::string to = arrow == std::string::npos ? f : f.substr(arrow + 1);
            fs::copy_file(cert(from), folder / to, fs::copy_options::overwrite_existing);
        }
    }

    static inline fs::path s_dir;
    static inline bool s_certsMade = false;
};

struct Result {
    bool opened = false;
    bool sent = false;
    std::string reply;
    std::string error;
    int code = 0;
    std::string certificate;
};

// One request as the service links make it.
Result fetch(CSslConnection& c, int port, const std::string& host = "127.0.0.1",
             const std::string& object = "/history?x=1") {
    c.setServerName(host);
    c.setPort(port);
    c.setObjectName(object);
    c.setAgentName("Nivra test");
    Result r;
    r.opened = c.open("GET");
    r.sent = r.opened && c.send();
    r.reply = r.sent ? c.read() : "";
    r.error = c.getLastErrorString();
    r.code = c.getLastErrorCode();
    r.certificate = c.clientCertificateFile();
    return r;
}

} // namespace

TEST_F(Https, ServerCertificatesAreVerifiedUnlessTlsVerifyIsZero) {
    ScriptPeer trusted(server("server"));
    ScriptPeer self(server("self"));
    ScriptPeer stranger(server("stranger"));
    ASSERT_TRUE(trusted.port() && self.port() && stranger.port());
    struct Case {
        const char* what;
        int port;
        bool withTestCa;
        int verify; // -1: left as the connection starts (verifying)
        bool ok;
        const char* logged;
    };
    const Case cases[] = {
        {"chain to the test authority", trusted.port(), true, 1, true, ""},
        {"authority unknown to the system", trusted.port(), false, 1, false, ""},
        {"self-signed refused", self.port(), true, 1, false, ""},
        {"self-signed accepted on the retry", self.port(), true, 0, true, "trying again"},
        {"verification off without the test authority", self.port(), false, 0, true,
         "trying again"},
        {"verification is on unless turned off", self.port(), true, -1, false, ""},
        {"name not ours refused", stranger.port(), true, 1, false, ""},
        {"name not checked without verification", stranger.port(), true, 0, true, ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        TraceCapture log;
        CSslConnection c;
        if (k.verify >= 0)
            c.setVerifyServer(k.verify != 0);
        if (k.withTestCa)
            c.setCaFile(cert("ca.pem"));
        Result r = fetch(c, k.port);
        EXPECT_TRUE(r.opened);
        EXPECT_EQ(r.sent, k.ok) << r.error;
        if (k.ok) {
            EXPECT_EQ(r.reply, "hello /history?x=1");
            EXPECT_EQ(c.httpStatus(), 200);
        } else {
            EXPECT_EQ(r.error.rfind("server certificate not trusted: ", 0), 0u) << r.error;
            EXPECT_GT(r.error.size(), std::string("server certificate not trusted: ").size());
            EXPECT_EQ(r.code, 60) << "libcurl's code for a refused peer certificate";
            EXPECT_TRUE(r.reply.empty());
        }
        if (*k.logged) {
            EXPECT_TRUE(log.contains(k.logged)) << log.all();
        } else {
            EXPECT_FALSE(log.contains("trying again")) << "no retry was needed";
        }
    }
}

TEST_F(Https, AClientCertificateComesFromTheStoreOnlyWhenTheServerAsks) {
    ScriptPeer asking(server("server", {"--client-ca", cert("clientca.pem")}));
    ScriptPeer plain(server("server"));
    ASSERT_TRUE(asking.port() && plain.port());
    const std::string noCertificate =
        "Cannot perform http request, client authentication needed but couldnt detect required "
        "client certificate";
    struct Case {
        const char* what;
        int port;
        const char* store;
        std::vector<std::string> files;
        int storeType;
        const char* unit;
        const char* replyOrError; // the reply's end when it works, else the error
        const char* logged;
    };
    const Case cases[] = {
        {"the one with the unit",
         asking.port(),
         "MY",
         {"other.pem>a.pem", "other.key>a.key", "match-combined.pem>b.pem"},
         certStoreMy,
         "NivraUnit",
         "unit=NivraUnit",
         "client certificate"},
        {"certificate and key side by side",
         asking.port(),
         "MY",
         {"match.pem", "match.key"},
         certStoreMy,
         "NivraUnit",
         "unit=NivraUnit",
         "client certificate"},
        {"PKCS #12 without a password",
         asking.port(),
         "MY",
         {"match.p12"},
         certStoreMy,
         "NivraUnit",
         "unit=NivraUnit",
         "client certificate"},
        {"empty unit takes the first",
         asking.port(),
         "MY",
         {"other.pem>a.pem", "other.key>a.key", "match-combined.pem>b.pem"},
         certStoreMy,
         "",
         "unit=Other",
         "client certificate"},
        {"CA store",
         asking.port(),
         "CA",
         {"match-combined.pem"},
         certStoreCa,
         "NivraUnit",
         "unit=NivraUnit",
         "client certificate"},
        {"no certificate with the unit",
         asking.port(),
         "MY",
         {"other.pem>a.pem", "other.key>a.key"},
         certStoreMy,
         "NivraUnit",
         "",
         "Cannot find the required certificate"},
        {"a certificate without its key",
         asking.port(),
         "MY",
         {"match.pem"},
         certStoreMy,
         "NivraUnit",
         "",
         "Cannot find the required certificate"},
        {"no store folder",
         asking.port(),
         "",
         {},
         certStoreMy,
         "NivraUnit",
         "",
         "Cannot open system store MY"},
        {"a store type without a name",
         asking.port(),
         "",
         {},
         7,
         "",
         "",
         "Cannot open system store "},
        {"not asked, not presented",
         plain.port(),
         "MY",
         {"match-combined.pem"},
         certStoreMy,
         "NivraUnit",
         "hello /history?x=1",
         ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        std::error_code ec;
        fs::remove_all(s_dir / "config", ec);
        if (*k.store)
            placeInStore(k.store, k.files);
        TraceCapture log;
        CSslConnection c;
        c.setCaFile(cert("ca.pem"));
        c.setCertStoreType(k.storeType);
        c.setOrganizationUnit(k.unit);
        Result r = fetch(c, k.port);
        bool works = *k.replyOrError != '\0';
        EXPECT_EQ(r.sent, works) << r.error;
        if (works) {
            EXPECT_TRUE(r.reply.ends_with(k.replyOrError)) << r.reply;
        } else {
            EXPECT_EQ(r.error, noCertificate);
            EXPECT_NE(r.code, 0);
        }
        if (*k.logged) {
            EXPECT_TRUE(log.contains(k.logged)) << log.all();
        }
        if (k.port == plain.port()) {
            EXPECT_TRUE(r.certificate.empty()) << "a server that does not ask gets none";
        }
    }
}

TEST_F(Https, LargeRepliesStallsAndUnreachableServersAreBounded) {
    ScriptPeer big(server("server", {"--big", std::to_string(8 << 20)}));
    ScriptPeer stall(server("server", {"--stall"}));
    ASSERT_TRUE(big.port() && stall.port());
    int refused = 0;
    {
        int err = 0;
        Socket s = Socket::tcp(err);
        s.bind("127.0.0.1", 0);
        refused = s.localPort();
    }
    {
        CSslConnection warmUp; // the TLS library's own first-use state is not a leak
        warmUp.setCaFile(cert("ca.pem"));
        fetch(warmUp, big.port());
    }
    struct Case {
        const char* what;
        std::string host;
        int port;
        std::string object;
        bool shutdownMidway;
        bool opened;
        int code;
        const char* error; // the start of the error text; empty when it works
    };
    const Case cases[] = {
        {"eight megabytes read whole", "127.0.0.1", big.port(), "/", false, true, 0, ""},
        {"a stalled server given up", "127.0.0.1", stall.port(), "/", false, true, 28,
         "Cannot perform http request: "},
        {"shutdown ends the wait", "127.0.0.1", stall.port(), "/", true, true, 42,
         "Cannot perform http request: shutting down"},
        {"refused port", "127.0.0.1", refused, "/", false, true, 7,
         "Cannot perform http request: "},
        {"unresolvable name", "no-such-host.invalid", 443, "/", false, true, 6,
         "Cannot perform http request: "},
        {"no server name", "", 443, "/", false, false, 3, "Cannot connect to internet"},
        {"a name with a user part", "evil@127.0.0.1", 443, "/", false, false, 3,
         "Cannot connect to internet"},
        {"a path with a space", "127.0.0.1", big.port(), "/a b", false, false, 3,
         "Cannot perform http request"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        int before = openDescriptorCount();
        {
            CSslConnection c;
            c.setCaFile(cert("ca.pem"));
            c.setTotalTimeout(3);
            std::thread stopper;
            if (k.shutdownMidway)
                stopper = std::thread([] {
                    sleepMs(500);
                    g_bShutdown = 1;
                });
            Result r = fetch(c, k.port, k.host, k.object);
            if (stopper.joinable())
                stopper.join();
            g_bShutdown = 0;
            EXPECT_EQ(r.opened, k.opened) << r.error;
            EXPECT_EQ(r.sent, *k.error == '\0') << r.error;
            if (*k.error) {
                EXPECT_EQ(r.error.rfind(k.error, 0), 0u) << r.error;
                EXPECT_EQ(r.code, k.code) << r.error;
            } else {
                EXPECT_EQ(r.reply.size(), size_t(8 << 20));
                EXPECT_EQ(r.reply.find_first_not_of('x'), std::string::npos);
            }
        }
        EXPECT_EQ(openDescriptorCount(), before);
    }
    CSslConnection unopened;
    EXPECT_FALSE(unopened.send()) << "a send without open is no success";
}
