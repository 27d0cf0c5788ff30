// halvorn-install: creates the service's server certificate (self-signed,
// RSA-2048, SHA-256, for localhost and 127.0.0.1) and its private key, PEM-encrypted
// under the pass phrase the service derives, at the fixed paths (under
// HALVORN_ROOT when set). Files already there are left alone. With
// --trust-nss it also makes browsers trust the certificate (NssTrust.h), and
// --untrust-nss takes that back.

#include "ossl/ptr.h"
#include "service/ServerFiles.h"
#include "tools/halvorn-install/NssTrust.h"

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kKeyBits = 2048;
constexpr long kValidDays = 3650;

ossl::EvpPkeyPtr makeKey()
{
    ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kKeyBits) != 1
        || EVP_PKEY_keygen(ctx.get(), &key) != 1)
        return {};
    return ossl::EvpPkeyPtr(key);
}

bool addExtension(X509* cert, int nid, const char* value)
{
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    if (ext == nullptr)
        return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

ossl::X509Ptr makeCert(EVP_PKEY* key)
{
    ossl::X509Ptr cert(X509_new());
    if (!cert)
        return {};
    unsigned char serial[8];
    if (RAND_bytes(serial, sizeof serial) != 1)
        return {};
    serial[0] &= 0x7F;   // a positive serial number
    ossl::BignumPtr bn(BN_bin2bn(serial, sizeof serial, nullptr));
    X509_NAME* name = X509_get_subject_name(cert.get());
    const auto text = [](const char* s) { return reinterpret_cast<const unsigned char*>(s); };
    if (!bn || X509_set_version(cert.get(), X509_VERSION_3) != 1
        || BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get())) == nullptr
        || X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr
        || X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValidDays * 24 * 3600) == nullptr
        || X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, text("Halvorn"), -1, -1, 0) != 1
        || X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, text("localhost"), -1, -1, 0) != 1
        || X509_set_issuer_name(cert.get(), name) != 1 || X509_set_pubkey(cert.get(), key) != 1
        || !addExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE")
        || !addExtension(cert.get(), NID_key_usage, "critical,digitalSignature,keyEncipherment")
        || !addExtension(cert.get(), NID_ext_key_usage, "serverAuth")
        || !addExtension(cert.get(), NID_subject_key_identifier, "hash")
        || !addExtension(cert.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1")
        || X509_sign(cert.get(), key, EVP_sha256()) <= 0)
        return {};
    return cert;
}

// Written beside the target and renamed, so no half-written file is ever seen.
bool writePem(const fs::path& path, fs::perms perms, const std::function<int(BIO*)>& write)
{
    const fs::path tmp = path.string() + ".tmp";
    {
        ossl::BioPtr bio(BIO_new_file(tmp.c_str(), "w"));
        if (!bio)
            return false;
        std::error_code ec;
        fs::permissions(tmp, perms, ec);
        if (ec || write(bio.get()) != 1 || BIO_flush(bio.get()) != 1)
            return false;
    }
    std::error_code ec;
    fs::rename(tmp, path, ec);
    if (ec)
        fs::remove(tmp, ec);
    return !ec;
}

int installServerFiles()
{
    const fs::path certPath = GetServerCertPath();
    const fs::path keyPath = GetServerKeyPath();
    std::error_code ec;
    if (fs::exists(certPath, ec) && fs::exists(keyPath, ec)) {
        std::printf("halvorn-install: server files already present in %s\n", certPath.parent_path().c_str());
        return 0;
    }

    fs::create_directories(certPath.parent_path(), ec);
    if (ec) {
        std::fprintf(stderr, "halvorn-install: cannot create %s: %s\n", certPath.parent_path().c_str(),
                     ec.message().c_str());
        return 1;
    }
    const ossl::EvpPkeyPtr key = makeKey();
    const ossl::X509Ptr cert = key ? makeCert(key.get()) : nullptr;
    if (!cert) {
        std::fprintf(stderr, "halvorn-install: cannot make the server certificate\n");
        return 1;
    }
    // The same derivation the service uses when it opens the key.
    const std::string pass = ServerKeyPassphrase();
    const bool keyOk = writePem(keyPath, fs::perms::owner_read | fs::perms::owner_write, [&](BIO* bio) {
        return PEM_write_bio_PKCS8PrivateKey(bio, key.get(), EVP_aes_256_cbc(), pass.data(),
                                             static_cast<int>(pass.size()), nullptr, nullptr);
    });
    const bool certOk = keyOk
        && writePem(certPath,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read,
                    [&](BIO* bio) { return PEM_write_bio_X509(bio, cert.get()); });
    if (!certOk) {
        std::fprintf(stderr, "halvorn-install: cannot write the server files in %s\n",
                     certPath.parent_path().c_str());
        return 1;
    }
    std::printf("halvorn-install: created %s and %s\n", certPath.c_str(), keyPath.c_str());
    return 0;
}

int usage(const char* program, int status)
{
    std::fprintf(status == 0 ? stdout : stderr,
                 "usage: %s [--trust-nss [DBDIR] | --untrust-nss [DBDIR]]\n"
                 "Creates the server certificate and key of the service when they are missing\n"
                 "(under $HALVORN_ROOT when it is set).\n"
                 "  --trust-nss    also add the certificate, trusted for https://127.0.0.1, to the NSS\n"
                 "                 database DBDIR, or by default to $HOME/.pki/nssdb (Chromium; created\n"
                 "                 when missing) and to every Firefox profile that has one\n"
                 "  --untrust-nss  remove it again from the same databases; the server files stay\n",
                 program);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    enum class Trust { None, Add, Remove } trust = Trust::None;
    std::vector<std::string> databases;
    if (argc > 1) {
        const std::string option = argv[1];
        if (option == "--help")
            return usage(argv[0], 0);
        if ((option != "--trust-nss" && option != "--untrust-nss") || argc > 3)
            return usage(argv[0], 2);
        trust = option == "--trust-nss" ? Trust::Add : Trust::Remove;
        if (argc == 3) {
            databases.push_back(NssFolder(argv[2]));
        } else {
            const char* home = std::getenv("HOME");
            if (home == nullptr || *home == '\0') {
                std::fprintf(stderr, "halvorn-install: HOME is not set; name the NSS database\n");
                return 2;
            }
            databases = DefaultNssDatabases(home);
        }
        if (!CertutilAvailable()) {
            std::fprintf(stderr, "halvorn-install: certutil not found (Debian: apt-get install libnss3-tools)\n");
            return 1;
        }
    }

    if (trust == Trust::Remove) {
        int status = 0;
        for (const auto& folder : databases)
            status |= UntrustInNss(folder);
        return status;
    }
    if (const int status = installServerFiles(); status != 0 || trust == Trust::None)
        return status;
    int status = 0;
    // Only the shared database or the one named is created; a Firefox profile
    // without a database is not ours to set up.
    for (std::size_t i = 0; i < databases.size(); ++i)
        status |= TrustInNss(databases[i], GetServerCertPath(), i == 0);
    return status;
}
