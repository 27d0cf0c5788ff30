#include "core/OsFunctions.h"

#include "core/OsOpenssl.h"
#include "ossl/ptr.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>

namespace {

constexpr const char* kDefaultKeyLabel = "<key.tq>";
constexpr int kDefaultKeyBits = 2048;
constexpr int kMinRequestKeyBits = 1024;
constexpr int kMaxRequestKeyBits = 4096;
constexpr int kKeyBitsStep = 256;

// Wipes key material held in a string when it goes out of scope.
struct Scrub {
    std::string& s;
    ~Scrub() { OPENSSL_cleanse(s.data(), s.size()); }
};

template <typename T>
using Holder = CSecurityObjectImpl<T>;

// DER length octets.
void appendLength(std::string& out, std::size_t len)
{
    if (len < 0x80) {
        out.push_back(static_cast<char>(len));
        return;
    }
    std::string bytes;
    for (; len > 0; len >>= 8)
        bytes.insert(bytes.begin(), static_cast<char>(len & 0xFF));
    out.push_back(static_cast<char>(0x80 | bytes.size()));
    out += bytes;
}

std::string tlv(unsigned char tag, const std::string& content)
{
    std::string out(1, static_cast<char>(tag));
    appendLength(out, content.size());
    out += content;
    return out;
}

bool addNameField(X509_NAME* name, int nid, const std::string& value)
{
    if (value.empty())
        return true;
    return X509_NAME_add_entry_by_NID(name, nid, MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char*>(value.data()),
                                      static_cast<int>(value.size()), -1, 0) == 1;
}

// CertificationRequestInfo without the [0] attributes element: OpenSSL always
// writes an empty attribute set, and the requests of this store carry none.
std::string requestInfo(X509_NAME* subject, EVP_PKEY* publicKey)
{
    const std::string name = ossl::toDer(subject, i2d_X509_NAME);
    const std::string spki = ossl::toDer(publicKey, i2d_PUBKEY);
    if (name.empty() || spki.empty())
        return {};
    static const std::string kVersion0("\x02\x01\x00", 3);
    return tlv(0x30, kVersion0 + name + spki);
}

std::string signatureAlgorithm(int nid)
{
    std::unique_ptr<X509_ALGOR, ossl::Deleter<X509_ALGOR_free>> alg(X509_ALGOR_new());
    if (!alg || X509_ALGOR_set0(alg.get(), OBJ_nid2obj(nid), V_ASN1_NULL, nullptr) != 1)
        return {};
    return ossl::toDer(alg.get(), i2d_X509_ALGOR);
}

void logTrustFailure(int status)
{
    std::fprintf(stderr, "Could not change the trust setting for a certificate. Error: %d\n", status);
}

} // namespace

// ---------------------------------------------------------------- signing

int KeychainSign(SecKeyRef key, kc::SignAlgorithm algorithm, const std::string& data,
                 std::string& signature)
{
    if (key == nullptr)
        return kc::errSecParam;
    return key->Sign(algorithm, data, signature);
}

// ---------------------------------------------------------------- CKey

CKey::CKey(SecKeyRef key, bool isPrivate, bool attach) : m_key(key, attach), m_private(isPrivate) {}

bool CKey::SignData(const std::string& data, kc::SignAlgorithm algorithm, std::string& out) const
{
    if (!m_private)
        return false;
    std::string signature;
    if (KeychainSign(m_key.GetHandle(), algorithm, data, signature) != kc::errSecSuccess)
        return false;
    out = std::move(signature);
    return true;
}

bool CKey::EncryptData(const std::string& data, std::string& out) const
{
    SecKeyRef key = m_key.GetHandle();
    if (key == nullptr)
        return false;
    std::string result;
    if (key->Encrypt(data, result) != kc::errSecSuccess)
        return false;
    out = std::move(result);
    return true;
}

bool CKey::DecryptData(const std::string& data, std::string& out) const
{
    SecKeyRef key = m_key.GetHandle();
    if (key == nullptr)
        return false;
    std::string result;
    if (key->Decrypt(data, result) != kc::errSecSuccess)
        return false;
    out = std::move(result);
    return true;
}

