#include "core/CertInfo.h"

#include "ossl/ptr.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/x509.h>

#include <functional>

namespace {

using testsupport::KeyAndCert;
using testsupport::Subject;

// ---- matching ---------------------------------------------------------------

_CERTIFICATE_INFO_ sampleRecord()
{
    _CERTIFICATE_INFO_ r;
    r.subject = "CN=Zhang San,OU=Retail,O=Example Bank,L=Haidian,ST=Beijing,C=CN";
    r.sn = "0A1B";
    r.cn = "Zhang San";
    r.c = "CN";
    r.e = "zs@example.com";
    r.o = "Example Bank";
    r.ou = "Retail";
    r.st = "Beijing";
    r.l = "Haidian";
    r.pub = "MIIB";
    r.der = "\x30\x82";
    r.hasPrivateKey = true;
    return r;
}

struct MatchCase {
    const char* name;
    std::function<void(_CERTIFICATE_INFO_&)> query;
    bool matches;
};

TEST(CertInfoMatch, QueryTable)
{
    const MatchCase cases[] = {
        {"empty query", [](auto&) {}, true},
        {"cn exact", [](auto& q) { q.cn = "Zhang San"; }, true},
        {"cn lower case", [](auto& q) { q.cn = "zhang san"; }, true},
        {"cn upper case", [](auto& q) { q.cn = "ZHANG SAN"; }, true},
        {"cn first word only", [](auto& q) { q.cn = "Zhang"; }, false},
        {"cn trailing space", [](auto& q) { q.cn = "Zhang San "; }, false},
        {"cn wildcard is literal", [](auto& q) { q.cn = "Zhang*"; }, false},
        {"sn lower-case hex", [](auto& q) { q.sn = "0a1b"; }, true},
        {"sn without leading zero", [](auto& q) { q.sn = "a1b"; }, false},
        {"c", [](auto& q) { q.c = "cn"; }, true},
        {"e mixed case", [](auto& q) { q.e = "ZS@Example.COM"; }, true},
        {"o differs", [](auto& q) { q.o = "Other Bank"; }, false},
        {"ou", [](auto& q) { q.ou = "retail"; }, true},
        {"st", [](auto& q) { q.st = "BEIJING"; }, true},
        {"st differs", [](auto& q) { q.st = "Shanghai"; }, false},
        {"l", [](auto& q) { q.l = "haidian"; }, true},
        {"subject whole", [](auto& q) { q.subject = "cn=zhang san,ou=retail,o=example bank,l=haidian,st=beijing,c=cn"; }, true},
        {"subject part", [](auto& q) { q.subject = "CN=Zhang San"; }, false},
        {"every field agrees", [](auto& q) { q = sampleRecord(); q.pub.clear(); }, true},
        {"one field of many differs", [](auto& q) { q = sampleRecord(); q.l = "Chaoyang"; }, false},
        {"key flag, der and pub take no part",
         [](auto& q) { q.hasPrivateKey = false; q.der = "x"; q.pub = "other"; }, true},
    };
    const _CERTIFICATE_INFO_ record = sampleRecord();
    for (const auto& c : cases) {
        _CERTIFICATE_INFO_ query;
        c.query(query);
        EXPECT_EQ(record.match(&query), c.matches) << c.name;
    }
    EXPECT_TRUE(record.match(nullptr));
}

TEST(CertInfoMatch, MissingFieldExcludesWhenQueried)
{
    _CERTIFICATE_INFO_ record = sampleRecord();
    record.ou.clear();
    _CERTIFICATE_INFO_ query;
    query.ou = "Retail";
    EXPECT_FALSE(record.match(&query));
    query.ou.clear();
    query.cn = "zhang san";
    EXPECT_TRUE(record.match(&query));
}

TEST(CertInfoMatch, NonAsciiComparesByteForByte)
{
    _CERTIFICATE_INFO_ record;
    record.cn = "\xE5\xBC\xA0\xE4\xB8\x89";   // UTF-8
    _CERTIFICATE_INFO_ query;
    query.cn = record.cn;
    EXPECT_TRUE(record.match(&query));
    query.cn = "\xD5\xC5\xC8\xFD";             // the same name in GB2312
    EXPECT_FALSE(record.match(&query));

    record.cn = "\xC3\x89";                    // capital E acute, UTF-8
    query.cn = "\xC3\xA9";                     // small e acute
    EXPECT_FALSE(record.match(&query));
}

TEST(CertInfoMatch, CaseFoldingTouchesAsciiLettersOnly)
{
    struct Case { std::string a, b; bool equal; };
    const Case cases[] = {
        {"", "", true},
        {"abc", "ABC", true},
        {"abc", "abcd", false},
        {std::string("a\0B", 3), std::string("A\0b", 3), true},
        {std::string("a\0b", 3), std::string("a\0c", 3), false},
        {"[", "{", false},      // differ only in bit 0x20, but are not letters
        {"@", "`", false},
        {"\xC9", "\xE9", false},  // Latin-1 capital and small E acute
    };
    for (const auto& c : cases)
        EXPECT_EQ(caseinsensecompare(c.a, c.b), c.equal) << c.a << " / " << c.b;
}

// ---- DER reader ---------------------------------------------------------------

class DerReader : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_base = new KeyAndCert(testsupport::makeRsaCert(2048, Subject{})); }
    static void TearDownTestSuite()
    {
        delete s_base;
        s_base = nullptr;
    }

    // A copy of the shared certificate with a new subject and serial, signed
    // again so that its encoding is rebuilt.
    static std::string derWith(const std::function<void(X509_NAME*)>& name,
                               const char* serialHex = "01")
    {
        ossl::X509Ptr cert(X509_dup(s_base->cert.get()));
        ossl::X509NamePtr subject(X509_NAME_new());
        name(subject.get());
        X509_set_subject_name(cert.get(), subject.get());
        BIGNUM* raw = nullptr;
        EXPECT_GT(BN_hex2bn(&raw, serialHex), 0);
        ossl::BignumPtr bn(raw);
        ossl::Asn1IntegerPtr serial(BN_to_ASN1_INTEGER(bn.get(), nullptr));
        X509_set_serialNumber(cert.get(), serial.get());
        EXPECT_GT(X509_sign(cert.get(), s_base->key.get(), EVP_sha256()), 0);
        return ossl::toDer(cert.get(), i2d_X509);
    }

    static void add(X509_NAME* name, int nid, int type, const std::string& bytes)
    {
        ASSERT_EQ(X509_NAME_add_entry_by_NID(name, nid, type,
                                             reinterpret_cast<const unsigned char*>(bytes.data()),
                                             static_cast<int>(bytes.size()), -1, 0),
                  1);
    }

    static KeyAndCert* s_base;
};

