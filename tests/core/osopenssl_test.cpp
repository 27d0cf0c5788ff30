#include "core/OsOpenssl.h"

#include "SM/fp7.h"

#include "ossl/ptr.h"
#include "tests/support/fixtures.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

using namespace std::string_literals;
using testsupport::KeyAndCert;
using testsupport::TempDir;

constexpr char kSm2Id[] = "1234567812345678";

std::string flipBit(std::string s, std::size_t byte = 0)
{
    s.at(byte) = static_cast<char>(s.at(byte) ^ 0x01);
    return s;
}

std::string digest(const EVP_MD* md, const std::string& data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out, &len, md, nullptr);
    return std::string(reinterpret_cast<char*>(out), len);
}

// What a key store returns: a signature over the content hashed with `md`
// (RSA: PKCS #1 v1.5 over the DigestInfo; SM2: with the user ID `id`).
std::string signMessage(EVP_PKEY* key, const EVP_MD* md, const std::string& data,
                        const char* sm2Id = kSm2Id)
{
    ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    EXPECT_EQ(EVP_DigestSignInit(ctx.get(), &pctx, md, nullptr, key), 1);
    if (EVP_PKEY_is_a(key, "SM2")) {
        EXPECT_GT(EVP_PKEY_CTX_set1_id(pctx, sm2Id, std::strlen(sm2Id)), 0);
    }
    std::size_t len = 0;
    EXPECT_EQ(EVP_DigestSign(ctx.get(), nullptr, &len,
                             reinterpret_cast<const unsigned char*>(data.data()), data.size()), 1);
    std::string sig(len, '\0');
    EXPECT_EQ(EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len,
                             reinterpret_cast<const unsigned char*>(data.data()), data.size()), 1);
    sig.resize(len);
    return sig;
}

// DER SEQUENCE { r, s } -> 32-byte r followed by 32-byte s.
std::string sm2DerToRaw(const std::string& der)
{
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    ossl::EcdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
    EXPECT_TRUE(sig);
    std::string raw(64, '\0');
    auto* out = reinterpret_cast<unsigned char*>(raw.data());
    BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out, 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out + 32, 32);
    return raw;
}

std::string hex(const std::string& s)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

std::string unhex(const std::string& h)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

ossl::Pkcs7Ptr parsePkcs7(const std::string& der)
{
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    return ossl::Pkcs7Ptr(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
}

std::string asnString(const ASN1_STRING* s)
{
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                       static_cast<std::size_t>(ASN1_STRING_length(s)));
}

class OpensslHelpers : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        testsupport::Subject subject;
        subject.cn = "Signer";
        subject.o = "Bank";
        s_rsa = std::make_unique<KeyAndCert>(testsupport::makeRsaCert(2048, subject, 4242));
        s_sm2 = std::make_unique<KeyAndCert>(testsupport::makeSm2Cert({}, 77));
    }
    static void TearDownTestSuite()
    {
        s_rsa.reset();
        s_sm2.reset();
    }

    static std::unique_ptr<KeyAndCert> s_rsa;
    static std::unique_ptr<KeyAndCert> s_sm2;
};

std::unique_ptr<KeyAndCert> OpensslHelpers::s_rsa;
std::unique_ptr<KeyAndCert> OpensslHelpers::s_sm2;

// ---- MakePKCS7Signed / PKCS7Verify ----

struct SignCase {
    const char* name;
    int nid;
    const EVP_MD* (*md)();
    bool attached;
};

