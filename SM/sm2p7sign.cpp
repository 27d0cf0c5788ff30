#include "SM/fp7.h"

#include <openssl/bn.h>
#include <openssl/x509.h>

#include <limits>

namespace {

constexpr std::size_t kCoordinateBytes = 32;
constexpr std::size_t kRawSignatureBytes = 2 * kCoordinateBytes;

const unsigned char* bytes(const std::string& s)
{
    return reinterpret_cast<const unsigned char*>(s.data());
}

ossl::X509Ptr parseCertificate(const std::string& der)
{
    const unsigned char* p = bytes(der);
    ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (cert && p != bytes(der) + der.size())
        cert.reset();
    return cert;
}

bool setAlgorithm(X509_ALGOR* alg, int id)
{
    ASN1_OBJECT* obj = SM2_OBJ_nid2obj(id);
    return obj != nullptr && X509_ALGOR_set0(alg, obj, V_ASN1_NULL, nullptr) == 1;
}

ossl::Sm2SignerInfoPtr makeSignerInfo(X509* cert, const std::string& signature)
{
    ossl::Sm2SignerInfoPtr si(SM2_SIGNER_INFO_new());
    if (!si || !ASN1_INTEGER_set(si->version, 1))
        return {};
    if (!X509_NAME_set(&si->issuer_and_serial->issuer, X509_get_issuer_name(cert)))
        return {};
    ASN1_INTEGER* serial = ASN1_INTEGER_dup(X509_get0_serialNumber(cert));
    if (serial == nullptr)
        return {};
    ASN1_INTEGER_free(si->issuer_and_serial->serial);
    si->issuer_and_serial->serial = serial;
    if (!setAlgorithm(si->digest_alg, SM_ID_SM3) || !setAlgorithm(si->digest_enc_alg, SM_ID_SM2_1))
        return {};
    if (!ASN1_OCTET_STRING_set(si->enc_digest, bytes(signature), static_cast<int>(signature.size())))
        return {};
    return si;
}

} // namespace

std::string EC_SM2_SIG_raw2der(const std::string& raw)
{
    if (raw.size() != kRawSignatureBytes)
        return {};
    ossl::EcSm2SigPtr sig(EC_SM2_SIG_new());
    if (!sig || BN_bin2bn(bytes(raw), kCoordinateBytes, sig->r) == nullptr
        || BN_bin2bn(bytes(raw) + kCoordinateBytes, kCoordinateBytes, sig->s) == nullptr)
        return {};
    return ossl::toDer(sig.get(), i2d_EC_SM2_SIG);
}

std::string EC_SM2_SIG_der2raw(const std::string& der)
{
    const unsigned char* p = bytes(der);
    ossl::EcSm2SigPtr sig(d2i_EC_SM2_SIG(nullptr, &p, static_cast<long>(der.size())));
    if (!sig || p != bytes(der) + der.size())
        return {};
    std::string raw(kRawSignatureBytes, '\0');
    auto* out = reinterpret_cast<unsigned char*>(raw.data());
    if (BN_bn2binpad(sig->r, out, kCoordinateBytes) < 0
        || BN_bn2binpad(sig->s, out + kCoordinateBytes, kCoordinateBytes) < 0)
        return {};
    return raw;
}

std::string MakeSM2P7Signed(const std::string& content, const std::string& certificateDer,
                            const std::string& signature, int digestNid)
{
    // ASN1_STRING lengths are int; a negative one would be read as C text.
    constexpr std::size_t kMaxField = static_cast<std::size_t>(std::numeric_limits<int>::max());
    if (digestNid != SM_ID_SM3 || content.size() > kMaxField || signature.size() > kMaxField)
        return {};
    // Callers store the result as the signature unchecked, so an unreadable
    // certificate must give nothing rather than a message without a signer.
    ossl::X509Ptr cert = parseCertificate(certificateDer);
    if (!cert)
        return {};

    ossl::Sm2P7Ptr p7(SM2_P7_new());
    if (!p7 || !SM2_P7_set_type(p7.get(), SM_ID_P7_SIGNED))
        return {};
    // The inner content information names the data type even when detached.
    if (!SM2_P7_content_new(p7.get(), SM_ID_P7_DATA))
        return {};
    if (content.empty()) {
        SM2_P7_ctrl(p7.get(), SM2_P7_OP_SET_DETACHED_SIGNATURE, 1);
    } else {
        ASN1_OCTET_STRING* data = p7->d.sign->contents->d.data;
        if (!ASN1_OCTET_STRING_set(data, bytes(content), static_cast<int>(content.size())))
            return {};
    }
    if (!SM2_P7_add_certificate(p7.get(), cert.get()))
        return {};

    ossl::Sm2SignerInfoPtr si = makeSignerInfo(cert.get(), signature);
    if (!si || !SM2_P7_add_signer(p7.get(), si.get()))
        return {};
    si.release(); // now owned by p7

    return ossl::toDer(p7.get(), i2d_SM2_P7);
}
