#include "core/OsOpenssl.h"

#include "SM/fp7.h"
#include "ossl/ptr.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>
#include <memory>
#include <utility>

namespace {

constexpr char kSm2UserId[] = "1234567812345678";
constexpr std::size_t kSm2RawSignatureSize = 64;

// Encoded object identifiers (contents octets only), compared byte for byte.
constexpr unsigned char kIdEcPublicKey[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
constexpr unsigned char kSm2Curve[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};

// Failures here are answered with false or empty; leave the thread's error
// queue as it was so a later TLS call does not read our leftovers.
struct ErrorMark {
    ErrorMark() { ERR_set_mark(); }
    ~ErrorMark() { ERR_pop_to_mark(); }
    ErrorMark(const ErrorMark&) = delete;
    ErrorMark& operator=(const ErrorMark&) = delete;
};

const unsigned char* bytes(std::string_view s)
{
    return reinterpret_cast<const unsigned char*>(s.data());
}

bool fitsInt(std::size_t n) { return n <= static_cast<std::size_t>(INT_MAX); }

bool sameOid(const ASN1_OBJECT* obj, const unsigned char* der, std::size_t len)
{
    if (obj == nullptr || OBJ_length(obj) != len)
        return false;
    const unsigned char* data = OBJ_get0_data(obj);
    return data != nullptr && std::memcmp(data, der, len) == 0;
}

// The object an algorithm identifier names; the service's SM identifiers
// (920-929) are not OpenSSL's numbers, so the SM registry resolves them.
// The caller owns the result (static objects are not really freed).
ASN1_OBJECT* algorithmObject(int nid)
{
    const ASN1_OBJECT* obj = SM2_OBJ_nid2obj(nid);
    if (obj == nullptr || OBJ_length(obj) == 0)
        return nullptr;   // unknown, or NID_undef
    return OBJ_dup(obj);
}

int setAlgorithm(X509_ALGOR* alg, int nid)
{
    if (alg == nullptr)
        return 0;
    ASN1_OBJECT* obj = algorithmObject(nid);
    if (obj == nullptr)
        return 0;
    if (X509_ALGOR_set0(alg, obj, V_ASN1_NULL, nullptr) != 1) {
        ASN1_OBJECT_free(obj);
        return 0;
    }
    return 1;
}

// The digest that `nid` stands for, fetched from the providers loaded now
// (MD2 and MD4 are not in the default provider and give nothing).
ossl::EvpMdPtr fetchDigest(int nid)
{
    if (const int libnid = SM2_OBJ_nid2libnid(nid); libnid != NID_undef)
        nid = libnid;
    int digestNid = NID_undef;
    if (OBJ_find_sigid_algs(nid, &digestNid, nullptr) == 1 && digestNid != NID_undef)
        nid = digestNid;   // e.g. sha1WithRSAEncryption names SHA-1
    const char* name = OBJ_nid2sn(nid);
    if (name == nullptr || nid == NID_undef)
        return {};
    return ossl::EvpMdPtr(EVP_MD_fetch(nullptr, name, nullptr));
}

// Key stores hand out SM2 signatures as 32-byte r then 32-byte s; OpenSSL
// verifies the DER SEQUENCE { r, s }.
std::string sm2RawToDer(std::string_view raw)
{
    if (raw.size() != kSm2RawSignatureSize)
        return {};
    const std::size_t half = kSm2RawSignatureSize / 2;
    ossl::BignumPtr r(BN_bin2bn(bytes(raw), static_cast<int>(half), nullptr));
    ossl::BignumPtr s(BN_bin2bn(bytes(raw) + half, static_cast<int>(half), nullptr));
    ossl::EcdsaSigPtr sig(ECDSA_SIG_new());
    if (!r || !s || !sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1)
        return {};
    r.release();   // now owned by sig
    s.release();
    return ossl::toDer(sig.get(), i2d_ECDSA_SIG);
}

enum class Check { Verified, Failed, NotOffered };

Check digestVerifyOnce(EVP_PKEY* key, const EVP_MD* md, bool sm2,
                       std::string_view signature, std::string_view data)
{
    ossl::EvpMdCtxPtr mctx(EVP_MD_CTX_new());
    if (!mctx)
        return Check::Failed;
    EVP_PKEY_CTX* pctx = nullptr;   // owned by mctx
    if (EVP_DigestVerifyInit(mctx.get(), &pctx, md, nullptr, key) != 1)
        return Check::NotOffered;
    // The SM2 user ID enters the digest (Z value); OpenSSL 3.0 has no default.
    if (sm2 && EVP_PKEY_CTX_set1_id(pctx, kSm2UserId, sizeof kSm2UserId - 1) <= 0)
        return Check::Failed;
    if (!data.empty() && EVP_DigestVerifyUpdate(mctx.get(), data.data(), data.size()) != 1)
        return Check::Failed;
    return EVP_DigestVerifyFinal(mctx.get(), bytes(signature), signature.size()) == 1 ? Check::Verified
                                                                                      : Check::Failed;
}

// OpenSSL 3.0's RSA signature code has no DigestInfo prefix for some digests
// it can compute (SM3 among them), while a key store signing the DigestInfo
// itself has none of that limit: build the DigestInfo and compare.
bool rsaDigestInfoVerify(EVP_PKEY* key, const EVP_MD* md, std::string_view signature, std::string_view data)
{
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int hashLen = 0;
    if (EVP_Digest(data.data(), data.size(), hash, &hashLen, md, nullptr) != 1)
        return false;
    std::unique_ptr<X509_SIG, ossl::Deleter<X509_SIG_free>> info(X509_SIG_new());
    ASN1_OBJECT* oid = OBJ_dup(OBJ_nid2obj(EVP_MD_get_type(md)));
    X509_ALGOR* alg = nullptr;
    ASN1_OCTET_STRING* digest = nullptr;
    if (!info || oid == nullptr || OBJ_length(oid) == 0) {
        ASN1_OBJECT_free(oid);
        return false;
    }
    X509_SIG_getm(info.get(), &alg, &digest);
    if (X509_ALGOR_set0(alg, oid, V_ASN1_NULL, nullptr) != 1) {
        ASN1_OBJECT_free(oid);
        return false;
    }
    if (ASN1_OCTET_STRING_set(digest, hash, static_cast<int>(hashLen)) != 1)
        return false;
    const std::string block = ossl::toDer(info.get(), i2d_X509_SIG);
    ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (block.empty() || !ctx || EVP_PKEY_verify_init(ctx.get()) <= 0
        || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0)
        return false;
    return EVP_PKEY_verify(ctx.get(), bytes(signature), signature.size(), bytes(block), block.size()) == 1;
}

bool digestVerify(EVP_PKEY* key, const EVP_MD* md, bool sm2,
                  std::string_view signature, std::string_view data)
{
    if (key == nullptr || md == nullptr)
        return false;
    const Check first = digestVerifyOnce(key, md, sm2, signature, data);
    if (first == Check::Verified)
        return true;
    if (first == Check::NotOffered && !sm2 && EVP_PKEY_is_a(key, "RSA") == 1)
        return rsaDigestInfoVerify(key, md, signature, data);
    if (sm2 && signature.size() == kSm2RawSignatureSize) {
        const std::string der = sm2RawToDer(signature);
        return !der.empty() && digestVerifyOnce(key, md, true, der, data) == Check::Verified;
    }
    return false;
}

template <typename T, typename D2i>
T* parseDer(const unsigned char* der, std::size_t length, D2i d2i)
{
    if (der == nullptr || length == 0 || length > static_cast<std::size_t>(LONG_MAX))
        return nullptr;
    const unsigned char* p = der;
    return d2i(nullptr, &p, static_cast<long>(length));
}

// SM2 signed data (the GM/T object identifiers) is checked by the SM layer:
// 1 valid, 0 invalid, -1 not that form. As with RSA signed data, an attached
// message is checked against its own content and the caller's is ignored.
int sm2SignedDataVerify(std::string_view p7_der, std::string_view content)
{
    const std::string der(p7_der);
    if (!isSM2P7Signed(der))
        return -1;
    const auto* p = bytes(p7_der);
    ossl::Sm2P7Ptr p7(d2i_SM2_P7(nullptr, &p, static_cast<long>(p7_der.size())));
    const bool attached = p7 && p7->d.sign != nullptr && p7->d.sign->contents != nullptr
        && p7->d.sign->contents->d.ptr != nullptr;
    return SM2P7Verify(der, attached ? std::string() : std::string(content), nullptr);
}

} // namespace

namespace Openssl {

// ---- CX509Name ----

CX509Name::CX509Name(X509_NAME* name, bool attach) { Attach(name, attach); }

CX509Name::~CX509Name() { Destory(); }

CX509Name::CX509Name(CX509Name&& other) noexcept : m_name(std::exchange(other.m_name, nullptr)) {}

CX509Name& CX509Name::operator=(CX509Name&& other) noexcept
{
    if (this != &other) {
        Destory();
        m_name = std::exchange(other.m_name, nullptr);
    }
    return *this;
}

void CX509Name::Attach(X509_NAME* name, bool attach)
{
    if (name == m_name && attach)
        return;
    X509_NAME* mine = (attach || name == nullptr) ? name : X509_NAME_dup(name);
    Destory();
    m_name = mine;
}

X509_NAME* CX509Name::Detach() { return std::exchange(m_name, nullptr); }

void CX509Name::Destory()
{
    X509_NAME_free(m_name);
    m_name = nullptr;
}

// ---- CX509 ----

CX509::CX509() : m_x509(X509_new()) {}

CX509::CX509(X509* x509, bool attach) { Attach(x509, attach); }

CX509::~CX509() { Destory(); }

CX509::CX509(CX509&& other) noexcept : m_x509(std::exchange(other.m_x509, nullptr)) {}

CX509& CX509::operator=(CX509&& other) noexcept
{
    if (this != &other) {
        Destory();
        m_x509 = std::exchange(other.m_x509, nullptr);
    }
    return *this;
}

void CX509::Attach(X509* x509, bool attach)
{
    if (x509 == m_x509 && attach)
        return;
    X509* mine = (attach || x509 == nullptr) ? x509 : X509_dup(x509);
    Destory();
    m_x509 = mine;
}

X509* CX509::Detach() { return std::exchange(m_x509, nullptr); }

void CX509::Destory()
{
    X509_free(m_x509);
    m_x509 = nullptr;
}

bool CX509::FromDER(const unsigned char* der, std::size_t length)
{
    ErrorMark mark;
    Attach(parseDer<X509>(der, length, d2i_X509), true);
    return m_x509 != nullptr;
}

bool CX509::FromDER(std::string_view der) { return FromDER(bytes(der), der.size()); }

std::string CX509::toDER() const { return ossl::toDer(m_x509, i2d_X509); }

CX509Name CX509::get_issuer() const
{
    if (m_x509 == nullptr)
        return {};
    return CX509Name(X509_get_issuer_name(m_x509), false);
}

CInteger CX509::get_serialNumber() const
{
    return CInteger(m_x509 != nullptr ? X509_get0_serialNumber(m_x509) : nullptr);
}

bool CX509::Verify(std::string_view signature, std::string_view data) const
{
    ErrorMark mark;
    if (m_x509 == nullptr)
        return false;
    return CEVP_PKEY(X509_get_pubkey(m_x509)).Verify(signature, data);
}

bool CX509::HashVerify(int nid, std::string_view signature, std::string_view data) const
{
    ErrorMark mark;
    if (m_x509 == nullptr)
        return false;
    return CEVP_PKEY(X509_get_pubkey(m_x509)).HashVerify(nid, signature, data);
}

// ---- CEVP_PKEY ----

CEVP_PKEY::CEVP_PKEY(EVP_PKEY* pkey) : m_pkey(pkey)
{
    if (m_pkey != nullptr)
        m_ctx = EVP_PKEY_CTX_new(m_pkey, nullptr);
}

CEVP_PKEY::~CEVP_PKEY() { reset(); }

CEVP_PKEY::CEVP_PKEY(CEVP_PKEY&& other) noexcept
    : m_pkey(std::exchange(other.m_pkey, nullptr)), m_ctx(std::exchange(other.m_ctx, nullptr))
{
}

CEVP_PKEY& CEVP_PKEY::operator=(CEVP_PKEY&& other) noexcept
{
    if (this != &other) {
        reset();
        m_pkey = std::exchange(other.m_pkey, nullptr);
        m_ctx = std::exchange(other.m_ctx, nullptr);
    }
    return *this;
}

void CEVP_PKEY::reset() noexcept
{
    EVP_PKEY_CTX_free(m_ctx);   // the context refers to the key: free it first
    m_ctx = nullptr;
    EVP_PKEY_free(m_pkey);
    m_pkey = nullptr;
}

bool CEVP_PKEY::isSM2() const
{
    // EVP_PKEY_get_id() reports -1 for SM2 keys; ask by name.
    return m_pkey != nullptr && EVP_PKEY_is_a(m_pkey, "SM2") == 1;
}

bool CEVP_PKEY::HashVerify(int nid, std::string_view signature, std::string_view data) const
{
    ErrorMark mark;
    if (m_pkey == nullptr)
        return false;
    const ossl::EvpMdPtr md = fetchDigest(nid);
    return digestVerify(m_pkey, md.get(), isSM2(), signature, data);
}

bool CEVP_PKEY::Verify(std::string_view signature, std::string_view data) const
{
    ErrorMark mark;
    if (m_pkey == nullptr)
        return false;
    if (isSM2()) {
        // An SM2 signature is defined over the message, hashed with SM3.
        const ossl::EvpMdPtr sm3 = fetchDigest(NID_sm3);
        return digestVerify(m_pkey, sm3.get(), true, signature, data);
    }
    if (m_ctx == nullptr || EVP_PKEY_verify_init(m_ctx) <= 0)
        return false;
    return EVP_PKEY_verify(m_ctx, bytes(signature), signature.size(), bytes(data), data.size()) == 1;
}

// ---- CPKCS7_SIGNER_INFO ----

CPKCS7_SIGNER_INFO::CPKCS7_SIGNER_INFO() : m_si(PKCS7_SIGNER_INFO_new())
{
    if (m_si != nullptr && ASN1_INTEGER_set(m_si->version, 1) != 1) {
        PKCS7_SIGNER_INFO_free(m_si);
        m_si = nullptr;
    }
}

CPKCS7_SIGNER_INFO::~CPKCS7_SIGNER_INFO() { PKCS7_SIGNER_INFO_free(m_si); }

CPKCS7_SIGNER_INFO::CPKCS7_SIGNER_INFO(CPKCS7_SIGNER_INFO&& other) noexcept
    : m_si(std::exchange(other.m_si, nullptr))
{
}

CPKCS7_SIGNER_INFO& CPKCS7_SIGNER_INFO::operator=(CPKCS7_SIGNER_INFO&& other) noexcept
{
    if (this != &other) {
        PKCS7_SIGNER_INFO_free(m_si);
        m_si = std::exchange(other.m_si, nullptr);
    }
    return *this;
}

int CPKCS7_SIGNER_INFO::set_digest_alg(int nid)
{
    ErrorMark mark;
    return m_si != nullptr ? setAlgorithm(m_si->digest_alg, nid) : 0;
}

int CPKCS7_SIGNER_INFO::set_digest_enc_alg(int nid)
{
    ErrorMark mark;
    return m_si != nullptr ? setAlgorithm(m_si->digest_enc_alg, nid) : 0;
}

int CPKCS7_SIGNER_INFO::set_enc_digest(std::string_view signature)
{
    if (m_si == nullptr || m_si->enc_digest == nullptr || !fitsInt(signature.size()))
        return 0;
    return ASN1_OCTET_STRING_set(m_si->enc_digest, bytes(signature), static_cast<int>(signature.size()));
}

int CPKCS7_SIGNER_INFO::set_issuer_and_serial(const CX509& cert)
{
    ErrorMark mark;
    X509* x = cert;
    if (m_si == nullptr || m_si->issuer_and_serial == nullptr || x == nullptr)
        return 0;
    PKCS7_ISSUER_AND_SERIAL* ias = m_si->issuer_and_serial;
    if (X509_NAME_set(&ias->issuer, X509_get_issuer_name(x)) != 1)
        return 0;
    ASN1_INTEGER* serial = ASN1_INTEGER_dup(X509_get0_serialNumber(x));
    if (serial == nullptr)
        return 0;
    ASN1_INTEGER_free(ias->serial);
    ias->serial = serial;
    return 1;
}

PKCS7_SIGNER_INFO* CPKCS7_SIGNER_INFO::Detach() { return std::exchange(m_si, nullptr); }

// ---- CPKCS7 ----

CPKCS7::CPKCS7() : m_p7(PKCS7_new()) {}

CPKCS7::CPKCS7(PKCS7* p7, bool attach) { Attach(p7, attach); }

CPKCS7::~CPKCS7() { Destory(); }

CPKCS7::CPKCS7(CPKCS7&& other) noexcept : m_p7(std::exchange(other.m_p7, nullptr)) {}

CPKCS7& CPKCS7::operator=(CPKCS7&& other) noexcept
{
    if (this != &other) {
        Destory();
        m_p7 = std::exchange(other.m_p7, nullptr);
    }
    return *this;
}

void CPKCS7::Attach(PKCS7* p7, bool attach)
{
    if (p7 == m_p7 && attach)
        return;
    PKCS7* mine = (attach || p7 == nullptr) ? p7 : PKCS7_dup(p7);
    Destory();
    m_p7 = mine;
}

PKCS7* CPKCS7::Detach() { return std::exchange(m_p7, nullptr); }

void CPKCS7::Destory()
{
    PKCS7_free(m_p7);
    m_p7 = nullptr;
}

bool CPKCS7::FromDER(const unsigned char* der, std::size_t length)
{
    ErrorMark mark;
    Attach(parseDer<PKCS7>(der, length, d2i_PKCS7), true);
    return m_p7 != nullptr;
}

bool CPKCS7::FromDER(std::string_view der) { return FromDER(bytes(der), der.size()); }

int CPKCS7::set_type(int nid)
{
    ErrorMark mark;
    return m_p7 != nullptr && PKCS7_set_type(m_p7, nid) == 1 ? 1 : 0;
}

int CPKCS7::set_detached()
{
    ErrorMark mark;
    if (m_p7 == nullptr || !PKCS7_type_is_signed(m_p7) || m_p7->d.sign == nullptr)
        return 0;
    // A detached message still names its content type: data.
    const PKCS7* inner = m_p7->d.sign->contents;
    if ((inner == nullptr || inner->type == nullptr || OBJ_obj2nid(inner->type) == NID_undef)
        && PKCS7_content_new(m_p7, NID_pkcs7_data) != 1)
        return 0;
    return PKCS7_ctrl(m_p7, PKCS7_OP_SET_DETACHED_SIGNATURE, 1, nullptr) == 1 ? 1 : 0;
}

int CPKCS7::set_sign_content(std::string_view content)
{
    ErrorMark mark;
    if (content.empty())
        return set_detached();
    if (m_p7 == nullptr || !PKCS7_type_is_signed(m_p7) || m_p7->d.sign == nullptr || !fitsInt(content.size()))
        return 0;
    if (PKCS7_content_new(m_p7, NID_pkcs7_data) != 1)
        return 0;
    ASN1_OCTET_STRING* os = m_p7->d.sign->contents->d.data;
    if (os == nullptr)
        return 0;
    return ASN1_OCTET_STRING_set(os, bytes(content), static_cast<int>(content.size())) == 1 ? 1 : 0;
}

int CPKCS7::add_certificate(const CX509& cert)
{
    ErrorMark mark;
    X509* x = cert;
    // A parsed message may name signedData and still lack its content.
    if (m_p7 == nullptr || m_p7->d.ptr == nullptr || x == nullptr)
        return 0;
    return PKCS7_add_certificate(m_p7, x) == 1 ? 1 : 0;   // raises the reference count
}

int CPKCS7::add_signer(CPKCS7_SIGNER_INFO& signer)
{
    ErrorMark mark;
    PKCS7_SIGNER_INFO* si = signer;
    if (m_p7 == nullptr || !PKCS7_type_is_signed(m_p7) || m_p7->d.sign == nullptr || si == nullptr
        || si->digest_alg == nullptr || si->digest_alg->algorithm == nullptr)
        return 0;
    PKCS7_SIGNED* sd = m_p7->d.sign;
    const ASN1_OBJECT* digest = si->digest_alg->algorithm;

    bool listed = false;
    for (int i = 0; i < sk_X509_ALGOR_num(sd->md_algs); ++i) {
        const X509_ALGOR* alg = sk_X509_ALGOR_value(sd->md_algs, i);
        if (alg != nullptr && OBJ_cmp(alg->algorithm, digest) == 0) {
            listed = true;
            break;
        }
    }
    if (!listed) {
        X509_ALGOR* alg = X509_ALGOR_new();
        ASN1_OBJECT* obj = OBJ_dup(digest);
        if (alg == nullptr || obj == nullptr || X509_ALGOR_set0(alg, obj, V_ASN1_NULL, nullptr) != 1) {
            ASN1_OBJECT_free(obj);
            X509_ALGOR_free(alg);
            return 0;
        }
        if (sk_X509_ALGOR_push(sd->md_algs, alg) <= 0) {
            X509_ALGOR_free(alg);
            return 0;
        }
    }
    if (sk_PKCS7_SIGNER_INFO_push(sd->signer_info, si) <= 0)
        return 0;   // the wrapper still owns it
    signer.Detach();
    return 1;
}

std::string CPKCS7::toDER() const
{
    ErrorMark mark;
    return ossl::toDer(m_p7, i2d_PKCS7);
}

int CPKCS7::type() const
{
    return m_p7 != nullptr && m_p7->type != nullptr ? OBJ_obj2nid(m_p7->type) : NID_undef;
}

bool CPKCS7::detached() const
{
    if (type() != NID_pkcs7_signed || m_p7->d.sign == nullptr)
        return false;
    const PKCS7* inner = m_p7->d.sign->contents;
    return inner == nullptr || inner->d.ptr == nullptr;
}

std::string CPKCS7::sign_content() const
{
    if (type() != NID_pkcs7_signed || m_p7->d.sign == nullptr || detached())
        return {};
    const PKCS7* inner = m_p7->d.sign->contents;
    if (inner->type == nullptr || OBJ_obj2nid(inner->type) != NID_pkcs7_data)
        return {};
    const ASN1_OCTET_STRING* os = inner->d.data;
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(os)),
                       static_cast<std::size_t>(ASN1_STRING_length(os)));
}

