#include "providers/SMProvider.h"

#include "core/CFChooseCertificatesPanel.h"
#include "core/Codepage.h"
#include "core/OsOpenssl.h"
#include "core/codec.h"

#include <openssl/obj_mac.h>

#include <climits>
#include <cstdlib>

namespace p11 = tarnquill::crypto::pkcs11;
using tarnquill::crypto::Csr;

namespace {

// The user PIN every token of this service is set up with.
const std::string& fixedPin()
{
    static const std::string pin = std::string("\x01\x08", 2) + "59036174";
    return pin;
}

constexpr CK_ULONG kTokenKeyBits = 2048;
// A page-supplied name becomes one file name; longer ones cannot exist.
constexpr std::size_t kMaxAdapterName = NAME_MAX - (sizeof kAdapterSuffix - 1);
// An adapter that reports an absurd certificate count must not make the
// listing exhaust memory.
constexpr std::int32_t kMaxTokenCertificates = 4096;

bool acceptableAdapterName(const std::string& name)
{
    return !name.empty() && name.size() <= kMaxAdapterName && name.find('/') == std::string::npos
        && name.find("..") == std::string::npos && name.find('\0') == std::string::npos;
}

// prefix + folder + name + suffix; none when the environment gave no prefix
// where one is needed, or the path would be too long to open.
std::optional<std::string> adapterPath(const char* prefix, const std::string& name)
{
    std::string path = prefix != nullptr ? prefix : "";
    path += kAdapterFolder;
    path += name;
    path += kAdapterSuffix;
    if (path.size() >= PATH_MAX)
        return std::nullopt;
    return path;
}

} // namespace

SMProvider::SMProvider(std::string name, std::int32_t type)
    : m_name(std::move(name)), m_type(type), m_token(std::make_unique<ISMToken>())
{
    if (isKeychain()) {
        // Only the keychain kind uses the store: the others do not create its file.
        m_keychain = std::make_unique<CKeyChain>();
        m_valid = true;
    } else if (isPkcs11()) {
        openPkcs11();
    } else {
        m_valid = LoadAdapter(m_name);
    }
}

SMProvider::~SMProvider() = default;

void SMProvider::openPkcs11()
{
    m_module = std::make_unique<p11::Pkcs11Dll>();
    if (!m_module->Load(m_name))
        return;
    // Another provider in this process may have initialised the module already.
    if (!p11::initializeSucceeded(m_module->Initialize()))
        return;
    std::vector<p11::Slot> slots;
    if (m_module->GetSlotList(slots) != CKR_OK || slots.empty())
        return;
    m_slot = slots.front();
    m_valid = true;
}

bool SMProvider::LoadAdapter(const std::string& name)
{
    if (!acceptableAdapterName(name))
        return false;
    bool loaded = false;
    if (auto path = adapterPath(std::getenv("HALVORN_ROOT"), name))
        loaded = m_token->Load(*path);
    if (!loaded) {
        // Without HOME there is no user folder to look in.
        if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
            if (auto path = adapterPath(home, name))
                loaded = m_token->Load(*path);
        }
    }
    if (!loaded)
        return false;
    m_token->Initialize(nullptr);   // the adapter's answer does not matter
    return true;
}

// ---------------------------------------------------------------- keys

int SMProvider::keyCount(std::int32_t& count)
{
    if (isKeychain()) {
        count = 1;
        return -2;
    }
    if (isPkcs11())
        return -1;
    count = m_token->GetTokenNumber();
    m_tokenCtxs.clear();
    m_tokenCtxs = m_token->GetTokenCtx();
    return 0;
}

int SMProvider::selectKey(std::int32_t index)
{
    if (isKeychain() && !m_certs.empty())
        return 0;
    if (isPkcs11())
        return -1;
    if (index < 0) {
        m_keyIndex = 0;
        return -2;
    }
    if (static_cast<std::size_t>(index) >= m_tokenCtxs.size())
        return -2;
    m_keyIndex = index;
    return 0;
}

ITokenCtx* SMProvider::selectedToken() const
{
    if (m_keyIndex < 0 || static_cast<std::size_t>(m_keyIndex) >= m_tokenCtxs.size())
        return nullptr;
    return m_tokenCtxs[static_cast<std::size_t>(m_keyIndex)].get();
}

// ---------------------------------------------------------------- listing

