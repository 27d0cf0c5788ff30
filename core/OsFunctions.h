#pragma once

// Keychain classes: thin owners of keychain store handles that import
// certificates, generate key pairs with certificate requests, and sign,
// encrypt, decrypt and remove with the keys the store holds.

#include "core/CertInfo.h"
#include "platform/Keychain.h"

#include <openssl/types.h>

#include <cstdint>
#include <string>

// Digest selector shared by the signing routes (values 1 to 7; other values
// reach the routes too and each says what it does with them).
enum hash_algo_t : int {
    HASH_ALGO_MD2 = 1,
    HASH_ALGO_MD4 = 2,
    HASH_ALGO_MD5 = 3,
    HASH_ALGO_SHA1 = 4,
    HASH_ALGO_SHA1_RSA = 5,  // SHA-1; token adapters get the sha1WithRSAEncryption identifier
    HASH_ALGO_SM3 = 6,
    HASH_ALGO_SHA256 = 7,
};

// Form of a signature; values above 2 give the raw signature.
enum sig_type_t : int {
    SIG_TYPE_ATTACHED = 0,  // PKCS#7 signed data with the content inside
    SIG_TYPE_DETACHED = 1,  // PKCS#7 signed data without the content
    SIG_TYPE_RAW = 2,
};

// Key pair and certificate request parameters, filled from a page's "csrinfo".
struct csr_t {
    std::string keyLabel;
    std::int32_t keySize = 0;  // bits; 0 when the page gave none
    std::int32_t keySerial = 0;
    std::int32_t notAfter = 0;
    std::string CN;
    std::string O;
    std::string OU;
    std::string C;
    std::string E;
    std::string ST;
    std::string L;
    std::int32_t hash = 3;
};

// Owns one counted store handle. A non-null handle always carries exactly one
// count that the holder gives back.
template <typename T>
class CSecurityObjectImpl {
public:
    CSecurityObjectImpl() = default;
    // attach true: take over a count the caller owns (from a Create or Copy
    // call); attach false: retain a borrowed handle.
    CSecurityObjectImpl(T ref, bool attach) { Attach(ref, attach); }
    ~CSecurityObjectImpl() { Destroy(); }
    CSecurityObjectImpl(const CSecurityObjectImpl&) = delete;  // a copy would release twice
    CSecurityObjectImpl& operator=(const CSecurityObjectImpl&) = delete;
    CSecurityObjectImpl(CSecurityObjectImpl&& other) noexcept : m_handle(other.Detach()) {}
    CSecurityObjectImpl& operator=(CSecurityObjectImpl&& other) noexcept
    {
        if (this != &other) {
            Destroy();
            m_handle = other.Detach();
        }
        return *this;
    }

    // Meant for an empty holder; a handle still held is released rather than
    // leaked.
    void Attach(T ref, bool attach)
    {
        T old = m_handle;
        m_handle = attach ? ref : kc::Retain(ref);
        kc::Release(old);
    }
    // Empties the holder without releasing; the caller now owns the count.
    T Detach() noexcept
    {
        T h = m_handle;
        m_handle = nullptr;
        return h;
    }
    void Destroy() noexcept
    {
        kc::Release(m_handle);
        m_handle = nullptr;
    }
    T GetHandle() const noexcept { return m_handle; }

private:
    T m_handle = nullptr;
};

// One PKCS#1 v1.5 signature over the whole data with the store's private key:
// the store's status (0 on success). Takes the place of the CSSM one-shot
// signature context.
int KeychainSign(SecKeyRef key, kc::SignAlgorithm algorithm, const std::string& data,
                 std::string& signature);

class CKey {
public:
    CKey() = default;
    CKey(SecKeyRef key, bool isPrivate, bool attach);
    CKey(CKey&&) noexcept = default;
    CKey& operator=(CKey&&) noexcept = default;

    bool IsPrivate() const { return m_private; }
    SecKeyRef GetHandle() const { return m_key.GetHandle(); }

