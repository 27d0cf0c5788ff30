// halvorn-keychain: brings certificates and their keys into the keychain
// store, lists, exports and deletes them.

#include "platform/Keychain.h"
#include "ossl/ptr.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kProgram = "halvorn-keychain";
constexpr std::size_t kMaxInputBytes = 16 * 1024 * 1024;  // far above any certificate file
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Unref {
    void operator()(const kc::Object* o) const noexcept { kc::Release(o); }
};
template <typename T>
using Ref = std::unique_ptr<T, Unref>;
using X509Stack = std::unique_ptr<STACK_OF(X509), decltype([](STACK_OF(X509)* s) {
                                      sk_X509_pop_free(s, X509_free);
                                  })>;

// Passwords and key files are wiped once used.
class Secret {
public:
    Secret() = default;
    explicit Secret(std::string s) : m_s(std::move(s)) {}
    ~Secret() { OPENSSL_cleanse(m_s.data(), m_s.size()); }
    Secret(const Secret&) = delete;  // a copy would outlive the wipe
    Secret& operator=(const Secret&) = delete;
    std::string& str() { return m_s; }

private:
    std::string m_s;
};

int fail(const std::string& message)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return kExitFailure;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: %s import FILE.p12 [--password-file F|-]\n"
                 "       %s import CERT.pem [KEY.pem] [--password-file F|-]\n"
                 "       %s list\n"
                 "       %s export INDEX [--der]\n"
                 "       %s delete INDEX\n",
                 kProgram, kProgram, kProgram, kProgram, kProgram);
    return kExitUsage;
}

bool readAll(std::FILE* f, std::string& out)
{
    char buf[8192];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        out.append(buf, n);
        if (out.size() > kMaxInputBytes)
            return false;
    }
    return std::ferror(f) == 0;
}

bool readFile(const std::string& path, std::string& out)
{
    if (path == "-")
        return readAll(stdin, out);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    const bool ok = readAll(f, out);
    std::fclose(f);
    return ok;
}

void chompLine(std::string& s)
{
    if (!s.empty() && s.back() == '\n')
        s.pop_back();
    if (!s.empty() && s.back() == '\r')
        s.pop_back();
}

// Asks on the controlling terminal with echo off.
bool askPassword(const std::string& prompt, std::string& out)
{
    const int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    termios saved {};
    const bool isTty = tcgetattr(fd, &saved) == 0;
    if (isTty) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    (void)!write(fd, prompt.data(), prompt.size());
    char c;
    bool ok = false;
    while (read(fd, &c, 1) == 1) {
        if (c == '\n') {
            ok = true;
            break;
        }
        out.push_back(c);
    }
    if (isTty)
        tcsetattr(fd, TCSAFLUSH, &saved);
    (void)!write(fd, "\n", 1);
    close(fd);
    OPENSSL_cleanse(&c, 1);
    return ok;
}

// The password from --password-file (a file or "-" for standard input), or
// asked on the terminal.
bool getPassword(const std::string* passwordFile, const std::string& what, std::string& out)
{
    if (passwordFile != nullptr) {
        if (!readFile(*passwordFile, out))
            return false;
        chompLine(out);
        return true;
    }
    return askPassword("Password for " + what + ": ", out);
}

Ref<kc::Keychain> openStore()
{
    return Ref<kc::Keychain>(kc::Keychain::CopyDefault());
}

std::string labelFor(const kc::Certificate& cert)
{
    std::string cn;
    if (cert.CopyCommonName(cn) == kc::errSecSuccess && !cn.empty())
        return cn;
    return "imported key";
}

int storeImport(const std::vector<X509*>& certs, EVP_PKEY* key, const std::string& source)
{
    std::vector<Ref<kc::Certificate>> owned;
    std::vector<const kc::Certificate*> handles;
    for (X509* x : certs) {
        Ref<kc::Certificate> c(kc::Certificate::CreateWithData(ossl::toDer(x, i2d_X509)));
        if (!c)
            return fail(source + " holds a certificate that cannot be encoded");
        handles.push_back(c.get());
        owned.push_back(std::move(c));
    }
    if (key != nullptr && EVP_PKEY_is_a(key, "RSA") != 1)
        return fail("the key in " + source + " is not an RSA key; the keychain keeps RSA keys only");
    auto store = openStore();
    if (!store)
        return fail("cannot open the keychain at " + kc::Keychain::DefaultPath());
    int added = 0;
    int skipped = 0;
    const int st = store->Import(handles, key, key != nullptr ? labelFor(*owned.front()) : std::string(),
                                 &added, &skipped);
    if (st != kc::errSecSuccess)
        return fail("could not write to the keychain (status " + std::to_string(st) + "); nothing was imported");
    std::printf("imported %d certificate(s)%s%s\n", added,
                skipped > 0 ? (", " + std::to_string(skipped) + " already present").c_str() : "",
                key != nullptr ? ", with the private key" : "");
    return 0;
}

