#include "remote/clientCertificates.h"

#include "trace/trace.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A store holds a handful of files; anything bigger than this is not a
// certificate and is passed over.
constexpr std::uintmax_t kMaxCertFileBytes = 1 << 20;
// Files looked at per store, at most.
constexpr size_t kMaxCertFiles = 1000;

struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

std::string lowerExtension(const fs::path& p) {
    std::string e = p.extension().string();
    std::transform(e.begin(), e.end(), e.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return e;
}

bool loadPkcs12(const fs::path& file, ClientCertificate& out) {
    BioPtr bio(BIO_new_file(file.c_str(), "rb"));
    if (!bio)
        return false;
    std::unique_ptr<PKCS12, void (*)(PKCS12*)> p12(d2i_PKCS12_bio(bio.get(), nullptr), PKCS12_free);
    if (!p12)
        return false;
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    // Without a password; some tools write an empty one instead.
    if (PKCS12_parse(p12.get(), nullptr, &key, &cert, nullptr) != 1 &&
        PKCS12_parse(p12.get(), "", &key, &cert, nullptr) != 1)
        return false;
    out.cert.reset(cert);
    out.key.reset(key);
    return out.cert && out.key;
}

bool loadPem(const fs::path& file, ClientCertificate& out) {
    BioPtr bio(BIO_new_file(file.c_str(), "rb"));
    if (!bio)
        return false;
    out.cert.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!out.cert)
        return false;
    // The key may follow in the same file or live beside it as NAME.key.
    BioPtr keyBio(BIO_new_file(file.c_str(), "rb"));
    if (keyBio)
        out.key.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    if (!out.key) {
        fs::path keyFile = file;
        keyFile.replace_extension(".key");
        BioPtr other(BIO_new_file(keyFile.c_str(), "rb"));
        if (other)
            out.key.reset(PEM_read_bio_PrivateKey(other.get(), nullptr, nullptr, nullptr));
    }
    return out.key != nullptr;
}

bool loadCertificate(const fs::path& file, ClientCertificate& out) {
    std::string ext = lowerExtension(file);
    bool ok = false;
    if (ext == ".p12" || ext == ".pfx")
        ok = loadPkcs12(file, out);
    else if (ext == ".pem" || ext == ".crt" || ext == ".cer")
        ok = loadPem(file, out);
    // What OpenSSL queued about a file that was not for us must not be read
    // later as the reason of a TLS failure.
    ERR_clear_error();
    return ok && X509_check_private_key(out.cert.get(), out.key.get()) == 1;
}

} // namespace

void X509Free::operator()(X509* p) const {
    X509_free(p);
}

void EvpPkeyFree::operator()(EVP_PKEY* p) const {
    EVP_PKEY_free(p);
}

std::string certStoreName(int type) {
    static const char* const kNames[] = {"MY", "CA", "ROOT", "SPC"};
    return type >= 0 && type < 4 ? kNames[type] : "";
}

std::string certStoreFolder(int type) {
    std::string name = certStoreName(type);
    if (name.empty())
        return "";
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    std::string base;
    if (xdg && *xdg == '/')
        base = xdg;
    else if (home && *home)
        base = std::string(home) + "/.config";
    else
        return "";
    return base + "/nivra/certs/" + name;
}

bool certificateHasUnit(X509* cert, const std::string& unit) {
    if (unit.empty())
        return true;
    X509_NAME* subject = X509_get_subject_name(cert);
    for (int i = -1;
         (i = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, i)) >= 0;) {
        ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i));
        unsigned char* text = nullptr;
        int n = ASN1_STRING_to_UTF8(&text, value);
        if (n < 0)
            continue;
        bool same = unit == std::string(reinterpret_cast<char*>(text), static_cast<size_t>(n));
        OPENSSL_free(text);
        if (same)
            return true;
    }
    return false;
}

bool findClientCertificate(int storeType, const std::string& unit, ClientCertificate& out,
                           std::string& why) {
    std::string folder = certStoreFolder(storeType);
    std::error_code ec;
    if (folder.empty() || !fs::is_directory(folder, ec)) {
        why = "Cannot open system store " + certStoreName(storeType);
        return false;
    }
    std::vector<fs::path> files;
    for (fs::directory_iterator it(folder, ec), end;
         !ec && it != end && files.size() < kMaxCertFiles; it.increment(ec)) {
        std::error_code sizeError;
        if (it->is_regular_file(sizeError) && it->file_size(sizeError) <= kMaxCertFileBytes)
            files.push_back(it->path());
    }
    if (ec) {
        why = "Cannot open system store " + certStoreName(storeType);
        return false;
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        ClientCertificate found;
        if (!loadCertificate(file, found) || !certificateHasUnit(found.cert.get(), unit))
            continue;
        found.file = file.string();
        out = std::move(found);
        return true;
    }
    why = "Cannot find the required certificate";
    return false;
}