// ---------------------------------------------------------------- CIdentity

bool CIdentity::Initialize(SecCertificateRef cert, SecKeychainRef keychain)
{
    m_identity.Destroy();
    if (cert == nullptr)
        return false;
    SecIdentityRef identity = nullptr;
    if (kc::Identity::CreateWithCertificate(keychain, cert, &identity) != kc::errSecSuccess)
        return false;
    m_identity.Attach(identity, true);
    return true;
}

CKey CIdentity::GetPrivateKey() const
{
    SecKeyRef key = nullptr;
    if (m_identity.GetHandle() == nullptr
        || m_identity.GetHandle()->CopyPrivateKey(&key) != kc::errSecSuccess)
        return CKey(nullptr, true, true);
    return CKey(key, true, true);
}

CMacCertificate CIdentity::GetCertificate() const
{
    SecCertificateRef cert = nullptr;
    if (m_identity.GetHandle() == nullptr
        || m_identity.GetHandle()->CopyCertificate(&cert) != kc::errSecSuccess)
        return {};
    return CMacCertificate(cert, true);
}

CKey CIdentity::GetPublicKey() const { return GetCertificate().GetPublicKey(); }

// ---------------------------------------------------------------- CMacCertificate

CMacCertificate::CMacCertificate(SecCertificateRef cert, bool attach) : m_cert(cert, attach) {}

bool CMacCertificate::Initialize(const std::string& der)
{
    if (m_cert.GetHandle() != nullptr)
        return false;
    SecCertificateRef cert = kc::Certificate::CreateWithData(der);
    if (cert == nullptr)
        return false;
    m_cert.Attach(cert, true);
    return true;
}

std::string CMacCertificate::toDer() const
{
    SecCertificateRef cert = m_cert.GetHandle();
    return cert != nullptr ? cert->data() : std::string();
}

CKey CMacCertificate::GetPublicKey() const
{
    SecKeyRef key = nullptr;
    SecCertificateRef cert = m_cert.GetHandle();
    if (cert == nullptr || cert->CopyPublicKey(&key) != kc::errSecSuccess)
        return CKey(nullptr, false, true);
    return CKey(key, false, true);
}

bool CMacCertificate::EncryptData(const std::string& data, std::string& out) const
{
    CIdentity identity;
    if (!identity.Initialize(m_cert.GetHandle(), nullptr))
        return false;
    return identity.GetPublicKey().EncryptData(data, out);
}

bool CMacCertificate::DecryptData(const std::string& data, std::string& out) const
{
    CIdentity identity;
    if (!identity.Initialize(m_cert.GetHandle(), nullptr))
        return false;
    return identity.GetPrivateKey().DecryptData(data, out);
}

bool CMacCertificate::Remove()
{
    int status = kc::errSecParam;
    SecCertificateRef cert = m_cert.GetHandle();
    if (cert != nullptr) {
        Holder<SecKeychainRef> store(kc::Keychain::CopyDefault(), true);
        CIdentity identity;
        if (store.GetHandle() == nullptr) {
            status = kc::errSecIO;
        } else if (!identity.Initialize(cert, store.GetHandle())) {
            status = store.GetHandle()->DeleteCertificate(cert);
        } else {
            CKey key = identity.GetPrivateKey();
            if (key.GetHandle() == nullptr) {
                status = kc::errSecItemNotFound;
            } else {
                store.GetHandle()->DeleteCertificate(cert);
                status = store.GetHandle()->DeleteKey(key.GetHandle());
            }
        }
    }
    m_cert.Destroy();
    return status == kc::errSecSuccess;
}

bool CMacCertificate::GetInfo(_CERTIFICATE_INFO_* info) const
{
    SecCertificateRef cert = m_cert.GetHandle();
    if (info == nullptr || cert == nullptr)
        return false;
    info->der = toDer();
    CIdentity identity;   // released at once; only its existence matters
    info->hasPrivateKey = identity.Initialize(cert, nullptr);
    std::string cn;
    if (cert->CopyCommonName(cn) == kc::errSecSuccess)
        info->cn = std::move(cn);
    ReadCertInfoFromDer(info, info->der, false);
    return true;
}

