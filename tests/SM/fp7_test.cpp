#include "SM/fp7.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using testsupport::KeyAndCert;

// "06 0A 2A" -> bytes
std::string hex(const std::string& text)
{
    std::istringstream in(text);
    std::string out;
    unsigned int byte;
    while (in >> std::hex >> byte)
        out.push_back(static_cast<char>(byte));
    return out;
}

const std::string kSignedType = hex("06 0A 2A 81 1C CF 55 06 01 04 02 02");
const std::string kDataContentInfo = hex("30 0C 06 0A 2A 81 1C CF 55 06 01 04 02 01");
const std::string kSm3Alg = hex("30 0C 06 08 2A 81 1C CF 55 01 83 11 05 00");
const std::string kSm2SigAlg = hex("30 0D 06 09 2A 81 1C CF 55 01 82 2D 01 05 00");

struct Tlv {
    unsigned char tag = 0;
    std::string header;
    std::string value;
    std::string whole() const { return header + value; }
};

// The top-level DER items of `der`; an empty list when it does not split cleanly.
std::vector<Tlv> items(const std::string& der)
{
    std::vector<Tlv> out;
    std::size_t pos = 0;
    while (pos < der.size()) {
        if (der.size() - pos < 2)
            return {};
        Tlv t;
        t.tag = static_cast<unsigned char>(der[pos]);
        std::size_t len = static_cast<unsigned char>(der[pos + 1]);
        std::size_t head = 2;
        if (len & 0x80) {
            const std::size_t n = len & 0x7F;
            if (n == 0 || n > 3 || der.size() - pos < 2 + n)
                return {};
            len = 0;
            for (std::size_t i = 0; i < n; ++i)
                len = len << 8 | static_cast<unsigned char>(der[pos + 2 + i]);
            head += n;
        }
        if (der.size() - pos - head < len)
            return {};
        t.header = der.substr(pos, head);
        t.value = der.substr(pos + head, len);
        out.push_back(t);
        pos += head + len;
    }
    return out;
}

std::string sm2Sign(EVP_PKEY* key, const std::string& message)
{
    ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    EXPECT_EQ(EVP_DigestSignInit(ctx.get(), &pctx, EVP_sm3(), nullptr, key), 1);
    EXPECT_GT(EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16), 0);
    std::size_t len = 0;
    const auto* msg = reinterpret_cast<const unsigned char*>(message.data());
    EXPECT_EQ(EVP_DigestSign(ctx.get(), nullptr, &len, msg, message.size()), 1);
    std::string sig(len, '\0');
    EXPECT_EQ(EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len, msg,
                             message.size()), 1);
    sig.resize(len);
    return sig;
}

std::string flipBit(std::string bytes, std::size_t at)
{
    bytes.at(at) = static_cast<char>(bytes.at(at) ^ 0x01);
    return bytes;
}

class Sm2P7 : public ::testing::Test {
protected:
    void SetUp() override
    {
        initsm2internalnid();
        m_signer = testsupport::makeSm2Cert({}, 200);
        m_certDer = m_signer.certDer();
    }
    KeyAndCert m_signer;
    std::string m_certDer;
};

TEST_F(Sm2P7, AttachedMessageLayoutCarriesSignatureUnchanged)
{
    const std::string raw(64, '\x5A');
    const std::string der = EC_SM2_SIG_raw2der(raw);
    for (const std::string& sig : {raw, der, std::string("xyz")}) {
        SCOPED_TRACE(sig.size());
        const std::string msg = MakeSM2P7Signed("hello", m_certDer, sig);
        const auto top = items(msg);
        ASSERT_EQ(top.size(), 1u);
        EXPECT_EQ(top[0].tag, 0x30);

        const auto ci = items(top[0].value);
        ASSERT_EQ(ci.size(), 2u);
        EXPECT_EQ(ci[0].whole(), kSignedType);
        ASSERT_EQ(ci[1].tag, 0xA0);

        const auto sd = items(ci[1].value);
        ASSERT_EQ(sd.size(), 1u);
        const auto f = items(sd[0].value);
        ASSERT_EQ(f.size(), 5u); // version, md_algs, contents, cert, signer_info: no crl
        EXPECT_EQ(f[0].whole(), hex("02 01 01"));
        EXPECT_EQ(f[1].whole(), hex("31 0E") + kSm3Alg);
        EXPECT_EQ(f[2].whole(), hex("30 15 06 0A 2A 81 1C CF 55 06 01 04 02 01 A0 07 04 05") + "hello");
        EXPECT_EQ(f[3].tag, 0xA0);
        EXPECT_EQ(f[3].value, m_certDer);
        ASSERT_EQ(f[4].tag, 0x31);

        const auto signers = items(f[4].value);
        ASSERT_EQ(signers.size(), 1u);
        const auto s = items(signers[0].value);
        ASSERT_EQ(s.size(), 5u); // no auth_attr, no unauth_attr
        EXPECT_EQ(s[0].whole(), hex("02 01 01"));
        const auto ias = items(s[1].value);
        ASSERT_EQ(ias.size(), 2u);
        EXPECT_EQ(ias[0].whole(), ossl::toDer(X509_get_issuer_name(m_signer.cert.get()), i2d_X509_NAME));
        EXPECT_EQ(ias[1].whole(), hex("02 02 00 C8"));
        EXPECT_EQ(s[2].whole(), kSm3Alg);
        EXPECT_EQ(s[3].whole(), kSm2SigAlg);
        EXPECT_EQ(s[4].tag, 0x04);
        EXPECT_EQ(s[4].value, sig);
    }
}