TEST_F(OpensslHelpers, SignedDataVerifiesWithOpensslCliAndPkcs7Verify)
{
    const SignCase cases[] = {
        {"sha1 attached", NID_sha1, EVP_sha1, true},
        {"sha1 detached", NID_sha1, EVP_sha1, false},
        {"sha256 attached", NID_sha256, EVP_sha256, true},
        {"sha256 detached", NID_sha256, EVP_sha256, false},
        {"sha512 detached", NID_sha512, EVP_sha512, false},
        {"md5 attached", NID_md5, EVP_md5, true},
        {"sha384 attached", NID_sha384, EVP_sha384, true},
    };
    const std::string content = "pay 100.00 to account 6222\0\xff\n"s;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string sig = signMessage(s_rsa->key.get(), c.md(), content);
        const std::string p7 = MakePKCS7Signed(c.attached ? content : "", s_rsa->certDer(), sig, c.nid);
        ASSERT_FALSE(p7.empty());

        // A certificate parsed once gives the same bytes; an empty one none.
        Openssl::CX509 parsed;
        ASSERT_TRUE(parsed.FromDER(s_rsa->certDer()));
        EXPECT_EQ(MakePKCS7Signed(c.attached ? content : "", parsed, sig, c.nid), p7);
        EXPECT_EQ(MakePKCS7Signed(content, Openssl::CX509(nullptr, true), sig, c.nid), "");

        EXPECT_TRUE(PKCS7Verify(p7, c.attached ? "ignored when attached" : content));
        if (!c.attached) {
            EXPECT_FALSE(PKCS7Verify(p7, content + "x"));
        }

        TempDir dir;
        testsupport::writeFile(dir.path() / "content.bin", content);
        const std::string cms = "openssl cms -verify -binary -noverify -inform DER -in " + dir.str()
            + "/p7.der -out " + dir.str() + "/out.bin" + (c.attached ? "" : " -content " + dir.str() + "/content.bin");

        testsupport::writeFile(dir.path() / "p7.der", p7);
        const auto good = testsupport::run(cms);
        EXPECT_EQ(good.status, 0) << good.output;
        EXPECT_EQ(testsupport::readFile(dir.path() / "out.bin"), content);

        const std::string badSig = flipBit(sig, sig.size() / 2);
        const std::string badP7 = MakePKCS7Signed(c.attached ? content : "", s_rsa->certDer(), badSig, c.nid);
        EXPECT_FALSE(PKCS7Verify(badP7, content));
        testsupport::writeFile(dir.path() / "p7.der", badP7);
        const auto bad = testsupport::run(cms);
        EXPECT_NE(bad.status, 0) << bad.output;
    }
}

TEST_F(OpensslHelpers, SignedDataHasTheExpectedFields)
{
    const std::string sig = signMessage(s_rsa->key.get(), EVP_sha256(), "abc");
    const std::string p7der = MakePKCS7Signed("abc", s_rsa->certDer(), sig, NID_sha256);
    const auto p7 = parsePkcs7(p7der);
    ASSERT_TRUE(p7);
    ASSERT_EQ(OBJ_obj2nid(p7->type), NID_pkcs7_signed);
    const PKCS7_SIGNED* sd = p7->d.sign;
    EXPECT_EQ(ASN1_INTEGER_get(sd->version), 1);
    ASSERT_EQ(sk_X509_ALGOR_num(sd->md_algs), 1);
    EXPECT_EQ(OBJ_obj2nid(sk_X509_ALGOR_value(sd->md_algs, 0)->algorithm), NID_sha256);
    ASSERT_EQ(sk_X509_num(sd->cert), 1);
    EXPECT_EQ(ossl::toDer(sk_X509_value(sd->cert, 0), i2d_X509), s_rsa->certDer());
    EXPECT_EQ(sd->crl, nullptr);
    ASSERT_EQ(sk_PKCS7_SIGNER_INFO_num(sd->signer_info), 1);

    const PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(sd->signer_info, 0);
    EXPECT_EQ(ASN1_INTEGER_get(si->version), 1);
    EXPECT_EQ(X509_NAME_cmp(si->issuer_and_serial->issuer, X509_get_issuer_name(s_rsa->cert.get())), 0);
    EXPECT_EQ(ASN1_INTEGER_get(si->issuer_and_serial->serial), 4242);
    EXPECT_EQ(OBJ_obj2nid(si->digest_alg->algorithm), NID_sha256);
    EXPECT_EQ(OBJ_obj2nid(si->digest_enc_alg->algorithm), NID_rsaEncryption);
    EXPECT_EQ(si->auth_attr, nullptr);
    EXPECT_EQ(si->unauth_attr, nullptr);
    EXPECT_EQ(asnString(si->enc_digest), sig);

    // Both digest algorithm identifiers carry an explicit NULL parameter,
    // and the signature algorithm is rsaEncryption with NULL.
    const std::string sha256Alg = unhex("300d06096086480165030402010500");
    const auto first = p7der.find(sha256Alg);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(p7der.find(sha256Alg, first + 1), std::string::npos);
    EXPECT_NE(p7der.find(unhex("300d06092a864886f70d0101010500")), std::string::npos);
    // Inner content: type data and [0] EXPLICIT OCTET STRING "abc".
    EXPECT_NE(p7der.find(unhex("301206092a864886f70d010701a0050403616263")), std::string::npos)
        << hex(p7der);

    Openssl::CPKCS7 parsed;
    ASSERT_TRUE(parsed.FromDER(p7der));
    EXPECT_EQ(parsed.type(), NID_pkcs7_signed);
    EXPECT_FALSE(parsed.detached());
    EXPECT_EQ(parsed.sign_content(), "abc");
}

