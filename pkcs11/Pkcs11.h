#pragma once

// Object wrapper over a PKCS#11 module reached only through its function list:
// the module, its slots, sessions, certificate objects and key pairs.
//
// Every call returns the module's CK_RV unchanged, or one of the layer's own
// results below. Nothing throws.

#include "pkcs11/Csr.h"

#include "ossl/ptr.h"

#include <p11-kit/pkcs11.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace tarnquill::crypto::pkcs11 {

// Results the layer decides itself.
inline constexpr CK_RV kMissingFunction = CKR_FUNCTION_FAILED;    // the module lacks the call
inline constexpr CK_RV kNoKey = CKR_FUNCTION_FAILED;              // no key belongs to the certificate
inline constexpr CK_RV kNotInstalled = CKR_FUNCTION_FAILED;       // no key on the token for the certificate
inline constexpr CK_RV kNoKeyGeneration = CKR_GENERAL_ERROR;      // the module cannot make key pairs
inline constexpr CK_RV kNoModule = static_cast<CK_RV>(-1);        // GetSlotInfo without a loaded module

// Mechanism the tokens use for SM2 signatures (vendor-defined).
inline constexpr CK_MECHANISM_TYPE kMechanismSm2Sign = 0x10004;

// The one check every module result goes through; `tolerated` names the codes
// a call site accepts as success.
constexpr bool succeeded(CK_RV rv, std::initializer_list<CK_RV> tolerated = {})
{
    if (rv == CKR_OK)
        return true;
    for (CK_RV t : tolerated)
        if (rv == t)
            return true;
    return false;
}

// C_Initialize by a second user of the same module in this process answers
// CKR_CRYPTOKI_ALREADY_INITIALIZED (0x191); the module is ready all the same.
constexpr bool initializeSucceeded(CK_RV rv)
{
    return succeeded(rv, {CKR_CRYPTOKI_ALREADY_INITIALIZED});
}

class Slot;
class Session;
class Cert;
class Key;

// A module library from "/usr/local/lib/" (under $HALVORN_ROOT when set).
// The library is never unloaded: other users of the same module in this process
// share its initialised state, and unmapping an initialised module is unsafe.
class Pkcs11Dll {
public:
    Pkcs11Dll() = default;
    Pkcs11Dll(const Pkcs11Dll&) = delete;            // slots and sessions keep its function list
    Pkcs11Dll& operator=(const Pkcs11Dll&) = delete;

    // Refuses names that are empty or hold "/", ".." or a NUL byte, so a page can
    // only name a file inside the module folder.
    bool Load(const std::string& name);
    CK_RV Initialize();
    CK_RV Finalize();
    // The slots that hold a token, in the module's order.
    CK_RV GetSlotList(std::vector<Slot>& slots) const;

    bool IsLoaded() const { return m_loaded; }
    CK_FUNCTION_LIST* Functions() const { return m_functions; }

private:
    void* m_handle = nullptr;
    CK_C_GetFunctionList m_getFunctionList = nullptr;
    bool m_loaded = false;
    CK_FUNCTION_LIST* m_functions = nullptr;
};

// A session handle shared by its copies; the session is closed when the last
// copy goes, so certificates of an older listing keep theirs usable.
class Session {
public:
    Session() = default;
    // Takes over an open session.
    Session(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE handle);

    bool valid() const { return m_open != nullptr; }
    CK_SESSION_HANDLE GetHandle() const;
    CK_FUNCTION_LIST* Functions() const;

    CK_RV Login(CK_USER_TYPE user, const std::string& pin) const;
    CK_RV Logout() const;
    // Every certificate object on the token, in the module's order.
    CK_RV GetAllCert(std::vector<std::unique_ptr<Cert>>& certs) const;

private:
    struct Open;
    std::shared_ptr<const Open> m_open;
};

class Slot {
public:
    Slot() = default;
    Slot(CK_FUNCTION_LIST* functions, CK_SLOT_ID id) : m_functions(functions), m_id(id) {}