TEST_F(Sm2P7, EmptyContentGivesDetachedDataType)
{
    const auto top = items(MakeSM2P7Signed("", m_certDer, std::string(64, '\x01')));
    ASSERT_EQ(top.size(), 1u);
    const auto ci = items(top[0].value);
    ASSERT_EQ(ci.size(), 2u);
    const auto f = items(items(ci[1].value).at(0).value);
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[2].whole(), kDataContentInfo);
}

TEST_F(Sm2P7, UnusableInputGivesEmptyResult)
{
    const std::string sig(64, '\x01');
    for (const std::string& cert : {std::string(), std::string("not a certificate"),
                                    m_certDer.substr(0, m_certDer.size() - 1), m_certDer + '\0'}) {
        SCOPED_TRACE(cert.size());
        EXPECT_EQ(MakeSM2P7Signed("hello", cert, sig), "");
        EXPECT_EQ(MakeSM2P7Signed("", cert, sig), "");
    }
    EXPECT_EQ(MakeSM2P7Signed("hello", m_certDer, sig, NID_sha256), "");
    EXPECT_NE(MakeSM2P7Signed("hello", m_certDer, sig, 921), "");
}

TEST(EcSm2Sig, RawToDerUsesMinimalIntegers)
{
    const std::string r80 = hex("80") + std::string(31, '\x11');
    const std::string r7f = hex("7F") + std::string(31, '\x11');
    const std::string small = std::string(31, '\0') + hex("05");
    const std::string zero(32, '\0');
    const std::string ones(32, '\xFF');
    struct Case {
        std::string raw;
        std::string der;
    } cases[] = {
        {r80 + r7f, hex("30 45 02 21 00") + r80 + hex("02 20") + r7f},
        {r7f + r80, hex("30 45 02 20") + r7f + hex("02 21 00") + r80},
        {small + small, hex("30 06 02 01 05 02 01 05")},
        {zero + zero, hex("30 06 02 01 00 02 01 00")},
        {ones + ones, hex("30 46 02 21 00") + ones + hex("02 21 00") + ones},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.der.size());
        EXPECT_EQ(EC_SM2_SIG_raw2der(c.raw), c.der);
        EXPECT_EQ(EC_SM2_SIG_der2raw(c.der), c.raw);
    }
    for (std::size_t size : {0u, 63u, 65u})
        EXPECT_EQ(EC_SM2_SIG_raw2der(std::string(size, '\x01')), "");
    const std::string valid = cases[0].der;
    EXPECT_EQ(EC_SM2_SIG_der2raw(valid + '\0'), "");
    EXPECT_EQ(EC_SM2_SIG_der2raw(valid.substr(0, valid.size() - 1)), "");
    EXPECT_EQ(EC_SM2_SIG_der2raw(hex("30 25 02 21 01") + ones + hex("02 00")), ""); // r > 32 bytes
}

TEST_F(Sm2P7, RealSignatureVerifiesInEveryForm)
{
    const std::string content = "transfer 100.00 to account 6222";
    const std::string der = sm2Sign(m_signer.key.get(), content);
    const std::string raw = EC_SM2_SIG_der2raw(der);
    ASSERT_EQ(raw.size(), 64u);

    for (const std::string& sig : {der, raw}) {
        SCOPED_TRACE(sig.size());
        std::string signer;
        EXPECT_EQ(SM2P7Verify(MakeSM2P7Signed(content, m_certDer, sig), "", &signer), 1);
        EXPECT_EQ(signer, m_certDer);
        EXPECT_EQ(SM2P7Verify(MakeSM2P7Signed(content, m_certDer, sig), content, nullptr), 1);
        EXPECT_EQ(SM2P7Verify(MakeSM2P7Signed("", m_certDer, sig), content, nullptr), 1);
    }
}

