#include "remote/tlsLibraries.h"

#include "trace/trace.h"

#include <mutex>
#include <string_view>

#define NIVRA_RESOLVE(library, fn, symbol)                                                         \
    if (!out.library.resolve(out.fn, symbol, why))                                                 \
        return false;

bool loadTlsLibraries(const TlsLibraryNames& names, TlsLibraries& out, std::string& why) {
    // libcurl first: it brings the OpenSSL it was built with, which the two
    // opens after it then find already loaded.
    if (!out.curlLibrary.open(names.curl, why) || !out.sslLibrary.open(names.ssl, why) ||
        !out.cryptoLibrary.open(names.crypto, why))
        return false;

    NIVRA_RESOLVE(curlLibrary, global_init, "curl_global_init")
    NIVRA_RESOLVE(curlLibrary, version_info, "curl_version_info")
    NIVRA_RESOLVE(curlLibrary, easy_init, "curl_easy_init")
    NIVRA_RESOLVE(curlLibrary, easy_cleanup, "curl_easy_cleanup")
    NIVRA_RESOLVE(curlLibrary, easy_setopt, "curl_easy_setopt")
    NIVRA_RESOLVE(curlLibrary, easy_perform, "curl_easy_perform")
    NIVRA_RESOLVE(curlLibrary, easy_getinfo, "curl_easy_getinfo")
    NIVRA_RESOLVE(curlLibrary, easy_strerror, "curl_easy_strerror")

    NIVRA_RESOLVE(sslLibrary, SSL_CTX_set_ex_data, "SSL_CTX_set_ex_data")
    NIVRA_RESOLVE(sslLibrary, SSL_CTX_get_ex_data, "SSL_CTX_get_ex_data")
    NIVRA_RESOLVE(sslLibrary, SSL_CTX_set_client_cert_cb, "SSL_CTX_set_client_cert_cb")
    NIVRA_RESOLVE(sslLibrary, SSL_CTX_get_cert_store, "SSL_CTX_get_cert_store")
    NIVRA_RESOLVE(sslLibrary, SSL_get_SSL_CTX, "SSL_get_SSL_CTX")

    NIVRA_RESOLVE(cryptoLibrary, CRYPTO_get_ex_new_index, "CRYPTO_get_ex_new_index")
    NIVRA_RESOLVE(cryptoLibrary, CRYPTO_free, "CRYPTO_free")
    NIVRA_RESOLVE(cryptoLibrary, ERR_clear_error, "ERR_clear_error")
    NIVRA_RESOLVE(cryptoLibrary, BIO_new_file, "BIO_new_file")
    NIVRA_RESOLVE(cryptoLibrary, BIO_free, "BIO_free")
    NIVRA_RESOLVE(cryptoLibrary, d2i_PKCS12_bio, "d2i_PKCS12_bio")
    NIVRA_RESOLVE(cryptoLibrary, PKCS12_free, "PKCS12_free")
    NIVRA_RESOLVE(cryptoLibrary, PKCS12_parse, "PKCS12_parse")
    NIVRA_RESOLVE(cryptoLibrary, PEM_read_bio_X509, "PEM_read_bio_X509")
    NIVRA_RESOLVE(cryptoLibrary, PEM_read_bio_PrivateKey, "PEM_read_bio_PrivateKey")
    NIVRA_RESOLVE(cryptoLibrary, X509_check_private_key, "X509_check_private_key")
    NIVRA_RESOLVE(cryptoLibrary, X509_get_subject_name, "X509_get_subject_name")
    NIVRA_RESOLVE(cryptoLibrary, X509_NAME_get_index_by_NID, "X509_NAME_get_index_by_NID")
    NIVRA_RESOLVE(cryptoLibrary, X509_NAME_get_entry, "X509_NAME_get_entry")
    NIVRA_RESOLVE(cryptoLibrary, X509_NAME_ENTRY_get_data, "X509_NAME_ENTRY_get_data")
    NIVRA_RESOLVE(cryptoLibrary, ASN1_STRING_to_UTF8, "ASN1_STRING_to_UTF8")
    NIVRA_RESOLVE(cryptoLibrary, X509_up_ref, "X509_up_ref")
    NIVRA_RESOLVE(cryptoLibrary, X509_free, "X509_free")
    NIVRA_RESOLVE(cryptoLibrary, EVP_PKEY_up_ref, "EVP_PKEY_up_ref")
    NIVRA_RESOLVE(cryptoLibrary, EVP_PKEY_free, "EVP_PKEY_free")
    NIVRA_RESOLVE(cryptoLibrary, X509_STORE_load_file, "X509_STORE_load_file")
    NIVRA_RESOLVE(cryptoLibrary, X509_STORE_set_flags, "X509_STORE_set_flags")

    // The certificate callbacks hand OpenSSL's own objects to libcurl's TLS:
    // a libcurl on another TLS library would take them for something else.
    const curl_version_info_data* info = out.version_info(CURLVERSION_NOW);
    const std::string_view tls = info && info->ssl_version ? info->ssl_version : "";
    if (tls.substr(0, 8) != "OpenSSL/") {
        why = names.curl + " does not use OpenSSL (" +
              (tls.empty() ? std::string("no TLS") : std::string(tls)) + ")";
        return false;
    }
    if (out.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        why = "cannot initialise " + names.curl;
        return false;
    }
    out.connectionIndex =
        out.CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_SSL_CTX, 0, nullptr, nullptr, nullptr, nullptr);
    if (out.connectionIndex < 0) {
        why = "cannot reserve a place in OpenSSL's TLS context";
        return false;
    }
    return true;
}

#undef NIVRA_RESOLVE

const TlsLibraries* tlsLibraries(std::string& why) {
    static TlsLibraries libraries;
    static std::string failure;
    static bool loaded = false;
    static std::once_flag once;
    std::call_once(once, [] {
        loaded = loadTlsLibraries(TlsLibraryNames{}, libraries, failure);
        if (loaded)
            NTRACE("HTTPS client: %s loaded", libraries.curlLibrary.name().c_str());
        else
            NTRACE("HTTPS client unavailable: %s", failure.c_str());
    });
    if (!loaded) {
        why = failure;
        return nullptr;
    }
    return &libraries;
}
