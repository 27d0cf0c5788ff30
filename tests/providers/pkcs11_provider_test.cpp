// The PKCS#11 provider over a throwaway SoftHSM2 token: opening, listing in
// a new session each time, login with the fixed PIN, the signing table with
// independent verification, a selection that outlives its listing, the cipher
// route, export, key pair generation and certificate installation.

#include "providers/SMProviderManager.h"

#include "core/Codepage.h"
#include "core/codec.h"
#include "tests/pkcs11/SoftHsmToken.h"
#include "tests/providers/Checks.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>

using testsupport::SoftHsmToken;

namespace {

using Names = std::vector<std::string>;

_CERTIFICATE_INFO_ byCn(const std::string& cn)
{
    _CERTIFICATE_INFO_ q;
    q.cn = cn;
    return q;
}

// The token lists its objects in an order of its own.
Names sorted(Names names)
{
    std::sort(names.begin(), names.end());
    return names;
}

int indexOf(const Names& names, const std::string& name)
{
    const auto it = std::find(names.begin(), names.end(), name);
    return it == names.end() ? -1 : static_cast<int>(it - names.begin());
}

class Pkcs11Provider : public ::testing::Test {
protected:
    void SetUp() override
    {
        CodePage::Set(65001);
        token = std::make_unique<SoftHsmToken>(2);
        token->activate();
        ::testing::internal::CaptureStdout();   // the loader's lines
        const int opened = registry.obtainProvider(SoftHsmToken::kModuleName, 4, provider);
        ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(opened, 0);
    }

    Names list(const _CERTIFICATE_INFO_& query = {}, int expected = 0)
    {
        Names names{"stale"};
        ::testing::internal::CaptureStdout();   // "cert size %d"
        const int rc = provider->enumerateCerts(query, names);
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, expected);
        return names;
    }

    // Lists, logs in (never retried, so the token cannot lock) and selects
    // the certificate of that common name.
    std::shared_ptr<SMCertificate> loginAndSelect(const std::string& cn)
    {
        const Names names = list();
        EXPECT_EQ(provider->verifypin("ignored"), 0) << "login refused; not retried";
        std::shared_ptr<SMCertificate> cert;
        EXPECT_EQ(provider->selectCert(0, indexOf(names, cn), cert), 0);
        return cert;
    }

    std::unique_ptr<SoftHsmToken> token;
    testsupport::TempDir work;
    SMProviderManager registry;
    SMProvider* provider = nullptr;
};

} // namespace

TEST_F(Pkcs11Provider, OpeningFollowsTheModule)
{
    SMProvider* same = nullptr;
    EXPECT_EQ(registry.obtainProvider(SoftHsmToken::kModuleName, 0, same), 6);
    EXPECT_EQ(same, provider);

    // Another session's registry opens its own provider on the module that
    // this process has already initialised.
    SMProviderManager otherSession;
    SMProvider* other = nullptr;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(otherSession.obtainProvider(SoftHsmToken::kModuleName, 4, other), 0);
    EXPECT_EQ(otherSession.obtainProvider("libmissing.so", 4, other), 2);
    EXPECT_EQ(otherSession.obtainProvider("../lib/softhsm/libsofthsm2.so", 4, other), 2);
    ::testing::internal::GetCapturedStdout();
    ::testing::internal::CaptureStderr();
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(otherSession.size(), 1u) << "failed opens leave no entry";
}