TEST_F(Sm2P7, AnyChangedBitFails)
{
    const std::string content = "transfer 100.00 to account 6222";
    const std::string sig = sm2Sign(m_signer.key.get(), content);
    const std::string attached = MakeSM2P7Signed(content, m_certDer, sig);
    const std::string detached = MakeSM2P7Signed("", m_certDer, sig);
    const std::size_t sigAt = attached.rfind(sig);
    const std::size_t contentAt = attached.find(content);
    ASSERT_NE(sigAt, std::string::npos);
    ASSERT_NE(contentAt, std::string::npos);

    EXPECT_EQ(SM2P7Verify(flipBit(attached, sigAt + sig.size() - 1), "", nullptr), 0);
    EXPECT_EQ(SM2P7Verify(flipBit(attached, contentAt + 3), "", nullptr), 0);
    EXPECT_EQ(SM2P7Verify(detached, flipBit(content, 3), nullptr), 0);
    EXPECT_EQ(SM2P7Verify(detached, "", nullptr), 0);
    EXPECT_EQ(SM2P7Verify(attached, flipBit(content, 0), nullptr), 0);
    const std::string raw = EC_SM2_SIG_der2raw(sig);
    EXPECT_EQ(SM2P7Verify(MakeSM2P7Signed(content, m_certDer, flipBit(raw, 40)), "", nullptr), 0);
}

TEST_F(Sm2P7, SignerMustBeTheCarriedSm2Certificate)
{
    const std::string content = "abc";
    const std::string sig = sm2Sign(m_signer.key.get(), content);
    const KeyAndCert otherSm2 = testsupport::makeSm2Cert({}, 200);
    const KeyAndCert rsa = testsupport::makeRsaCert(1024, {}, 200);
    std::string signer = "unchanged";
    EXPECT_EQ(SM2P7Verify(MakeSM2P7Signed(content, otherSm2.certDer(), sig), "", &signer), 0);
    EXPECT_EQ(SM2P7Verify(MakeSM2P7Signed(content, rsa.certDer(), sig), "", &signer), 0);
    EXPECT_EQ(signer, "unchanged");

    // A signer whose serial number matches no carried certificate; the
    // signer's serial is the last one in the message.
    const std::string msg = MakeSM2P7Signed(content, m_certDer, sig);
    ASSERT_EQ(SM2P7Verify(msg, "", nullptr), 1);
    std::string renumbered = msg;
    const std::string serial = hex("02 02 00 C8");
    const std::size_t at = renumbered.rfind(serial);
    ASSERT_NE(at, std::string::npos);
    renumbered.replace(at, serial.size(), hex("02 02 00 C9"));
    EXPECT_EQ(SM2P7Verify(renumbered, "", nullptr), 0);
}

TEST_F(Sm2P7, OtherInputIsNotThisForm)
{
    const KeyAndCert rsa = testsupport::makeRsaCert(1024);
    ossl::BioPtr data(BIO_new_mem_buf("abc", 3));
    ossl::Pkcs7Ptr rsaP7(PKCS7_sign(rsa.cert.get(), rsa.key.get(), nullptr, data.get(), PKCS7_BINARY));
    ASSERT_TRUE(rsaP7);
    const std::string valid = MakeSM2P7Signed("abc", m_certDer, sm2Sign(m_signer.key.get(), "abc"));
    ASSERT_EQ(SM2P7Verify(valid, "", nullptr), 1);
    EXPECT_TRUE(isSM2P7Signed(valid));

    ERR_clear_error();
    for (const std::string& input : {ossl::toDer(rsaP7.get(), i2d_PKCS7), std::string(), std::string("\x30\x03garbage"),
                                     valid + '\0', valid.substr(0, valid.size() - 1), m_certDer}) {
        SCOPED_TRACE(input.size());
        std::string signer = "unchanged";
        EXPECT_EQ(SM2P7Verify(input, "abc", &signer), -1);
        EXPECT_EQ(signer, "unchanged");
        EXPECT_FALSE(isSM2P7Signed(input));
        EXPECT_TRUE(SM2P7Certificates(input).empty());
    }
    EXPECT_EQ(ERR_peek_error(), 0UL);
}

TEST_F(Sm2P7, CertificatesAreListed)
{
    const std::vector<std::string> certs = SM2P7Certificates(MakeSM2P7Signed("", m_certDer, "sig"));
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_EQ(certs[0], m_certDer);
}

