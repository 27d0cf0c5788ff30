#pragma once

// The certificate object: one certificate that a provider listed or selected,
// whichever store holds its key (the keychain, a PKCS#11 token or a token
// adapter). CCertificate routes each operation to that store and packages
// signatures as PKCS#7; SMCertificate turns the outcomes into the command
// result codes.

#include "core/CertInfo.h"
#include "core/OsFunctions.h"
#include "core/OsOpenssl.h"
#include "pkcs11/Pkcs11.h"
#include "token/ISMToken.h"

#include <cstdint>
#include <memory>
#include <string>

// Bits of the sign and verify "flags".
inline constexpr int kFlagDigestMask = 0x000F;
inline constexpr int kFlagFormMask = 0x00F0;
inline constexpr int kFlagFormAttached = 0x00;
inline constexpr int kFlagFormDetached = 0x10;
inline constexpr int kFlagFormRaw = 0x20;
inline constexpr int kFlagDataIsFile = 0x0100;   // the data is a path; the file's bytes count
inline constexpr int kFlagSm2Der = 0x0800;       // SM2 r||s from an adapter packaged as DER

// The digest selector and form a sign "flags" value asks for.
struct SignRequest {
    hash_algo_t hash;
    sig_type_t type;
};
SignRequest DecodeSignFlags(int flags);

// The OpenSSL copy of a certificate, for the checks the stores cannot make.
class COpensslCertificate {
public:
    // Holds a fresh, empty certificate until replaced.
    COpensslCertificate() = default;
    // Replaces what is held by the parse of der; null when it does not parse.
    void Reset(const std::string& der);
    X509* get() const { return m_x509; }
    const Openssl::CX509& x509() const { return m_x509; }

private:
    Openssl::CX509 m_x509;
};

class CCertificate {
public:
    using Pkcs11Cert = tarnquill::crypto::pkcs11::Cert;

    CCertificate();
    ~CCertificate();
    CCertificate(const CCertificate&) = delete;  // owns a token object and a context reference
    CCertificate& operator=(const CCertificate&) = delete;

    // A PKCS#11 certificate: takes the object over. Returns 0.
    int InitializeWith(std::unique_ptr<Pkcs11Cert> cert);
    // A keychain certificate made from DER bytes (the token route's certificate);
    // true when the bytes made one.
    bool InitializeWith(const std::string& der);
    // A keychain certificate: attach true takes over the caller's count,
    // false retains the handle.
    void InitializeWith(SecCertificateRef cert, bool attach);
    // Holds the context reference for the token route (after dropping any earlier one).
    void InitializeToken(TokenCtxPtr ctx);
    void UninitializeToken();

    SecCertificateRef getContext() const { return m_macCert.GetHandle(); }
    const Pkcs11Cert* pkcs11Cert() const { return m_pkcs11.get(); }
    const ITokenCtx* tokenCtx() const { return m_tokenCtx.get(); }
    bool valid() const;

    // The keychain certificate's DER; empty for a PKCS#11 certificate.
    std::string toDer() const;
    // Base64 of the certificate's DER, whichever kind it is.
    std::string toString() const;

    // out receives PKCS#7 DER or the raw signature; on a token adapter's
    // negative result it receives the decimal text of the result's low 31 bits.
    bool Sign(const std::string& data, int flags, std::string& out, bool sm2Der);
    bool Verify(const std::string& message, const std::string& signature, int flags) const;
    // flags are not used by either.
    bool encrypt(const std::string& data, int flags, std::string& out);
    bool Decrypt(const std::string& data, int flags, std::string& out);
    // Deletes the certificate and its private key from the keychain; only a
    // certificate with a keychain handle can be removed.
    bool Remove();
    // 0 when described, -1 when there is nothing to describe.
    int GetInfo(_CERTIFICATE_INFO_* info) const;

private:
    bool signPkcs11(const std::string& data, const SignRequest& request, std::string& out);
    bool signToken(const std::string& data, SignRequest request, std::string& out, bool sm2Der);

    std::unique_ptr<Pkcs11Cert> m_pkcs11;
    TokenCtxPtr m_tokenCtx;
    CMacCertificate m_macCert;
    COpensslCertificate m_openssl;
};

// A new counted reference on ctx, held by the returned owner; null for null.
TokenCtxPtr ShareTokenCtx(ITokenCtx* ctx);

class SMCertificate {
public:
    SMCertificate() = default;
    SMCertificate(const SMCertificate&) = delete;
    SMCertificate& operator=(const SMCertificate&) = delete;

    // -2 for a null handle, else 0; the handle is retained.
    int initFromCertContext(SecCertificateRef cert);
    // -2 for a null object, else 0.
    int initFromCertObj(std::unique_ptr<CCertificate::Pkcs11Cert> cert);
    // -2 for empty input, else 1 when a certificate resulted and 0 when not.
    int initFromDer(const std::string& der);
    SMCertificate& InitializeToken(TokenCtxPtr ctx);

    SecCertificateRef getContext() const { return m_cert.getContext(); }
    bool valid() const { return m_cert.valid(); }
    std::string toString() const { return m_cert.toString(); }
    CCertificate& certificate() { return m_cert; }
    const CCertificate& certificate() const { return m_cert; }

    // 0, or -2 for empty data or a failure.
    int sign(const std::string& data, int flags, std::string& out);
    // 0 when the signature verifies, else 3.
    int Verify(const std::string& signature, int flags, const std::string& message) const;
    // 0, else 4.
    int encrypt(const std::string& data, std::string& out, int flags);
    // 0, else 5.
    int decrypt(const std::string& data, std::string& out, int flags);
    // No store offers a PIN change here: -1.
    int setPin(const std::string& pin);
    bool remove();
    // 0, else the code of CCertificate::GetInfo; the record is left alone on failure.
    int getCertInfo(_CERTIFICATE_INFO_& info) const;
    int getCertInfo(_CERTIFICATE_INFO_A& info) const;

private:
    CCertificate m_cert;
};
