// Client certificates kept as files. A store is a folder
// $XDG_CONFIG_HOME/nivra/certs/<MY|CA|ROOT|SPC>/ (~/.config when the variable
// is unset) of PEM files, each holding a certificate and its private key (or
// a certificate in NAME.pem/NAME.crt with its key in NAME.key), or PKCS #12
// files (.p12, .pfx) without a password. A certificate is chosen by the
// organisational unit (2.5.4.11) of its subject.
#pragma once

#include <memory>
#include <string>

using X509 = struct x509_st;
using EVP_PKEY = struct evp_pkey_st;

struct X509Free {
    void operator()(X509* p) const;
};
struct EvpPkeyFree {
    void operator()(EVP_PKEY* p) const;
};

struct ClientCertificate {
    std::unique_ptr<X509, X509Free> cert;
    std::unique_ptr<EVP_PKEY, EvpPkeyFree> key;
    std::string file; // where it came from, for the log
};

// The store names by type: 0 "MY", 1 "CA", 2 "ROOT", 3 "SPC"; any other
// type has no name (and no folder).
std::string certStoreName(int type);
// The store's folder, or empty when the type has no name.
std::string certStoreFolder(int type);

// True when the subject of `cert` carries an organisational unit equal to
// `unit`; an empty `unit` matches every certificate.
bool certificateHasUnit(X509* cert, const std::string& unit);

// The first certificate, in file-name order, that matches `unit` and has a
// key that belongs to it. On failure `why` says "Cannot open system store
// NAME" or "Cannot find the required certificate".
bool findClientCertificate(int storeType, const std::string& unit, ClientCertificate& out,
                           std::string& why);