TEST_F(Pkcs11Provider, ListingSelectionAndWhatTheKindDoesNotOffer)
{
    std::shared_ptr<SMCertificate> cert;
    EXPECT_EQ(provider->selectCert(0, 0, cert), -2) << "nothing listed yet";
    EXPECT_EQ(provider->verifypin(""), -2) << "no session before a listing";
    EXPECT_EQ(sorted(list()), (Names{"Token User 1", "Token User 2"}));
    EXPECT_EQ(list(byCn("token user 2")), (Names{"Token User 2"}));
    EXPECT_EQ(list(byCn("Token")), Names{}) << "none matches: empty listing, result 0";
    const Names names = list();

    ASSERT_EQ(provider->selectCert(1, indexOf(names, "Token User 2"), cert), 0) << "the type is not used";
    _CERTIFICATE_INFO_ info;
    ASSERT_EQ(cert->getCertInfo(info), 0);
    EXPECT_EQ(info.cn, "Token User 2");
    EXPECT_EQ(info.o, "Halvorn Test");
    EXPECT_EQ(info.sn, "02");
    EXPECT_EQ(info.pub, ICodec::encode(token->certDer(2)));
    for (int outside : {2, -1}) {
        std::shared_ptr<SMCertificate> kept = cert;
        EXPECT_EQ(provider->selectCert(0, outside, kept), -2) << outside;
        EXPECT_EQ(kept, cert);
    }

    std::string text;
    EXPECT_EQ(provider->exportCert(indexOf(names, "Token User 1"), text), 0);
    EXPECT_EQ(text, ICodec::encode(token->certDer(1)));
    EXPECT_EQ(provider->exportCert(2, text), -2);
    std::int32_t count = 42;
    EXPECT_EQ(provider->keyCount(count), -1);
    EXPECT_EQ(count, 42);
    EXPECT_EQ(provider->selectKey(0), -1);
    EXPECT_EQ(provider->deleteCert(0), -1);
}

TEST_F(Pkcs11Provider, SignFlagsTable)
{
    const std::shared_ptr<SMCertificate> cert = loginAndSelect("Token User 1");
    ASSERT_TRUE(cert);
    const std::string certDer = token->certDer(1);
    const std::string data = "pay 100 to account 7";
    const struct {
        int flags;
        const char* form;   // "attached", "detached", "raw"
        const EVP_MD* md;
    } cases[] = {
        {0x00, "attached", EVP_sha1()},  {0x13, "detached", EVP_md5()},   {0x16, "detached", EVP_sha256()},
        {0x26, "raw", EVP_sha256()},     {0x32, "attached", EVP_sha1()},  {0x24, "raw", EVP_sha1()},
        {0x807, "attached", EVP_sha1()}, {0x810, "detached", EVP_sha1()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "flags 0x" << c.flags);
        std::string out;
        ASSERT_EQ(cert->sign(data, c.flags, out), 0);
        const std::string form = c.form;
        if (form == "raw") {
            EXPECT_TRUE(providertest::rsaVerifies(certDer, c.md, data, out));
            continue;
        }
        const bool attached = form == "attached";
        EXPECT_TRUE(PKCS7Verify(out, attached ? "" : data));
        EXPECT_EQ(cert->Verify(out, attached ? 0x00 : 0x10, data), 0);
        EXPECT_EQ(providertest::cmsVerify(work, out, attached ? std::nullopt : std::optional(data)), data);
        const std::vector<std::string> carried = PKCS7Cert(out);
        ASSERT_EQ(carried.size(), 1u);
        EXPECT_EQ(carried[0], certDer) << "the token's certificate goes into the message";
    }
    std::string out;
    EXPECT_EQ(cert->sign(data, 0x01, out), -2) << "MD2 is not offered";
    EXPECT_EQ(cert->sign(data, 0x05, out), -2) << "an SM2 signature needs an SM2 key";
    EXPECT_EQ(cert->sign("", 0x00, out), -2);
}

TEST_F(Pkcs11Provider, SelectedCertificateSignsAfterTheProviderListsAgain)
{
    std::shared_ptr<SMCertificate> cert = loginAndSelect("Token User 2");
    ASSERT_TRUE(cert);
    list(byCn("Token User 1"));
    list(byCn("nobody"));
    ASSERT_TRUE(provider->certificates().empty());
    std::string p7;
    ASSERT_EQ(cert->sign("after relisting", 0x10, p7), 0);
    EXPECT_EQ(providertest::cmsVerify(work, p7, std::string("after relisting")), "after relisting");
    EXPECT_EQ(PKCS7Cert(p7).at(0), token->certDer(2));
    EXPECT_EQ(provider->verifypin(""), 0) << "the newest session logs in";
}

