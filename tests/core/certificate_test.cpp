// The certificate object over keychain certificates: flag decoding, the
// signing forms, file data, verification forms, the cipher check, removal and
// the information record. The PKCS#11 and token routes are driven end to end
// by the provider tests.

#include "core/Certificate.h"
#include "core/Codepage.h"
#include "core/codec.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <optional>
#include <sys/stat.h>

using testsupport::makeRsaCert;

namespace {

bool rsaVerifies(EVP_PKEY* key, const EVP_MD* md, const std::string& data, const std::string& sig)
{
    ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    return EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1
        && EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size())
        == 1;
}

// The embedded content, or the content given for a detached message, as the
// openssl tool verifies it; "<failed>" when it does not.
std::string cmsVerify(const testsupport::TempDir& dir, const std::string& p7,
                      const std::optional<std::string>& content = std::nullopt)
{
    testsupport::writeFile(dir.path() / "sig.p7", p7);
    std::string cmd = "openssl cms -verify -binary -noverify -inform DER -in " + (dir.path() / "sig.p7").string()
        + " -out " + (dir.path() / "out.bin").string();
    if (content) {
        testsupport::writeFile(dir.path() / "content.bin", *content);
        cmd += " -content " + (dir.path() / "content.bin").string();
    }
    if (testsupport::run(cmd).status != 0)
        return "<failed>";
    return testsupport::readFile(dir.path() / "out.bin");
}

class KeychainCertificate : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_DATA_HOME", dir.str().c_str(), 1);
        CodePage::Set(65001);
        store.Attach(kc::Keychain::CopyDefault(), true);
        ASSERT_NE(store.GetHandle(), nullptr);
        testsupport::Subject subject;
        subject.cn = "Alice Example";
        subject.o = "Bank";
        subject.st = "Zhejiang";
        subject.l = "Hangzhou";
        subject.email = "alice@example.com";
        signer = makeRsaCert(2048, subject, 0x0A1B);
        other = makeRsaCert(2048);
        ASSERT_TRUE(import(signer, true));
        ASSERT_TRUE(import(other, false));
    }

    bool import(const testsupport::KeyAndCert& kc, bool withKey)
    {
        CSecurityObjectImpl<SecCertificateRef> cert(kc::Certificate::CreateWithData(kc.certDer()), true);
        const kc::Certificate* c = cert.GetHandle();
        return store.GetHandle()->Import({c}, withKey ? kc.key.get() : nullptr, "label") == kc::errSecSuccess;
    }

    // A certificate object over the stored copy of `kc`.
    SMCertificate& stored(const testsupport::KeyAndCert& kc)
    {
        CSecurityObjectImpl<SecCertificateRef> cert(kc::Certificate::CreateWithData(kc.certDer()), true);
        EXPECT_EQ(object.initFromCertContext(cert.GetHandle()), 0);
        return object;
    }

    testsupport::TempDir dir;
    testsupport::TempDir work;
    CSecurityObjectImpl<SecKeychainRef> store;
    testsupport::KeyAndCert signer;
    testsupport::KeyAndCert other;
    SMCertificate object;
};

} // namespace

TEST(SignFlags, DigestAndFormDecode)
{
    const struct {
        int flags;
        hash_algo_t hash;
        sig_type_t type;
    } cases[] = {
        {0x00, HASH_ALGO_SHA1, SIG_TYPE_ATTACHED},   {0x01, HASH_ALGO_MD2, SIG_TYPE_ATTACHED},
        {0x02, HASH_ALGO_SHA1, SIG_TYPE_ATTACHED},   {0x13, HASH_ALGO_MD5, SIG_TYPE_DETACHED},
        {0x24, HASH_ALGO_SHA1_RSA, SIG_TYPE_RAW},    {0x05, HASH_ALGO_SM3, SIG_TYPE_ATTACHED},
        {0x16, HASH_ALGO_SHA256, SIG_TYPE_DETACHED}, {0x07, HASH_ALGO_SHA1, SIG_TYPE_ATTACHED},
        {0x0F, HASH_ALGO_SHA1, SIG_TYPE_ATTACHED},   {0x32, HASH_ALGO_SHA1, SIG_TYPE_ATTACHED},
        {0xF6, HASH_ALGO_SHA256, SIG_TYPE_ATTACHED}, {0x926, HASH_ALGO_SHA256, SIG_TYPE_RAW},
    };
    for (const auto& c : cases) {
        const SignRequest r = DecodeSignFlags(c.flags);
        EXPECT_EQ(r.hash, c.hash) << std::hex << c.flags;
        EXPECT_EQ(r.type, c.type) << std::hex << c.flags;
    }
}

