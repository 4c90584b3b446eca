// The HTTPS client's libraries, libcurl and the OpenSSL it is built on,
// loaded when a link first needs them instead of at every start. Only the
// functions the client uses are looked up; the headers give their types.
#pragma once

#include "platform/sharedLibrary.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <string>

// The file names the loader looks for.
struct TlsLibraryNames {
    std::string curl = "libcurl.so.4";
    std::string ssl = "libssl.so.3";
    std::string crypto = "libcrypto.so.3";
};

struct TlsLibraries {
    SharedLibrary curlLibrary;
    SharedLibrary sslLibrary;
    SharedLibrary cryptoLibrary;

    // libcurl
    decltype(&::curl_global_init) global_init = nullptr;
    decltype(&::curl_version_info) version_info = nullptr;
    decltype(&::curl_easy_init) easy_init = nullptr;
    decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&::curl_easy_setopt) easy_setopt = nullptr;
    decltype(&::curl_easy_perform) easy_perform = nullptr;
    decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;
    decltype(&::curl_easy_strerror) easy_strerror = nullptr;

    // libssl
    decltype(&::SSL_CTX_set_ex_data) SSL_CTX_set_ex_data = nullptr;
    decltype(&::SSL_CTX_get_ex_data) SSL_CTX_get_ex_data = nullptr;
    decltype(&::SSL_CTX_set_client_cert_cb) SSL_CTX_set_client_cert_cb = nullptr;
    decltype(&::SSL_CTX_get_cert_store) SSL_CTX_get_cert_store = nullptr;
    decltype(&::SSL_get_SSL_CTX) SSL_get_SSL_CTX = nullptr;

    // libcrypto
    decltype(&::CRYPTO_get_ex_new_index) CRYPTO_get_ex_new_index = nullptr;
    decltype(&::CRYPTO_free) CRYPTO_free = nullptr;
    decltype(&::ERR_clear_error) ERR_clear_error = nullptr;
    decltype(&::BIO_new_file) BIO_new_file = nullptr;
    decltype(&::BIO_free) BIO_free = nullptr;
    decltype(&::d2i_PKCS12_bio) d2i_PKCS12_bio = nullptr;
    decltype(&::PKCS12_free) PKCS12_free = nullptr;
    decltype(&::PKCS12_parse) PKCS12_parse = nullptr;
    decltype(&::PEM_read_bio_X509) PEM_read_bio_X509 = nullptr;
    decltype(&::PEM_read_bio_PrivateKey) PEM_read_bio_PrivateKey = nullptr;
    decltype(&::X509_check_private_key) X509_check_private_key = nullptr;
    decltype(&::X509_get_subject_name) X509_get_subject_name = nullptr;
    decltype(&::X509_NAME_get_index_by_NID) X509_NAME_get_index_by_NID = nullptr;
    decltype(&::X509_NAME_get_entry) X509_NAME_get_entry = nullptr;
    decltype(&::X509_NAME_ENTRY_get_data) X509_NAME_ENTRY_get_data = nullptr;
    decltype(&::ASN1_STRING_to_UTF8) ASN1_STRING_to_UTF8 = nullptr;
    decltype(&::X509_up_ref) X509_up_ref = nullptr;
    decltype(&::X509_free) X509_free = nullptr;
    decltype(&::EVP_PKEY_up_ref) EVP_PKEY_up_ref = nullptr;
    decltype(&::EVP_PKEY_free) EVP_PKEY_free = nullptr;
    decltype(&::X509_STORE_load_file) X509_STORE_load_file = nullptr;
    decltype(&::X509_STORE_set_flags) X509_STORE_set_flags = nullptr;

    // Where a TLS context keeps the connection that made it.
    int connectionIndex = -1;
};

// Loads the three libraries by `names`, looks up every function, checks that
// libcurl speaks TLS through OpenSSL and initialises it. False, with `why`
// saying what is missing, when any step fails; `out` is then not to be used.
bool loadTlsLibraries(const TlsLibraryNames& names, TlsLibraries& out, std::string& why);

// The program's one copy, loaded on the first call and kept until the end.
// Null, with `why`, when loading failed (the first failure is kept: the
// libraries do not appear while the program runs).
const TlsLibraries* tlsLibraries(std::string& why);
