// The HTTPS client's libraries loaded on first use: every way loading can
// fail is refused with a reason that names the library or function, and the
// machine's own libraries load with every function found.
#include "remote/tlsLibraries.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TlsLibraries, AMissingLibraryOrFunctionIsReportedByName) {
    struct Case {
        const char* what;
        TlsLibraryNames names;
        const char* reason; // a part of `why`
    };
    const TlsLibraryNames real;
    const Case cases[] = {
        {"no libcurl",
         {"libnivra-no-such-curl.so.4", real.ssl, real.crypto},
         "cannot load libnivra-no-such-curl.so.4"},
        {"no libssl",
         {real.curl, "libnivra-no-such-ssl.so.3", real.crypto},
         "cannot load libnivra-no-such-ssl.so.3"},
        {"no libcrypto",
         {real.curl, real.ssl, "libnivra-no-such-crypto.so.3"},
         "cannot load libnivra-no-such-crypto.so.3"},
        // Libraries that exist but are not the ones asked for.
        {"libcurl is something else",
         {"libm.so.6", real.ssl, real.crypto},
         "cannot find curl_global_init in libm.so.6"},
        {"libssl is libcrypto",
         {real.curl, real.crypto, real.crypto},
         "cannot find SSL_CTX_set_ex_data in libcrypto.so.3"},
        {"libcrypto is libm",
         {real.curl, real.ssl, "libm.so.6"},
         "cannot find CRYPTO_get_ex_new_index in libm.so.6"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TlsLibraries libraries;
        std::string why;
        EXPECT_FALSE(loadTlsLibraries(c.names, libraries, why));
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }
}

TEST(TlsLibraries, TheMachinesLibrariesLoadOnceForTheProgram) {
    TlsLibraries libraries;
    std::string why;
    ASSERT_TRUE(loadTlsLibraries(TlsLibraryNames{}, libraries, why)) << why;
    EXPECT_GE(libraries.connectionIndex, 0);
    ASSERT_NE(libraries.easy_init, nullptr);
    ASSERT_NE(libraries.X509_STORE_set_flags, nullptr);

    const TlsLibraries* first = tlsLibraries(why);
    ASSERT_NE(first, nullptr) << why;
    EXPECT_EQ(tlsLibraries(why), first) << "loaded once and kept";
    CURL* h = first->easy_init();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(first->easy_setopt(h, CURLOPT_URL, "https://127.0.0.1:1/"), CURLE_OK);
    first->easy_cleanup(h);
}

} // namespace