TEST(EmptyCertificate, RefusesEverything)
{
    SMCertificate cert;
    std::string out = "untouched";
    _CERTIFICATE_INFO_ info;
    info.cn = "kept";
    EXPECT_FALSE(cert.valid());
    EXPECT_EQ(cert.sign("data", 0, out), -2);
    EXPECT_EQ(cert.encrypt("data", out, 0), 4);
    EXPECT_EQ(cert.decrypt("data", out, 0), 5);
    EXPECT_EQ(cert.getCertInfo(info), -1);
    EXPECT_EQ(info.cn, "kept");
    EXPECT_EQ(cert.setPin("1234"), -1);
    EXPECT_FALSE(cert.remove());
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(cert.initFromCertContext(nullptr), -2);
    EXPECT_EQ(cert.initFromCertObj(nullptr), -2);
    EXPECT_EQ(cert.initFromDer(""), -2);
    EXPECT_EQ(cert.initFromDer("not a certificate"), 0);
}

TEST_F(KeychainCertificate, SignFormsAndDigestsVerify)
{
    SMCertificate& cert = stored(signer);
    const std::string data = "transfer 100 to 42";
    const struct {
        int flags;
        const char* form;    // "attached", "detached", "raw"
        const EVP_MD* md;    // digest of the raw signature
    } cases[] = {
        {0x00, "attached", EVP_sha1()}, {0x13, "detached", EVP_md5()}, {0x26, "raw", EVP_sha256()},
        {0x32, "attached", EVP_sha1()}, {0x22, "raw", EVP_sha1()},     {0x16, "detached", EVP_sha256()},
        {0x823, "raw", EVP_md5()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "flags 0x" << c.flags);
        std::string out;
        ASSERT_EQ(cert.sign(data, c.flags, out), 0);
        const std::string form = c.form;
        if (form == "raw") {
            EXPECT_TRUE(rsaVerifies(signer.key.get(), c.md, data, out));
            continue;
        }
        const bool attached = form == "attached";
        EXPECT_EQ(cert.Verify(out, attached ? 0x00 : 0x10, attached ? "ignored" : data), 0);
        EXPECT_EQ(PKCS7Verify(out, attached ? "" : data), true);
        EXPECT_EQ(cmsVerify(work, out, attached ? std::nullopt : std::optional<std::string>(data)), data);
        if (!attached) {
            EXPECT_EQ(cert.Verify(out, 0x10, data + "!"), 3);
        }
    }
}

TEST_F(KeychainCertificate, SignsTheTextInTheProcessCodePage)
{
    SMCertificate& cert = stored(signer);
    CodePage::Set(0);
    std::string out;
    ASSERT_EQ(cert.sign("A\xC3\xA9", 0x00, out), 0);
    EXPECT_EQ(cmsVerify(work, out), std::string("A\0\xE9\0", 4));
    // Text that has no form in the code page is not signed as empty data.
    EXPECT_EQ(cert.sign("\xFF\xFE", 0x00, out), -2);
    CodePage::Set(65001);
}

