#include "pkcs11/Call.h"
#include "pkcs11/Pkcs11.h"

#include "tests/pkcs11/SoftHsmToken.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>

using namespace tarnquill::crypto::pkcs11;
using tarnquill::crypto::Csr;
using testsupport::SoftHsmToken;

namespace {

ossl::X509Ptr parseCert(const std::string& der)
{
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    return ossl::X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

ossl::EvpPkeyPtr parseKeyPem(const std::string& pem)
{
    ossl::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return ossl::EvpPkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

// RSA PKCS#1 v1.5 verification of `sig` over `data` with digest `md`.
bool verifies(EVP_PKEY* key, const EVP_MD* md, const std::string& data, const std::string& sig)
{
    ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    return EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1
        && EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size())
        == 1;
}

bool certVerifies(const std::string& certDer, const EVP_MD* md, const std::string& data, const std::string& sig)
{
    ossl::X509Ptr cert = parseCert(certDer);
    return cert && verifies(X509_get0_pubkey(cert.get()), md, data, sig);
}

// A certificate for `subjectKey`, issued by a throwaway key.
std::string issueFor(EVP_PKEY* subjectKey, const char* cn)
{
    testsupport::KeyAndCert issuer = testsupport::makeRsaCert(2048);
    ossl::X509Ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), subjectKey);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer.cert.get()));
    X509_sign(cert.get(), issuer.key.get(), EVP_sha256());
    return ossl::toDer(cert.get(), i2d_X509);
}

std::string stringAttr(const Session& session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type)
{
    std::vector<std::string> values;
    if (detail::readAttributes(session, object, {type}, values) != CKR_OK)
        return "<unreadable>";
    return values[0];
}

CK_ULONG ulongAttr(const Session& session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type)
{
    const std::string bytes = stringAttr(session, object, type);
    CK_ULONG value = ~0UL;
    if (bytes.size() == sizeof value)
        std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

// The loader's four lines for a path and error text.
std::string loaderLines(const std::string& path, const std::string& error)
{
    return "=========================================================\n"
           "dll path = " + path + "\n"
           "stderr =====  " + error + "\n"
           "=========================================================";
}

class TokenTest : public ::testing::Test {
protected:
    // A fresh token with `pairs` key pairs, the module loaded and initialised,
    // and a session on the first slot.
    void open(int pairs)
    {
        m_token = std::make_unique<SoftHsmToken>(pairs);
        m_token->activate();
        ::testing::internal::CaptureStdout();
        const bool loaded = m_dll.Load(SoftHsmToken::kModuleName);
        ::testing::internal::GetCapturedStdout();
        ASSERT_TRUE(loaded);
        ASSERT_EQ(m_dll.Initialize(), CKR_OK);
        m_initialized = true;
        std::vector<Slot> slots;
        ASSERT_EQ(m_dll.GetSlotList(slots), CKR_OK);
        ASSERT_FALSE(slots.empty());
        m_slot = slots.front();
        ASSERT_EQ(m_slot.OpenSession(m_session), CKR_OK);
    }

    void login()
    {
        // A PIN error stops the test here; it is never retried, so the token cannot lock.
        ASSERT_EQ(m_session.Login(CKU_USER, SoftHsmToken::userPin()), CKR_OK) << "login refused; not retried";
    }

    void openAndLogin(int pairs)
    {
        ASSERT_NO_FATAL_FAILURE(open(pairs));
        ASSERT_NO_FATAL_FAILURE(login());
    }

    std::vector<std::unique_ptr<Cert>> certs()
    {
        std::vector<std::unique_ptr<Cert>> list;
        ::testing::internal::CaptureStdout();
        const CK_RV rv = m_session.GetAllCert(list);
        m_lastListing = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(rv, CKR_OK);
        return list;
    }

    std::unique_ptr<Cert> certWithId(const std::string& wanted)
    {
        for (auto& cert : certs()) {
            std::string id, subject, value;
            if (cert->GetAttribute(id, subject, value) == CKR_OK && id == wanted)
                return std::move(cert);
        }
        return nullptr;
    }

    void TearDown() override
    {
        m_session = Session();
        if (m_initialized)
            m_dll.Finalize();
    }

    std::unique_ptr<SoftHsmToken> m_token;
    Pkcs11Dll m_dll;
    bool m_initialized = false;
    Slot m_slot;
    Session m_session;
    std::string m_lastListing;
};

TEST(Pkcs11DllTest, RefusesModuleNamesOutsideTheModuleFolder)
{
    testsupport::TempDir root;
    setenv("HALVORN_ROOT", root.str().c_str(), 1);
    // A library that would load if the name were taken as given.
    const std::string real = "/usr/lib/softhsm/libsofthsm2.so";
    std::filesystem::create_directories(root.path() / "usr/local/lib");
    std::filesystem::create_symlink(real, root.path() / "usr/local/lib/..evil.so");
    std::filesystem::create_symlink(real, root.path() / "usr/local/lib/evil.so");

    const std::string names[] = {"", "/usr/lib/softhsm/libsofthsm2.so", "../../../../usr/lib/softhsm/libsofthsm2.so",
                                 "sub/evil.so", "..evil.so", "..", std::string("evil.so\0.txt", 12)};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        Pkcs11Dll dll;
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(dll.Load(name));
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "refused before anything is opened";
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        EXPECT_FALSE(dll.IsLoaded());
        EXPECT_EQ(dll.Initialize(), kMissingFunction);
    }
}

