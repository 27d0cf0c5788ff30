#include "token/ISMToken.h"
#include "token/softadapter/softadapter.h"
#include "token/sm_adapter.h"

#include "tests/support/fixtures.h"
#include "tests/token/SoftToken.h"

#include <gtest/gtest.h>

#include <openssl/ecdsa.h>

#include <climits>
#include <cstdlib>

using testsupport::KeyAndCert;
using testsupport::TempDir;

namespace {

constexpr char kSm2Id[] = "1234567812345678";
const std::string kData = "payment order 4711: 100.00 CNY";

bool verifyRsa(const KeyAndCert& kc, const char* digest, const std::string& data, const std::string& sig)
{
    ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    ossl::EvpMdPtr md(EVP_MD_fetch(nullptr, digest, nullptr));
    return EVP_DigestVerifyInit(ctx.get(), nullptr, md.get(), nullptr, X509_get0_pubkey(kc.cert.get())) == 1
        && EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

// Verifies a raw r || s answer the way a relying party would: as the DER
// SEQUENCE of the two integers, SM3 with the default user ID.
bool verifySm2(const KeyAndCert& kc, const std::string& data, const std::string& rs)
{
    if (rs.size() < 64)
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(rs.data());
    ossl::EcdsaSigPtr sig(ECDSA_SIG_new());
    ECDSA_SIG_set0(sig.get(), BN_bin2bn(p, 32, nullptr), BN_bin2bn(p + 32, 32, nullptr));
    const std::string der = ossl::toDer(sig.get(), i2d_ECDSA_SIG);
    ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    return EVP_DigestVerifyInit(ctx.get(), &pctx, EVP_sm3(), nullptr, X509_get0_pubkey(kc.cert.get())) == 1
        && EVP_PKEY_CTX_set1_id(pctx, kSm2Id, sizeof kSm2Id - 1) == 1
        && EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

testsupport::Subject named(const std::string& cn)
{
    testsupport::Subject subject;
    subject.cn = cn;
    return subject;
}

// Two tokens: "alice" holds an RSA and an SM2 certificate, "bob" one RSA
// certificate without its key.
class SoftAdapterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        softtoken::useRoot(root.path());
        softtoken::useLog(logDir.path() / "calls.log");
        alice.add(rsa);
        alice.add(sm2);
        bob.add(bobCert, false);
        ASSERT_TRUE(token.Load(softtoken::adapterPath()));
    }

    std::string log() const { return testsupport::readFile(logDir.path() / "calls.log"); }

    // Token 0 ("alice") with certificate `index` active.
    TokenCtxPtr activeAlice(int index)
    {
        auto ctxs = token.GetTokenCtx();
        EXPECT_EQ(ctxs.size(), 2u);
        if (ctxs.empty())
            return nullptr;
        EXPECT_GT(ctxs[0]->SetTokenActiveCertificate(index), 0);
        return std::move(ctxs[0]);
    }

    TempDir root;
    TempDir logDir;
    KeyAndCert rsa = testsupport::makeRsaCert(2048, named("Alice RSA"));
    KeyAndCert sm2 = testsupport::makeSm2Cert(named("Alice SM2"));
    KeyAndCert bobCert = testsupport::makeRsaCert(2048, named("Bob"));
    softtoken::TokenFolder alice{root.path(), "alice"};
    softtoken::TokenFolder bob{root.path(), "bob"};
    ISMToken token;
};

TEST(ISMTokenTest, NothingLoadedAnswersAsMissingExports)
{
    ISMToken token;
    EXPECT_FALSE(token.Load("/nonexistent/libnothing.dylib"));
    EXPECT_FALSE(token.IsLoaded());
    EXPECT_EQ(token.GetFunc("SM_sign"), nullptr);
    EXPECT_FALSE(token.Initialize(nullptr));
    EXPECT_EQ(token.GetTokenNumber(), -1);
    EXPECT_TRUE(token.GetTokenCtx().empty());
}

TEST(ITokenCtxTest, CreateRefusesMissingOwnerOrHandle)
{
    ISMToken unloaded;
    ISMToken loaded;
    ASSERT_TRUE(loaded.Load(softtoken::adapterPath()));
    int handle = 0;
    EXPECT_EQ(ITokenCtx::Create(nullptr, &handle), nullptr);
    EXPECT_EQ(ITokenCtx::Create(&unloaded, &handle), nullptr);
    EXPECT_EQ(ITokenCtx::Create(&loaded, nullptr), nullptr);
}

TEST_F(SoftAdapterTest, TokensAndCertificatesFollowTheFolders)
{
    EXPECT_TRUE(token.Initialize(nullptr));
    EXPECT_EQ(token.GetTokenNumber(), 2);
    auto ctxs = token.GetTokenCtx();
    ASSERT_EQ(ctxs.size(), 2u);
    EXPECT_EQ(ctxs[0]->GetTokenCertificateNumber(), 2);
    EXPECT_EQ(ctxs[1]->GetTokenCertificateNumber(), 1);
    EXPECT_NE(log().find("SM_getTokenCertificateNumber token=bob rc=1"), std::string::npos);

    unsetenv("HALVORN_SOFTTOKEN_ROOT");
    EXPECT_EQ(token.GetTokenNumber(), 0);
    EXPECT_TRUE(token.GetTokenCtx().empty());
}

TEST_F(SoftAdapterTest, ActivationSelectsTheCertificateRead)
{
    auto ctxs = token.GetTokenCtx();
    ASSERT_EQ(ctxs.size(), 2u);
    std::string der = "stale";
    EXPECT_EQ(ctxs[0]->GetTokenActiveCertificate(der), SOFT_E_NO_ACTIVE);
    EXPECT_TRUE(der.empty());

    EXPECT_GT(ctxs[0]->SetTokenActiveCertificate(1), 0);
    EXPECT_GT(ctxs[0]->GetTokenActiveCertificate(der), 0);
    EXPECT_EQ(der, sm2.certDer());
    EXPECT_GT(ctxs[0]->SetTokenActiveCertificate(0), 0);
    EXPECT_GT(ctxs[0]->GetTokenActiveCertificate(der), 0);
    EXPECT_EQ(der, rsa.certDer());

    for (int bad : {-1, 2, INT_MAX}) {
        EXPECT_EQ(ctxs[0]->SetTokenActiveCertificate(bad), SOFT_E_ARGUMENT) << bad;
    }
    EXPECT_GT(ctxs[0]->GetTokenActiveCertificate(der), 0) << "a refused index keeps the active one";
    EXPECT_EQ(der, rsa.certDer());
}

TEST_F(SoftAdapterTest, RsaSignaturesVerifyWithTheNamedDigest)
{
    auto ctx = activeAlice(0);
    ASSERT_TRUE(ctx);
    const struct {
        std::int32_t algorithm;
        const char* digest;
    } cases[] = {{SM_ALG_MD5, "MD5"}, {SM_ALG_SHA1, "SHA1"}, {SM_ALG_SHA1_WITH_RSA, "SHA1"},
                 {SM_ALG_SHA256, "SHA256"}};
    for (const auto& c : cases) {
        std::string sig;
        EXPECT_GT(ctx->Sign(kData, c.algorithm, sig), 0) << c.algorithm;
        EXPECT_EQ(sig.size(), 256u) << c.algorithm;
        EXPECT_TRUE(verifyRsa(rsa, c.digest, kData, sig)) << c.algorithm;
        EXPECT_FALSE(verifyRsa(rsa, c.digest, kData + "!", sig)) << c.algorithm;
    }
}

TEST_F(SoftAdapterTest, UnsupportedAlgorithmsFailAndLeaveTheOutput)
{
    auto ctx = activeAlice(0);
    ASSERT_TRUE(ctx);
    for (std::int32_t algorithm : {std::int32_t{SM_ALG_MD2}, std::int32_t{SM_ALG_SM2}, std::int32_t{12345}}) {
        std::string sig = "untouched";
        EXPECT_EQ(ctx->Sign(kData, algorithm, sig), SOFT_E_ALGORITHM) << algorithm;
        EXPECT_EQ(sig, "untouched");
    }
    ASSERT_GT(ctx->SetTokenActiveCertificate(1), 0);
    std::string sig;
    EXPECT_EQ(ctx->Sign(kData, SM_ALG_SHA256, sig), SOFT_E_ALGORITHM) << "an SM2 key makes no RSA signature";
}

TEST_F(SoftAdapterTest, Sm2SignatureIsRawRAndS)
{
    auto ctx = activeAlice(1);
    ASSERT_TRUE(ctx);
    std::string sig;
    EXPECT_GT(ctx->Sign(kData, SM_ALG_SM2, sig), 0);
    ASSERT_EQ(sig.size(), 64u);
    EXPECT_TRUE(verifySm2(sm2, kData, sig));
    EXPECT_FALSE(verifySm2(sm2, "other data", sig));
    EXPECT_NE(log().find("SM_sign token=alice alg=0 len=" + std::to_string(kData.size()) + " rc=1"),
              std::string::npos);

    alice.setSm2SignatureSize(65);
    EXPECT_GT(ctx->Sign(kData, SM_ALG_SM2, sig), 0);
    ASSERT_EQ(sig.size(), 65u);
    EXPECT_TRUE(verifySm2(sm2, kData, sig.substr(0, 64)));
}

TEST_F(SoftAdapterTest, ErrorCodesOnRequestReachTheCaller)
{
    auto ctx = activeAlice(0);
    ASSERT_TRUE(ctx);
    const std::int32_t topBitAndFive = INT32_MIN + 5;
    alice.failWith("SM_sign", topBitAndFive);
    alice.failWith("SM_getTokenCertificateNumber", -40);
    std::string sig = "untouched";
    EXPECT_EQ(ctx->Sign(kData, SM_ALG_SHA256, sig), topBitAndFive);
    EXPECT_EQ(sig, "untouched");
    EXPECT_EQ(ctx->GetTokenCertificateNumber(), -40);

    alice.clearFailures();
    EXPECT_GT(ctx->Sign(kData, SM_ALG_SHA256, sig), 0);
    EXPECT_TRUE(verifyRsa(rsa, "SHA256", kData, sig));
}

TEST_F(SoftAdapterTest, CertificateWithoutKeyCannotSign)
{
    auto ctxs = token.GetTokenCtx();
    ASSERT_EQ(ctxs.size(), 2u);
    ASSERT_GT(ctxs[1]->SetTokenActiveCertificate(0), 0);
    std::string der;
    EXPECT_GT(ctxs[1]->GetTokenActiveCertificate(der), 0);
    EXPECT_EQ(der, bobCert.certDer());
    std::string sig;
    EXPECT_EQ(ctxs[1]->Sign(kData, SM_ALG_SHA256, sig), SOFT_E_KEY);

    // A key that is not the certificate's is refused rather than used.
    testsupport::writeFile(bob.path() / "cert000.key", rsa.keyPem());
    EXPECT_EQ(ctxs[1]->Sign(kData, SM_ALG_SHA256, sig), SOFT_E_KEY);
}

TEST_F(SoftAdapterTest, EveryContextIsFreedOnce)
{
    {
        auto ctxs = token.GetTokenCtx();
        ASSERT_EQ(ctxs.size(), 2u);
        ctxs[0]->AddRef();
        ITokenCtx* extra = ctxs[0].get();
        ctxs.clear();
        EXPECT_EQ(log().find("SM_freeTokenCtx token=alice"), std::string::npos) << "one reference is left";
        EXPECT_NE(log().find("SM_freeTokenCtx token=bob rc=1"), std::string::npos);
        extra->Release();
    }
    EXPECT_NE(log().find("SM_freeTokenCtx token=alice rc=1"), std::string::npos);
    EXPECT_EQ(log().find("SM_freeTokenCtx token=? "), std::string::npos) << "no handle was freed twice";
}

// A certificate selected from an adapter may outlive the provider that
// loaded it; its context must still reach the adapter, and free its token.
TEST(ITokenCtxTest, ContextOutlivesItsToken)
{
    TempDir root;
    TempDir logDir;
    softtoken::useRoot(root.path());
    softtoken::useLog(logDir.path() / "calls.log");
    KeyAndCert rsa = testsupport::makeRsaCert();
    softtoken::TokenFolder(root.path(), "solo").add(rsa);

    auto owner = std::make_unique<ISMToken>();
    ASSERT_TRUE(owner->Load(softtoken::adapterPath()));
    auto ctxs = owner->GetTokenCtx();
    ASSERT_EQ(ctxs.size(), 1u);
    owner.reset();

    EXPECT_EQ(ctxs[0]->GetTokenCertificateNumber(), 1);
    ASSERT_GT(ctxs[0]->SetTokenActiveCertificate(0), 0);
    std::string sig;
    EXPECT_GT(ctxs[0]->Sign(kData, SM_ALG_SHA256, sig), 0);
    EXPECT_TRUE(verifyRsa(rsa, "SHA256", kData, sig));
    ctxs.clear();
    EXPECT_NE(testsupport::readFile(logDir.path() / "calls.log").find("SM_freeTokenCtx token=solo rc=1"),
              std::string::npos);
}

TEST(ITokenCtxTest, MissingExportsGiveMinusOne)
{
    ISMToken token;
    ASSERT_TRUE(token.Load(HALVORN_PARTIALADAPTER_PATH));
    EXPECT_FALSE(token.Initialize(nullptr));
    EXPECT_EQ(token.GetTokenNumber(), -1);
    auto ctxs = token.GetTokenCtx();
    ASSERT_EQ(ctxs.size(), 1u);
    ITokenCtx& ctx = *ctxs[0];
    EXPECT_EQ(ctx.GetTokenCertificateNumber(), -1);
    EXPECT_EQ(ctx.SetTokenActiveCertificate(0), -1);
    std::string der;
    EXPECT_EQ(ctx.GetTokenActiveCertificate(der), -1);
    std::string sig = "untouched";
    EXPECT_EQ(ctx.Sign(kData, SM_ALG_SHA256, sig), -1);
    EXPECT_EQ(sig, "untouched");
}

TEST(ITokenCtxTest, LengthsBeyondTheBufferOrTheLimitAreRefused)
{
    ISMToken token;
    ASSERT_TRUE(token.Load(HALVORN_LYINGADAPTER_PATH));
    auto ctxs = token.GetTokenCtx();
    ASSERT_EQ(ctxs.size(), 1u);
    std::string der = "stale";
    EXPECT_EQ(ctxs[0]->GetTokenActiveCertificate(der), 0);
    EXPECT_TRUE(der.empty());
    std::string sig = "untouched";
    EXPECT_EQ(ctxs[0]->Sign(kData, SM_ALG_SHA256, sig), 0);
    EXPECT_EQ(sig, "untouched");
}

TEST(ITokenCtxTest, LastReleaseHandsTheHandleBack)
{
    ISMToken token;
    ASSERT_TRUE(token.Load(HALVORN_PARTIALADAPTER_PATH));
    auto freed = reinterpret_cast<int32_t (*)()>(token.GetFunc("partial_freedCount"));
    ASSERT_NE(freed, nullptr);
    const int32_t before = freed();

    auto ctxs = token.GetTokenCtx();
    ASSERT_EQ(ctxs.size(), 1u);
    ITokenCtx* ctx = ctxs[0].release();
    EXPECT_EQ(ctx->RefCount(), 1);
    ctx->AddRef();
    EXPECT_EQ(ctx->RefCount(), 2);
    ctx->Release();
    EXPECT_EQ(freed(), before);
    ctx->Release();
    EXPECT_EQ(freed(), before + 1);
}

} // namespace
