#include "core/CertInfo.h"

#include "ossl/ptr.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <climits>
#include <vector>

namespace {

char asciiLower(char ch)
{
    return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
}

// Ask for the attribute's length, then read it whole: no attribute is too
// long, and embedded zero bytes are kept.
void readAttribute(const X509_NAME* name, int nid, std::string& field)
{
    const int len = X509_NAME_get_text_by_NID(name, nid, nullptr, 0);
    if (len <= 0 || len == INT_MAX)
        return;
    std::vector<char> buf(static_cast<std::size_t>(len) + 1);   // room for the terminator it writes
    const int got = X509_NAME_get_text_by_NID(name, nid, buf.data(), len + 1);
    if (got != len)
        return;
    field.assign(buf.data(), static_cast<std::size_t>(len));
}

std::string rfc2253Text(const X509_NAME* name)
{
    ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio)
        return {};
    if (X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return {};
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    if (len <= 0 || data == nullptr)
        return {};
    return std::string(data, static_cast<std::size_t>(len));
}

} // namespace

bool caseinsensecompare(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}

bool _CERTIFICATE_INFO_::match(const _CERTIFICATE_INFO_* query) const
{
    if (query == nullptr)
        return true;
    const std::string _CERTIFICATE_INFO_::* const fields[] = {
        &_CERTIFICATE_INFO_::subject, &_CERTIFICATE_INFO_::sn, &_CERTIFICATE_INFO_::cn,
        &_CERTIFICATE_INFO_::c,       &_CERTIFICATE_INFO_::e,  &_CERTIFICATE_INFO_::o,
        &_CERTIFICATE_INFO_::ou,      &_CERTIFICATE_INFO_::st, &_CERTIFICATE_INFO_::l,
    };
    for (const auto field : fields) {
        const std::string& wanted = query->*field;
        if (!wanted.empty() && !caseinsensecompare(this->*field, wanted))
            return false;
    }
    return true;
}

void ReadSerialNumber(_CERTIFICATE_INFO_* info, const X509* cert)
{
    if (info == nullptr || cert == nullptr)
        return;
    ossl::BignumPtr bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr));
    if (!bn)
        return;
    char* hex = BN_bn2hex(bn.get());
    if (hex == nullptr)
        return;
    info->sn = hex;
    OPENSSL_free(hex);
}

void ReadSubjectFields(_CERTIFICATE_INFO_* info, const X509* cert, bool withCommonName)
{
    if (info == nullptr || cert == nullptr)
        return;
    const X509_NAME* name = X509_get_subject_name(cert);
    if (name == nullptr)
        return;
    if (withCommonName)
        readAttribute(name, NID_commonName, info->cn);
    readAttribute(name, NID_countryName, info->c);
    readAttribute(name, NID_pkcs9_emailAddress, info->e);
    readAttribute(name, NID_organizationName, info->o);
    readAttribute(name, NID_organizationalUnitName, info->ou);
    readAttribute(name, NID_stateOrProvinceName, info->st);
    readAttribute(name, NID_localityName, info->l);
    std::string text = rfc2253Text(name);
    if (!text.empty())
        info->subject = std::move(text);
}

int ReadCertInfoFromDer(_CERTIFICATE_INFO_* info, const std::string& der, bool withCommonName)
{
    if (info == nullptr)
        return 0;
    if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX))
        return 1;
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!cert)
        return 1;
    ReadSerialNumber(info, cert.get());
    ReadSubjectFields(info, cert.get(), withCommonName);
    return 1;
}
