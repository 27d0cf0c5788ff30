#include "core/Certificate.h"

#include "core/Codepage.h"
#include "core/Utility.h"
#include "core/codec.h"
#include "pkcs11/Pkcs11.h"
#include "SM/fp7.h"

#include <openssl/obj_mac.h>

#include <optional>

namespace {

// Token identifier 0 asks an adapter for an SM2 signature.
constexpr std::int32_t kTokenSm2 = 0;
// r || s of an SM2 signature; some adapters answer one byte more.
constexpr std::size_t kSm2RawBytes = 64;
constexpr std::size_t kSm2PaddedBytes = 65;

struct Pkcs11Digest {
    CK_MECHANISM_TYPE mechanism;
    int nid;   // named in the PKCS#7
};

Pkcs11Digest pkcs11Digest(hash_algo_t hash)
{
    switch (hash) {
    case HASH_ALGO_MD2: return {CKM_MD2, NID_md2};
    case HASH_ALGO_MD5: return {CKM_MD5, NID_md5};
    case HASH_ALGO_SM3: return {0, SM_ID_SM3};
    case HASH_ALGO_SHA256: return {CKM_SHA256, NID_sha256};
    default: return {CKM_SHA_1, NID_sha1};   // MD4, both SHA-1 selectors, unknown values
    }
}

std::int32_t tokenIdentifier(hash_algo_t hash)
{
    switch (hash) {
    case HASH_ALGO_MD2: return NID_md2;
    case HASH_ALGO_MD4: return NID_md4;
    case HASH_ALGO_MD5: return NID_md5;
    case HASH_ALGO_SHA1_RSA: return NID_sha1WithRSAEncryption;
    case HASH_ALGO_SM3: return kTokenSm2;
    case HASH_ALGO_SHA256: return NID_sha256;
    default: return NID_sha1;
    }
}

// The bytes an operation works on. A path names a file whose bytes are used:
// a page may name any path, so only a bounded regular file is read. Text is
// translated into the process code page; text that cannot be translated fails
// rather than letting an empty string be signed or checked in its place.
std::optional<std::string> prepareData(const std::string& data, int flags)
{
    if ((flags & kFlagDataIsFile) != 0)
        return Utility::ReadRegularFile(data);
    std::string translated = CodePage::GetTranslate(data);
    if (translated.empty() && !data.empty())
        return std::nullopt;
    return translated;
}

} // namespace

SignRequest DecodeSignFlags(int flags)
{
    static constexpr hash_algo_t kDigests[] = {
        HASH_ALGO_SHA1, HASH_ALGO_MD2, HASH_ALGO_SHA1, HASH_ALGO_MD5,
        HASH_ALGO_SHA1_RSA, HASH_ALGO_SM3, HASH_ALGO_SHA256,
    };
    const int digest = flags & kFlagDigestMask;
    const hash_algo_t hash = digest < 7 ? kDigests[digest] : HASH_ALGO_SHA1;
    sig_type_t type = SIG_TYPE_ATTACHED;
    switch (flags & kFlagFormMask) {
    case kFlagFormDetached: type = SIG_TYPE_DETACHED; break;
    case kFlagFormRaw: type = SIG_TYPE_RAW; break;
    default: break;   // 0x00 and every unknown form
    }
    return {hash, type};
}

TokenCtxPtr ShareTokenCtx(ITokenCtx* ctx)
{
    if (ctx == nullptr)
        return nullptr;
    ctx->AddRef();
    return TokenCtxPtr(ctx);
}

// ---------------------------------------------------------------- COpensslCertificate

void COpensslCertificate::Reset(const std::string& der)
{
    m_x509.FromDER(der);
}

// ---------------------------------------------------------------- CCertificate

CCertificate::CCertificate() = default;

CCertificate::~CCertificate() = default;

int CCertificate::InitializeWith(std::unique_ptr<Pkcs11Cert> cert)
{
    m_pkcs11 = std::move(cert);
    if (m_pkcs11)
        m_openssl.Reset(m_pkcs11->toDer());
    return 0;
}

bool CCertificate::InitializeWith(const std::string& der)
{
    m_macCert.Destroy();
    if (!m_macCert.Initialize(der))
        return false;
    m_openssl.Reset(toDer());
    return true;
}

void CCertificate::InitializeWith(SecCertificateRef cert, bool attach)
{
    m_macCert.Destroy();
    m_macCert.Attach(cert, attach);
    m_openssl.Reset(toDer());
}