TEST(Pkcs11DllTest, MissingModulePrintsTheLoaderError)
{
    testsupport::TempDir root;
    setenv("HALVORN_ROOT", root.str().c_str(), 1);
    const std::string path = root.str() + "/usr/local/lib/libmissing.so";
    Pkcs11Dll dll;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(dll.Load("libmissing.so"));
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string error = path + ": cannot open shared object file: No such file or directory";
    EXPECT_EQ(out, loaderLines(path, error));
    EXPECT_EQ(err, error + "\n");
    EXPECT_FALSE(dll.IsLoaded());

    std::vector<Slot> slots;
    EXPECT_EQ(dll.GetSlotList(slots), kMissingFunction);
    CK_SLOT_INFO info{};
    EXPECT_EQ(Slot().GetSlotInfo(info), kNoModule);
}

TEST(Pkcs11DllTest, LibraryWithoutFunctionListIsNotLoaded)
{
    testsupport::TempDir root;
    setenv("HALVORN_ROOT", root.str().c_str(), 1);
    std::filesystem::create_directories(root.path() / "usr/local/lib");
    // Any shared library that is not a PKCS#11 module.
    std::filesystem::create_symlink("/lib/x86_64-linux-gnu/libdl.so.2", root.path() / "usr/local/lib/libnot.so");
    Pkcs11Dll dll;
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(dll.Load("libnot.so"));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              loaderLines(root.str() + "/usr/local/lib/libnot.so", "(null)"));
}

TEST_F(TokenTest, LoadsUnderTheRootAndASecondInitialiseIsAccepted)
{
    m_token = std::make_unique<SoftHsmToken>(0);
    m_token->activate();
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(m_dll.Load(SoftHsmToken::kModuleName));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              loaderLines(m_token->root() + "/usr/local/lib/libsofthsm2.so", "(null)"));
    ASSERT_EQ(m_dll.Initialize(), CKR_OK);
    m_initialized = true;

    // Another provider of the same module in this process.
    Pkcs11Dll second;
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(second.Load(SoftHsmToken::kModuleName));
    ::testing::internal::GetCapturedStdout();
    const CK_RV rv = second.Initialize();
    EXPECT_EQ(rv, 0x191u);
    EXPECT_TRUE(initializeSucceeded(rv));
    EXPECT_FALSE(initializeSucceeded(CKR_GENERAL_ERROR));

    std::vector<Slot> slots;
    ASSERT_EQ(second.GetSlotList(slots), CKR_OK);
    ASSERT_FALSE(slots.empty());
    CK_SLOT_INFO info{};
    ASSERT_EQ(slots.front().GetSlotInfo(info), CKR_OK);
    EXPECT_TRUE(info.flags & CKF_TOKEN_PRESENT);
    CK_TOKEN_INFO token{};
    ASSERT_EQ(second.Functions()->C_GetTokenInfo(slots.front().GetId(), &token), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(token.label), 7), SoftHsmToken::kLabel);
}