TEST_F(OpensslHelpers, DetachedSignedDataNamesDataWithoutContent)
{
    const std::string sig = signMessage(s_rsa->key.get(), EVP_sha1(), "abc");
    const std::string p7der = MakePKCS7Signed("", s_rsa->certDer(), sig, NID_sha1);
    // contentInfo { data } and then directly the certificate set.
    EXPECT_NE(p7der.find(unhex("300b06092a864886f70d010701a0")), std::string::npos) << hex(p7der);

    Openssl::CPKCS7 parsed;
    ASSERT_TRUE(parsed.FromDER(p7der));
    EXPECT_TRUE(parsed.detached());
    EXPECT_EQ(parsed.sign_content(), "");
    EXPECT_TRUE(parsed.Verify(std::string_view("abc")));
    EXPECT_FALSE(parsed.Verify(std::string_view("abd")));
    EXPECT_FALSE(parsed.Verify());   // absent content counts as empty data
    EXPECT_TRUE(PKCS7Verify(p7der, "abc"));
}

// A key store may sign a DigestInfo that OpenSSL's own RSA signer cannot make.
TEST_F(OpensslHelpers, RsaWithSm3VerifiesThroughItsDigestInfo)
{
    const std::string content = "abc";
    const std::string digestInfo = unhex("3030300c06082a811ccf5501831105000420") + digest(EVP_sm3(), content);
    ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(s_rsa->key.get(), nullptr));
    ASSERT_GT(EVP_PKEY_sign_init(ctx.get()), 0);
    std::size_t len = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(digestInfo.data());
    ASSERT_GT(EVP_PKEY_sign(ctx.get(), nullptr, &len, in, digestInfo.size()), 0);
    std::string sig(len, '\0');
    ASSERT_GT(EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len, in, digestInfo.size()), 0);

    Openssl::CX509 cert;
    ASSERT_TRUE(cert.FromDER(s_rsa->certDer()));
    EXPECT_TRUE(cert.HashVerify(921, sig, content));
    EXPECT_TRUE(cert.HashVerify(NID_sm3, sig, content));
    EXPECT_FALSE(cert.HashVerify(921, flipBit(sig, 9), content));
    EXPECT_FALSE(cert.HashVerify(921, sig, "abd"));
    EXPECT_TRUE(PKCS7Verify(MakePKCS7Signed(content, s_rsa->certDer(), sig, 921), ""));
    EXPECT_FALSE(PKCS7Verify(MakePKCS7Signed("", s_rsa->certDer(), sig, 921), "abd"));
}

