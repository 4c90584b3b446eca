#include "remote/clientCertificates.h"

#include "remote/tlsLibraries.h"
#include "trace/trace.h"

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
    const TlsLibraries* tls;
    void operator()(BIO* p) const { tls->BIO_free(p); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

BioPtr openFile(const TlsLibraries& tls, const fs::path& file) {
    return BioPtr(tls.BIO_new_file(file.c_str(), "rb"), BioFree{&tls});
}

std::string lowerExtension(const fs::path& p) {
    std::string e = p.extension().string();
    std::transform(e.begin(), e.end(), e.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return e;
}

bool loadPkcs12(const TlsLibraries& tls, const fs::path& file, ClientCertificate& out) {
    BioPtr bio = openFile(tls, file);
    if (!bio)
        return false;
    std::unique_ptr<PKCS12, void (*)(PKCS12*)> p12(tls.d2i_PKCS12_bio(bio.get(), nullptr),
                                                   tls.PKCS12_free);
    if (!p12)
        return false;
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    // Without a password; some tools write an empty one instead.
    if (tls.PKCS12_parse(p12.get(), nullptr, &key, &cert, nullptr) != 1 &&
        tls.PKCS12_parse(p12.get(), "", &key, &cert, nullptr) != 1)
        return false;
    out.cert.reset(cert);
    out.key.reset(key);
    return out.cert && out.key;
}

bool loadPem(const TlsLibraries& tls, const fs::path& file, ClientCertificate& out) {
    BioPtr bio = openFile(tls, file);
    if (!bio)
        return false;
    out.cert.reset(tls.PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!out.cert)
        return false;
    // The key may follow in the same file or live beside it as NAME.key.
    BioPtr keyBio = openFile(tls, file);
    if (keyBio)
        out.key.reset(tls.PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    if (!out.key) {
        fs::path keyFile = file;
        keyFile.replace_extension(".key");
        BioPtr other = openFile(tls, keyFile);
        if (other)
            out.key.reset(tls.PEM_read_bio_PrivateKey(other.get(), nullptr, nullptr, nullptr));
    }
    return out.key != nullptr;
}

bool loadCertificate(const TlsLibraries& tls, const fs::path& file, ClientCertificate& out) {
    std::string ext = lowerExtension(file);
    bool ok = false;
    if (ext == ".p12" || ext == ".pfx")
        ok = loadPkcs12(tls, file, out);
    else if (ext == ".pem" || ext == ".crt" || ext == ".cer")
        ok = loadPem(tls, file, out);
    // What OpenSSL queued about a file that was not for us must not be read
    // later as the reason of a TLS failure.
    tls.ERR_clear_error();
    return ok && tls.X509_check_private_key(out.cert.get(), out.key.get()) == 1;
}

} // namespace

// A certificate or key exists only once the libraries are loaded, and they
// stay loaded; the lookup below then cannot fail.
void X509Free::operator()(X509* p) const {
    std::string why;
    if (const TlsLibraries* tls = tlsLibraries(why))
        tls->X509_free(p);
}

void EvpPkeyFree::operator()(EVP_PKEY* p) const {
    std::string why;
    if (const TlsLibraries* tls = tlsLibraries(why))
        tls->EVP_PKEY_free(p);
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
    std::string why;
    const TlsLibraries* tls = tlsLibraries(why);
    if (!tls || !cert)
        return false;
    X509_NAME* subject = tls->X509_get_subject_name(cert);
    for (int i = -1;
         (i = tls->X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, i)) >= 0;) {
        ASN1_STRING* value = tls->X509_NAME_ENTRY_get_data(tls->X509_NAME_get_entry(subject, i));
        unsigned char* text = nullptr;
        int n = tls->ASN1_STRING_to_UTF8(&text, value);
        if (n < 0)
            continue;
        bool same = unit == std::string(reinterpret_cast<char*>(text), static_cast<size_t>(n));
        tls->CRYPTO_free(text, OPENSSL_FILE, OPENSSL_LINE);
        if (same)
            return true;
    }
    return false;
}

bool findClientCertificate(int storeType, const std::string& unit, ClientCertificate& out,
                           std::string& why) {
    const TlsLibraries* tls = tlsLibraries(why);
    if (!tls)
        return false;
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
        if (!loadCertificate(*tls, file, found) || !certificateHasUnit(found.cert.get(), unit))
            continue;
        found.file = file.string();
        out = std::move(found);
        return true;
    }
    why = "Cannot find the required certificate";
    return false;
}
