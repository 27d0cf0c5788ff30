#include "SM/fp7.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

namespace {

// OpenSSL 3.0 does not default the SM2 distinguishing ID; this is the one
// every SM2 signer here and in the tokens uses.
constexpr char kDefaultUserId[] = "1234567812345678";

// Parsing and verifying foreign input leaves errors on the thread's queue;
// they must not leak into later TLS calls on the same thread.
class ErrorMark {
public:
    ErrorMark() { ERR_set_mark(); }
    ~ErrorMark() { ERR_pop_to_mark(); }
    ErrorMark(const ErrorMark&) = delete;
    ErrorMark& operator=(const ErrorMark&) = delete;
};

const unsigned char* bytes(const std::string& s)
{
    return reinterpret_cast<const unsigned char*>(s.data());
}

std::string text(const ASN1_STRING* s)
{
    if (s == nullptr)
        return {};
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                       static_cast<std::size_t>(ASN1_STRING_length(s)));
}

int idOf(const ASN1_OBJECT* obj)
{
    return translateinternalnid(OBJ_obj2nid(obj));
}

// Exactly one SM2 signed-data message, or nothing.
ossl::Sm2P7Ptr parseSigned(const std::string& der)
{
    initsm2internalnid();
    const unsigned char* p = bytes(der);
    ossl::Sm2P7Ptr p7(d2i_SM2_P7(nullptr, &p, static_cast<long>(der.size())));
    if (!p7 || p != bytes(der) + der.size())
        return {};
    if (idOf(p7->type) != SM_ID_P7_SIGNED || p7->d.sign == nullptr)
        return {};
    return p7;
}

X509* findSignerCert(const STACK_OF(X509)* certs, const SM2_ISSUER_AND_SERIAL* ias)
{
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        X509* cert = sk_X509_value(certs, i);
        if (X509_NAME_cmp(X509_get_issuer_name(cert), ias->issuer) == 0
            && ASN1_INTEGER_cmp(X509_get0_serialNumber(cert), ias->serial) == 0)
            return cert;
    }
    return nullptr;
}

bool verifyWithSm3(EVP_PKEY* key, const std::string& message, const std::string& sigDer)
{
    ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), &pctx, EVP_sm3(), nullptr, key) != 1)
        return false;
    if (EVP_PKEY_CTX_set1_id(pctx, kDefaultUserId, sizeof kDefaultUserId - 1) <= 0)
        return false;
    return EVP_DigestVerify(ctx.get(), bytes(sigDer), sigDer.size(), bytes(message), message.size()) == 1;
}

std::string sm3(const std::string& data)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sm3(), nullptr) != 1)
        return {};
    return std::string(reinterpret_cast<const char*>(md), len);
}

// With signed attributes the signature covers their DER as a SET OF, and the
// message digest attribute binds the content (RFC 2315, 9.3).
bool signedBytes(const SM2_SIGNER_INFO* si, const std::string& content, std::string* out)
{
    if (sk_X509_ATTRIBUTE_num(si->auth_attr) <= 0) {
        *out = content;
        return true;
    }
    const auto* digest = static_cast<const ASN1_OCTET_STRING*>(X509at_get0_data_by_OBJ(
        si->auth_attr, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
    if (digest == nullptr || text(digest) != sm3(content))
        return false;
    unsigned char* der = nullptr;
    const int len = ASN1_item_i2d(reinterpret_cast<const ASN1_VALUE*>(si->auth_attr), &der,
                                  ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    if (len <= 0)
        return false;
    out->assign(reinterpret_cast<const char*>(der), static_cast<std::size_t>(len));
    OPENSSL_free(der);
    return true;
}

bool isSm2SignatureAlgorithm(const ASN1_OBJECT* alg)
{
    const int id = idOf(alg);
    return id == SM_ID_SM2_1 || id == SM_ID_SM2 || OBJ_obj2nid(alg) == NID_SM2_with_SM3;
}

bool verifySigner(const SM2_SIGNER_INFO* si, X509* cert, const std::string& content)
{
    if (idOf(si->digest_alg->algorithm) != SM_ID_SM3 || !isSm2SignatureAlgorithm(si->digest_enc_alg->algorithm))
        return false;
    EVP_PKEY* key = X509_get0_pubkey(cert);
    if (key == nullptr || !EVP_PKEY_is_a(key, "SM2"))
        return false;
    std::string message;
    if (!signedBytes(si, content, &message))
        return false;

    // Key stores hand back either the DER value or the bare 64-byte r || s,
    // and the message does not say which.
    const std::string sig = text(si->enc_digest);
    if (verifyWithSm3(key, message, sig))
        return true;
    const std::string fromRaw = EC_SM2_SIG_raw2der(sig);
    return !fromRaw.empty() && verifyWithSm3(key, message, fromRaw);
}

} // namespace

int SM2P7Verify(const std::string& p7der, const std::string& detachedContent, std::string* signerCertDer)
{
    ErrorMark mark;
    ossl::Sm2P7Ptr p7 = parseSigned(p7der);
    if (!p7)
        return -1;
    const SM2_SIGNED* sd = p7->d.sign;
    const SM2_P7* inner = sd->contents;
    if (inner == nullptr || idOf(inner->type) != SM_ID_P7_DATA)
        return 0;

    std::string content = detachedContent;
    if (inner->d.data != nullptr) {
        content = text(inner->d.data);
        if (!detachedContent.empty() && detachedContent != content)
            return 0;
    }

    const int signers = sk_SM2_SIGNER_INFO_num(sd->signer_info);
    if (signers <= 0)
        return 0;
    X509* first = nullptr;
    for (int i = 0; i < signers; ++i) {
        const SM2_SIGNER_INFO* si = sk_SM2_SIGNER_INFO_value(sd->signer_info, i);
        X509* cert = findSignerCert(sd->cert, si->issuer_and_serial);
        if (cert == nullptr || !verifySigner(si, cert, content))
            return 0;
        if (first == nullptr)
            first = cert;
    }
    if (signerCertDer != nullptr)
        *signerCertDer = ossl::toDer(first, i2d_X509);
    return 1;
}

bool isSM2P7Signed(const std::string& p7der)
{
    ErrorMark mark;
    return static_cast<bool>(parseSigned(p7der));
}

std::vector<std::string> SM2P7Certificates(const std::string& p7der)
{
    ErrorMark mark;
    std::vector<std::string> out;
    ossl::Sm2P7Ptr p7 = parseSigned(p7der);
    if (!p7)
        return out;
    const STACK_OF(X509)* certs = p7->d.sign->cert;
    for (int i = 0; i < sk_X509_num(certs); ++i)
        out.push_back(ossl::toDer(sk_X509_value(certs, i), i2d_X509));
    return out;
}