void SMProvider::clearListing()
{
    // Certificates a session selected stay alive through its own reference.
    m_certs.clear();
    m_certNames.clear();
}

int SMProvider::enumerateCerts(const _CERTIFICATE_INFO_& query, std::vector<std::string>& names)
{
    int result;
    if (isKeychain())
        result = enumerateKeychain(query);
    else if (isPkcs11())
        result = enumeratePkcs11(query);
    else
        result = enumerateToken();
    names = m_certNames;
    return result;
}

int SMProvider::enumerateKeychain(const _CERTIFICATE_INFO_& query)
{
    clearListing();
    CSecurityObjectImpl<SecKeychainRef> store(kc::Keychain::CopyDefault(), true);
    if (store.GetHandle() == nullptr)
        return 0;
    std::vector<SecCertificateRef> found;
    if (store.GetHandle()->CopyCertificates(found) != kc::errSecSuccess) {
        for (SecCertificateRef cert : found)
            kc::Release(cert);
        return 0;
    }
    for (SecCertificateRef cert : found) {
        CMacCertificate holder(cert, true);   // takes over the listing's count
        _CERTIFICATE_INFO_ info;              // fresh for each: nothing carries over
        if (!holder.GetInfo(&info) || !info.match(&query))
            continue;
        auto certificate = std::make_shared<SMCertificate>();
        certificate->initFromCertContext(holder.GetHandle());
        m_certs.push_back(std::move(certificate));
        m_certNames.push_back(CodePage::GetTranslate(info.cn));
    }
    return 0;
}

int SMProvider::enumeratePkcs11(const _CERTIFICATE_INFO_& query)
{
    clearListing();
    if (!m_slot)
        return -2;
    CK_SLOT_INFO slotInfo{};
    if (m_slot->GetSlotInfo(slotInfo) != CKR_OK || (slotInfo.flags & CKF_TOKEN_PRESENT) == 0)
        return -2;
    // The new session is open before the old one is let go; certificates of
    // the old listing keep theirs until they are gone.
    p11::Session session;
    if (m_slot->OpenSession(session) != CKR_OK)
        return -2;
    m_session = session;
    std::vector<std::unique_ptr<p11::Cert>> objects;
    m_session.GetAllCert(objects);
    if (objects.empty())
        return -2;
    for (auto& object : objects) {
        _CERTIFICATE_INFO_ info;
        CMacCertificate::GetInfo(&info, object->toDer());
        if (!info.match(&query))
            continue;
        auto certificate = std::make_shared<SMCertificate>();
        certificate->initFromCertObj(std::move(object));
        m_certs.push_back(std::move(certificate));
        m_certNames.push_back(CodePage::GetTranslate(info.cn));
    }
    return 0;
}

int SMProvider::enumerateToken()
{
    m_certNames.clear();
    const ITokenCtx* token = selectedToken();
    std::int32_t count = token != nullptr ? token->GetTokenCertificateNumber() : 0;
    if (count > kMaxTokenCertificates)
        count = kMaxTokenCertificates;
    for (std::int32_t i = 0; i < count; ++i)
        m_certNames.emplace_back("unknown");
    return 0;
}

// ---------------------------------------------------------------- selection

std::shared_ptr<SMCertificate> SMProvider::listed(std::int32_t certid) const
{
    if (certid < 0 || static_cast<std::size_t>(certid) >= m_certs.size())
        return nullptr;
    return m_certs[static_cast<std::size_t>(certid)];
}

int SMProvider::selectCert(std::int32_t type, std::int32_t certid,
                           std::shared_ptr<SMCertificate>& certificate)
{
    if (isKeychain() && type != 0)
        return selectFromChooser(certificate);
    if (isKeychain() || isPkcs11()) {
        std::shared_ptr<SMCertificate> chosen = listed(certid);
        if (!chosen)
            return -2;
        certificate = std::move(chosen);
        return 0;
    }
    return selectFromToken(certid, certificate);
}

int SMProvider::selectFromChooser(std::shared_ptr<SMCertificate>& certificate)
{
    std::vector<std::shared_ptr<SMCertificate>> shown;
    std::vector<std::string> ders;
    for (const auto& cert : m_certs) {
        if (cert->getContext() == nullptr)
            continue;
        shown.push_back(cert);
        ders.push_back(cert->certificate().toDer());
    }
    if (shown.empty())
        return -2;
    const std::optional<std::size_t> choice = m_chooser ? m_chooser(ders) : ChooseCertificates(ders);
    if (!choice || *choice >= shown.size())
        return -2;
    certificate = shown[*choice];
    return 0;
}

