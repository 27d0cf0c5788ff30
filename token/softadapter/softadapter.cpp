// The software token adapter; token/softadapter/softadapter.h says what it
// reads and answers.

#include "token/softadapter/softadapter.h"

#pragma GCC visibility push(default)
#include "token/sm_adapter.h"
#pragma GCC visibility pop

#include "ossl/ptr.h"

#include <openssl/pem.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* kRootVariable = "HALVORN_SOFTTOKEN_ROOT";
constexpr const char* kLogVariable = "HALVORN_SOFTTOKEN_LOG";
constexpr const char* kSettingsFile = "token.conf";
constexpr const char kSm2UserId[] = "1234567812345678";
constexpr int kSm2Half = 32;
// Files bigger than this are not certificates or keys.
constexpr std::uintmax_t kMaxFileBytes = 1 << 20;

struct Settings {
    int sm2SignatureSize = 64;
    std::map<std::string, std::int32_t> failures;
};

struct Token {
    std::string name;
    fs::path dir;
    std::vector<fs::path> certificates;
    int active = -1;
};

// Contexts handed out and not yet freed; a handle not in here is refused,
// so a stale or foreign handle gives an error code instead of a crash.
std::mutex g_mutex;
std::map<const void*, std::unique_ptr<Token>> g_tokens;

std::optional<std::string> readFile(const fs::path& path)
{
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec || size > kMaxFileBytes)
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string trim(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

Settings readSettings(const fs::path& dir)
{
    Settings settings;
    const auto text = readFile(dir / kSettingsFile);
    if (!text)
        return settings;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        line = line.substr(0, line.find('#'));
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        char* end = nullptr;
        const long number = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || number < INT32_MIN || number > INT32_MAX)
            continue;
        if (key == "sm2_signature_size" && (number == 64 || number == 65))
            settings.sm2SignatureSize = static_cast<int>(number);
        else if (key.rfind("fail.", 0) == 0)
            settings.failures[key.substr(5)] = static_cast<std::int32_t>(number);
    }
    return settings;
}

std::vector<fs::path> sortedEntries(const fs::path& dir, bool folders, const char* extension)
{
    std::vector<fs::path> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        const std::string name = p.filename().string();
        if (name.empty() || name[0] == '.')
            continue;
        std::error_code typeEc;
        if (folders ? !it->is_directory(typeEc) : !it->is_regular_file(typeEc))
            continue;
        if (extension != nullptr && p.extension() != extension)
            continue;
        out.push_back(p);
    }
    std::sort(out.begin(), out.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename().string() < b.filename().string(); });
    return out;
}

std::vector<fs::path> tokenFolders()
{
    const char* root = std::getenv(kRootVariable);
    if (root == nullptr || *root == '\0')
        return {};
    return sortedEntries(root, true, nullptr);
}

void logCall(const std::string& line)
{
    const char* path = std::getenv(kLogVariable);
    if (path == nullptr || *path == '\0')
        return;
    std::ofstream out(path, std::ios::app);
    out << line << '\n';
}

Token* findToken(SM_TOKEN_CTX context)
{
    const auto it = g_tokens.find(context);
    return it == g_tokens.end() ? nullptr : it->second.get();
}

ossl::X509Ptr parseCertificate(const std::string& bytes)
{
    ossl::BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    ossl::X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (cert)
        return cert;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    return ossl::X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(bytes.size())));
}

ossl::EvpPkeyPtr parseKey(const std::string& bytes)
{
    ossl::BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    ossl::EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (key)
        return key;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    return ossl::EvpPkeyPtr(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(bytes.size())));
}

std::int32_t activeCertificateDer(const Token& token, std::string& der)
{
    if (token.active < 0)
        return SOFT_E_NO_ACTIVE;
    const auto bytes = readFile(token.certificates[static_cast<std::size_t>(token.active)]);
    if (!bytes)
        return SOFT_E_CERT;
    ossl::X509Ptr cert = parseCertificate(*bytes);
    der = ossl::toDer(cert.get(), i2d_X509);
    return der.empty() ? SOFT_E_CERT : 1;
}

// The key of the active certificate, checked against that certificate so a
// mismatched pair cannot produce signatures that never verify.
std::int32_t activeKey(const Token& token, ossl::EvpPkeyPtr& key)
{
    std::string der;
    if (const std::int32_t rc = activeCertificateDer(token, der); rc <= 0)
        return rc;
    fs::path keyPath = token.certificates[static_cast<std::size_t>(token.active)];
    keyPath.replace_extension(".key");
    const auto bytes = readFile(keyPath);
    if (!bytes)
        return SOFT_E_KEY;
    key = parseKey(*bytes);
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!key || !cert || X509_check_private_key(cert.get(), key.get()) != 1)
        return SOFT_E_KEY;
    return 1;
}