bool CPKCS7::Verify(std::optional<std::string_view> content) const
{
    ErrorMark mark;
    if (type() != NID_pkcs7_signed || m_p7->d.sign == nullptr)
        return false;
    const PKCS7_SIGNED* sd = m_p7->d.sign;
    if (sd->cert == nullptr || sk_X509_num(sd->cert) <= 0 || sk_X509_value(sd->cert, 0) == nullptr)
        return false;

    const std::string data = detached() ? std::string(content.value_or(std::string_view{})) : sign_content();

    // Only the first signer counts; one of another version is checked with
    // SHA-1 and an empty signature, so it cannot verify.
    int digest = NID_sha1;
    std::string signature;
    if (sk_PKCS7_SIGNER_INFO_num(sd->signer_info) > 0) {
        const PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(sd->signer_info, 0);
        if (si != nullptr && si->version != nullptr && ASN1_INTEGER_get(si->version) == 1
            && si->digest_alg != nullptr && si->enc_digest != nullptr) {
            signature.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(si->enc_digest)),
                             static_cast<std::size_t>(ASN1_STRING_length(si->enc_digest)));
            digest = OBJ_obj2nid(si->digest_alg->algorithm);
        }
    }
    const CX509 signerCert(sk_X509_value(sd->cert, 0), false);
    return signerCert.HashVerify(digest, signature, data);
}

} // namespace Openssl