KeyAndCert* DerReader::s_base = nullptr;

TEST_F(DerReader, ReadsEverySubjectFieldAndSerial)
{
    Subject s;
    s.cn = "Zhang San";
    s.o = "Example Bank";
    s.ou = "Retail";
    s.c = "CN";
    s.st = "Beijing";
    s.l = "Haidian";
    s.email = "zs@example.com";
    const KeyAndCert kc = testsupport::makeRsaCert(2048, s, 0x0A1B);

    _CERTIFICATE_INFO_ info;
    EXPECT_EQ(ReadCertInfoFromDer(&info, kc.certDer()), 1);
    EXPECT_EQ(info.sn, "0A1B");
    EXPECT_EQ(info.cn, "Zhang San");
    EXPECT_EQ(info.c, "CN");
    EXPECT_EQ(info.e, "zs@example.com");
    EXPECT_EQ(info.o, "Example Bank");
    EXPECT_EQ(info.ou, "Retail");
    EXPECT_EQ(info.st, "Beijing");
    EXPECT_EQ(info.l, "Haidian");
    EXPECT_EQ(info.subject,
              "emailAddress=zs@example.com,CN=Zhang San,OU=Retail,O=Example Bank,"
              "L=Haidian,ST=Beijing,C=CN");
    EXPECT_FALSE(info.hasPrivateKey);
    EXPECT_TRUE(info.der.empty());
    EXPECT_TRUE(info.pub.empty());

    // What the reader fills is what a page's filter can find.
    _CERTIFICATE_INFO_ query;
    query.sn = "0a1b";
    query.st = "beijing";
    query.l = "HAIDIAN";
    query.subject = info.subject;
    EXPECT_TRUE(info.match(&query));
    query.l = "Chaoyang";
    EXPECT_FALSE(info.match(&query));
}

