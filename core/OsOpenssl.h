#pragma once

// PKCS#7 signed data around a signature made by a key store, its verification,
// the certificates of a PKCS#7 bundle, and the thin owners of OpenSSL objects
// these helpers work with.
//
// Algorithm identifiers are OpenSSL NIDs (3 MD2, 4 MD5, 64 SHA-1, 65
// sha1WithRSAEncryption, 257 MD4, 672 SHA-256, ...) plus the service's own SM
// identifiers 920 (SM2 curve), 921 (SM3) and 929 (SM2 signature), which here
// always name those SM objects.

#include <openssl/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Not in <openssl/types.h>; the full definitions live in <openssl/pkcs7.h>.
typedef struct pkcs7_st PKCS7;
typedef struct pkcs7_signer_info_st PKCS7_SIGNER_INFO;

namespace Openssl {

// Owner rule of the wrappers: a constructor or Attach with `attach` true takes
// the pointer over, with false stores a duplicate. The wrapper frees what it
// holds when destroyed, unless it was handed out with Detach. Wrappers are
// move-only: a copy would free the same object twice.

class CX509Name {
public:
    CX509Name() = default;
    CX509Name(X509_NAME* name, bool attach);
    ~CX509Name();
    CX509Name(CX509Name&& other) noexcept;
    CX509Name& operator=(CX509Name&& other) noexcept;
    CX509Name(const CX509Name&) = delete;
    CX509Name& operator=(const CX509Name&) = delete;

    void Attach(X509_NAME* name, bool attach);
    X509_NAME* Detach();
    void Destory();
    operator X509_NAME*() const { return m_name; }

private:
    X509_NAME* m_name = nullptr;
};

// A view of an ASN.1 integer; never owns it.
class CInteger {
public:
    explicit CInteger(const ASN1_INTEGER* integer = nullptr) : m_integer(integer) {}
    operator const ASN1_INTEGER*() const { return m_integer; }

private:
    const ASN1_INTEGER* m_integer;
};

class CEVP_PKEY;

class CX509 {
public:
    CX509();                              // holds a new, empty certificate
    CX509(X509* x509, bool attach);
    ~CX509();
    CX509(CX509&& other) noexcept;
    CX509& operator=(CX509&& other) noexcept;
    CX509(const CX509&) = delete;
    CX509& operator=(const CX509&) = delete;

    void Attach(X509* x509, bool attach);
    X509* Detach();
    void Destory();
    // Replaces what is held by the parsed certificate; false, and nothing
    // held, when the DER does not parse.
    bool FromDER(const unsigned char* der, std::size_t length);
    bool FromDER(std::string_view der);
    std::string toDER() const;            // empty when nothing is held
    operator X509*() const { return m_x509; }

    CX509Name get_issuer() const;         // an owned copy
    CInteger get_serialNumber() const;    // valid while this certificate lives

    // Raw signature check with the certificate's public key. RSA and other
    // standard keys: the plain public-key verify (for RSA, PKCS #1 v1.5
    // recovery compared byte for byte with `data`, normally a DigestInfo).
    // SM2 keys: an SM2 signature over the message `data` with SM3 and the
    // user ID "1234567812345678"; DER of (r, s) or the 64-byte r||s form.
    bool Verify(std::string_view signature, std::string_view data) const;
    // Digest-verify of `data` with the digest named by `nid`; see CEVP_PKEY.
    bool HashVerify(int nid, std::string_view signature, std::string_view data) const;

private:
    X509* m_x509 = nullptr;
};

// One key and one operation context made for it.
class CEVP_PKEY {
public:
    explicit CEVP_PKEY(EVP_PKEY* pkey);   // takes `pkey` over; may be null
    ~CEVP_PKEY();
    CEVP_PKEY(CEVP_PKEY&& other) noexcept;
    CEVP_PKEY& operator=(CEVP_PKEY&& other) noexcept;
    CEVP_PKEY(const CEVP_PKEY&) = delete;
    CEVP_PKEY& operator=(const CEVP_PKEY&) = delete;

    operator EVP_PKEY*() const { return m_pkey; }
    bool isSM2() const;

    // Digest-verify: hash all of `data` with the digest named by `nid` and
    // check `signature`. Every digest the default provider offers works
    // (MD5, SHA-1, SHA-2, SHA-3, SM3, ...); a signature-algorithm NID such as
    // 65 means its digest; 921 means SM3. MD2 and MD4 are not offered and give
    // false. SM2 keys use the user ID "1234567812345678" and accept DER or
    // 64-byte r||s signatures.
    bool HashVerify(int nid, std::string_view signature, std::string_view data) const;
    // The plain public-key verify (SM2 keys: as CX509::Verify).
    bool Verify(std::string_view signature, std::string_view data) const;

private:
    void reset() noexcept;