std::string MakePKCS7Signed(std::string_view content, std::string_view certificate_der,
                            std::string_view signature, int digest_nid)
{
    Openssl::CX509 cert;
    if (!cert.FromDER(certificate_der))
        return {};   // no certificate, no message: the caller sees a failed signature
    return MakePKCS7Signed(content, cert, signature, digest_nid);
}

std::string MakePKCS7Signed(std::string_view content, const Openssl::CX509& cert,
                            std::string_view signature, int digest_nid)
{
    if (static_cast<X509*>(cert) == nullptr)
        return {};
    Openssl::CPKCS7 p7;
    if (p7.set_type(NID_pkcs7_signed) != 1)
        return {};
    if ((content.empty() ? p7.set_detached() : p7.set_sign_content(content)) != 1)
        return {};
    if (p7.add_certificate(cert) != 1)
        return {};

    Openssl::CPKCS7_SIGNER_INFO si;
    // The signature algorithm is written as rsaEncryption whatever the key.
    if (si.set_digest_alg(digest_nid) != 1 || si.set_digest_enc_alg(NID_rsaEncryption) != 1
        || si.set_enc_digest(signature) != 1 || si.set_issuer_and_serial(cert) != 1)
        return {};
    if (p7.add_signer(si) != 1)
        return {};
    return p7.toDER();
}