TEST_F(OpensslHelpers, SignatureAlgorithmIdAndMd4AreHandled)
{
    const std::string sig = signMessage(s_rsa->key.get(), EVP_sha1(), "abc");
    // sha1WithRSAEncryption as the digest algorithm means SHA-1.
    EXPECT_TRUE(PKCS7Verify(MakePKCS7Signed("abc", s_rsa->certDer(), sig, NID_sha1WithRSAEncryption), ""));
    // MD2 and MD4 are not offered by the default provider: a clean false.
    const std::string md4 = MakePKCS7Signed("abc", s_rsa->certDer(), sig, NID_md4);
    ASSERT_FALSE(md4.empty());
    EXPECT_FALSE(PKCS7Verify(md4, ""));
    EXPECT_FALSE(PKCS7Verify(MakePKCS7Signed("abc", s_rsa->certDer(), sig, NID_md2), ""));
}

TEST_F(OpensslHelpers, OnlyAVersionOneSignerIsChecked)
{
    const std::string sig = signMessage(s_rsa->key.get(), EVP_sha1(), "abc");
    const auto p7 = parsePkcs7(MakePKCS7Signed("abc", s_rsa->certDer(), sig, NID_sha1));
    ASSERT_TRUE(p7);
    ASSERT_TRUE(PKCS7Verify(ossl::toDer(p7.get(), i2d_PKCS7), ""));
    ASN1_INTEGER_set(sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 0)->version, 3);
    EXPECT_FALSE(PKCS7Verify(ossl::toDer(p7.get(), i2d_PKCS7), ""));
}

TEST_F(OpensslHelpers, BadInputsGiveEmptyOrFalse)
{
    const std::string sig = signMessage(s_rsa->key.get(), EVP_sha1(), "abc");
    EXPECT_EQ(MakePKCS7Signed("abc", "not a certificate", sig, NID_sha1), "");
    EXPECT_EQ(MakePKCS7Signed("abc", "", sig, NID_sha1), "");
    EXPECT_EQ(MakePKCS7Signed("abc", s_rsa->certDer(), sig, 99999), "");

    ERR_clear_error();
    EXPECT_FALSE(PKCS7Verify("\x30\x03\x02\x01", "abc"));
    EXPECT_FALSE(Openssl::CX509().FromDER("\x30\x03"));
    EXPECT_FALSE(Openssl::CX509(s_rsa->cert.get(), false).HashVerify(NID_md4, sig, "abc"));
    EXPECT_EQ(ERR_peek_error(), 0ul) << "failures leave the error queue as it was";

    EXPECT_FALSE(PKCS7Verify("", "abc"));
    EXPECT_FALSE(PKCS7Verify("\x30\x03\x02\x01\x01", "abc"));
    const std::string p7 = MakePKCS7Signed("abc", s_rsa->certDer(), sig, NID_sha1);
    EXPECT_FALSE(PKCS7Verify(p7.substr(0, p7.size() - 1), ""));

    // The signedData type with its content left out parses, but holds nothing.
    const std::string hollow = unhex("300b06092a864886f70d010702");
    Openssl::CPKCS7 parsed;
    ASSERT_TRUE(parsed.FromDER(hollow));
    EXPECT_EQ(parsed.type(), NID_pkcs7_signed);
    EXPECT_EQ(parsed.sign_content(), "");
    EXPECT_EQ(parsed.set_sign_content("abc"), 0);
    EXPECT_EQ(parsed.add_certificate(Openssl::CX509(s_rsa->cert.get(), false)), 0);
    EXPECT_FALSE(PKCS7Verify(hollow, "abc"));
    EXPECT_TRUE(PKCS7Cert(hollow).empty());

    // Signed data without certificates has no key to check with.
    Openssl::CPKCS7 bare;
    ASSERT_EQ(bare.set_type(NID_pkcs7_signed), 1);
    ASSERT_EQ(bare.set_sign_content("abc"), 1);
    EXPECT_FALSE(PKCS7Verify(bare.toDER(), ""));
}

// ---- PKCS7Cert ----