bool looksLikePkcs12(const std::string& bytes, ossl::Pkcs12Ptr& out)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    out.reset(d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size())));
    return static_cast<bool>(out);
}

int importPkcs12(const std::string& path, PKCS12* p12, const std::string* passwordFile)
{
    Secret password;
    if (!getPassword(passwordFile, path, password.str()))
        return fail(passwordFile != nullptr ? "cannot read the password file " + *passwordFile
                                            : "no terminal to ask for the password; use --password-file");
    const char* pass = password.str().c_str();
    const int passLen = static_cast<int>(password.str().size());
    if (PKCS12_mac_present(p12) == 1) {
        // An empty password may have been applied as no password at all.
        const bool macOk = PKCS12_verify_mac(p12, pass, passLen) == 1
                           || (passLen == 0 && PKCS12_verify_mac(p12, nullptr, 0) == 1);
        if (!macOk)
            return fail("wrong password for " + path + "; nothing was imported");
    }
    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawCa = nullptr;
    if (PKCS12_parse(p12, pass, &rawKey, &rawCert, &rawCa) != 1)
        return fail("cannot read " + path + " (wrong password or an unsupported encryption); nothing was imported");
    ossl::EvpPkeyPtr key(rawKey);
    ossl::X509Ptr cert(rawCert);
    X509Stack ca(rawCa);

    std::vector<X509*> certs;
    if (cert)
        certs.push_back(cert.get());
    for (int i = 0; ca && i < sk_X509_num(ca.get()); ++i)
        certs.push_back(sk_X509_value(ca.get(), i));
    if (certs.empty())
        return fail(path + " holds no certificate; nothing was imported");
    if (key && (!cert || X509_check_private_key(cert.get(), key.get()) != 1))
        return fail("the private key in " + path + " belongs to none of its certificates; nothing was imported");
    return storeImport(certs, key.get(), path);
}

int passwordCallback(char* buf, int size, int, void* userdata)
{
    auto* ctx = static_cast<std::pair<const std::string*, std::string>*>(userdata);
    Secret pw;
    if (!getPassword(ctx->first, ctx->second, pw.str()) || pw.str().size() > static_cast<std::size_t>(size))
        return -1;
    std::memcpy(buf, pw.str().data(), pw.str().size());
    return static_cast<int>(pw.str().size());
}

int importPem(const std::string& certPath, const std::string& certBytes, const std::string* keyPath,
              const std::string* passwordFile)
{
    std::vector<ossl::X509Ptr> owned;
    if (certBytes.find("-----BEGIN") != std::string::npos) {
        ossl::BioPtr bio(BIO_new_mem_buf(certBytes.data(), static_cast<int>(certBytes.size())));
        while (X509* x = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
            owned.emplace_back(x);
        ERR_clear_error();
    } else {
        const auto* p = reinterpret_cast<const unsigned char*>(certBytes.data());
        ossl::X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(certBytes.size())));
        if (x && p == reinterpret_cast<const unsigned char*>(certBytes.data()) + certBytes.size())
            owned.push_back(std::move(x));
    }
    if (owned.empty())
        return fail(certPath + " is not a certificate (PEM or DER) nor a PKCS#12 file; nothing was imported");

    ossl::EvpPkeyPtr key;
    if (keyPath != nullptr) {
        Secret keyBytes;
        if (!readFile(*keyPath, keyBytes.str()))
            return fail("cannot read " + *keyPath);
        ossl::BioPtr bio(BIO_new_mem_buf(keyBytes.str().data(), static_cast<int>(keyBytes.str().size())));
        std::pair<const std::string*, std::string> ctx(passwordFile, *keyPath);
        key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, passwordCallback, &ctx));
        if (!key)
            return fail(*keyPath + " is not a PEM private key, or its password is wrong; nothing was imported");
        if (X509_check_private_key(owned.front().get(), key.get()) != 1)
            return fail("the key in " + *keyPath + " does not belong to the certificate in " + certPath
                        + "; nothing was imported");
    }
    std::vector<X509*> certs;
    for (auto& x : owned)
        certs.push_back(x.get());
    return storeImport(certs, key.get(), certPath);
}

int cmdImport(const std::vector<std::string>& args)
{
    std::vector<std::string> files;
    const std::string* passwordFile = nullptr;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--password-file") {
            if (i + 1 >= args.size())
                return usage();
            passwordFile = &args[++i];
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.empty() || files.size() > 2)
        return usage();
    std::string bytes;
    if (!readFile(files[0], bytes))
        return fail("cannot read " + files[0]);
    ossl::Pkcs12Ptr p12;
    if (looksLikePkcs12(bytes, p12)) {
        if (files.size() == 2)
            return fail(files[0] + " is a PKCS#12 file; it carries its own key");
        return importPkcs12(files[0], p12.get(), passwordFile);
    }
    return importPem(files[0], bytes, files.size() == 2 ? &files[1] : nullptr, passwordFile);
}

