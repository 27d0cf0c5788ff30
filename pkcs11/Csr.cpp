#include "pkcs11/Csr.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>

#include <utility>

namespace tarnquill::crypto {

namespace {

using AlgorPtr = std::unique_ptr<X509_ALGOR, ossl::Deleter<X509_ALGOR_free>>;

constexpr unsigned char kSequenceTag = 0x30;
constexpr unsigned char kBitStringTag = 0x03;
// The attributes element as OpenSSL writes it when there are none: [0] with no content.
constexpr char kEmptyAttributes[] = {'\xA0', '\x00'};

std::string derWrap(unsigned char tag, const std::string& content)
{
    std::string out(1, static_cast<char>(tag));
    const std::size_t length = content.size();
    if (length < 0x80) {
        out += static_cast<char>(length);
    } else {
        std::string digits;
        for (std::size_t n = length; n != 0; n >>= 8)
            digits.insert(digits.begin(), static_cast<char>(n & 0xFF));
        out += static_cast<char>(0x80 | digits.size());
        out += digits;
    }
    return out + content;
}

// The request info without its attributes element: the request carries none
// at all, not an empty set.
std::string withoutAttributes(const std::string& info)
{
    const auto* p = reinterpret_cast<const unsigned char*>(info.data());
    long length = 0;
    int tag = 0;
    int cls = 0;
    const int flags = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(info.size()));
    if ((flags & 0x80) != 0 || tag != V_ASN1_SEQUENCE)
        return {};
    const std::size_t header = static_cast<std::size_t>(p - reinterpret_cast<const unsigned char*>(info.data()));
    if (header + static_cast<std::size_t>(length) != info.size())
        return {};
    std::string content = info.substr(header);
    const std::string empty(kEmptyAttributes, sizeof kEmptyAttributes);
    if (content.size() < empty.size() || content.compare(content.size() - empty.size(), empty.size(), empty) != 0)
        return {};
    content.resize(content.size() - empty.size());
    return derWrap(kSequenceTag, content);
}

bool addEntry(X509_NAME* name, int nid, const std::string& text)
{
    if (text.empty())
        return true;
    return X509_NAME_add_entry_by_NID(name, nid, MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()), -1, 0)
        == 1;
}

} // namespace

Csr::Csr(std::string cn, std::string o, std::string ou, std::string c, std::string e, std::string st,
         std::string l, hash_algo_t hash)
    : m_cn(std::move(cn)), m_o(std::move(o)), m_ou(std::move(ou)), m_c(std::move(c)), m_e(std::move(e)),
      m_st(std::move(st)), m_l(std::move(l)), m_hash(hash)
{
}

int Csr::SignatureNid(hash_algo_t hash)
{
    switch (hash) {
    case HASH_MD5: return NID_md5WithRSAEncryption;
    case HASH_SHA256: return NID_sha256WithRSAEncryption;
    default: return NID_sha1WithRSAEncryption;
    }
}

int Csr::DigestNid(hash_algo_t hash)
{
    switch (hash) {
    case HASH_MD5: return NID_md5;
    case HASH_SHA256: return NID_sha256;
    default: return NID_sha1;
    }
}

std::string Csr::GenCsr() const
{
    ossl::X509ReqPtr req(X509_REQ_new());
    if (!req || X509_REQ_set_version(req.get(), 0) != 1)
        return {};

    ossl::EvpPkeyPtr key;
    if (m_delegate != nullptr)
        key = m_delegate->GetEvpKey();
    if (key && X509_REQ_set_pubkey(req.get(), key.get()) != 1)
        return {};

    // A field that cannot be written (a country that is not two letters, an
    // address that is not ASCII) fails the request rather than leaving it out.
    X509_NAME* name = X509_REQ_get_subject_name(req.get());
    if (!addEntry(name, NID_commonName, m_cn) || !addEntry(name, NID_countryName, m_c)
        || !addEntry(name, NID_organizationName, m_o) || !addEntry(name, NID_organizationalUnitName, m_ou)
        || !addEntry(name, NID_pkcs9_emailAddress, m_e) || !addEntry(name, NID_stateOrProvinceName, m_st)
        || !addEntry(name, NID_localityName, m_l))
        return {};

    std::string info = withoutAttributes(ossl::toDer(req.get(), i2d_re_X509_REQ_tbs));
    if (info.empty() || m_delegate == nullptr)
        return {};
    const std::string signature = m_delegate->Sign(info, DigestNid(m_hash));
    if (signature.empty()) {
        OPENSSL_cleanse(info.data(), info.size());
        return {};
    }

    AlgorPtr algorithm(X509_ALGOR_new());
    if (!algorithm
        || X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(SignatureNid(m_hash)), V_ASN1_NULL, nullptr) != 1) {
        OPENSSL_cleanse(info.data(), info.size());
        return {};
    }
    const std::string bits = derWrap(kBitStringTag, std::string(1, '\0') + signature);
    const std::string der = derWrap(kSequenceTag, info + ossl::toDer(algorithm.get(), i2d_X509_ALGOR) + bits);
    OPENSSL_cleanse(info.data(), info.size());

    // Hand out only a request that verifies with its own key.
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    ossl::X509ReqPtr signedReq(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
    if (!signedReq || p != reinterpret_cast<const unsigned char*>(der.data()) + der.size())
        return {};
    EVP_PKEY* publicKey = X509_REQ_get0_pubkey(signedReq.get());
    if (publicKey == nullptr || X509_REQ_verify(signedReq.get(), publicKey) != 1)
        return {};
    return der;
}

} // namespace tarnquill::crypto