int SMProvider::selectFromToken(std::int32_t certid, std::shared_ptr<SMCertificate>& certificate)
{
    ITokenCtx* token = selectedToken();
    if (token == nullptr || token->SetTokenActiveCertificate(certid) < 1)
        return -2;
    std::string der;
    if (token->GetTokenActiveCertificate(der) < 1)
        return -2;
    auto chosen = std::make_shared<SMCertificate>();
    chosen->initFromDer(der);
    chosen->InitializeToken(ShareTokenCtx(token));
    certificate = std::move(chosen);
    return 0;
}

int SMProvider::verifypin(const std::string& /*pin*/)
{
    if (!isPkcs11() || !m_session.valid())
        return -2;
    m_session.Logout();   // a session already logged in would refuse the login
    return m_session.Login(CKU_USER, fixedPin()) == CKR_OK ? 0 : -2;
}

// ---------------------------------------------------------------- management

int SMProvider::genCSR(const csr_t& csr, std::string& request)
{
    if (isKeychain()) {
        std::string der = m_keychain->createCSR(&csr);
        if (der.empty())
            return -2;
        request = std::move(der);
        return 0;
    }
    if (!isPkcs11())
        return -1;
    const auto hash = csr.hash >= 1 && csr.hash <= 7 ? static_cast<Csr::hash_algo_t>(csr.hash)
                                                     : Csr::HASH_SHA1;
    // The token's request carries no state or locality.
    const Csr builder(csr.CN, csr.O, csr.OU, csr.C, csr.E, std::string(), std::string(), hash);
    if (!m_slot || !m_session.valid())
        return -2;
    std::string der;
    // The layer answers 0 also when the request could not be built; an empty
    // request is no success.
    if (m_slot->GenCsr(builder, m_session, der, kTokenKeyBits) != CKR_OK || der.empty())
        return -2;
    request = std::move(der);
    return 0;
}

int SMProvider::importCert(const std::string& data, std::int32_t format)
{
    if (isKeychain())
        return importKeychain(data, format);
    if (isPkcs11())
        return importPkcs11(data);
    return -1;
}

int SMProvider::importKeychain(const std::string& data, std::int32_t format)
{
    switch (format) {
    case 0:
        return m_keychain->ImportCertificate(ICodec::decode(data)) ? 0 : -2;
    case 1:
        return m_keychain->ImportCertificate(ICodec::pemdecode(data)) ? 0 : -2;
    case 2: {
        const std::string der = ICodec::decode(data);
        // Bytes that are not signed data import nothing; that is no success.
        Openssl::CPKCS7 p7;
        if (der.empty() || !p7.FromDER(der) || p7.type() != NID_pkcs7_signed)
            return -2;
        bool all = true;
        for (const std::string& cert : PKCS7Cert(der))
            all = m_keychain->ImportCertificate(cert) && all;   // a refusal does not stop the rest
        return all ? 0 : -2;
    }
    default:
        return -2;
    }
}

int SMProvider::importPkcs11(const std::string& data)
{
    if (data.empty() || !m_slot || !m_session.valid())
        return -2;
    return m_slot->InstallCert(m_session, ICodec::decode(data)) == CKR_OK ? 0 : -2;
}

int SMProvider::exportCert(std::int32_t certid, std::string& text)
{
    if (!isPkcs11())
        return -1;
    const std::shared_ptr<SMCertificate> cert = listed(certid);
    if (!cert)
        return -2;
    _CERTIFICATE_INFO_A info;
    if (cert->getCertInfo(info) != 0)
        return -2;
    text = info.pub;
    return 0;
}

int SMProvider::deleteCert(std::int32_t certid)
{
    if (!isKeychain() || m_certs.empty())
        return -1;
    const std::shared_ptr<SMCertificate> cert = listed(certid);
    if (!cert)
        return -2;
    if (!cert->remove())
        return -2;
    const auto at = static_cast<std::ptrdiff_t>(certid);
    m_certs.erase(m_certs.begin() + at);
    m_certNames.erase(m_certNames.begin() + at);
    return 0;
}
