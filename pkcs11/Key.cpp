#include "pkcs11/Call.h"
#include "pkcs11/Pkcs11.h"

#include <openssl/core_names.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

namespace tarnquill::crypto::pkcs11 {

using detail::attribute;

namespace {

// Every key pair this layer makes carries this identifier and subject value;
// the terminating zero byte is part of both.
constexpr unsigned char kGeneratedId[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0};
constexpr char kGeneratedSubject[] = "tarnquill";
static_assert(sizeof kGeneratedId == 10 && sizeof kGeneratedSubject == 10);

// The SM2 key marker: what an SM2 private key object is recognised by.
constexpr char kSm2Marker[] = "64";
constexpr std::size_t kSm2ComponentBytes = 256;

using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, ossl::Deleter<OSSL_PARAM_BLD_free>>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, ossl::Deleter<OSSL_PARAM_free>>;

ossl::BignumPtr bignum(const std::string& bigEndian)
{
    return ossl::BignumPtr(BN_bin2bn(reinterpret_cast<const unsigned char*>(bigEndian.data()),
                                     static_cast<int>(bigEndian.size()), nullptr));
}

// Runs one single-part operation (sign, encrypt, decrypt) after its Init, with
// the module asked for the output length first.
template <typename Op>
CK_RV singlePart(CK_SESSION_HANDLE session, Op op, const std::string& data, std::string& out)
{
    auto* in = reinterpret_cast<CK_BYTE*>(const_cast<char*>(data.data()));
    return detail::askSizeThenFetchBytes(out, [&](CK_BYTE* buffer, CK_ULONG* length) {
        return op(session, in, data.size(), buffer, length);
    });
}

} // namespace

Key::Key(const Session& session, CK_OBJECT_HANDLE publicKey, CK_OBJECT_HANDLE privateKey)
    : m_session(session), m_public(publicKey), m_private(privateKey)
{
}

CK_MECHANISM_TYPE Key::SignMechanism(CK_MECHANISM_TYPE digest)
{
    switch (digest) {
    case 0: return kMechanismSm2Sign;
    case CKM_MD2: return CKM_MD2_RSA_PKCS;
    case CKM_MD5: return CKM_MD5_RSA_PKCS;
    case CKM_SHA_1: return CKM_SHA1_RSA_PKCS;
    case CKM_SHA256: return CKM_SHA256_RSA_PKCS;
    default: return 0;
    }
}

CK_RV Key::Sign(const std::string& data, std::string& out, CK_MECHANISM_TYPE digest)
{
    CK_FUNCTION_LIST* fn = m_session.Functions();
    if (fn == nullptr || fn->C_SignInit == nullptr || fn->C_Sign == nullptr)
        return kMissingFunction;
    // The module signs with the digest the caller will name in its message.
    const CK_MECHANISM_TYPE type = SignMechanism(digest);
    if (type == 0)
        return CKR_MECHANISM_INVALID;
    CK_MECHANISM mechanism{type, nullptr, 0};
    const CK_RV rv = fn->C_SignInit(m_session.GetHandle(), &mechanism, m_private);
    if (!succeeded(rv))
        return rv;
    return singlePart(m_session.GetHandle(), fn->C_Sign, data, out);
}

std::string Key::Sign(const std::string& data, int digestNid)
{
    CK_MECHANISM_TYPE digest = 0;
    switch (digestNid) {
    case NID_md5: digest = CKM_MD5; break;
    case NID_sha1: digest = CKM_SHA_1; break;
    case NID_sha256: digest = CKM_SHA256; break;
    default: return {};
    }
    std::string out;
    if (!succeeded(Sign(data, out, digest)))
        return {};
    return out;
}

CK_RV Key::Encrypt(const std::string& data, std::string& out)
{
    CK_FUNCTION_LIST* fn = m_session.Functions();
    if (fn == nullptr || fn->C_EncryptInit == nullptr || fn->C_Encrypt == nullptr)
        return kMissingFunction;
    if (m_public == CK_INVALID_HANDLE)
        return kNoKey;
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    const CK_RV rv = fn->C_EncryptInit(m_session.GetHandle(), &mechanism, m_public);
    if (!succeeded(rv))
        return rv;
    return singlePart(m_session.GetHandle(), fn->C_Encrypt, data, out);
}

CK_RV Key::Decrypt(const std::string& data, std::string& out)
{
    CK_FUNCTION_LIST* fn = m_session.Functions();
    if (fn == nullptr || fn->C_DecryptInit == nullptr || fn->C_Decrypt == nullptr)
        return kMissingFunction;
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    const CK_RV rv = fn->C_DecryptInit(m_session.GetHandle(), &mechanism, m_private);
    if (!succeeded(rv))
        return rv;
    return singlePart(m_session.GetHandle(), fn->C_Decrypt, data, out);
}

CK_RV Key::GenKeyPair(CK_ULONG bits)
{
    CK_FUNCTION_LIST* fn = m_session.Functions();
    if (fn == nullptr || fn->C_GenerateKeyPair == nullptr)
        return kNoKeyGeneration;

    CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
    CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE keyType = CKK_RSA;
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG modulusBits = bits;
    const CK_ULONG subjectLength = sizeof kGeneratedSubject;

    CK_ATTRIBUTE publicTemplate[] = {
        attribute(CKA_CLASS, publicClass),
        attribute(CKA_KEY_TYPE, keyType),
        attribute(CKA_ID, kGeneratedId, sizeof kGeneratedId),
        attribute(CKA_SUBJECT, kGeneratedSubject, subjectLength),
        attribute(CKA_ENCRYPT, yes),
        attribute(CKA_VERIFY, yes),
        attribute(CKA_VERIFY_RECOVER, yes),
        attribute(CKA_WRAP, yes),
        attribute(CKA_MODULUS_BITS, modulusBits),
        attribute(CKA_TOKEN, yes),
    };
    CK_ATTRIBUTE privateTemplate[] = {
        attribute(CKA_CLASS, privateClass),
        attribute(CKA_KEY_TYPE, keyType),
        attribute(CKA_ID, kGeneratedId, sizeof kGeneratedId),
        attribute(CKA_SUBJECT, kGeneratedSubject, subjectLength),
        attribute(CKA_DECRYPT, yes),
        attribute(CKA_SIGN, yes),
        attribute(CKA_SIGN_RECOVER, yes),
        attribute(CKA_UNWRAP, yes),
        attribute(CKA_TOKEN, yes),
    };
    CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    return fn->C_GenerateKeyPair(m_session.GetHandle(), &mechanism, publicTemplate, std::size(publicTemplate),
                                 privateTemplate, std::size(privateTemplate), &m_public, &m_private);
}

ossl::EvpPkeyPtr Key::GetRsaEvpKey(const std::string& modulus, const std::string& exponent)
{
    ossl::BignumPtr n = bignum(modulus);
    ossl::BignumPtr e = bignum(exponent);
    ParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!n || !e || !builder || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1
        || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1)
        return nullptr;
    ParamPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
    ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1)
        return nullptr;
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return nullptr;
    return ossl::EvpPkeyPtr(key);
}