TEST_F(Pkcs11Provider, EncryptAndDecryptOnTheToken)
{
    const std::shared_ptr<SMCertificate> cert = loginAndSelect("Token User 1");
    ASSERT_TRUE(cert);
    std::string cipher, plain;
    ASSERT_EQ(cert->encrypt("secret", cipher, 0), 0);
    EXPECT_EQ(cipher.size(), 256u);
    ASSERT_EQ(cert->decrypt(cipher, plain, 0), 0);
    EXPECT_EQ(plain, "secret");
    EXPECT_EQ(cert->decrypt("not a ciphertext", plain, 0), 5);
    EXPECT_EQ(cert->encrypt("", cipher, 0), 4);
}

TEST_F(Pkcs11Provider, GeneratedKeyPairTakesItsCertificate)
{
    csr_t csr;
    csr.keyLabel = "not used";
    csr.keySize = 1024;
    csr.CN = "New Holder";
    csr.O = "Bank";
    csr.ST = "Zhejiang";
    csr.L = "Hangzhou";
    csr.hash = 4;
    std::string request;
    EXPECT_EQ(provider->genCSR(csr, request), -2) << "no session before a listing";
    EXPECT_EQ(provider->importCert(ICodec::encode(token->certDer(1)), 0), -2);
    list();
    ASSERT_EQ(provider->verifypin(""), 0);

    ASSERT_EQ(provider->genCSR(csr, request), 0);
    const auto* p = reinterpret_cast<const unsigned char*>(request.data());
    ossl::X509ReqPtr req(d2i_X509_REQ(nullptr, &p, static_cast<long>(request.size())));
    ASSERT_TRUE(req);
    EXPECT_EQ(X509_REQ_verify(req.get(), X509_REQ_get0_pubkey(req.get())), 1);
    EXPECT_EQ(EVP_PKEY_get_bits(X509_REQ_get0_pubkey(req.get())), 2048) << "the key size asked for is not used";
    const X509_NAME* subject = X509_REQ_get_subject_name(req.get());
    EXPECT_EQ(X509_NAME_get_index_by_NID(subject, NID_stateOrProvinceName, -1), -1);
    EXPECT_EQ(X509_NAME_get_index_by_NID(subject, NID_localityName, -1), -1);

    EXPECT_EQ(provider->importCert("", 0), -2);
    EXPECT_EQ(provider->importCert(ICodec::encode(testsupport::makeRsaCert(1024).certDer()), 0), -2)
        << "no key on the token for it";
    const std::string issued = testsupport::issueForRequest(request);
    ASSERT_FALSE(issued.empty());
    ASSERT_EQ(provider->importCert(ICodec::encode(issued), 9), 0) << "the format is not used";
    const Names names = list();
    EXPECT_EQ(sorted(names), (Names{"New Holder", "Token User 1", "Token User 2"}));

    std::shared_ptr<SMCertificate> cert;
    ASSERT_EQ(provider->selectCert(0, indexOf(names, "New Holder"), cert), 0);
    std::string sig;
    ASSERT_EQ(cert->sign("with the new key", 0x26, sig), 0);
    EXPECT_TRUE(providertest::rsaVerifies(issued, EVP_sha256(), "with the new key", sig));
}

TEST_F(Pkcs11Provider, KeyIsFoundAgainAfterLoggingInAgain)
{
    // Every sign command logs out and in again; the token then forgets the
    // handles of its private objects.
    const std::shared_ptr<SMCertificate> cert = loginAndSelect("Token User 1");
    ASSERT_TRUE(cert);
    std::string out;
    ASSERT_EQ(cert->sign("first", 0x20, out), 0);
    ASSERT_EQ(provider->verifypin(""), 0);
    EXPECT_EQ(cert->sign("second", 0x20, out), 0);
    EXPECT_TRUE(providertest::rsaVerifies(token->certDer(1), EVP_sha1(), "second", out));
    std::string cipher, plain;
    ASSERT_EQ(provider->verifypin(""), 0);
    ASSERT_EQ(cert->encrypt("secret", cipher, 0), 0);
    ASSERT_EQ(provider->verifypin(""), 0);
    EXPECT_EQ(cert->decrypt(cipher, plain, 0), 0);
    EXPECT_EQ(plain, "secret");
}