void CCertificate::InitializeToken(TokenCtxPtr ctx)
{
    UninitializeToken();
    m_tokenCtx = std::move(ctx);
}

void CCertificate::UninitializeToken()
{
    m_tokenCtx.reset();
}

bool CCertificate::valid() const
{
    return m_pkcs11 != nullptr || m_macCert.GetHandle() != nullptr || m_tokenCtx != nullptr;
}

std::string CCertificate::toDer() const
{
    return valid() ? m_macCert.toDer() : std::string();
}

std::string CCertificate::toString() const
{
    return ICodec::encode(m_pkcs11 ? m_pkcs11->toDer() : toDer());
}

bool CCertificate::Sign(const std::string& data, int flags, std::string& out, bool sm2Der)
{
    initsm2internalnid();
    if (!valid() || data.empty())
        return false;
    const SignRequest request = DecodeSignFlags(flags);
    // Attached PKCS#7 of a file would hand the bytes of any file on the
    // user's disk to the page that asked; a detached or raw signature does not.
    if ((flags & kFlagDataIsFile) != 0 && request.type == SIG_TYPE_ATTACHED)
        return false;
    const std::optional<std::string> prepared = prepareData(data, flags);
    if (!prepared)
        return false;

    if (m_pkcs11)
        return signPkcs11(*prepared, request, out);
    if (m_tokenCtx)
        return signToken(*prepared, request, out, sm2Der);
    std::string result;
    if (!m_macCert.SignData(*prepared, request.type, request.hash, result, false) || result.empty())
        return false;
    out = std::move(result);
    return true;
}

bool CCertificate::signPkcs11(const std::string& data, const SignRequest& request, std::string& out)
{
    const Pkcs11Digest digest = pkcs11Digest(request.hash);
    if (m_pkcs11->Sign(data, out, digest.mechanism) != CKR_OK)
        return false;
    const std::string certDer = m_pkcs11->toDer();
    const bool sm2 = digest.nid == SM_ID_SM3;
    std::string packaged;
    switch (request.type) {
    case SIG_TYPE_ATTACHED:
        packaged = sm2 ? MakeSM2P7Signed(data, certDer, out, SM_ID_SM3)
                       : MakePKCS7Signed(data, certDer, out, digest.nid);
        break;
    case SIG_TYPE_DETACHED:
        // An SM2 signature goes into the SM2 form whether attached or not:
        // the RSA form would label it rsaEncryption and nothing could check it.
        packaged = sm2 ? MakeSM2P7Signed(std::string(), certDer, out, SM_ID_SM3)
                       : MakePKCS7Signed(std::string(), certDer, out, digest.nid);
        break;
    default:
        return true;
    }
    if (packaged.empty())
        return false;
    out = std::move(packaged);
    return true;
}

bool CCertificate::signToken(const std::string& data, SignRequest request, std::string& out, bool sm2Der)
{
    const std::string certDer = toDer();
    std::int32_t identifier = tokenIdentifier(request.hash);
    if (isSM2Certificate(certDer)) {
        identifier = kTokenSm2;
        request.hash = HASH_ALGO_SM3;
    }
    std::string signature;
    const std::int32_t rc = m_tokenCtx->Sign(data, identifier, signature);
    if (rc < 1) {
        // The adapter's error code goes back to the page as text.
        if (rc < 0)
            out = std::to_string(static_cast<std::uint32_t>(rc) & 0x7FFFFFFFu);
        return false;
    }
    if (identifier == kTokenSm2 && signature.size() == kSm2PaddedBytes)
        signature.resize(kSm2RawBytes);

    std::string packaged;
    const std::string content = request.type == SIG_TYPE_ATTACHED ? data : std::string();
    switch (request.type) {
    case SIG_TYPE_ATTACHED:
    case SIG_TYPE_DETACHED:
        if (identifier != kTokenSm2) {
            packaged = MakePKCS7Signed(content, certDer, signature, identifier);
            break;
        }
        if (sm2Der) {
            signature = EC_SM2_SIG_raw2der(signature);
            if (signature.empty())
                return false;   // not the 64 bytes of r and s
        }
        packaged = MakeSM2P7Signed(content, certDer, signature, SM_ID_SM3);
        break;
    default:
        out = std::move(signature);
        return true;
    }
    if (packaged.empty())
        return false;
    out = std::move(packaged);
    return true;
}