    EVP_PKEY* m_pkey = nullptr;
    EVP_PKEY_CTX* m_ctx = nullptr;
};

class CPKCS7_SIGNER_INFO {
public:
    CPKCS7_SIGNER_INFO();                 // a new signer info of version 1
    ~CPKCS7_SIGNER_INFO();
    CPKCS7_SIGNER_INFO(CPKCS7_SIGNER_INFO&& other) noexcept;
    CPKCS7_SIGNER_INFO& operator=(CPKCS7_SIGNER_INFO&& other) noexcept;
    CPKCS7_SIGNER_INFO(const CPKCS7_SIGNER_INFO&) = delete;
    CPKCS7_SIGNER_INFO& operator=(const CPKCS7_SIGNER_INFO&) = delete;

    // Each returns 1 on success, 0 on failure (unknown NID, nothing held).
    int set_digest_alg(int nid);          // object of `nid`, NULL parameter
    int set_digest_enc_alg(int nid);      // object of `nid`, NULL parameter
    int set_enc_digest(std::string_view signature);
    int set_issuer_and_serial(const CX509& cert);

    PKCS7_SIGNER_INFO* Detach();
    operator PKCS7_SIGNER_INFO*() const { return m_si; }

private:
    PKCS7_SIGNER_INFO* m_si = nullptr;
};

class CPKCS7 {
public:
    CPKCS7();                             // holds a new, typeless PKCS#7
    CPKCS7(PKCS7* p7, bool attach);
    ~CPKCS7();
    CPKCS7(CPKCS7&& other) noexcept;
    CPKCS7& operator=(CPKCS7&& other) noexcept;
    CPKCS7(const CPKCS7&) = delete;
    CPKCS7& operator=(const CPKCS7&) = delete;

    void Attach(PKCS7* p7, bool attach);
    PKCS7* Detach();
    void Destory();
    bool FromDER(const unsigned char* der, std::size_t length);   // as CX509::FromDER
    bool FromDER(std::string_view der);
    operator PKCS7*() const { return m_p7; }

    // Building; each returns 1 on success, 0 on failure.
    int set_type(int nid);                // 22: an empty signedData of version 1
    int set_detached();                   // inner content type data, no content
    int set_sign_content(std::string_view content);   // empty: set_detached()
    int add_certificate(const CX509& cert);           // shared, not copied
    // Hands the signer info over (the wrapper is left empty) and lists its
    // digest algorithm, NULL parameter, unless the same algorithm is listed.
    int add_signer(CPKCS7_SIGNER_INFO& signer);

    std::string toDER() const;            // DER, definite lengths
    int type() const;                     // NID of the outer content type
    bool detached() const;                // signedData without inner content
    std::string sign_content() const;     // embedded data content, else empty

    // Signed data only; the first certificate and the first signer info.
    // `content` is the signed data of a detached message (absent = empty).
    bool Verify(std::optional<std::string_view> content = std::nullopt) const;

private:
    PKCS7* m_p7 = nullptr;
};

} // namespace Openssl

// DER of a PKCS#7 signedData around `signature`, a value the key store has
// already computed over `content` (no authenticated attributes). Empty
// `content` makes a detached message. The signer info names `digest_nid` and
// rsaEncryption. Empty when `certificate_der` is not a certificate.
std::string MakePKCS7Signed(std::string_view content, std::string_view certificate_der,
                            std::string_view signature, int digest_nid);
// The same around a certificate already parsed, for a signer that signs again
// and again: empty when `certificate` holds nothing.
std::string MakePKCS7Signed(std::string_view content, const Openssl::CX509& certificate,
                            std::string_view signature, int digest_nid);

// True when `p7_der` is signed data whose first signer's signature over the
// embedded content (or `content` when detached) verifies with the first
// certificate. Messages that are not PKCS#7 signedData are offered to the SM2
// signed-data check.
bool PKCS7Verify(std::string_view p7_der, std::string_view content);

// DER of each certificate of a version-1 signedData, in order; else empty.
std::vector<std::string> PKCS7Cert(std::string_view p7_der);

// Whether the certificate's key is id-ecPublicKey on the SM2 curve.
bool isSM2Certificate(std::string_view certificate_der);