TEST_F(OpensslHelpers, CertificatesOfABundleComeOutInOrder)
{
    const KeyAndCert other = testsupport::makeRsaCert(1024, {}, 2);
    TempDir dir;
    testsupport::writeFile(dir.path() / "a.pem", s_rsa->certPem());
    testsupport::writeFile(dir.path() / "b.pem", other.certPem());
    const auto made = testsupport::run("openssl crl2pkcs7 -nocrl -certfile " + dir.str() + "/a.pem -certfile "
                                       + dir.str() + "/b.pem -outform DER -out " + dir.str() + "/bundle.p7b");
    ASSERT_EQ(made.status, 0) << made.output;
    const std::string bundle = testsupport::readFile(dir.path() / "bundle.p7b");

    const auto certs = PKCS7Cert(bundle);
    ASSERT_EQ(certs.size(), 2u);
    EXPECT_EQ(certs[0], s_rsa->certDer());
    EXPECT_EQ(certs[1], other.certDer());

    const auto p7 = parsePkcs7(bundle);
    ASSERT_TRUE(p7);
    ASN1_INTEGER_set(p7->d.sign->version, 3);
    EXPECT_TRUE(PKCS7Cert(ossl::toDer(p7.get(), i2d_PKCS7)).empty());

    EXPECT_TRUE(PKCS7Cert("").empty());
    EXPECT_TRUE(PKCS7Cert("garbage").empty());
    EXPECT_TRUE(PKCS7Cert(s_rsa->certDer()).empty());
}

// ---- isSM2Certificate ----

TEST_F(OpensslHelpers, RecognisesSm2CertificatesByCurve)
{
    TempDir dir;
    const auto made = testsupport::run(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=p256 -days 2"
        " -keyout " + dir.str() + "/k.pem -outform DER -out " + dir.str() + "/p256.der");
    ASSERT_EQ(made.status, 0) << made.output;

    EXPECT_TRUE(isSM2Certificate(s_sm2->certDer()));
    EXPECT_FALSE(isSM2Certificate(testsupport::readFile(dir.path() / "p256.der")));
    EXPECT_FALSE(isSM2Certificate(s_rsa->certDer()));
    EXPECT_FALSE(isSM2Certificate(""));
    EXPECT_FALSE(isSM2Certificate(flipBit(s_sm2->certDer(), 0)));
}

// ---- CX509::Verify / HashVerify ----

TEST_F(OpensslHelpers, RawRsaSignatureIsCheckedAgainstTheSignedBlock)
{
    const std::string message = "message to sign";
    const std::string sig = signMessage(s_rsa->key.get(), EVP_sha256(), message);
    // What PKCS #1 v1.5 signs: the DigestInfo of the message's SHA-256.
    const std::string digestInfo = unhex("3031300d060960864801650304020105000420") + digest(EVP_sha256(), message);

    Openssl::CX509 cert;
    ASSERT_TRUE(cert.FromDER(s_rsa->certDer()));
    EXPECT_TRUE(cert.Verify(sig, digestInfo));
    EXPECT_FALSE(cert.Verify(flipBit(sig, 7), digestInfo));
    EXPECT_FALSE(cert.Verify(sig, flipBit(digestInfo, digestInfo.size() - 1)));
    EXPECT_FALSE(cert.Verify(sig, message));
    EXPECT_FALSE(cert.Verify("", digestInfo));
}

