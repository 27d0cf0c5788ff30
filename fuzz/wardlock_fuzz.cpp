// WardlockEntry: the dispatch of decrypted requests to the sessions' command
// objects (TQSMLib::invoke), run in place over a keychain store in a throwaway
// folder that holds one RSA identity. Each line of an input is one request, so
// one input can open a key store, select a certificate and use it; sessions
// live on between inputs, as they do in the service.
#include "check.h"
#include "commands/Json.h"
#include "platform/Keychain.h"
#include "scheduling/Scheduling.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

std::filesystem::path g_home;

void removeHome()
{
    std::error_code ec;
    if (!g_home.empty())
        std::filesystem::remove_all(g_home, ec);
}

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "wardlock_fuzz: %s\n", what);
    std::abort();
}

// A self-signed RSA-2048 certificate with its key in the store.
void storeIdentity()
{
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
    if (!key || !x)
        fail("cannot make a key");
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 7);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 24L * 3600);
    X509_set_pubkey(x.get(), key.get());
    X509_NAME* name = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Fuzz Signer"), -1, -1, 0);
    X509_set_issuer_name(x.get(), name);
    if (X509_sign(x.get(), key.get(), EVP_sha256()) <= 0)
        fail("cannot sign the certificate");

    unsigned char* der = nullptr;
    const int len = i2d_X509(x.get(), &der);
    const std::string certDer(reinterpret_cast<const char*>(der), len > 0 ? static_cast<std::size_t>(len) : 0);
    OPENSSL_free(der);

    kc::Keychain* store = kc::Keychain::CopyDefault();
    kc::Certificate* cert = kc::Certificate::CreateWithData(certDer);
    if (store == nullptr || cert == nullptr
        || store->Import({cert}, key.get(), "fuzz") != kc::errSecSuccess)
        fail("cannot fill the keychain store");
    kc::Release(cert);
    kc::Release(store);
}

// The store file still opens and lists: no request may leave it unreadable.
void checkStore()
{
    kc::Keychain* store = kc::Keychain::CopyDefault();
    FUZZ_CHECK(store != nullptr);
    std::vector<kc::Certificate*> certs;
    FUZZ_CHECK(store->CopyCertificates(certs) == kc::errSecSuccess);
    for (kc::Certificate* c : certs)
        kc::Release(c);
    kc::Release(store);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Everything the service would touch in the user's folders goes to a
    // folder of our own; without a display the chooser answers "none".
    std::string tmpl = (std::filesystem::temp_directory_path() / "halvorn-wardlock-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        fail("cannot make a temporary folder");
    g_home = tmpl;
    std::atexit(removeHome);
    for (const char* sub : {"data", "config", "root", "home"})
        std::filesystem::create_directories(g_home / sub);
    setenv("XDG_DATA_HOME", (g_home / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (g_home / "config").c_str(), 1);
    setenv("HALVORN_ROOT", (g_home / "root").c_str(), 1);
    setenv("HOME", (g_home / "home").c_str(), 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    storeIdentity();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = asText(data, size);
    std::size_t pos = 0;
    while (pos <= input.size()) {
        const std::size_t end = std::min(input.find('\n', pos), input.size());
        const std::string request(input.substr(pos, end - pos));
        std::string reply = "untouched";
        const int rc = WardlockEntry(request, reply);
        Json::Value parsed;
        if (!jsontext::parseStrict(request, parsed) || !parsed.isObject()) {
            // Not an envelope at all: refused, the reply left as it was.
            FUZZ_CHECK(rc == -1 && reply == "untouched");
        } else if (reply != "untouched" && !reply.empty()) {
            // Every reply is one compact JSON object, its newline dropped.
            Json::Value root;
            FUZZ_CHECK(jsontext::parseStrict(reply, root) && root.isObject());
            FUZZ_CHECK(reply.back() != '\n');
        }
        pos = end + 1;
    }

    static unsigned runs = 0;
    if (++runs % 256 == 0)
        checkStore();
    ERR_clear_error();
    return 0;
}
