#pragma once

// The keychain store: certificates and RSA key pairs kept in one SQLite file,
// handed out as reference-counted handles. Functions named Create or Copy
// return a handle that carries one count for the caller; give it back with
// kc::Release (or hold it in a CSecurityObjectImpl).
//
// Each change is one SQLite transaction, so a crash leaves the store as it
// was before the change or as it is after it, never in between. Private keys
// live in the store file (PKCS#8 DER) and, decoded, in memory while a handle
// is held or while the open store keeps them for the next lookup.

#include <openssl/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

namespace kc {

// Status values of the store's operations. The numbers are the ones callers
// have always compared against (0 success, -25299 already there).
enum : int {
    errSecSuccess = 0,
    errSecUnimplemented = -4,
    errSecIO = -36,               // the store file cannot be opened, read or written
    errSecParam = -50,            // missing or unusable argument
    errSecAllocate = -108,
    errSecDuplicateItem = -25299,
    errSecItemNotFound = -25300,
    errSecDecode = -26275,        // bytes that do not decode as the expected structure
    errSecInvalidKey = -67712,    // wrong kind of key for the operation
    errSecCrypto = -67808,        // the cryptographic operation itself failed
};

// Digest of a PKCS#1 v1.5 signature. MD2 is named so that callers can ask for
// it, and the signature then fails: the crypto library no longer offers MD2.
enum class SignAlgorithm { MD2WithRSA, MD5WithRSA, SHA1WithRSA, SHA256WithRSA };

// Intrusive count shared by every handle kind. Handles are created with one
// count; the object is deleted when the last count is released.
class Object {
public:
    Object(const Object&) = delete;            // a copy would share the count
    Object& operator=(const Object&) = delete;
    void retain() const noexcept;
    void release() const noexcept;
    int retainCount() const noexcept;

protected:
    Object() = default;
    virtual ~Object() = default;

private:
    mutable std::atomic<int> m_refs{1};
};

// Null-tolerant count helpers; Retain returns its argument.
template <typename T>
T* Retain(T* obj) noexcept
{
    if (obj != nullptr)
        obj->retain();
    return obj;
}
inline void Release(const Object* obj) noexcept
{
    if (obj != nullptr)
        obj->release();
}

class Keychain;
class Certificate;
class Identity;
class Key;

// One row of a listing, for tools that show the store's content.
struct CertificateEntry {
    Certificate* certificate = nullptr;  // one count owned by the entry's receiver
    bool hasPrivateKey = false;
    bool trusted = false;
};

// An open store file. Certificates and keys found in it keep it open.
class Keychain final : public Object {
public:
    // "$XDG_DATA_HOME/halvorn/keychain.db"; XDG_DATA_HOME falls back to
    // "~/.local/share" when unset, empty or relative.
    static std::string DefaultPath();

    // Opens (creating when missing) the store at DefaultPath(): folder 0700,
    // file 0600. Null when it cannot be opened.
    static Keychain* CopyDefault();
    static Keychain* Open(const std::string& path);

    const std::string& path() const { return m_path; }

    // Adds one certificate: errSecSuccess, errSecDuplicateItem when the same
    // DER is already there, errSecIO on a store failure.
    int AddCertificate(const Certificate* cert);
    // Marks the certificate as a trusted root. The setting is keyed by the
    // certificate itself, so it may be made before the certificate is added.
    int SetTrustRoot(const Certificate* cert);
    bool IsTrusted(const Certificate* cert);
    // Deletes the certificate with the same DER (and its trust setting).
    int DeleteCertificate(const Certificate* cert);

    // Adds a private RSA key under a label. errSecDuplicateItem when a key
    // with the same public half is already there.
    int AddPrivateKey(EVP_PKEY* key, const std::string& label);
    // Deletes the stored pair the key belongs to (either half names it).
    int DeleteKey(const Key* key);

    // Certificates, with their private keys when given, as one change: either
    // all of it is stored or none. Certificates already present are skipped
    // (counted in *skipped); a key already present is not stored twice.
    int Import(const std::vector<const Certificate*>& certs, EVP_PKEY* privateKey,
               const std::string& label, int* added = nullptr, int* skipped = nullptr);
    // Deletes a certificate and, as the same change, the private key that
    // belongs to it unless another stored certificate still uses that key.
    // *keyDeleted tells whether a key went.
    int DeleteCertificateAndKey(const Certificate* cert, bool* keyDeleted = nullptr);

    // Every stored certificate, oldest first; each carries one count.
    int CopyCertificates(std::vector<Certificate*>& out);
    int CopyEntries(std::vector<CertificateEntry>& out);
    // Stored keys with this label (private halves), oldest first.
    int CopyKeysWithLabel(const std::string& label, std::vector<Key*>& out);

    // A new permanent RSA pair under the label, recorded with its access
    // descriptor. bits must be 1024..16384. Both handles carry one count.
    int GenerateKeyPair(const std::string& label, int bits, const std::string* accessDescriptor,
                        Key** publicKey, Key** privateKey);