TEST_F(OpensslHelpers, HashVerifyOffersEveryDefaultDigest)
{
    const std::string message = "hash me";
    const struct {
        int nid;
        const EVP_MD* md;
    } cases[] = {
        {NID_md5, EVP_md5()},       {NID_sha1, EVP_sha1()},     {NID_sha1WithRSAEncryption, EVP_sha1()},
        {NID_sha224, EVP_sha224()}, {NID_sha256, EVP_sha256()}, {NID_sha384, EVP_sha384()},
        {NID_sha512, EVP_sha512()}, {NID_sha3_256, EVP_sha3_256()},
    };
    Openssl::CX509 cert;
    ASSERT_TRUE(cert.FromDER(s_rsa->certDer()));
    for (const auto& c : cases) {
        const std::string sig = signMessage(s_rsa->key.get(), c.md, message);
        EXPECT_TRUE(cert.HashVerify(c.nid, sig, message)) << c.nid;
        EXPECT_FALSE(cert.HashVerify(c.nid, flipBit(sig, 3), message)) << c.nid;
        EXPECT_FALSE(cert.HashVerify(c.nid, sig, message + ".")) << c.nid;
    }
    const std::string sha256Sig = signMessage(s_rsa->key.get(), EVP_sha256(), message);
    EXPECT_FALSE(cert.HashVerify(NID_sha384, sha256Sig, message));
    for (int nid : {NID_md2, NID_md4, NID_rsaEncryption, NID_undef, 99999})
        EXPECT_FALSE(cert.HashVerify(nid, sha256Sig, message)) << nid;
}

TEST_F(OpensslHelpers, Sm2SignatureVerifiesInBothForms)
{
    const std::string message = "SM2 signed message";
    const std::string der = signMessage(s_sm2->key.get(), EVP_sm3(), message);
    const std::string raw = sm2DerToRaw(der);

    Openssl::CX509 cert;
    ASSERT_TRUE(cert.FromDER(s_sm2->certDer()));
    EXPECT_TRUE(cert.Verify(der, message));
    EXPECT_TRUE(cert.Verify(raw, message));
    EXPECT_TRUE(cert.HashVerify(921, der, message));
    EXPECT_TRUE(cert.HashVerify(921, raw, message));

    EXPECT_FALSE(cert.Verify(flipBit(der, der.size() - 1), message));
    EXPECT_FALSE(cert.Verify(flipBit(raw, 10), message));
    EXPECT_FALSE(cert.Verify(flipBit(raw, 40), message));
    EXPECT_FALSE(cert.Verify(der, message + "!"));
    EXPECT_FALSE(cert.Verify(raw.substr(1), message));
    // The user ID enters the hash: another ID is another signature.
    EXPECT_FALSE(cert.Verify(signMessage(s_sm2->key.get(), EVP_sm3(), message, "ALICE123@YAHOO.COM"), message));
    EXPECT_TRUE(cert.HashVerify(NID_sm3, der, message));
    // An RSA certificate does not accept it.
    Openssl::CX509 rsa;
    ASSERT_TRUE(rsa.FromDER(s_rsa->certDer()));
    EXPECT_FALSE(rsa.Verify(der, message));
}

TEST_F(OpensslHelpers, Sm2SignedDataVerifiesThroughPkcs7Verify)
{
    const std::string message = "SM2 signed data";
    const std::string sig = signMessage(s_sm2->key.get(), EVP_sm3(), message);
    const std::string attached = MakeSM2P7Signed(message, s_sm2->certDer(), sig, 921);
    const std::string detached = MakeSM2P7Signed("", s_sm2->certDer(), sm2DerToRaw(sig), 921);
    ASSERT_FALSE(attached.empty());
    ASSERT_FALSE(detached.empty());

    EXPECT_TRUE(PKCS7Verify(attached, ""));
    EXPECT_TRUE(PKCS7Verify(attached, "the caller's message is ignored when attached"));
    EXPECT_TRUE(PKCS7Verify(detached, message));
    EXPECT_FALSE(PKCS7Verify(detached, message + "!"));

    // The signature is the last element of the message: flip a bit inside it.
    EXPECT_FALSE(PKCS7Verify(flipBit(attached, attached.size() - 3), ""));
    EXPECT_FALSE(PKCS7Verify(flipBit(detached, detached.size() - 3), message));
}

