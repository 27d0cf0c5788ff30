#include "pkcs11/Csr.h"

#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

#include <openssl/obj_mac.h>

using tarnquill::crypto::Csr;
using tarnquill::crypto::CsrDelegate;

namespace {

// Signs with a key in memory; `forcedDigest` makes it ignore the digest asked for.
class SoftwareDelegate : public CsrDelegate {
public:
    explicit SoftwareDelegate(EVP_PKEY* key, int forcedDigest = 0) : m_key(key), m_forced(forcedDigest) {}

    ossl::EvpPkeyPtr GetEvpKey() override
    {
        EVP_PKEY_up_ref(m_key);
        return ossl::EvpPkeyPtr(m_key);
    }

    std::string Sign(const std::string& data, int digestNid) override
    {
        asked.push_back(digestNid);
        const EVP_MD* md = EVP_get_digestbynid(m_forced != 0 ? m_forced : digestNid);
        ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
        std::size_t len = 0;
        if (md == nullptr || EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, m_key) != 1
            || EVP_DigestSign(ctx.get(), nullptr, &len, reinterpret_cast<const unsigned char*>(data.data()),
                              data.size())
                != 1)
            return {};
        std::string sig(len, '\0');
        if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len,
                           reinterpret_cast<const unsigned char*>(data.data()), data.size())
            != 1)
            return {};
        sig.resize(len);
        return sig;
    }

    std::vector<int> asked;

private:
    EVP_PKEY* m_key;
    int m_forced;
};

ossl::X509ReqPtr parseRequest(const std::string& der)
{
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    return ossl::X509ReqPtr(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
}

// The request info exactly as encoded: first element of the outer SEQUENCE.
std::string requestInfo(const std::string& der)
{
    const auto* start = reinterpret_cast<const unsigned char*>(der.data());
    const unsigned char* p = start;
    long len = 0;
    int tag = 0;
    int cls = 0;
    ASN1_get_object(&p, &len, &tag, &cls, static_cast<long>(der.size()));
    const unsigned char* info = p;
    ASN1_get_object(&p, &len, &tag, &cls, static_cast<long>(der.size() - (p - start)));
    return std::string(reinterpret_cast<const char*>(info), static_cast<std::size_t>(p - info + len));
}

class CsrTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_key = new testsupport::KeyAndCert(testsupport::makeRsaCert(2048)); }
    static void TearDownTestSuite() { delete s_key; }
    static EVP_PKEY* key() { return s_key->key.get(); }
    static testsupport::KeyAndCert* s_key;
};
testsupport::KeyAndCert* CsrTest::s_key = nullptr;

TEST_F(CsrTest, RequestNamesAndIsSignedWithTheSelectedDigest)
{
    struct Case {
        Csr::hash_algo_t hash;
        int signatureNid;
        int digestNid;
    };
    const Case cases[] = {
        {Csr::HASH_MD2, NID_sha1WithRSAEncryption, NID_sha1},
        {Csr::HASH_MD5, NID_md5WithRSAEncryption, NID_md5},
        {Csr::HASH_SHA1, NID_sha1WithRSAEncryption, NID_sha1},
        {Csr::HASH_SHA1_RSA, NID_sha1WithRSAEncryption, NID_sha1},
        {Csr::HASH_SHA256, NID_sha256WithRSAEncryption, NID_sha256},
        {static_cast<Csr::hash_algo_t>(42), NID_sha1WithRSAEncryption, NID_sha1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hash);
        Csr csr("User", "Org", "Unit", "CN", "user@example.com", "State", "City", c.hash);
        SoftwareDelegate delegate(key());
        csr.SetDelegate(&delegate);
        const std::string der = csr.GenCsr();
        ASSERT_FALSE(der.empty());
        EXPECT_EQ(delegate.asked, std::vector<int>{c.digestNid});
        ossl::X509ReqPtr req = parseRequest(der);
        ASSERT_TRUE(req);
        EXPECT_EQ(X509_REQ_get_signature_nid(req.get()), c.signatureNid);
        EXPECT_EQ(X509_REQ_verify(req.get(), key()), 1);
        EXPECT_EQ(X509_REQ_get_version(req.get()), 0);
    }
}

TEST_F(CsrTest, SubjectKeepsFieldOrderAndSkipsEmptyFields)
{
    Csr csr("用户", "Org", "", "CN", "user@example.com", "State", "City", Csr::HASH_SHA1);
    SoftwareDelegate delegate(key());
    csr.SetDelegate(&delegate);
    ossl::X509ReqPtr req = parseRequest(csr.GenCsr());
    ASSERT_TRUE(req);
    const X509_NAME* name = X509_REQ_get_subject_name(req.get());
    const int expected[] = {NID_commonName, NID_countryName, NID_organizationName, NID_pkcs9_emailAddress,
                            NID_stateOrProvinceName, NID_localityName};
    ASSERT_EQ(X509_NAME_entry_count(name), static_cast<int>(std::size(expected)));
    for (int i = 0; i < X509_NAME_entry_count(name); ++i)
        EXPECT_EQ(OBJ_obj2nid(X509_NAME_ENTRY_get_object(X509_NAME_get_entry(name, i))), expected[i]) << i;
    const ASN1_STRING* cn = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, 0));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(cn)), ASN1_STRING_length(cn)),
              "用户");
}

TEST_F(CsrTest, RequestCarriesNoAttributesElement)
{
    Csr csr("User", "", "", "", "", "", "", Csr::HASH_SHA1);
    SoftwareDelegate delegate(key());
    csr.SetDelegate(&delegate);
    const std::string der = csr.GenCsr();
    ASSERT_FALSE(der.empty());
    // The info ends with the public key: no [0] attributes after it.
    const std::string spki = ossl::toDer(key(), i2d_PUBKEY);
    EXPECT_TRUE(requestInfo(der).ends_with(spki));
}

TEST_F(CsrTest, NoRequestWhenTheSignatureIsMissingOrDoesNotVerify)
{
    Csr csr("User", "", "", "", "", "", "", Csr::HASH_SHA256);
    EXPECT_TRUE(csr.GenCsr().empty()) << "no delegate";

    // A signer that uses another digest than the request names.
    SoftwareDelegate wrongDigest(key(), NID_sha1);
    csr.SetDelegate(&wrongDigest);
    EXPECT_TRUE(csr.GenCsr().empty());

    // A signer whose key is not the one in the request.
    testsupport::KeyAndCert other = testsupport::makeRsaCert(1024);
    struct OtherSigner : SoftwareDelegate {
        OtherSigner(EVP_PKEY* shown, EVP_PKEY* used) : SoftwareDelegate(used), m_shown(shown) {}
        ossl::EvpPkeyPtr GetEvpKey() override
        {
            EVP_PKEY_up_ref(m_shown);
            return ossl::EvpPkeyPtr(m_shown);
        }
        EVP_PKEY* m_shown;
    } mismatched(key(), other.key.get());
    csr.SetDelegate(&mismatched);
    EXPECT_TRUE(csr.GenCsr().empty());

    Csr badCountry("User", "", "", "Country", "", "", "", Csr::HASH_SHA1);
    SoftwareDelegate good(key());
    badCountry.SetDelegate(&good);
    EXPECT_TRUE(badCountry.GenCsr().empty()) << "a field that cannot be written is not dropped silently";
}

} // namespace