bool CCertificate::Verify(const std::string& message, const std::string& signature, int flags) const
{
    const int form = flags & kFlagFormMask;
    std::string data;
    if (form == kFlagFormDetached || form == kFlagFormRaw) {
        const std::optional<std::string> prepared = prepareData(message, flags);
        if (!prepared)
            return false;
        data = *prepared;
    }
    if (form == kFlagFormAttached || form == kFlagFormDetached)
        return PKCS7Verify(signature, data);
    // Raw: 0x20 over the message, any other form over empty data.
    if (m_openssl.get() == nullptr)
        return false;
    return m_openssl.x509().Verify(signature, data);
}

bool CCertificate::encrypt(const std::string& data, int /*flags*/, std::string& out)
{
    if (!valid() || data.empty())
        return false;
    if (m_pkcs11 && m_pkcs11->Encrypt(data, out) == CKR_OK)
        return true;
    std::string cipher;
    if (!m_macCert.EncryptData(data, cipher))
        return false;
    // Only ciphertext that the store's own private key opens counts.
    std::string scratch;
    const bool opens = m_macCert.DecryptData(cipher, scratch);
    out = std::move(cipher);
    return opens;
}

bool CCertificate::Decrypt(const std::string& data, int /*flags*/, std::string& out)
{
    if (!valid() || data.empty())
        return false;
    if (m_pkcs11)
        return m_pkcs11->Decrypt(data, out) == CKR_OK;
    return m_macCert.DecryptData(data, out);
}

bool CCertificate::Remove()
{
    if (m_macCert.GetHandle() == nullptr)
        return false;
    return m_macCert.Remove();
}

int CCertificate::GetInfo(_CERTIFICATE_INFO_* info) const
{
    if (m_macCert.GetHandle() != nullptr)
        return m_macCert.GetInfo(info) ? 0 : -1;
    if (m_pkcs11) {
        CMacCertificate::GetInfo(info, m_pkcs11->toDer());
        return 0;
    }
    return -1;
}

// ---------------------------------------------------------------- SMCertificate

int SMCertificate::initFromCertContext(SecCertificateRef cert)
{
    if (cert == nullptr)
        return -2;
    m_cert.InitializeWith(cert, false);
    return 0;
}

int SMCertificate::initFromCertObj(std::unique_ptr<CCertificate::Pkcs11Cert> cert)
{
    if (!cert)
        return -2;
    return m_cert.InitializeWith(std::move(cert));
}

int SMCertificate::initFromDer(const std::string& der)
{
    if (der.empty())
        return -2;
    return m_cert.InitializeWith(der) ? 1 : 0;
}

SMCertificate& SMCertificate::InitializeToken(TokenCtxPtr ctx)
{
    m_cert.InitializeToken(std::move(ctx));
    return *this;
}

int SMCertificate::sign(const std::string& data, int flags, std::string& out)
{
    if (data.empty())
        return -2;
    return m_cert.Sign(data, flags, out, (flags & kFlagSm2Der) != 0) ? 0 : -2;
}

int SMCertificate::Verify(const std::string& signature, int flags, const std::string& message) const
{
    return m_cert.Verify(message, signature, flags) ? 0 : 3;
}

int SMCertificate::encrypt(const std::string& data, std::string& out, int flags)
{
    return m_cert.encrypt(data, flags, out) ? 0 : 4;
}

int SMCertificate::decrypt(const std::string& data, std::string& out, int flags)
{
    return m_cert.Decrypt(data, flags, out) ? 0 : 5;
}

int SMCertificate::setPin(const std::string& /*pin*/)
{
    return -1;
}

bool SMCertificate::remove()
{
    return m_cert.Remove();
}

namespace {

// The name fields both record forms carry.
template <typename Record>
void copyNameFields(Record& to, const _CERTIFICATE_INFO_& from)
{
    to.subject = from.subject;
    to.sn = from.sn;
    to.cn = from.cn;
    to.c = from.c;
    to.e = from.e;
    to.o = from.o;
    to.ou = from.ou;
}

} // namespace

int SMCertificate::getCertInfo(_CERTIFICATE_INFO_& info) const
{
    _CERTIFICATE_INFO_ fresh;
    if (const int rc = m_cert.GetInfo(&fresh); rc != 0)
        return rc;
    copyNameFields(info, fresh);
    info.st = fresh.st;
    info.l = fresh.l;
    info.pub = m_cert.toString();
    return 0;
}

int SMCertificate::getCertInfo(_CERTIFICATE_INFO_A& info) const
{
    _CERTIFICATE_INFO_ fresh;
    if (const int rc = m_cert.GetInfo(&fresh); rc != 0)
        return rc;
    copyNameFields(info, fresh);
    info.pub = m_cert.toString();
    return 0;
}