TEST_F(OpensslHelpers, Sm2SignatureFromOpensslCliVerifies)
{
    TempDir dir;
    testsupport::writeFile(dir.path() / "key.pem", s_sm2->keyPem());
    testsupport::writeFile(dir.path() / "msg", "from the command line");
    const auto made = testsupport::run("openssl pkeyutl -sign -rawin -digest sm3 -pkeyopt distid:1234567812345678 -inkey "
                                       + dir.str() + "/key.pem -in " + dir.str() + "/msg -out " + dir.str() + "/sig");
    ASSERT_EQ(made.status, 0) << made.output;
    const std::string sig = testsupport::readFile(dir.path() / "sig");

    Openssl::CX509 cert;
    ASSERT_TRUE(cert.FromDER(s_sm2->certDer()));
    EXPECT_TRUE(cert.Verify(sig, "from the command line"));
    EXPECT_TRUE(cert.Verify(sm2DerToRaw(sig), "from the command line"));
    EXPECT_FALSE(cert.Verify(flipBit(sig, sig.size() - 2), "from the command line"));
}

TEST_F(OpensslHelpers, Sm2KeyInsideRsaFormSignedDataVerifiesWithSm3)
{
    const std::string sig = signMessage(s_sm2->key.get(), EVP_sm3(), "abc");
    EXPECT_TRUE(PKCS7Verify(MakePKCS7Signed("abc", s_sm2->certDer(), sig, 921), ""));
    EXPECT_FALSE(PKCS7Verify(MakePKCS7Signed("abc", s_sm2->certDer(), flipBit(sig, 20), 921), ""));
}

// ---- wrappers ----

TEST_F(OpensslHelpers, WrappersTakeOverOrDuplicate)
{
    Openssl::CX509 owned;
    ASSERT_TRUE(owned.FromDER(s_rsa->certDer()));
    EXPECT_EQ(owned.toDER(), s_rsa->certDer());
    EXPECT_FALSE(owned.FromDER("junk"));
    EXPECT_EQ(static_cast<X509*>(owned), nullptr);

    Openssl::CX509 copy(s_rsa->cert.get(), false);
    EXPECT_NE(static_cast<X509*>(copy), s_rsa->cert.get());
    EXPECT_EQ(copy.toDER(), s_rsa->certDer());

    Openssl::CX509Name issuer = copy.get_issuer();
    EXPECT_EQ(X509_NAME_cmp(issuer, X509_get_issuer_name(s_rsa->cert.get())), 0);
    EXPECT_EQ(ASN1_INTEGER_get(copy.get_serialNumber()), 4242);

    Openssl::CX509 moved(std::move(copy));
    EXPECT_EQ(moved.toDER(), s_rsa->certDer());
    ossl::X509Ptr detached(moved.Detach());
    EXPECT_EQ(static_cast<X509*>(moved), nullptr);
    EXPECT_EQ(ossl::toDer(detached.get(), i2d_X509), s_rsa->certDer());

    Openssl::CX509 taken(detached.release(), true);
    EXPECT_EQ(taken.toDER(), s_rsa->certDer());
    EXPECT_FALSE(taken.Verify("x", "y"));
    EXPECT_FALSE(Openssl::CX509(nullptr, true).Verify("x", "y"));
    EXPECT_FALSE(Openssl::CEVP_PKEY(nullptr).HashVerify(NID_sha1, "x", "y"));

    // A signer info handed to a message belongs to it afterwards.
    Openssl::CPKCS7 p7;
    ASSERT_EQ(p7.set_type(NID_pkcs7_signed), 1);
    Openssl::CPKCS7_SIGNER_INFO si;
    ASSERT_EQ(si.set_digest_alg(NID_sha1), 1);
    ASSERT_EQ(p7.add_signer(si), 1);
    EXPECT_EQ(static_cast<PKCS7_SIGNER_INFO*>(si), nullptr);
    Openssl::CPKCS7_SIGNER_INFO second;
    ASSERT_EQ(second.set_digest_alg(NID_sha1), 1);
    ASSERT_EQ(p7.add_signer(second), 1);
    const PKCS7* raw = p7;
    EXPECT_EQ(sk_X509_ALGOR_num(raw->d.sign->md_algs), 1);   // listed once
    EXPECT_EQ(sk_PKCS7_SIGNER_INFO_num(raw->d.sign->signer_info), 2);
}

} // namespace