struct Entries {
    std::vector<kc::CertificateEntry> list;
    ~Entries()
    {
        for (auto& e : list)
            kc::Release(e.certificate);
    }
};

// INDEX as shown by list, counted from 1.
bool parseIndex(const std::string& text, std::size_t count, std::size_t& index)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const std::size_t n = std::stoul(text);
    if (n == 0 || n > count)
        return false;
    index = n - 1;
    return true;
}

std::string commonName(const kc::Certificate& cert)
{
    std::string cn;
    return cert.CopyCommonName(cn) == kc::errSecSuccess ? cn : "(no common name)";
}

int cmdList(const std::vector<std::string>& args)
{
    if (!args.empty())
        return usage();
    auto store = openStore();
    if (!store)
        return fail("cannot open the keychain at " + kc::Keychain::DefaultPath());
    Entries entries;
    if (store->CopyEntries(entries.list) != kc::errSecSuccess)
        return fail("cannot read the keychain at " + store->path());
    std::printf("INDEX\tCOMMON NAME\tSERIAL\tPRIVATE KEY\tTRUSTED\n");
    for (std::size_t i = 0; i < entries.list.size(); ++i) {
        const auto& e = entries.list[i];
        std::printf("%zu\t%s\t%s\t%s\t%s\n", i + 1, commonName(*e.certificate).c_str(),
                    e.certificate->serialHex().c_str(), e.hasPrivateKey ? "yes" : "no",
                    e.trusted ? "yes" : "no");
    }
    return 0;
}

int withEntry(const std::string& indexText, Ref<kc::Keychain>& store, Entries& entries, std::size_t& index)
{
    store = openStore();
    if (!store)
        return fail("cannot open the keychain at " + kc::Keychain::DefaultPath());
    if (store->CopyEntries(entries.list) != kc::errSecSuccess)
        return fail("cannot read the keychain at " + store->path());
    if (!parseIndex(indexText, entries.list.size(), index))
        return fail("no certificate with index " + indexText + " (see '" + kProgram + " list')");
    return 0;
}

int cmdExport(const std::vector<std::string>& args)
{
    if (args.empty() || args.size() > 2 || (args.size() == 2 && args[1] != "--der"))
        return usage();
    Ref<kc::Keychain> store;
    Entries entries;
    std::size_t index = 0;
    if (const int rc = withEntry(args[0], store, entries, index); rc != 0)
        return rc;
    const std::string& der = entries.list[index].certificate->data();
    if (args.size() == 2) {
        std::fwrite(der.data(), 1, der.size(), stdout);
    } else {
        ossl::BioPtr bio(BIO_new_fp(stdout, BIO_NOCLOSE));
        PEM_write_bio_X509(bio.get(), entries.list[index].certificate->x509());
    }
    return std::fflush(stdout) == 0 ? 0 : fail("cannot write to standard output");
}

int cmdDelete(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return usage();
    Ref<kc::Keychain> store;
    Entries entries;
    std::size_t index = 0;
    if (const int rc = withEntry(args[0], store, entries, index); rc != 0)
        return rc;
    const kc::Certificate& cert = *entries.list[index].certificate;
    bool keyDeleted = false;
    const int st = store->DeleteCertificateAndKey(&cert, &keyDeleted);
    if (st != kc::errSecSuccess)
        return fail("could not delete certificate " + args[0] + " (status " + std::to_string(st) + ")");
    std::printf("deleted %s%s\n", commonName(cert).c_str(),
                keyDeleted ? " and its private key"
                : entries.list[index].hasPrivateKey ? " (its private key stays: another certificate uses it)"
                                                    : "");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        if (argc < 2)
            return usage();
        // Older PKCS#12 files use RC2 or 3DES, which live in the legacy provider.
        using Provider = std::unique_ptr<OSSL_PROVIDER, ossl::Deleter<OSSL_PROVIDER_unload>>;
        const Provider legacy(OSSL_PROVIDER_load(nullptr, "legacy"));
        const Provider base(OSSL_PROVIDER_load(nullptr, "default"));
        const std::string command = argv[1];
        const std::vector<std::string> args(argv + 2, argv + argc);
        if (command == "import")
            return cmdImport(args);
        if (command == "list")
            return cmdList(args);
        if (command == "export")
            return cmdExport(args);
        if (command == "delete")
            return cmdDelete(args);
        if (command == "help" || command == "--help" || command == "-h") {
            usage();
            return 0;
        }
        return usage();
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}
