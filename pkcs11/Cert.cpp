#include "pkcs11/Call.h"
#include "pkcs11/Pkcs11.h"

#include "SM/sm2obj.h"

#include <openssl/obj_mac.h>
#include <openssl/objects.h>

#include <functional>

namespace tarnquill::crypto::pkcs11 {

using detail::attribute;

namespace {

constexpr char kSm2Marker[] = "64";

ossl::X509Ptr parseCertificate(const std::string& der)
{
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    return cert;
}

struct KeySearch {
    CK_RV rv = CKR_OK;
    CK_OBJECT_HANDLE last = CK_INVALID_HANDLE;  // the qualifying object, else the last one examined
    bool matched = false;
    std::size_t examined = 0;
};

// Walks the key objects of one class until `qualifies` says yes.
KeySearch searchKeys(const Session& session, CK_OBJECT_CLASS keyClass,
                     const std::function<bool(CK_OBJECT_HANDLE)>& qualifies)
{
    KeySearch result;
    CK_ATTRIBUTE templ[] = {attribute(CKA_CLASS, keyClass)};
    detail::FindObjects search(session, templ, std::size(templ));
    if (!succeeded(search.InitResult())) {
        result.rv = search.InitResult();
        return result;
    }
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    while (search.Next(object)) {
        result.last = object;
        ++result.examined;
        if (qualifies(object)) {
            result.matched = true;
            break;
        }
    }
    result.rv = search.Finish();
    return result;
}

// For an RSA certificate a key that does not match may only stand in when it is
// the only one of its class: any other choice would sign or encrypt with a key
// that is not the certificate's.
CK_OBJECT_HANDLE rsaChoice(const KeySearch& search)
{
    if (search.matched || search.examined == 1)
        return search.last;
    return CK_INVALID_HANDLE;
}

} // namespace

Cert::Cert(const Session& session, CK_OBJECT_HANDLE object) : m_session(session), m_object(object) {}

Cert::~Cert() = default;

CK_RV Cert::GetAttribute(std::string& id, std::string& subject, std::string& value) const
{
    std::vector<std::string> values;
    const CK_RV rv =
        detail::readAttributes(m_session, m_object, {CKA_CLASS, CKA_ID, CKA_SUBJECT, CKA_VALUE}, values);
    if (!succeeded(rv))
        return rv;
    id = std::move(values[1]);
    subject = std::move(values[2]);
    value = std::move(values[3]);
    return CKR_OK;
}

std::string Cert::toDer() const
{
    std::string id;
    std::string subject;
    std::string value;
    if (!succeeded(GetAttribute(id, subject, value)))
        return {};
    return value;
}

CK_RV Cert::GetKey()
{
    std::string id;
    std::string subject;
    std::string der;
    CK_RV rv = GetAttribute(id, subject, der);
    if (!succeeded(rv))
        return rv;

    const bool sm2 = isgmcert(der);
    const std::string expected = sm2 ? std::string(kSm2Marker) : GetPubkey(der);

    const KeySearch privateKey = searchKeys(m_session, CKO_PRIVATE_KEY, [&](CK_OBJECT_HANDLE object) {
        Key key(m_session, CK_INVALID_HANDLE, object);
        const std::string candidate = sm2 ? key.GetPubKeyFromePrivFT() : key.GetPubKeyFromePriv();
        return !candidate.empty() && candidate == expected;
    });
    if (!succeeded(privateKey.rv))
        return privateKey.rv;

    const KeySearch publicKey = searchKeys(m_session, CKO_PUBLIC_KEY, [&](CK_OBJECT_HANDLE object) {
        Key key(m_session, object, CK_INVALID_HANDLE);
        if (sm2)  // no SM2 public key can be rebuilt, so the marker always stands in
            return key.GetEvpKeyFT() == nullptr;
        const std::string candidate = ossl::toDer(key.GetEvpKey().get(), i2d_PUBKEY);
        return !candidate.empty() && candidate == expected;
    });
    if (!succeeded(publicKey.rv))
        return publicKey.rv;

    CK_OBJECT_HANDLE privateHandle = privateKey.last;
    CK_OBJECT_HANDLE publicHandle = publicKey.last;
    if (!sm2) {
        privateHandle = rsaChoice(privateKey);
        publicHandle = rsaChoice(publicKey);
        if (privateHandle == CK_INVALID_HANDLE)
            return kNoKey;
    }
    m_key = std::make_unique<Key>(m_session, publicHandle, privateHandle);
    return CKR_OK;
}

template <typename Op>
CK_RV Cert::withKey(Op op)
{
    for (int attempt = 0;; ++attempt) {
        if (m_key == nullptr) {
            const CK_RV rv = GetKey();
            if (!succeeded(rv))
                return rv;
        }
        if (m_key == nullptr)
            return kNoKey;
        const CK_RV rv = op(*m_key);
        // Logging in again (every sign command does) may invalidate the
        // handles of private objects: the cached key is then looked up anew.
        if (attempt == 0 && (rv == CKR_KEY_HANDLE_INVALID || rv == CKR_OBJECT_HANDLE_INVALID)) {
            m_key.reset();
            continue;
        }
        return rv;
    }
}

CK_RV Cert::Sign(const std::string& data, std::string& out, CK_MECHANISM_TYPE digest)
{
    return withKey([&](Key& key) { return key.Sign(data, out, digest); });
}

CK_RV Cert::Encrypt(const std::string& data, std::string& out)
{
    return withKey([&](Key& key) { return key.Encrypt(data, out); });
}

CK_RV Cert::Decrypt(const std::string& data, std::string& out)
{
    return withKey([&](Key& key) { return key.Decrypt(data, out); });
}

std::string GetPubkey(const std::string& der)
{
    ossl::X509Ptr cert = parseCertificate(der);
    if (!cert)
        return {};
    ossl::EvpPkeyPtr key(X509_get_pubkey(cert.get()));
    return ossl::toDer(key.get(), i2d_PUBKEY);
}

bool isgmcert(const std::string& der)
{
    ossl::X509Ptr cert = parseCertificate(der);
    if (!cert)
        return false;
    X509_ALGOR* algorithm = nullptr;
    if (X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &algorithm, X509_get_X509_PUBKEY(cert.get())) != 1
        || algorithm == nullptr)
        return false;
    const ASN1_OBJECT* keyType = nullptr;
    int parameterType = 0;
    const void* parameter = nullptr;
    X509_ALGOR_get0(&keyType, &parameterType, &parameter, algorithm);
    if (OBJ_obj2nid(keyType) != NID_X9_62_id_ecPublicKey || parameterType != V_ASN1_OBJECT)
        return false;
    initsm2internalnid();
    return translateinternalnid(OBJ_obj2nid(static_cast<const ASN1_OBJECT*>(parameter))) == SM_ID_SM2;
}

} // namespace tarnquill::crypto::pkcs11