TEST_F(TokenTest, LogsInWithTheFixedPinAndOut)
{
    ASSERT_NO_FATAL_FAILURE(open(1));
    const auto privateKeys = [this] {
        CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE templ[] = {detail::attribute(CKA_CLASS, privateClass)};
        detail::FindObjects search(m_session, templ, 1);
        int count = 0;
        for (CK_OBJECT_HANDLE object; search.Next(object);)
            ++count;
        return count;
    };
    EXPECT_EQ(SoftHsmToken::userPin().size(), 10u);
    EXPECT_EQ(privateKeys(), 0);
    ASSERT_NO_FATAL_FAILURE(login());
    EXPECT_EQ(privateKeys(), 1);
    EXPECT_EQ(m_session.Logout(), CKR_OK);
    EXPECT_EQ(privateKeys(), 0);
}

TEST_F(TokenTest, ListsEveryCertificateOnTheToken)
{
    for (int pairs : {0, 1, 3}) {
        SCOPED_TRACE(pairs);
        TearDown();
        m_initialized = false;
        ASSERT_NO_FATAL_FAILURE(open(pairs));
        auto list = certs();
        EXPECT_EQ(m_lastListing, "cert size " + std::to_string(pairs) + "\n");
        std::vector<std::string> ders;
        for (const auto& cert : list)
            ders.push_back(cert->toDer());
        std::vector<std::string> expected;
        for (int n = 1; n <= pairs; ++n)
            expected.push_back(m_token->certDer(n));
        EXPECT_THAT(ders, ::testing::UnorderedElementsAreArray(expected));
        list.clear();
    }
}

TEST_F(TokenTest, EachCertificateFindsItsOwnKeyPair)
{
    ASSERT_NO_FATAL_FAILURE(openAndLogin(2));
    for (int n : {1, 2}) {
        SCOPED_TRACE(n);
        std::unique_ptr<Cert> cert = certWithId(SoftHsmToken::id(n));
        ASSERT_TRUE(cert);
        ASSERT_EQ(cert->GetKey(), CKR_OK);
        const Key* key = cert->CachedKey();
        ASSERT_TRUE(key);
        EXPECT_EQ(stringAttr(m_session, key->PrivateHandle(), CKA_ID), SoftHsmToken::id(n));
        EXPECT_EQ(stringAttr(m_session, key->PublicHandle(), CKA_ID), SoftHsmToken::id(n));
        EXPECT_EQ(ulongAttr(m_session, key->PrivateHandle(), CKA_CLASS), CKO_PRIVATE_KEY);
        EXPECT_EQ(ulongAttr(m_session, key->PublicHandle(), CKA_CLASS), CKO_PUBLIC_KEY);
    }
}

TEST_F(TokenTest, SignsWithTheDigestItIsAskedFor)
{
    ASSERT_NO_FATAL_FAILURE(openAndLogin(2));
    std::unique_ptr<Cert> cert = certWithId(SoftHsmToken::id(2));
    ASSERT_TRUE(cert);
    const std::string data = "data to sign \x00\x01 with a zero byte";
    struct Case {
        CK_MECHANISM_TYPE digest;
        const EVP_MD* md;
    };
    const Case cases[] = {{CKM_SHA_1, EVP_sha1()}, {CKM_SHA256, EVP_sha256()}, {CKM_MD5, EVP_md5()}};
    const Key* firstKey = nullptr;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.digest);
        std::string sig;
        ASSERT_EQ(cert->Sign(data, sig, c.digest), CKR_OK);
        EXPECT_EQ(sig.size(), 256u);
        EXPECT_TRUE(certVerifies(m_token->certDer(2), c.md, data, sig));
        EXPECT_FALSE(certVerifies(m_token->certDer(1), c.md, data, sig));
        if (firstKey == nullptr)
            firstKey = cert->CachedKey();
        EXPECT_EQ(cert->CachedKey(), firstKey) << "the key is looked up once";
    }

    std::string sig = "untouched";
    EXPECT_EQ(cert->Sign(data, sig, CKM_SHA512), CKR_MECHANISM_INVALID) << "a digest it cannot name";
    EXPECT_EQ(sig, "untouched");
    // The SM2 mechanism is asked for as such; this module does not offer it.
    EXPECT_EQ(cert->Sign(data, sig, 0), CKR_MECHANISM_INVALID);
}