    CK_SLOT_ID GetId() const { return m_id; }
    CK_RV GetSlotInfo(CK_SLOT_INFO& info) const;
    // A read-write serial session.
    CK_RV OpenSession(Session& session) const;
    // Makes an RSA key pair of `bits` on the token and a request for it, signed
    // by the token. A request that cannot be built leaves `out` empty with result 0.
    CK_RV GenCsr(const Csr& csr, const Session& session, std::string& out, CK_ULONG bits) const;
    // Writes a DER certificate next to the public key object it belongs to;
    // kNotInstalled (nothing written) when the token holds no such key.
    CK_RV InstallCert(const Session& session, const std::string& der) const;
    // The CKA_SUBJECT and CKA_ID of the (last) public key object whose key is `spki`.
    CK_RV GetPubkeyInfo(const Session& session, const std::string& spki, std::string& subject,
                        std::string& id) const;
    CK_RV CreateCert(const Session& session, const std::string& der, const std::string& subject,
                     const std::string& id) const;

private:
    CK_FUNCTION_LIST* m_functions = nullptr;
    CK_SLOT_ID m_id = 0;
};

// A key pair on the token. Destroying it leaves the token objects alone.
class Key : public CsrDelegate {
public:
    Key(const Session& session, CK_OBJECT_HANDLE publicKey, CK_OBJECT_HANDLE privateKey);

    ossl::EvpPkeyPtr GetEvpKey() override;
    // Request signing: the digest NID is mapped to its mechanism.
    std::string Sign(const std::string& data, int digestNid) override;
    // SM2 public key objects carry nothing this layer can rebuild a key from.
    virtual ossl::EvpPkeyPtr GetEvpKeyFT();

    // RSA key pair generation with the fixed identifier and subject.
    CK_RV GenKeyPair(CK_ULONG bits);
    // `digest` is CKM_MD2, CKM_MD5, CKM_SHA_1 or CKM_SHA256 for RSA PKCS#1 v1.5
    // over that digest, or 0 for an SM2 signature; others are CKR_MECHANISM_INVALID.
    CK_RV Sign(const std::string& data, std::string& out, CK_MECHANISM_TYPE digest);
    CK_RV Encrypt(const std::string& data, std::string& out);
    CK_RV Decrypt(const std::string& data, std::string& out);

    // SubjectPublicKeyInfo DER rebuilt from the private key object's modulus and
    // exponent; empty when either is missing.
    std::string GetPubKeyFromePriv();
    // "64" when the private key object's modulus and exponent are both 256 bytes
    // (how the tokens mark an SM2 key), else empty.
    std::string GetPubKeyFromePrivFT();
    // An RSA key from big-endian n and e; null when it cannot be made.
    static ossl::EvpPkeyPtr GetRsaEvpKey(const std::string& modulus, const std::string& exponent);
    // CKA_ID and CKA_SUBJECT of the public key object.
    CK_RV GetSubjectAndId(std::string& id, std::string& subject);

    CK_OBJECT_HANDLE PublicHandle() const { return m_public; }
    CK_OBJECT_HANDLE PrivateHandle() const { return m_private; }

    // The mechanism Sign asks the module for, or 0 when the digest is not offered.
    static CK_MECHANISM_TYPE SignMechanism(CK_MECHANISM_TYPE digest);

private:
    Session m_session;
    CK_OBJECT_HANDLE m_public = 0;
    CK_OBJECT_HANDLE m_private = 0;
};

// A certificate object on the token and, once looked up, its key pair.
class Cert {
public:
    Cert(const Session& session, CK_OBJECT_HANDLE object);
    Cert(const Cert&) = delete;            // the cached key is owned
    Cert& operator=(const Cert&) = delete;
    ~Cert();

    CK_RV GetAttribute(std::string& id, std::string& subject, std::string& value) const;
    // The certificate DER, empty when its attributes cannot be read.
    std::string toDer() const;
    // Finds and caches the key pair of this certificate; kNoKey when none fits.
    CK_RV GetKey();
    CK_RV Sign(const std::string& data, std::string& out, CK_MECHANISM_TYPE digest);
    CK_RV Encrypt(const std::string& data, std::string& out);
    CK_RV Decrypt(const std::string& data, std::string& out);

    CK_OBJECT_HANDLE GetHandle() const { return m_object; }
    // The cached key, null before the first successful lookup.
    const Key* CachedKey() const { return m_key.get(); }

private:
    // Runs op with the cached key, finding it first when needed.
    template <typename Op>
    CK_RV withKey(Op op);

    Session m_session;
    std::unique_ptr<Key> m_key;
    CK_OBJECT_HANDLE m_object = 0;
};

// SubjectPublicKeyInfo DER of a DER certificate; empty when it does not parse.
std::string GetPubkey(const std::string& der);
// Whether a DER certificate holds an SM2 key (id-ecPublicKey on the SM2 curve).
bool isgmcert(const std::string& der);

} // namespace tarnquill::crypto::pkcs11