const char* digestName(std::int32_t algorithm)
{
    switch (algorithm) {
    case SM_ALG_MD2: return "MD2";
    case SM_ALG_MD5: return "MD5";
    case SM_ALG_SHA1:
    case SM_ALG_SHA1_WITH_RSA: return "SHA1";
    case SM_ALG_MD4: return "MD4";
    case SM_ALG_SHA256: return "SHA256";
    default: return nullptr;
    }
}

std::int32_t signSm2(EVP_PKEY* key, const unsigned char* data, std::size_t len, std::string& out)
{
    ossl::EvpMdCtxPtr md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;  // owned by md
    std::size_t sigLen = 0;
    if (!md || EVP_DigestSignInit(md.get(), &pctx, EVP_sm3(), nullptr, key) != 1
        || EVP_PKEY_CTX_set1_id(pctx, kSm2UserId, sizeof kSm2UserId - 1) != 1
        || EVP_DigestSign(md.get(), nullptr, &sigLen, data, len) != 1)
        return SOFT_E_SIGN;
    std::string der(sigLen, '\0');
    if (EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(der.data()), &sigLen, data, len) != 1)
        return SOFT_E_SIGN;
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    ossl::EcdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(sigLen)));
    if (!sig)
        return SOFT_E_SIGN;
    std::string rs(2 * kSm2Half, '\0');
    auto* dst = reinterpret_cast<unsigned char*>(rs.data());
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), dst, kSm2Half) != kSm2Half
        || BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), dst + kSm2Half, kSm2Half) != kSm2Half)
        return SOFT_E_SIGN;
    out = std::move(rs);
    return 1;
}

std::int32_t signRsa(EVP_PKEY* key, const char* digest, const unsigned char* data, std::size_t len,
                     std::string& out)
{
    ossl::EvpMdPtr md(EVP_MD_fetch(nullptr, digest, nullptr));
    if (!md)
        return SOFT_E_ALGORITHM;
    ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    std::size_t sigLen = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, md.get(), nullptr, key) != 1
        || EVP_DigestSign(ctx.get(), nullptr, &sigLen, data, len) != 1)
        return SOFT_E_SIGN;
    std::string sig(sigLen, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &sigLen, data, len) != 1)
        return SOFT_E_SIGN;
    sig.resize(sigLen);
    out = std::move(sig);
    return 1;
}

// Answers a byte string through the two-call protocol of the interface.
std::int32_t answer(const std::string& bytes, unsigned char* buffer, std::int32_t* len)
{
    const auto need = static_cast<std::int32_t>(bytes.size());
    if (buffer == nullptr) {
        *len = need;
        return 1;
    }
    if (*len < need) {
        *len = need;
        return SOFT_E_BUFFER;
    }
    std::memcpy(buffer, bytes.data(), bytes.size());
    *len = need;
    return 1;
}

// The length of a signature, known before signing so the first call of the
// two-call protocol does not sign.
std::int32_t signatureLength(EVP_PKEY* key, std::int32_t algorithm, const Settings& settings)
{
    if (algorithm == SM_ALG_SM2)
        return EVP_PKEY_is_a(key, "SM2") ? settings.sm2SignatureSize : SOFT_E_ALGORITHM;
    const char* digest = digestName(algorithm);
    if (digest == nullptr || !EVP_PKEY_is_a(key, "RSA"))
        return SOFT_E_ALGORITHM;
    // MD2, and MD4 outside the legacy provider, are not offered by OpenSSL 3.
    if (!ossl::EvpMdPtr(EVP_MD_fetch(nullptr, digest, nullptr)))
        return SOFT_E_ALGORITHM;
    return EVP_PKEY_get_size(key);
}

std::int32_t doSign(Token& token, const unsigned char* data, std::uint32_t dataLen, std::int32_t algorithm,
                    unsigned char* out, std::int32_t* outLen)
{
    if (outLen == nullptr || (data == nullptr && dataLen > 0))
        return SOFT_E_ARGUMENT;
    const Settings settings = readSettings(token.dir);
    ossl::EvpPkeyPtr key;
    if (const std::int32_t rc = activeKey(token, key); rc <= 0)
        return rc;
    const std::int32_t need = signatureLength(key.get(), algorithm, settings);
    if (need <= 0)
        return need;
    if (out == nullptr) {
        *outLen = need;
        return 1;
    }
    if (*outLen < need) {
        *outLen = need;
        return SOFT_E_BUFFER;
    }
    std::string sig;
    const std::int32_t rc = algorithm == SM_ALG_SM2
        ? signSm2(key.get(), data, dataLen, sig)
        : signRsa(key.get(), digestName(algorithm), data, dataLen, sig);
    if (rc <= 0)
        return rc;
    if (algorithm == SM_ALG_SM2 && settings.sm2SignatureSize == 65)
        sig.push_back('\0');
    return answer(sig, out, outLen);
}