int CMacCertificate::GetInfo(_CERTIFICATE_INFO_* info, const std::string& der)
{
    ReadCertInfoFromDer(info, der, true);
    return 1;
}

// ---------------------------------------------------------------- CKeyChain

CKeyChain::CKeyChain() : m_keychain(kc::Keychain::CopyDefault(), true) {}

int CKeyChain::effectiveKeySize(int requested)
{
    if (requested >= kMinRequestKeyBits && requested <= kMaxRequestKeyBits
        && requested % kKeyBitsStep == 0)
        return requested;
    return kDefaultKeyBits;
}

bool CKeyChain::ImportCertificate(const std::string& der)
{
    SecKeychainRef store = m_keychain.GetHandle();
    Holder<SecCertificateRef> cert(kc::Certificate::CreateWithData(der), true);
    if (cert.GetHandle() == nullptr || store == nullptr)
        return false;
    // Trust first, then add: a certificate already present is marked again.
    if (const int status = store->SetTrustRoot(cert.GetHandle()); status != kc::errSecSuccess)
        logTrustFailure(status);
    const int status = store->AddCertificate(cert.GetHandle());
    return status == kc::errSecSuccess || status == kc::errSecDuplicateItem;
}

bool CKeyChain::_generateRSAKeyPairsAndExport(const std::string& label, int bits,
                                               std::string& publicDer, std::string& privateDer)
{
    SecKeychainRef store = m_keychain.GetHandle();
    if (label.empty() || store == nullptr)
        return false;
    SecKeyRef pub = nullptr;
    SecKeyRef priv = nullptr;
    // The label doubles as the access descriptor.
    if (store->GenerateKeyPair(label, bits, &label, &pub, &priv) != kc::errSecSuccess)
        return false;
    Holder<SecKeyRef> pubHolder(pub, true);
    Holder<SecKeyRef> privHolder(priv, true);
    std::string pubOut, privOut;
    Scrub scrub{privOut};
    if (pub->Export(pubOut) != kc::errSecSuccess || priv->Export(privOut) != kc::errSecSuccess) {
        // Keys nobody can get at again are not left behind.
        store->DeleteKey(pub);
        store->DeleteKey(priv);
        return false;
    }
    publicDer = std::move(pubOut);
    privateDer.assign(privOut);
    return true;
}

bool CKeyChain::generateRSAKeyPairs(const std::string& label, int bits, X509_PUBKEY** publicKey,
                                    EVP_PKEY** privateKey)
{
    const std::string keyLabel = label.empty() ? kDefaultKeyLabel : label;
    if (publicKey == nullptr || privateKey == nullptr)
        return false;
    std::string pubDer, privDer;
    Scrub scrub{privDer};
    if (!_generateRSAKeyPairsAndExport(keyLabel, effectiveKeySize(bits), pubDer, privDer)
        || pubDer.empty() || privDer.empty())
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(pubDer.data());
    std::unique_ptr<X509_PUBKEY, ossl::Deleter<X509_PUBKEY_free>> pub(
        d2i_X509_PUBKEY(nullptr, &p, static_cast<long>(pubDer.size())));
    p = reinterpret_cast<const unsigned char*>(privDer.data());
    ossl::EvpPkeyPtr priv(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(privDer.size())));
    if (!pub || !priv)
        return false;
    *publicKey = pub.release();
    *privateKey = priv.release();
    return true;
}