TEST_F(TokenTest, EncryptsAndDecryptsOnTheToken)
{
    ASSERT_NO_FATAL_FAILURE(openAndLogin(2));
    std::unique_ptr<Cert> cert = certWithId(SoftHsmToken::id(1));
    ASSERT_TRUE(cert);
    const std::string plain("secret\x00text", 11);
    std::string cipher;
    ASSERT_EQ(cert->Encrypt(plain, cipher), CKR_OK);
    EXPECT_EQ(cipher.size(), 256u);

    // The cipher text is for the certificate's own key.
    ossl::EvpPkeyPtr key = parseKeyPem(m_token->keyPem(1));
    ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_decrypt_init(ctx.get()), 1);
    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
    std::string opened(256, '\0');
    std::size_t len = opened.size();
    ASSERT_EQ(EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(opened.data()), &len,
                               reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size()),
              1);
    opened.resize(len);
    EXPECT_EQ(opened, plain);

    std::string back;
    ASSERT_EQ(cert->Decrypt(cipher, back), CKR_OK);
    EXPECT_EQ(back, plain);

    std::string garbage;
    EXPECT_NE(cert->Decrypt(std::string(256, 'x'), garbage), CKR_OK);
}

TEST_F(TokenTest, ForeignCertificateBorrowsAKeyOnlyWhenTheTokenHasJustOne)
{
    testsupport::KeyAndCert foreign = testsupport::makeRsaCert(2048);
    for (int pairs : {1, 2}) {
        SCOPED_TRACE(pairs);
        TearDown();
        m_initialized = false;
        ASSERT_NO_FATAL_FAILURE(openAndLogin(pairs));
        ASSERT_EQ(m_slot.CreateCert(m_session, foreign.certDer(), "subject", "\x7f"), CKR_OK);
        std::unique_ptr<Cert> cert = certWithId("\x7f");
        ASSERT_TRUE(cert);
        std::string sig;
        const CK_RV rv = cert->Sign("data", sig, CKM_SHA_1);
        if (pairs == 1) {
            // The token's only key stands in, as tokens whose keys hide their modulus need.
            EXPECT_EQ(rv, CKR_OK);
            ASSERT_TRUE(cert->CachedKey());
            EXPECT_EQ(stringAttr(m_session, cert->CachedKey()->PrivateHandle(), CKA_ID), SoftHsmToken::id(1));
        } else {
            EXPECT_EQ(rv, kNoKey);
            EXPECT_TRUE(sig.empty());
            EXPECT_EQ(cert->CachedKey(), nullptr);
        }
    }
}

TEST_F(TokenTest, GeneratesKeyPairsWithTheFixedTemplates)
{
    ASSERT_NO_FATAL_FAILURE(openAndLogin(0));
    Key key(m_session, CK_INVALID_HANDLE, CK_INVALID_HANDLE);
    ASSERT_EQ(key.GenKeyPair(2048), CKR_OK);
    ASSERT_NE(key.PublicHandle(), CK_INVALID_HANDLE);
    ASSERT_NE(key.PrivateHandle(), CK_INVALID_HANDLE);

    const std::string id("123456789\0", 10);
    const std::string subject("tarnquill\0", 10);
    for (CK_OBJECT_HANDLE object : {key.PublicHandle(), key.PrivateHandle()}) {
        EXPECT_EQ(stringAttr(m_session, object, CKA_ID), id);
        EXPECT_EQ(stringAttr(m_session, object, CKA_SUBJECT), subject);
        EXPECT_EQ(ulongAttr(m_session, object, CKA_KEY_TYPE), CKK_RSA);
        EXPECT_EQ(stringAttr(m_session, object, CKA_TOKEN), std::string(1, CK_TRUE));
    }
    EXPECT_EQ(ulongAttr(m_session, key.PublicHandle(), CKA_CLASS), CKO_PUBLIC_KEY);
    EXPECT_EQ(ulongAttr(m_session, key.PublicHandle(), CKA_MODULUS_BITS), 2048u);
    for (CK_ATTRIBUTE_TYPE flag : {CKA_ENCRYPT, CKA_VERIFY, CKA_VERIFY_RECOVER, CKA_WRAP})
        EXPECT_EQ(stringAttr(m_session, key.PublicHandle(), flag), std::string(1, CK_TRUE)) << flag;
    EXPECT_EQ(ulongAttr(m_session, key.PrivateHandle(), CKA_CLASS), CKO_PRIVATE_KEY);
    for (CK_ATTRIBUTE_TYPE flag : {CKA_DECRYPT, CKA_SIGN, CKA_SIGN_RECOVER, CKA_UNWRAP})
        EXPECT_EQ(stringAttr(m_session, key.PrivateHandle(), flag), std::string(1, CK_TRUE)) << flag;

    // Both halves describe the same key.
    ossl::EvpPkeyPtr publicKey = key.GetEvpKey();
    ASSERT_TRUE(publicKey);
    EXPECT_EQ(EVP_PKEY_get_bits(publicKey.get()), 2048);
    EXPECT_EQ(key.GetPubKeyFromePriv(), ossl::toDer(publicKey.get(), i2d_PUBKEY));
    EXPECT_EQ(key.GetPubKeyFromePrivFT(), "") << "an RSA key is not taken for an SM2 one";
    EXPECT_EQ(key.GetEvpKeyFT(), nullptr);
    std::string readId, readSubject;
    ASSERT_EQ(key.GetSubjectAndId(readId, readSubject), CKR_OK);
    EXPECT_EQ(readId, id);
    EXPECT_EQ(readSubject, subject);
}