namespace {

// The RSA public key from an object's modulus and public exponent (a private
// key object carries both too); null when it has none.
ossl::EvpPkeyPtr rsaPublicKeyOf(const Session& session, CK_OBJECT_HANDLE object)
{
    std::vector<std::string> values;
    if (!succeeded(detail::readAttributes(session, object, {CKA_MODULUS, CKA_PUBLIC_EXPONENT}, values)))
        return nullptr;
    if (values[0].empty() || values[1].empty())
        return nullptr;
    return Key::GetRsaEvpKey(values[0], values[1]);
}

} // namespace

ossl::EvpPkeyPtr Key::GetEvpKey()
{
    return rsaPublicKeyOf(m_session, m_public);
}

ossl::EvpPkeyPtr Key::GetEvpKeyFT()
{
    return nullptr;
}

std::string Key::GetPubKeyFromePriv()
{
    const ossl::EvpPkeyPtr key = rsaPublicKeyOf(m_session, m_private);
    return key ? ossl::toDer(key.get(), i2d_PUBKEY) : std::string();
}

std::string Key::GetPubKeyFromePrivFT()
{
    std::vector<std::string> values;
    if (!succeeded(detail::readAttributes(m_session, m_private, {CKA_MODULUS, CKA_PUBLIC_EXPONENT}, values)))
        return {};
    if (values[0].size() != kSm2ComponentBytes || values[1].size() != kSm2ComponentBytes)
        return {};
    return kSm2Marker;
}

CK_RV Key::GetSubjectAndId(std::string& id, std::string& subject)
{
    std::vector<std::string> values;
    const CK_RV rv = detail::readAttributes(m_session, m_public, {CKA_SUBJECT, CKA_ID}, values);
    if (!succeeded(rv))
        return rv;
    subject = std::move(values[0]);
    id = std::move(values[1]);
    return CKR_OK;
}

} // namespace tarnquill::crypto::pkcs11