    bool SignData(const std::string& data, kc::SignAlgorithm algorithm, std::string& out) const;
    bool EncryptData(const std::string& data, std::string& out) const;
    bool DecryptData(const std::string& data, std::string& out) const;

private:
    CSecurityObjectImpl<SecKeyRef> m_key;
    bool m_private = false;
};

class CMacCertificate {
public:
    CMacCertificate() = default;
    CMacCertificate(SecCertificateRef cert, bool attach);
    CMacCertificate(CMacCertificate&&) noexcept = default;
    CMacCertificate& operator=(CMacCertificate&&) noexcept = default;

    // The holder must be empty; true when the bytes made a certificate.
    bool Initialize(const std::string& der);
    // Empty when the holder is empty.
    std::string toDer() const;
    // Non-private key owning the copied public key; empty holder when none.
    CKey GetPublicKey() const;

    // Signs with the certificate's private key (MD2 for 1, MD5 for 3, SHA-256
    // for 7, SHA-1 otherwise) and packages the signature as attached or
    // detached PKCS#7 or leaves it raw. The trailing flag is not used.
    bool SignData(const std::string& data, sig_type_t type, hash_algo_t hash, std::string& out,
                  bool unused) const;
    // Both need the certificate's private key in the store.
    bool EncryptData(const std::string& data, std::string& out) const;
    bool DecryptData(const std::string& data, std::string& out) const;
    // Deletes the certificate and its private key from the store; the holder
    // is empty afterwards whatever the outcome.
    bool Remove();

    // The keychain reader: the DER, whether the store holds the private key,
    // the store's common name (UTF-8), then sn and the other subject fields
    // from the DER. False for a null record or an empty holder.
    bool GetInfo(_CERTIFICATE_INFO_* info) const;
    // The DER reader, for certificates that have no handle: sn and every
    // subject field. Returns 1; bytes that do not parse fill nothing.
    static int GetInfo(_CERTIFICATE_INFO_* info, const std::string& der);

    SecCertificateRef GetHandle() const { return m_cert.GetHandle(); }
    void Attach(SecCertificateRef cert, bool attach) { m_cert.Attach(cert, attach); }
    SecCertificateRef Detach() { return m_cert.Detach(); }
    void Destroy() { m_cert.Destroy(); }

private:
    CSecurityObjectImpl<SecCertificateRef> m_cert;
};

class CIdentity {
public:
    // Finds the certificate's private key in the given store, or in the
    // default one when keychain is null.
    bool Initialize(SecCertificateRef cert, SecKeychainRef keychain);
    CKey GetPrivateKey() const;
    CMacCertificate GetCertificate() const;
    CKey GetPublicKey() const;
    SecIdentityRef GetHandle() const { return m_identity.GetHandle(); }

private:
    CSecurityObjectImpl<SecIdentityRef> m_identity;
};

class CKeyChain {
public:
    // Opens the user's default store; the holder stays empty when that fails
    // and every operation then fails.
    CKeyChain();
    ~CKeyChain() = default;
    CKeyChain(const CKeyChain&) = delete;  // one store handle per provider
    CKeyChain& operator=(const CKeyChain&) = delete;

    SecKeychainRef GetHandle() const { return m_keychain.GetHandle(); }

    // Imports one DER certificate as a trusted root; one already present
    // counts as imported.
    bool ImportCertificate(const std::string& der);
    // New key pair in the store and a DER PKCS#10 request for it; empty on failure.
    std::string createCSR(const csr_t* csr);
    // New pair handed back as OpenSSL objects that the caller owns.
    bool generateRSAKeyPairs(const std::string& label, int bits, X509_PUBKEY** publicKey,
                             EVP_PKEY** privateKey);
    // New permanent pair under the label; SubjectPublicKeyInfo DER and PKCS#1
    // RSAPrivateKey DER of its halves.
    bool _generateRSAKeyPairsAndExport(const std::string& label, int bits, std::string& publicDer,
                                       std::string& privateDer);

    // The key size a request gets: 1024 to 4096 bits in steps of 256 as asked,
    // anything else 2048.
    static int effectiveKeySize(int requested);

private:
    CSecurityObjectImpl<SecKeychainRef> m_keychain;
};