// Runs one export that works on a context: looks the context up, applies a
// failure the token's settings ask for, and keeps every exception inside.
template <typename Work>
std::int32_t withToken(const char* exportName, SM_TOKEN_CTX context, const std::string& details, Work work)
{
    std::int32_t rc = SOFT_E_INTERNAL;
    std::string tokenName = "?";
    try {
        std::lock_guard<std::mutex> lock(g_mutex);
        Token* token = findToken(context);
        if (token == nullptr) {
            rc = SOFT_E_ARGUMENT;
        } else {
            tokenName = token->name;
            const Settings settings = readSettings(token->dir);
            const auto failure = settings.failures.find(exportName);
            rc = failure != settings.failures.end() ? failure->second : work(*token);
        }
    } catch (...) {
        rc = SOFT_E_INTERNAL;
    }
    try {
        logCall(std::string(exportName) + " token=" + tokenName + details + " rc=" + std::to_string(rc));
    } catch (...) {
    }
    return rc;
}

template <typename Work>
std::int32_t guarded(const char* exportName, Work work)
{
    std::int32_t rc = SOFT_E_INTERNAL;
    try {
        rc = work();
    } catch (...) {
        rc = SOFT_E_INTERNAL;
    }
    try {
        logCall(std::string(exportName) + " rc=" + std::to_string(rc));
    } catch (...) {
    }
    return rc;
}

} // namespace

extern "C" {

int32_t SM_initialize(void*)
{
    return guarded("SM_initialize", [] { return 1; });
}

int32_t SM_getTokenNumber(void)
{
    return guarded("SM_getTokenNumber", [] { return static_cast<std::int32_t>(tokenFolders().size()); });
}

int32_t SM_getTokenCtx(SM_TOKEN_CTX* contexts, int32_t capacity)
{
    return guarded("SM_getTokenCtx", [&]() -> std::int32_t {
        const auto folders = tokenFolders();
        if (contexts == nullptr && capacity == 0)
            return static_cast<std::int32_t>(folders.size());
        if (contexts == nullptr || capacity < 0)
            return SOFT_E_ARGUMENT;
        const std::size_t n = std::min(folders.size(), static_cast<std::size_t>(capacity));
        std::lock_guard<std::mutex> lock(g_mutex);
        for (std::size_t i = 0; i < n; ++i) {
            auto token = std::make_unique<Token>();
            token->name = folders[i].filename().string();
            token->dir = folders[i];
            token->certificates = sortedEntries(folders[i], false, ".crt");
            contexts[i] = token.get();
            g_tokens.emplace(token.get(), std::move(token));
        }
        return static_cast<std::int32_t>(n);
    });
}

int32_t SM_getTokenCertificateNumber(SM_TOKEN_CTX context)
{
    return withToken("SM_getTokenCertificateNumber", context, "",
                     [](Token& t) { return static_cast<std::int32_t>(t.certificates.size()); });
}

int32_t SM_setTokenActiveCertificate(SM_TOKEN_CTX context, int32_t index)
{
    return withToken("SM_setTokenActiveCertificate", context, " index=" + std::to_string(index),
                     [index](Token& t) -> std::int32_t {
                         if (index < 0 || static_cast<std::size_t>(index) >= t.certificates.size())
                             return SOFT_E_ARGUMENT;
                         t.active = index;
                         return 1;
                     });
}

int32_t SM_getTokenActiveCertificate(SM_TOKEN_CTX context, unsigned char* buffer, int32_t* len)
{
    return withToken("SM_getTokenActiveCertificate", context, "", [&](Token& t) -> std::int32_t {
        if (len == nullptr)
            return SOFT_E_ARGUMENT;
        std::string der;
        if (const std::int32_t rc = activeCertificateDer(t, der); rc <= 0)
            return rc;
        return answer(der, buffer, len);
    });
}

int32_t SM_sign(SM_TOKEN_CTX context, const unsigned char* data, uint32_t dataLen, int32_t algorithm,
                unsigned char* out, int32_t* outLen)
{
    return withToken("SM_sign", context, " alg=" + std::to_string(algorithm) + " len=" + std::to_string(dataLen),
                     [&](Token& t) { return doSign(t, data, dataLen, algorithm, out, outLen); });
}

int32_t SM_freeTokenCtx(SM_TOKEN_CTX context)
{
    std::int32_t rc = SOFT_E_INTERNAL;
    std::string tokenName = "?";
    try {
        std::lock_guard<std::mutex> lock(g_mutex);
        const auto it = g_tokens.find(context);
        if (it == g_tokens.end()) {
            rc = SOFT_E_ARGUMENT;
        } else {
            tokenName = it->second->name;
            g_tokens.erase(it);
            rc = 1;
        }
    } catch (...) {
        rc = SOFT_E_INTERNAL;
    }
    try {
        logCall("SM_freeTokenCtx token=" + tokenName + " rc=" + std::to_string(rc));
    } catch (...) {
    }
    return rc;
}

} // extern "C"