std::string CKeyChain::createCSR(const csr_t* csr)
{
    if (csr == nullptr)
        return {};
    X509_PUBKEY* rawPub = nullptr;
    EVP_PKEY* rawPriv = nullptr;
    if (!generateRSAKeyPairs(csr->keyLabel, csr->keySize, &rawPub, &rawPriv))
        return {};
    std::unique_ptr<X509_PUBKEY, ossl::Deleter<X509_PUBKEY_free>> pub(rawPub);
    ossl::EvpPkeyPtr priv(rawPriv);

    // A field the name cannot take (a country that is not two letters) fails
    // the request instead of silently leaving the field out.
    ossl::X509NamePtr subject(X509_NAME_new());
    if (!subject || !addNameField(subject.get(), NID_commonName, csr->CN)
        || !addNameField(subject.get(), NID_countryName, csr->C)
        || !addNameField(subject.get(), NID_organizationName, csr->O)
        || !addNameField(subject.get(), NID_organizationalUnitName, csr->OU)
        || !addNameField(subject.get(), NID_pkcs9_emailAddress, csr->E)
        || !addNameField(subject.get(), NID_stateOrProvinceName, csr->ST)
        || !addNameField(subject.get(), NID_localityName, csr->L))
        return {};

    EVP_PKEY* publicKey = X509_PUBKEY_get0(pub.get());
    const std::string info = requestInfo(subject.get(), publicKey);
    const bool sha256 = csr->hash == HASH_ALGO_SHA256;
    const std::string algorithm =
        signatureAlgorithm(sha256 ? NID_sha256WithRSAEncryption : NID_sha1WithRSAEncryption);
    if (info.empty() || algorithm.empty())
        return {};

    ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!ctx
        || EVP_DigestSignInit(ctx.get(), &pctx, sha256 ? EVP_sha256() : EVP_sha1(), nullptr, priv.get()) != 1
        || EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1)
        return {};
    const auto* in = reinterpret_cast<const unsigned char*>(info.data());
    size_t sigLen = 0;
    if (EVP_DigestSign(ctx.get(), nullptr, &sigLen, in, info.size()) != 1)
        return {};
    std::string signature(sigLen, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &sigLen, in,
                       info.size()) != 1)
        return {};
    signature.resize(sigLen);

    const std::string der = tlv(0x30, info + algorithm + tlv(0x03, std::string(1, '\0') + signature));

    // The request must parse back and verify against its own key.
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    ossl::X509ReqPtr req(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
    if (!req || p != reinterpret_cast<const unsigned char*>(der.data()) + der.size()
        || X509_REQ_verify(req.get(), publicKey) <= 0)
        return {};
    return der;
}

// ---------------------------------------------------------------- packaging

namespace {

struct KeychainDigest {
    kc::SignAlgorithm algorithm;
    int nid;  // digest named in the PKCS#7
};

// SHA-256 is signed as SHA-256: signing SHA-1 when SHA-256 was asked for
// would be a wrong result. MD2 is asked of the store, which refuses it.
KeychainDigest keychainDigest(hash_algo_t hash)
{
    switch (hash) {
    case HASH_ALGO_MD2: return {kc::SignAlgorithm::MD2WithRSA, NID_md2};
    case HASH_ALGO_MD5: return {kc::SignAlgorithm::MD5WithRSA, NID_md5};
    case HASH_ALGO_SHA256: return {kc::SignAlgorithm::SHA256WithRSA, NID_sha256};
    default: return {kc::SignAlgorithm::SHA1WithRSA, NID_sha1};
    }
}

} // namespace

bool CMacCertificate::SignData(const std::string& data, sig_type_t type, hash_algo_t hash,
                               std::string& out, bool /*unused*/) const
{
    CIdentity identity;
    if (!identity.Initialize(m_cert.GetHandle(), nullptr))
        return false;
    const KeychainDigest digest = keychainDigest(hash);
    std::string signature;
    if (!identity.GetPrivateKey().SignData(data, digest.algorithm, signature))
        return false;
    // The store's parsed certificate goes into the message as it is, instead
    // of being parsed again from its DER for every signature.
    Openssl::CX509 signer;
    if (type == SIG_TYPE_ATTACHED || type == SIG_TYPE_DETACHED) {
        X509* x = m_cert.GetHandle()->x509();
        if (x == nullptr || X509_up_ref(x) != 1)
            return false;
        signer.Attach(x, true);
    }
    switch (type) {
    case SIG_TYPE_ATTACHED:
        out = MakePKCS7Signed(data, signer, signature, digest.nid);
        break;
    case SIG_TYPE_DETACHED:
        out = MakePKCS7Signed(std::string(), signer, signature, digest.nid);
        break;
    default:
        out = std::move(signature);
        break;
    }
    return true;
}