TEST_F(KeychainCertificate, FileDataIsReadOnlyFromBoundedRegularFiles)
{
    SMCertificate& cert = stored(signer);
    const std::string content = "file content\n";
    const std::string path = (work.path() / "doc.txt").string();
    testsupport::writeFile(path, content);
    const std::string empty = (work.path() / "empty.txt").string();
    testsupport::writeFile(empty, "");
    const std::string fifo = (work.path() / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    std::string out = "untouched";
    EXPECT_EQ(cert.sign(path, 0x100, out), -2) << "attached would return the file's bytes to the page";
    EXPECT_EQ(cert.sign(path, 0x130, out), -2) << "an unknown form is attached";
    EXPECT_EQ(out, "untouched");

    ASSERT_EQ(cert.sign(path, 0x116, out), 0);
    EXPECT_EQ(cmsVerify(work, out, content), content);
    EXPECT_EQ(cert.Verify(out, 0x110, path), 0);
    EXPECT_EQ(cert.Verify(out, 0x110, empty), 3);
    EXPECT_EQ(cert.Verify(out, 0x110, fifo), 3);

    ASSERT_EQ(cert.sign(path, 0x126, out), 0);
    EXPECT_TRUE(rsaVerifies(signer.key.get(), EVP_sha256(), content, out));

    ASSERT_EQ(cert.sign(empty, 0x110, out), 0) << "an empty file signs empty content";
    EXPECT_EQ(PKCS7Verify(out, ""), true);

    EXPECT_EQ(cert.sign((work.path() / "missing").string(), 0x110, out), -2);
    EXPECT_EQ(cert.sign(fifo, 0x110, out), -2) << "a FIFO is never opened for reading";
    EXPECT_EQ(cert.sign(work.str(), 0x110, out), -2) << "a folder is not a file";
}

TEST_F(KeychainCertificate, VerifyForms)
{
    SMCertificate& cert = stored(signer);
    std::string attached, detached;
    ASSERT_EQ(cert.sign("message", 0x00, attached), 0);
    ASSERT_EQ(cert.sign("message", 0x10, detached), 0);

    // A raw check compares the RSA recovery with the message: the DigestInfo.
    ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(signer.key.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
    const std::string recovered = "raw message";
    std::string raw(256, '\0');
    size_t len = raw.size();
    ASSERT_EQ(EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(raw.data()), &len,
                            reinterpret_cast<const unsigned char*>(recovered.data()), recovered.size()),
              1);
    raw.resize(len);

    const struct {
        const char* name;
        const std::string& signature;
        int flags;
        std::string message;
        int expected;
    } cases[] = {
        {"attached ignores the message", attached, 0x00, "anything", 0},
        {"attached, digest bits ignored", attached, 0x07, "", 0},
        {"detached over the message", detached, 0x10, "message", 0},
        {"detached over other data", detached, 0x10, "messagE", 3},
        {"attached given as raw", attached, 0x20, "message", 3},
        {"raw over the message", raw, 0x20, "raw message", 0},
        {"raw over other data", raw, 0x20, "raw messagf", 3},
        {"other form ignores the message", raw, 0x40, "raw message", 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cert.Verify(c.signature, c.flags, c.message), c.expected) << c.name;
}

TEST(Sm2Certificate, OtherVerifyFormsCheckARawSignatureOverEmptyData)
{
    // RSA recovers nothing from an empty message, so an SM2 key shows the case.
    const testsupport::KeyAndCert sm2 = testsupport::makeSm2Cert();
    SMCertificate cert;
    ASSERT_EQ(cert.initFromDer(sm2.certDer()), 1);
    ossl::EvpMdCtxPtr md(EVP_MD_CTX_new());
    ossl::EvpPkeyCtxPtr pctx(EVP_PKEY_CTX_new(sm2.key.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_CTX_set1_id(pctx.get(), "1234567812345678", 16), 1);
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
    ASSERT_EQ(EVP_DigestSignInit(md.get(), nullptr, EVP_sm3(), nullptr, sm2.key.get()), 1);
    std::string sig(128, '\0');
    size_t len = sig.size();
    ASSERT_EQ(EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(sig.data()), &len,
                             reinterpret_cast<const unsigned char*>(""), 0),
              1);
    sig.resize(len);
    EXPECT_EQ(cert.Verify(sig, 0x40, "the message is not used"), 0);
    EXPECT_EQ(cert.Verify(sig, 0xF0, ""), 0);
    EXPECT_EQ(cert.Verify(sig, 0x20, "the message is used"), 3);
    EXPECT_EQ(cert.Verify(sig, 0x20, ""), 0);
}

TEST_F(KeychainCertificate, EncryptNeedsTheStoredPrivateKey)
{
    SMCertificate& cert = stored(signer);
    std::string cipher, plain;
    ASSERT_EQ(cert.encrypt("secret", cipher, 0), 0);
    ASSERT_EQ(cert.decrypt(cipher, plain, 0), 0);
    EXPECT_EQ(plain, "secret");
    EXPECT_EQ(cert.encrypt("", cipher, 0), 4);
    EXPECT_EQ(cert.decrypt("", plain, 0), 5);

    SMCertificate keyless;
    CSecurityObjectImpl<SecCertificateRef> handle(kc::Certificate::CreateWithData(other.certDer()), true);
    ASSERT_EQ(keyless.initFromCertContext(handle.GetHandle()), 0);
    EXPECT_EQ(keyless.encrypt("secret", cipher, 0), 4);
    EXPECT_EQ(keyless.decrypt(cipher, plain, 0), 5);
    std::string out;
    EXPECT_EQ(keyless.sign("data", 0, out), -2);
}

TEST_F(KeychainCertificate, InformationRecordsDescribeTheCertificate)
{
    SMCertificate& cert = stored(signer);
    _CERTIFICATE_INFO_ info;
    info.der = "kept";
    ASSERT_EQ(cert.getCertInfo(info), 0);
    EXPECT_EQ(info.cn, "Alice Example");
    EXPECT_EQ(info.sn, "0A1B");
    EXPECT_EQ(info.o, "Bank");
    EXPECT_EQ(info.e, "alice@example.com");
    EXPECT_EQ(info.st, "Zhejiang");
    EXPECT_EQ(info.l, "Hangzhou");
    EXPECT_NE(info.subject.find("CN=Alice Example"), std::string::npos) << info.subject;
    EXPECT_EQ(info.pub, ICodec::encode(signer.certDer()));
    EXPECT_EQ(info.der, "kept") << "the DER field is not copied";
    EXPECT_FALSE(info.hasPrivateKey);

    _CERTIFICATE_INFO_A exported;
    ASSERT_EQ(cert.getCertInfo(exported), 0);
    EXPECT_EQ(exported.cn, "Alice Example");
    EXPECT_EQ(exported.pub, ICodec::encode(signer.certDer()));

    // The keychain reader itself tells whether the store holds the key.
    _CERTIFICATE_INFO_ raw;
    ASSERT_TRUE(CMacCertificate(cert.getContext(), false).GetInfo(&raw));
    EXPECT_TRUE(raw.hasPrivateKey);
    EXPECT_EQ(raw.der, signer.certDer());
    _CERTIFICATE_INFO_ fromDer;
    EXPECT_EQ(CMacCertificate::GetInfo(&fromDer, signer.certDer()), 1);
    EXPECT_EQ(fromDer.cn, "Alice Example");
    EXPECT_EQ(fromDer.l, "Hangzhou");
}

TEST_F(KeychainCertificate, RemoveDeletesCertificateAndKey)
{
    SMCertificate& cert = stored(signer);
    ASSERT_TRUE(cert.remove());
    EXPECT_FALSE(cert.valid());
    EXPECT_FALSE(cert.remove());
    std::string out;
    EXPECT_EQ(cert.sign("data", 0, out), -2);

    std::vector<SecCertificateRef> left;
    ASSERT_EQ(store.GetHandle()->CopyCertificates(left), kc::errSecSuccess);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0]->data(), other.certDer());
    for (SecCertificateRef c : left)
        kc::Release(c);
    std::vector<SecKeyRef> keys;
    store.GetHandle()->CopyKeysWithLabel("label", keys);
    EXPECT_TRUE(keys.empty());
    for (SecKeyRef k : keys)
        kc::Release(k);
}

TEST_F(KeychainCertificate, CertificateFromDerHasNoStoredKey)
{
    // The token route's certificate: made from bytes, not found in the store
    // by reference, so nothing can be removed through it.
    SMCertificate fromDer;
    EXPECT_EQ(fromDer.initFromDer(other.certDer()), 1);
    EXPECT_TRUE(fromDer.valid());
    EXPECT_EQ(fromDer.toString(), ICodec::encode(other.certDer()));
    std::string out;
    EXPECT_EQ(fromDer.sign("data", 0, out), -2) << "its key is not in the store";
}