bool PKCS7Verify(std::string_view p7_der, std::string_view content)
{
    Openssl::CPKCS7 p7;
    // An SM2 message parses as a PKCS#7 of unknown type, so the type decides.
    if (p7.FromDER(p7_der) && p7.type() == NID_pkcs7_signed)
        return p7.Verify(content);
    return sm2SignedDataVerify(p7_der, content) == 1;
}

std::vector<std::string> PKCS7Cert(std::string_view p7_der)
{
    std::vector<std::string> out;
    Openssl::CPKCS7 p7;
    if (p7_der.empty() || !p7.FromDER(p7_der) || p7.type() != NID_pkcs7_signed)
        return out;
    const PKCS7* raw = p7;
    const PKCS7_SIGNED* sd = raw->d.sign;
    if (sd == nullptr || sd->version == nullptr || ASN1_INTEGER_get(sd->version) != 1 || sd->cert == nullptr)
        return out;
    for (int i = 0; i < sk_X509_num(sd->cert); ++i) {
        X509* x = sk_X509_value(sd->cert, i);
        if (x == nullptr)
            continue;
        std::string der = ossl::toDer(x, i2d_X509);
        if (!der.empty())
            out.push_back(std::move(der));
    }
    return out;
}

bool isSM2Certificate(std::string_view certificate_der)
{
    Openssl::CX509 cert;
    if (!cert.FromDER(certificate_der))
        return false;
    const X509_PUBKEY* pub = X509_get_X509_PUBKEY(static_cast<X509*>(cert));
    ASN1_OBJECT* keyAlg = nullptr;
    X509_ALGOR* alg = nullptr;
    if (pub == nullptr || X509_PUBKEY_get0_param(&keyAlg, nullptr, nullptr, &alg, pub) != 1)
        return false;
    if (!sameOid(keyAlg, kIdEcPublicKey, sizeof kIdEcPublicKey) || alg == nullptr)
        return false;
    const ASN1_TYPE* param = alg->parameter;
    return param != nullptr && param->type == V_ASN1_OBJECT
        && sameOid(param->value.object, kSm2Curve, sizeof kSm2Curve);
}