TEST_F(DerReader, SerialIsUppercaseHexWithoutLeadingZeroBytes)
{
    const struct { const char* serial; const char* sn; } cases[] = {
        {"0", "0"},
        {"0A1B", "0A1B"},
        {"A1B", "0A1B"},
        {"80", "80"},         // DER needs a leading zero byte here; the text does not
        {"0100", "0100"},
        {"-0A1B", "-0A1B"},
        {"123456789abcdef0123456789abcdef012345678", "123456789ABCDEF0123456789ABCDEF012345678"},
    };
    for (const auto& c : cases) {
        const std::string der = derWith([](X509_NAME* n) { add(n, NID_commonName, MBSTRING_UTF8, "x"); },
                                        c.serial);
        _CERTIFICATE_INFO_ info;
        EXPECT_EQ(ReadCertInfoFromDer(&info, der), 1);
        EXPECT_EQ(info.sn, c.sn) << c.serial;
    }
}

TEST_F(DerReader, MissingAttributesLeaveFieldsAsTheyWere)
{
    const std::string der = derWith([](X509_NAME* n) { add(n, NID_commonName, MBSTRING_UTF8, "Only CN"); });
    _CERTIFICATE_INFO_ info;
    info.c = info.e = info.o = info.ou = info.st = info.l = "kept";
    info.cn = "replaced";
    ReadCertInfoFromDer(&info, der);
    EXPECT_EQ(info.cn, "Only CN");
    EXPECT_EQ(info.subject, "CN=Only CN");
    for (const std::string* f : {&info.c, &info.e, &info.o, &info.ou, &info.st, &info.l})
        EXPECT_EQ(*f, "kept");
}

TEST_F(DerReader, AttributesAreReadWholeAsRawBytes)
{
    std::string longOu(5000, 'u');
    longOu[2500] = '\0';   // a zero byte must not cut the value short
    const std::string bmpCn("\x5F\x20\x4E\x09", 4);   // two CJK characters, UTF-16BE
    const std::string der = derWith([&](X509_NAME* n) {
        add(n, NID_commonName, V_ASN1_BMPSTRING, bmpCn);
        add(n, NID_organizationalUnitName, V_ASN1_UTF8STRING, longOu);
        add(n, NID_organizationalUnitName, V_ASN1_UTF8STRING, "Second");
        add(n, NID_stateOrProvinceName, V_ASN1_PRINTABLESTRING, "Beijing");
    });

    _CERTIFICATE_INFO_ info;
    ReadCertInfoFromDer(&info, der);
    EXPECT_EQ(info.cn, bmpCn);
    EXPECT_EQ(info.ou, longOu);   // the first OU, whole
    EXPECT_EQ(info.st, "Beijing");
    // The subject text is UTF-8 whatever the attribute's string type.
    EXPECT_EQ(info.subject.rfind("ST=Beijing,OU=Second,OU=", 0), 0u) << info.subject;
    EXPECT_NE(info.subject.find(",CN=\xE5\xBC\xA0\xE4\xB8\x89"), std::string::npos) << info.subject;
}

TEST_F(DerReader, CommonNameCanBeLeftToTheCaller)
{
    const std::string der = derWith([](X509_NAME* n) {
        add(n, NID_commonName, MBSTRING_UTF8, "From Subject");
        add(n, NID_organizationName, MBSTRING_UTF8, "Bank");
    });
    _CERTIFICATE_INFO_ info;
    info.cn = "From Keychain";
    EXPECT_EQ(ReadCertInfoFromDer(&info, der, false), 1);
    EXPECT_EQ(info.cn, "From Keychain");
    EXPECT_EQ(info.o, "Bank");
    EXPECT_EQ(info.sn, "01");
}

TEST_F(DerReader, BytesThatDoNotParseFillNothing)
{
    const std::string good = s_base->certDer();
    const std::string inputs[] = {"", "not a certificate", good.substr(0, good.size() / 2),
                                  std::string("\x30\x00", 2)};
    for (const auto& der : inputs) {
        _CERTIFICATE_INFO_ info;
        info.cn = "kept";
        EXPECT_EQ(ReadCertInfoFromDer(&info, der), 1);
        EXPECT_EQ(info.cn, "kept");
        EXPECT_TRUE(info.sn.empty());
        EXPECT_TRUE(info.subject.empty());
    }
    EXPECT_EQ(ReadCertInfoFromDer(nullptr, good), 0);
}

} // namespace