TEST_F(TokenTest, RequestFromTheTokenVerifiesForEachSelector)
{
    ASSERT_NO_FATAL_FAILURE(openAndLogin(0));
    struct Case {
        Csr::hash_algo_t hash;
        int signatureNid;
    };
    const Case cases[] = {{Csr::HASH_MD5, NID_md5WithRSAEncryption},
                          {Csr::HASH_SHA1, NID_sha1WithRSAEncryption},
                          {Csr::HASH_SHA256, NID_sha256WithRSAEncryption}};
    std::vector<std::string> keys;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hash);
        const Csr csr("Token User", "Bank", "Branch", "CN", "user@example.com", "", "", c.hash);
        std::string der;
        ASSERT_EQ(m_slot.GenCsr(csr, m_session, der, 2048), CKR_OK);
        ASSERT_FALSE(der.empty());
        const auto* p = reinterpret_cast<const unsigned char*>(der.data());
        ossl::X509ReqPtr req(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
        ASSERT_TRUE(req);
        EXPECT_EQ(X509_REQ_get_signature_nid(req.get()), c.signatureNid);
        EXPECT_EQ(X509_REQ_verify(req.get(), X509_REQ_get0_pubkey(req.get())), 1);
        keys.push_back(ossl::toDer(X509_REQ_get0_pubkey(req.get()), i2d_PUBKEY));
    }
    // Every request got a key pair of its own, and the pairs stay on the token.
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(std::unique(keys.begin(), keys.end()), keys.end());
    CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE templ[] = {detail::attribute(CKA_CLASS, privateClass)};
    detail::FindObjects search(m_session, templ, 1);
    int privateKeys = 0;
    for (CK_OBJECT_HANDLE object; search.Next(object);)
        ++privateKeys;
    EXPECT_EQ(privateKeys, 3);
}

TEST_F(TokenTest, InstallsACertificateNextToItsKeyAndRefusesAStranger)
{
    ASSERT_NO_FATAL_FAILURE(openAndLogin(1));
    ossl::EvpPkeyPtr tokenKey = parseKeyPem(m_token->keyPem(1));
    const std::string reissued = issueFor(tokenKey.get(), "Reissued");

    ASSERT_EQ(m_slot.InstallCert(m_session, reissued), CKR_OK);
    auto list = certs();
    ASSERT_EQ(list.size(), 2u);
    const auto installed = std::find_if(list.begin(), list.end(), [&](const auto& c) { return c->toDer() == reissued; });
    ASSERT_NE(installed, list.end());
    const CK_OBJECT_HANDLE object = (*installed)->GetHandle();
    EXPECT_EQ(stringAttr(m_session, object, CKA_ID), SoftHsmToken::id(1));
    EXPECT_EQ(stringAttr(m_session, object, CKA_LABEL), "A certificate object");
    EXPECT_EQ(ulongAttr(m_session, object, CKA_CERTIFICATE_TYPE), CKC_X_509);
    // The subject comes from the key object (the script's import gives it none).
    EXPECT_EQ(stringAttr(m_session, object, CKA_SUBJECT), "");
    std::string sig;
    ASSERT_EQ((*installed)->Sign("data", sig, CKM_SHA256), CKR_OK);
    EXPECT_TRUE(certVerifies(reissued, EVP_sha256(), "data", sig));
    list.clear();

    testsupport::KeyAndCert stranger = testsupport::makeRsaCert(2048);
    EXPECT_EQ(m_slot.InstallCert(m_session, stranger.certDer()), kNotInstalled);
    EXPECT_EQ(m_slot.InstallCert(m_session, "not a certificate"), kNotInstalled);
    EXPECT_EQ(certs().size(), 2u) << "nothing written";
}