// Messages from other producers often carry signed attributes; then the
// signature covers them and their message digest binds the content.
TEST_F(Sm2P7, SignedAttributesBindTheContent)
{
    const std::string content = "attributes";
    const std::string base = MakeSM2P7Signed("", m_certDer, "placeholder");
    const auto* p = reinterpret_cast<const unsigned char*>(base.data());
    ossl::Sm2P7Ptr p7(d2i_SM2_P7(nullptr, &p, static_cast<long>(base.size())));
    ASSERT_TRUE(p7);
    SM2_SIGNER_INFO* si = sk_SM2_SIGNER_INFO_value(p7->d.sign->signer_info, 0);

    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    ASSERT_EQ(EVP_Digest(content.data(), content.size(), md, &mdLen, EVP_sm3(), nullptr), 1);
    ASSERT_TRUE(X509at_add1_attr_by_NID(&si->auth_attr, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                        reinterpret_cast<const unsigned char*>(SM2_OBJ_nid2obj(923)), -1));
    ASSERT_TRUE(X509at_add1_attr_by_NID(&si->auth_attr, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, md,
                                        static_cast<int>(mdLen)));
    unsigned char* attrs = nullptr;
    const int attrsLen = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attrs,
                                       ASN1_ITEM_rptr(PKCS7_ATTR_SIGN));
    ASSERT_GT(attrsLen, 0);
    const std::string sig = sm2Sign(m_signer.key.get(),
                                    std::string(reinterpret_cast<char*>(attrs), static_cast<std::size_t>(attrsLen)));
    OPENSSL_free(attrs);
    ASN1_OCTET_STRING_set(si->enc_digest, reinterpret_cast<const unsigned char*>(sig.data()),
                          static_cast<int>(sig.size()));
    const std::string msg = ossl::toDer(p7.get(), i2d_SM2_P7);

    EXPECT_EQ(SM2P7Verify(msg, content, nullptr), 1);
    EXPECT_EQ(SM2P7Verify(msg, flipBit(content, 0), nullptr), 0);
}

TEST(Sm2P7Operations, WrongMessageTypesAreRefused)
{
    ossl::Sm2P7Ptr data(SM2_P7_new());
    ASSERT_TRUE(data);
    EXPECT_EQ(OBJ_obj2nid(data->type), NID_undef);
    for (int id : {922, 925, 929, 0})
        EXPECT_EQ(SM2_P7_set_type(data.get(), id), 0);
    ASSERT_EQ(SM2_P7_set_type(data.get(), 923), 1);
    ASSERT_NE(data->d.data, nullptr);

    KeyAndCert kc = testsupport::makeSm2Cert();
    EXPECT_EQ(SM2_P7_ctrl(data.get(), SM2_P7_OP_SET_DETACHED_SIGNATURE, 1), 0);
    EXPECT_EQ(SM2_P7_add_certificate(data.get(), kc.cert.get()), 0);
    EXPECT_EQ(SM2_P7_set_content(data.get(), nullptr), 0);
    EXPECT_EQ(SM2_P7_content_new(data.get(), 923), 0);
    ossl::Sm2SignerInfoPtr si(SM2_SIGNER_INFO_new());
    EXPECT_EQ(SM2_P7_add_signer(data.get(), si.get()), 0);
    EXPECT_NE(data->d.data, nullptr);

    // Switching the type frees the old content (ASan would report a leak).
    ASSERT_EQ(SM2_P7_set_type(data.get(), 924), 1);
    EXPECT_EQ(ASN1_INTEGER_get(data->d.sign->version), 1);
    EXPECT_EQ(SM2_P7_ctrl(data.get(), 2, 1), 0);
}

TEST(Sm2P7Operations, SignersShareOneDigestAlgorithm)
{
    ossl::Sm2P7Ptr p7(SM2_P7_new());
    ASSERT_EQ(SM2_P7_set_type(p7.get(), 924), 1);
    for (int i = 0; i < 2; ++i) {
        ossl::Sm2SignerInfoPtr si(SM2_SIGNER_INFO_new());
        X509_ALGOR_set0(si->digest_alg, SM2_OBJ_nid2obj(921), V_ASN1_NULL, nullptr);
        ASSERT_EQ(SM2_P7_add_signer(p7.get(), si.get()), 1);
        si.release();
    }
    EXPECT_EQ(sk_X509_ALGOR_num(p7->d.sign->md_algs), 1);
    EXPECT_EQ(sk_SM2_SIGNER_INFO_num(p7->d.sign->signer_info), 2);

    KeyAndCert kc = testsupport::makeSm2Cert();
    ASSERT_EQ(SM2_P7_add_certificate(p7.get(), kc.cert.get()), 1);
    p7.reset(); // the message held its own reference
    EXPECT_FALSE(ossl::toDer(kc.cert.get(), i2d_X509).empty());
}

} // namespace
