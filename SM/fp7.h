#pragma once

// SM2 PKCS#7: the ASN.1 module of SM2 signed data (RFC 2315 shape with the
// Chinese national object identifiers), the SM2 signature value, the builder
// that wraps a key store's signature, and its verifier.

#include "SM/sm2obj.h"
#include "ossl/ptr.h"

#include <openssl/asn1.h>
#include <openssl/safestack.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

struct SM2_SIGNED;

// Content information. `d` is chosen by `type`: data (923) an OCTET STRING,
// signed data (924) an SM2_SIGNED, anything else ANY. `detached` is only
// kept in memory.
struct SM2_P7 {
    ASN1_OBJECT* type;
    union {
        void* ptr;
        ASN1_OCTET_STRING* data;
        SM2_SIGNED* sign;
        ASN1_TYPE* other;
    } d;
    int detached;
};

struct SM2_ISSUER_AND_SERIAL {
    X509_NAME* issuer;
    ASN1_INTEGER* serial;
};

struct SM2_SIGNER_INFO {
    ASN1_INTEGER* version;
    SM2_ISSUER_AND_SERIAL* issuer_and_serial;
    X509_ALGOR* digest_alg;
    STACK_OF(X509_ATTRIBUTE)* auth_attr;
    X509_ALGOR* digest_enc_alg;
    ASN1_OCTET_STRING* enc_digest;
    STACK_OF(X509_ATTRIBUTE)* unauth_attr;
};

DEFINE_STACK_OF(SM2_SIGNER_INFO)

struct SM2_SIGNED {
    ASN1_INTEGER* version;
    STACK_OF(X509_ALGOR)* md_algs;
    SM2_P7* contents;
    STACK_OF(X509)* cert;
    STACK_OF(X509_CRL)* crl;
    STACK_OF(SM2_SIGNER_INFO)* signer_info;
};

// SEQUENCE { r INTEGER, s INTEGER }
struct EC_SM2_SIG {
    BIGNUM* r;
    BIGNUM* s;
};

// new, free, d2i_X(X**, const unsigned char**, long), i2d_X(const X*, unsigned char**)
DECLARE_ASN1_FUNCTIONS(SM2_P7)
DECLARE_ASN1_FUNCTIONS(SM2_SIGNED)
DECLARE_ASN1_FUNCTIONS(SM2_SIGNER_INFO)
DECLARE_ASN1_FUNCTIONS(SM2_ISSUER_AND_SERIAL)
DECLARE_ASN1_FUNCTIONS(EC_SM2_SIG)

namespace ossl {
using EcSm2SigPtr = std::unique_ptr<EC_SM2_SIG, Deleter<EC_SM2_SIG_free>>;
using Sm2P7Ptr = std::unique_ptr<SM2_P7, Deleter<SM2_P7_free>>;
using Sm2SignerInfoPtr = std::unique_ptr<SM2_SIGNER_INFO, Deleter<SM2_SIGNER_INFO_free>>;
} // namespace ossl

// SM2_P7_ctrl command: set the detached flag of signed data.
constexpr int SM2_P7_OP_SET_DETACHED_SIGNATURE = 1;

// Message operations: 1 on success, 0 on failure (wrong message type,
// unknown identifier, allocation failure).

// 923 (data: empty OCTET STRING) or 924 (signed data: SM2_SIGNED, version 1).
// Any content of the previous type is freed first.
int SM2_P7_set_type(SM2_P7* p7, int id);
// Signed data only: sets the detached flag to `larg`; a non-zero flag drops
// inner data content. 0 for any other message or command.
long SM2_P7_ctrl(SM2_P7* p7, int cmd, long larg);
// New inner SM2_P7 of type `id`, installed with SM2_P7_set_content.
int SM2_P7_content_new(SM2_P7* p7, int id);
// Signed data only: replaces (and frees) the inner content; takes `inner`
// on success.
int SM2_P7_set_content(SM2_P7* p7, SM2_P7* inner);
// Signed data only: appends `x509`, sharing it (its reference count is raised).
int SM2_P7_add_certificate(SM2_P7* p7, X509* x509);
// Signed data only: adds the signer's digest algorithm to md_algs when new,
// then appends `si`, which `p7` owns on success (the caller keeps it on failure).
int SM2_P7_add_signer(SM2_P7* p7, SM2_SIGNER_INFO* si);

// DER of EC_SM2_SIG from the 64-byte raw form r || s (unsigned big-endian,
// 32 bytes each); empty unless `raw` is exactly 64 bytes.
std::string EC_SM2_SIG_raw2der(const std::string& raw);
// The 64-byte raw form of a DER EC_SM2_SIG; empty when `der` is not exactly
// one such value or r or s does not fit 32 bytes.
std::string EC_SM2_SIG_der2raw(const std::string& der);

// DER of SM2 signed data around a signature the key store has already made:
// SM3 digest, SM2-1 signature algorithm, the certificate and one signer whose
// enc_digest is `signature` byte for byte. Empty `content` gives a detached
// message. Empty result when the certificate does not parse or `digestNid`
// is not SM3 (921), the only digest this form is written with.
std::string MakeSM2P7Signed(const std::string& content, const std::string& certificateDer,
                            const std::string& signature, int digestNid = SM_ID_SM3);

// Verifies SM2 signed data as MakeSM2P7Signed writes it: every signer's SM2
// signature (DER EC_SM2_SIG or raw 64 bytes) over the content, with SM3 and
// the user ID "1234567812345678", against its certificate carried in the
// message (found by issuer and serial number). Certificates are not checked
// for trust or validity. The content is the attached one; for a detached
// message `detachedContent`; when both are present they must be equal.
// Returns 1 valid, 0 invalid (bad signature, no matching or non-SM2
// certificate, other algorithms, content mismatch), -1 when `p7der` is not
// exactly one SM2 signed-data message. On 1 and `signerCertDer` not null, it
// receives the first signer's certificate DER.
int SM2P7Verify(const std::string& p7der, const std::string& detachedContent,
                std::string* signerCertDer);

// True when `p7der` is exactly one SM2 signed-data message.
bool isSM2P7Signed(const std::string& p7der);

// DER of every certificate carried by SM2 signed data, in message order;
// empty when `p7der` is not SM2 signed data or carries none.
std::vector<std::string> SM2P7Certificates(const std::string& p7der);