TEST_F(TokenTest, MissingModuleFunctionsGiveTheLayersOwnResults)
{
    ASSERT_NO_FATAL_FAILURE(openAndLogin(1));
    std::unique_ptr<Cert> real = certWithId(SoftHsmToken::id(1));
    ASSERT_TRUE(real);
    ASSERT_EQ(real->GetKey(), CKR_OK);
    const Key* found = real->CachedKey();

    // The module's own list with calls taken out; the session is not closed through it.
    CK_FUNCTION_LIST stripped = *m_dll.Functions();
    stripped.C_CloseSession = nullptr;
    stripped.C_SignInit = nullptr;
    stripped.C_Encrypt = nullptr;
    stripped.C_DecryptInit = nullptr;
    stripped.C_GenerateKeyPair = nullptr;
    Session session(&stripped, m_session.GetHandle());
    Key key(session, found->PublicHandle(), found->PrivateHandle());
    std::string out;
    EXPECT_EQ(key.Sign("data", out, CKM_SHA_1), kMissingFunction);
    EXPECT_EQ(key.Encrypt("data", out), kMissingFunction);
    EXPECT_EQ(key.Decrypt("data", out), kMissingFunction);
    EXPECT_EQ(key.GenKeyPair(2048), kNoKeyGeneration);
    EXPECT_EQ(Slot(&stripped, m_slot.GetId()).GenCsr(Csr("x", "", "", "", "", "", "", Csr::HASH_SHA1), session,
                                                      out, 2048),
              kNoKeyGeneration);
    EXPECT_TRUE(out.empty());
}

TEST(CertificateHelpersTest, RecogniseSm2CertificatesAndPublicKeys)
{
    testsupport::KeyAndCert sm2 = testsupport::makeSm2Cert();
    testsupport::KeyAndCert rsa = testsupport::makeRsaCert(2048);
    EXPECT_TRUE(isgmcert(sm2.certDer()));
    EXPECT_FALSE(isgmcert(rsa.certDer()));
    ossl::EvpPkeyPtr p256(EVP_EC_gen("P-256"));
    EXPECT_FALSE(isgmcert(issueFor(p256.get(), "EC on another curve")));
    EXPECT_FALSE(isgmcert("garbage"));
    EXPECT_FALSE(isgmcert(""));

    EXPECT_EQ(GetPubkey(rsa.certDer()), ossl::toDer(rsa.key.get(), i2d_PUBKEY));
    EXPECT_FALSE(GetPubkey(sm2.certDer()).empty());
    EXPECT_EQ(GetPubkey("garbage"), "");
}

TEST(CertificateHelpersTest, RsaKeyFromModulusAndExponent)
{
    testsupport::KeyAndCert rsa = testsupport::makeRsaCert(2048);
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(rsa.key.get(), "n", &n), 1);
    ASSERT_EQ(EVP_PKEY_get_bn_param(rsa.key.get(), "e", &e), 1);
    ossl::BignumPtr nOwner(n), eOwner(e);
    std::string modulus(BN_num_bytes(n), '\0'), exponent(BN_num_bytes(e), '\0');
    BN_bn2bin(n, reinterpret_cast<unsigned char*>(modulus.data()));
    BN_bn2bin(e, reinterpret_cast<unsigned char*>(exponent.data()));
    ossl::EvpPkeyPtr rebuilt = Key::GetRsaEvpKey(modulus, exponent);
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(ossl::toDer(rebuilt.get(), i2d_PUBKEY), ossl::toDer(rsa.key.get(), i2d_PUBKEY));
    // A leading zero byte, as some modules store the modulus, names the same number.
    EXPECT_EQ(ossl::toDer(Key::GetRsaEvpKey(std::string(1, '\0') + modulus, exponent).get(), i2d_PUBKEY),
              ossl::toDer(rsa.key.get(), i2d_PUBKEY));
}

} // namespace