    // The private key whose public half equals the certificate's public key;
    // errSecItemNotFound when there is none.
    int CopyPrivateKeyForCertificate(const Certificate* cert, Key** out);

    // For tests and tools that inspect the file: the raw connection.
    sqlite3* connection() const { return m_db; }

    struct Statements;   // prepared statements kept between uses (Keychain.cpp)

private:
    Keychain(std::string path, sqlite3* db);
    ~Keychain() override;

    // The certificate and its trust setting, inside the caller's transaction.
    int deleteCertificateRows(const Certificate* cert);
    // Stores the certificate unless the same DER is there; *added tells which.
    int insertCertificateRow(const Certificate* cert, bool* added);
    int storeKey(EVP_PKEY* key, const std::string& label, const std::string* access,
                 std::int64_t* rowId);
    int findKey(const std::string& spki, std::int64_t* rowId, std::string* pkcs8,
                std::string* label);

    // Decoded private keys by key row, so that signing again with the same
    // key skips decoding it and keeps the crypto library's per-key set-up.
    // Every lookup still reads the row, so a key deleted from the file, by
    // this process or another, is never handed out again.
    struct CachedKey {
        std::string spki;
        EVP_PKEY* pkey = nullptr;  // one reference
    };
    EVP_PKEY* cachedKey(std::int64_t rowId, const std::string& spki);
    void cacheKey(std::int64_t rowId, const std::string& spki, EVP_PKEY* pkey);
    void forgetKey(const std::string& spki);

    std::string m_path;
    sqlite3* m_db = nullptr;
    std::unique_ptr<Statements> m_statements;
    std::mutex m_keysLock;
    std::map<std::int64_t, CachedKey> m_keys;
};

class Certificate final : public Object {
public:
    // Null for bytes that are not exactly one DER certificate.
    static Certificate* CreateWithData(const std::string& der);

    // The exact bytes it was made from.
    const std::string& data() const { return m_der; }
    // Canonical SubjectPublicKeyInfo DER of its public key; empty when the
    // key cannot be read.
    const std::string& publicKeyInfo() const { return m_spki; }
    // SHA-256 of the DER: the certificate's key in the store.
    std::string digest() const;
    X509* x509() const { return m_x509; }  // borrowed

    // The public key as a non-private, unstored key handle.
    int CopyPublicKey(Key** out) const;
    // The first common name as UTF-8; errSecItemNotFound when it has none.
    int CopyCommonName(std::string& out) const;
    // The serial number in upper-case hexadecimal.
    std::string serialHex() const;

private:
    Certificate(std::string der, X509* x509);
    ~Certificate() override;

    std::string m_der;
    std::string m_spki;
    X509* m_x509 = nullptr;
};

// A certificate paired with its private key.
class Identity final : public Object {
public:
    // Looks the certificate's private key up in the given store, or in the
    // default store when keychain is null. errSecItemNotFound without one.
    static int CreateWithCertificate(Keychain* keychain, Certificate* cert, Identity** out);

    int CopyPrivateKey(Key** out) const;
    int CopyCertificate(Certificate** out) const;

private:
    Identity(Certificate* cert, Key* key);
    ~Identity() override;

    Certificate* m_cert;
    Key* m_key;
};

class Key final : public Object {
public:
    bool isPrivate() const { return m_private; }
    int sizeInBits() const;
    const std::string& label() const { return m_label; }
    // Row of the stored pair, 0 for a key that is not in a store.
    std::int64_t rowId() const { return m_rowId; }
    Keychain* keychain() const { return m_keychain; }  // borrowed, may be null
    EVP_PKEY* pkey() const { return m_pkey; }          // borrowed

    // Public half: SubjectPublicKeyInfo DER. Private half: PKCS#1
    // RSAPrivateKey DER in clear.
    int Export(std::string& out) const;
    // PKCS#1 v1.5 signature over the whole data with the named digest.
    int Sign(SignAlgorithm algorithm, const std::string& data, std::string& signature) const;
    // RSA PKCS#1 v1.5 with the public half (either handle may encrypt).
    int Encrypt(const std::string& plain, std::string& cipher) const;
    // RSA PKCS#1 v1.5 with the private half.
    int Decrypt(const std::string& cipher, std::string& plain) const;

private:
    friend class Keychain;
    friend class Certificate;
    Key(EVP_PKEY* pkey, bool isPrivate, Keychain* keychain, std::int64_t rowId, std::string label);
    ~Key() override;

    EVP_PKEY* m_pkey;
    bool m_private;
    Keychain* m_keychain;
    std::int64_t m_rowId;
    std::string m_label;
};

} // namespace kc

// The handle types the keychain classes hold, under their familiar names.
using SecKeychainRef = kc::Keychain*;
using SecCertificateRef = kc::Certificate*;
using SecIdentityRef = kc::Identity*;
using SecKeyRef = kc::Key*;
