#include "core/OsFunctions.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <sqlite3.h>

#include <cstdlib>
#include <optional>
#include <vector>

using testsupport::makeRsaCert;

namespace {

long countRows(SecKeychainRef store, const std::string& sql)
{
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(store->connection(), sql.c_str(), -1, &st, nullptr);
    long n = -1;
    if (sqlite3_step(st) == SQLITE_ROW)
        n = static_cast<long>(sqlite3_column_int64(st, 0));
    sqlite3_finalize(st);
    return n;
}

std::string opensslDecrypt(EVP_PKEY* key, const std::string& cipher)
{
    ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    EVP_PKEY_decrypt_init(ctx.get());
    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
    std::string plain(1024, '\0');
    size_t len = plain.size();
    if (EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()), &len,
                         reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size()) != 1)
        return "<failed>";
    plain.resize(len);
    return plain;
}

class KeychainClasses : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_DATA_HOME", dir.str().c_str(), 1);
        keychain.emplace();
        ASSERT_NE(store(), nullptr);
    }
    SecKeychainRef store() { return keychain->GetHandle(); }
    long rows(const char* table) { return countRows(store(), std::string("SELECT count(*) FROM ") + table); }
    void exec(const char* sql)
    {
        ASSERT_EQ(sqlite3_exec(store()->connection(), sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    }
    bool trusted(const std::string& der)
    {
        CSecurityObjectImpl<SecCertificateRef> cert(kc::Certificate::CreateWithData(der), true);
        return store()->IsTrusted(cert.GetHandle());
    }

    testsupport::TempDir dir;
    std::optional<CKeyChain> keychain;  // opened once XDG_DATA_HOME points at dir
};

// ------------------------------------------------------------ holder

TEST(SecurityObjectHolder, AttachTakesOverRetainBorrowsDetachHandsBack)
{
    auto a = makeRsaCert(1024);
    SecCertificateRef cert = kc::Certificate::CreateWithData(a.certDer());
    ASSERT_NE(cert, nullptr);
    {
        CSecurityObjectImpl<SecCertificateRef> borrowed(cert, false);
        EXPECT_EQ(cert->retainCount(), 2);
        CSecurityObjectImpl<SecCertificateRef> owner;
        owner.Attach(kc::Retain(cert), true);
        EXPECT_EQ(cert->retainCount(), 3);
        SecCertificateRef detached = owner.Detach();
        EXPECT_EQ(owner.GetHandle(), nullptr);
        EXPECT_EQ(cert->retainCount(), 3);
        kc::Release(detached);
        CSecurityObjectImpl<SecCertificateRef> moved(std::move(borrowed));
        EXPECT_EQ(borrowed.GetHandle(), nullptr);
        EXPECT_EQ(moved.GetHandle(), cert);
        EXPECT_EQ(cert->retainCount(), 2);
        moved.Destroy();
        EXPECT_EQ(moved.GetHandle(), nullptr);
        EXPECT_EQ(cert->retainCount(), 1);
    }
    EXPECT_EQ(cert->retainCount(), 1);
    CSecurityObjectImpl<SecCertificateRef> last(cert, true);  // releases the last count
}

// ------------------------------------------------------------ import

TEST_F(KeychainClasses, ImportAddsAsTrustedRootAndADuplicateStillCounts)
{
    auto a = makeRsaCert(1024);
    EXPECT_TRUE(keychain->ImportCertificate(a.certDer()));
    EXPECT_EQ(rows("certificates"), 1);
    EXPECT_TRUE(trusted(a.certDer()));

    exec("DELETE FROM trust");
    EXPECT_TRUE(keychain->ImportCertificate(a.certDer()));  // already there: imported, trusted again
    EXPECT_EQ(rows("certificates"), 1);
    EXPECT_TRUE(trusted(a.certDer()));
}

TEST_F(KeychainClasses, ImportOfBytesThatAreNotACertificateTouchesNothing)
{
    auto a = makeRsaCert(1024);
    for (const std::string& bytes : {std::string(), std::string("not a certificate"), a.certPem(),
                                     a.certDer() + "x"}) {
        EXPECT_FALSE(keychain->ImportCertificate(bytes));
    }
    EXPECT_EQ(rows("certificates"), 0);
    EXPECT_EQ(rows("trust"), 0);
}

TEST_F(KeychainClasses, FailedTrustSettingIsLoggedAndTheCertificateStillAdded)
{
    exec("CREATE TRIGGER refuse BEFORE INSERT ON trust BEGIN SELECT RAISE(ABORT, 'denied'); END;");
    auto a = makeRsaCert(1024);
    testing::internal::CaptureStderr();
    const bool ok = keychain->ImportCertificate(a.certDer());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ok);
    EXPECT_EQ(err, "Could not change the trust setting for a certificate. Error: -36\n");
    EXPECT_EQ(rows("certificates"), 1);
    EXPECT_FALSE(trusted(a.certDer()));
}

// ------------------------------------------------------------ key pairs and requests

struct RequestFile {
    testsupport::TempDir dir;
    std::string path;
    explicit RequestFile(const std::string& der) : path(dir.str() + "/req.der")
    {
        testsupport::writeFile(path, der);
    }
};

csr_t names(std::string cn, std::string o = {}, std::string ou = {}, std::string c = {},
            std::string e = {}, std::string st = {}, std::string l = {})
{
    csr_t csr;
    csr.CN = cn;
    csr.O = o;
    csr.OU = ou;
    csr.C = c;
    csr.E = e;
    csr.ST = st;
    csr.L = l;
    return csr;
}

ossl::X509ReqPtr parseRequest(const std::string& der)
{
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    return ossl::X509ReqPtr(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
}

TEST_F(KeychainClasses, KeySizeIsTheOneAskedForOr2048)
{
    const struct {
        int asked;
        int made;
    } cases[] = {{1024, 1024}, {1536, 1536}, {0, 2048}, {1000, 2048}, {768, 2048}, {4352, 2048}, {-1, 2048}};
    for (const auto& c : cases) {
        csr_t csr;
        csr.keyLabel = "size " + std::to_string(c.asked);
        csr.keySize = c.asked;
        csr.CN = "size";
        const std::string der = keychain->createCSR(&csr);
        ASSERT_FALSE(der.empty()) << c.asked;
        auto req = parseRequest(der);
        ASSERT_TRUE(req);
        EXPECT_EQ(EVP_PKEY_get_bits(X509_REQ_get0_pubkey(req.get())), c.made) << c.asked;

        // The pair stays in the store under the label, and it is the request's key.
        std::vector<SecKeyRef> found;
        ASSERT_EQ(store()->CopyKeysWithLabel(csr.keyLabel, found), kc::errSecSuccess);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(EVP_PKEY_eq(found[0]->pkey(), X509_REQ_get0_pubkey(req.get())), 1);
        kc::Release(found[0]);
    }
}

TEST_F(KeychainClasses, EmptyLabelGivesTheDefaultLabel)
{
    csr_t csr;
    csr.keySize = 1024;
    ASSERT_FALSE(keychain->createCSR(&csr).empty());
    std::vector<SecKeyRef> found;
    ASSERT_EQ(store()->CopyKeysWithLabel("<key.tq>", found), kc::errSecSuccess);
    ASSERT_EQ(found.size(), 1u);
    kc::Release(found[0]);
    EXPECT_EQ(countRows(store(), "SELECT count(*) FROM keys WHERE access = '<key.tq>'"), 1);
}

TEST_F(KeychainClasses, RequestCarriesExactlyTheNonEmptyNameFieldsAndVerifies)
{
    struct Field {
        int nid;
        std::string value;
    };
    const struct {
        const char* name;
        csr_t csr;
        std::vector<Field> expected;
    } cases[] = {
        {"empty", {}, {}},
        {"cn only", names("张三"), {{NID_commonName, "张三"}}},
        {"all",
         names("Zhang San", "Bank", "Retail", "CN", "z@example.cn", "Beijing", "Haidian"),
         {{NID_commonName, "Zhang San"},
          {NID_countryName, "CN"},
          {NID_organizationName, "Bank"},
          {NID_organizationalUnitName, "Retail"},
          {NID_pkcs9_emailAddress, "z@example.cn"},
          {NID_stateOrProvinceName, "Beijing"},
          {NID_localityName, "Haidian"}}},
        {"some", names("", "Bank", "", "", "", "", "Haidian"), {{NID_organizationName, "Bank"}, {NID_localityName, "Haidian"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        csr_t csr = c.csr;
        csr.keySize = 1024;
        const std::string der = keychain->createCSR(&csr);
        ASSERT_FALSE(der.empty());
        auto req = parseRequest(der);
        ASSERT_TRUE(req);
        const X509_NAME* name = X509_REQ_get_subject_name(req.get());
        ASSERT_EQ(X509_NAME_entry_count(name), static_cast<int>(c.expected.size()));
        for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
            const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
            EXPECT_EQ(OBJ_obj2nid(X509_NAME_ENTRY_get_object(e)), c.expected[static_cast<std::size_t>(i)].nid);
            unsigned char* utf8 = nullptr;
            const int len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(e));
            EXPECT_EQ(std::string(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(len)),
                      c.expected[static_cast<std::size_t>(i)].value);
            OPENSSL_free(utf8);
        }
        EXPECT_EQ(X509_REQ_get_version(req.get()), 0);
        EXPECT_LE(X509_REQ_get_attr_count(req.get()), 0);  // -1: no attribute set at all

        RequestFile file(der);
        auto verify = testsupport::run("openssl req -inform DER -in " + file.path + " -verify -noout");
        EXPECT_EQ(verify.status, 0) << verify.output;
        // No attributes element at all, not even an empty [0].
        auto parsed = testsupport::run("openssl asn1parse -inform DER -in " + file.path);
        EXPECT_EQ(parsed.status, 0);
        EXPECT_EQ(parsed.output.find("cont [ 0 ]"), std::string::npos) << parsed.output;
    }
}

TEST_F(KeychainClasses, RequestDigestIsSha256ForHash7AndSha1Otherwise)
{
    for (int hash : {7, 3, 4, 1, 0}) {
        csr_t csr;
        csr.keySize = 1024;
        csr.CN = "digest";
        csr.hash = hash;
        auto req = parseRequest(keychain->createCSR(&csr));
        ASSERT_TRUE(req) << hash;
        EXPECT_EQ(X509_REQ_get_signature_nid(req.get()),
                  hash == 7 ? NID_sha256WithRSAEncryption : NID_sha1WithRSAEncryption)
            << hash;
    }
}

TEST_F(KeychainClasses, RequestWithAFieldTheNameCannotTakeFails)
{
    csr_t csr;
    csr.keySize = 1024;
    csr.CN = "x";
    csr.C = "CHN";  // countryName is two letters
    EXPECT_TRUE(keychain->createCSR(&csr).empty());
}

TEST_F(KeychainClasses, GenerateHandsBackOwnedOpensslObjects)
{
    X509_PUBKEY* pub = nullptr;
    EVP_PKEY* priv = nullptr;
    EXPECT_FALSE(keychain->generateRSAKeyPairs("k", 1024, nullptr, &priv));
    EXPECT_FALSE(keychain->generateRSAKeyPairs("k", 1024, &pub, nullptr));
    EXPECT_EQ(rows("keys"), 0);

    ASSERT_TRUE(keychain->generateRSAKeyPairs("k", 1024, &pub, &priv));
    std::unique_ptr<X509_PUBKEY, ossl::Deleter<X509_PUBKEY_free>> pubOwner(pub);
    ossl::EvpPkeyPtr privOwner(priv);
    EXPECT_EQ(EVP_PKEY_eq(X509_PUBKEY_get0(pub), priv), 1);
    EXPECT_EQ(EVP_PKEY_get_bits(priv), 1024);

    std::string pubDer, privDer;
    EXPECT_FALSE(keychain->_generateRSAKeyPairsAndExport("", 1024, pubDer, privDer));
    EXPECT_TRUE(pubDer.empty());
    EXPECT_EQ(rows("keys"), 1);
}

// ------------------------------------------------------------ certificates and keys

TEST_F(KeychainClasses, CertificateFromDerAndItsPublicKey)
{
    auto a = makeRsaCert(1024);
    CMacCertificate cert;
    EXPECT_FALSE(cert.Initialize("junk"));
    EXPECT_EQ(cert.toDer(), "");
    ASSERT_TRUE(cert.Initialize(a.certDer()));
    EXPECT_EQ(cert.toDer(), a.certDer());
    EXPECT_FALSE(cert.Initialize(a.certDer()));  // the holder must be empty
    CKey pub = cert.GetPublicKey();
    ASSERT_NE(pub.GetHandle(), nullptr);
    EXPECT_FALSE(pub.IsPrivate());
    EXPECT_EQ(EVP_PKEY_eq(pub.GetHandle()->pkey(), a.key.get()), 1);
    std::string sig;
    EXPECT_FALSE(pub.SignData("x", kc::SignAlgorithm::SHA1WithRSA, sig));
}

TEST_F(KeychainClasses, IdentitySignsAndCiphersOnlyWithAStoredPrivateKey)
{
    auto a = makeRsaCert(1024);
    CMacCertificate cert;
    ASSERT_TRUE(cert.Initialize(a.certDer()));
    ASSERT_TRUE(keychain->ImportCertificate(a.certDer()));

    CIdentity none;
    EXPECT_FALSE(none.Initialize(cert.GetHandle(), nullptr));
    EXPECT_EQ(none.GetPrivateKey().GetHandle(), nullptr);
    std::string out = "untouched";
    EXPECT_FALSE(cert.EncryptData("secret", out));
    EXPECT_FALSE(cert.DecryptData("secret", out));
    EXPECT_EQ(out, "untouched");

    ASSERT_EQ(store()->AddPrivateKey(a.key.get(), "a"), kc::errSecSuccess);
    CIdentity identity;
    ASSERT_TRUE(identity.Initialize(cert.GetHandle(), nullptr));
    CKey priv = identity.GetPrivateKey();
    EXPECT_TRUE(priv.IsPrivate());
    EXPECT_EQ(identity.GetCertificate().toDer(), a.certDer());
    EXPECT_FALSE(identity.GetPublicKey().IsPrivate());

    const std::string data = "transfer 100";
    std::string sig;
    ASSERT_TRUE(priv.SignData(data, kc::SignAlgorithm::SHA256WithRSA, sig));
    EXPECT_TRUE(testsupport::verifyRsaPkcs1(a.key.get(), EVP_sha256(), data, sig));
    EXPECT_EQ(KeychainSign(nullptr, kc::SignAlgorithm::SHA1WithRSA, data, sig), kc::errSecParam);

    std::string cipher, plain;
    ASSERT_TRUE(cert.EncryptData(data, cipher));
    EXPECT_EQ(opensslDecrypt(a.key.get(), cipher), data);
    ASSERT_TRUE(cert.DecryptData(cipher, plain));
    EXPECT_EQ(plain, data);
    EXPECT_FALSE(cert.DecryptData(cipher.substr(1), plain));
}

// What a PKCS#7 made by SignData says, read back with OpenSSL.
struct SignedData {
    bool parsed = false;
    bool detached = false;
    std::string content;
    int digestNid = 0;
    std::string signature;
    std::string certificate;
};

SignedData readSignedData(const std::string& der)
{
    SignedData out;
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    ossl::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
    if (!p7 || PKCS7_type_is_signed(p7.get()) == 0)
        return out;
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7.get());
    if (sk_PKCS7_SIGNER_INFO_num(signers) != 1 || sk_X509_num(p7->d.sign->cert) != 1)
        return out;
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, 0);
    X509_ALGOR* digest = nullptr;
    PKCS7_SIGNER_INFO_get0_algs(si, nullptr, &digest, nullptr);
    const ASN1_OBJECT* obj = nullptr;
    X509_ALGOR_get0(&obj, nullptr, nullptr, digest);
    out.digestNid = OBJ_obj2nid(obj);
    out.signature.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(si->enc_digest)),
                         static_cast<std::size_t>(ASN1_STRING_length(si->enc_digest)));
    out.certificate = ossl::toDer(sk_X509_value(p7->d.sign->cert, 0), i2d_X509);
    out.detached = PKCS7_get_detached(p7.get()) != 0;
    if (!out.detached) {
        const ASN1_OCTET_STRING* data = p7->d.sign->contents->d.data;
        out.content.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                           static_cast<std::size_t>(ASN1_STRING_length(data)));
    }
    out.parsed = true;
    return out;
}

TEST_F(KeychainClasses, SignDataPackagesBySignatureTypeWithTheAskedDigest)
{
    auto a = makeRsaCert(1024);
    ASSERT_EQ(store()->AddPrivateKey(a.key.get(), "a"), kc::errSecSuccess);
    CMacCertificate cert;
    ASSERT_TRUE(cert.Initialize(a.certDer()));
    const std::string data = "pay 100 to 6222";

    const struct {
        int type;
        int hash;
        const EVP_MD* md;
        int nid;
    } cases[] = {
        {0, 4, EVP_sha1(), NID_sha1},     {1, 3, EVP_md5(), NID_md5},
        {0, 7, EVP_sha256(), NID_sha256}, {1, 7, EVP_sha256(), NID_sha256},
        {0, 2, EVP_sha1(), NID_sha1},     {0, 5, EVP_sha1(), NID_sha1},
        {0, 6, EVP_sha1(), NID_sha1},     {0, 0, EVP_sha1(), NID_sha1},
        {2, 7, EVP_sha256(), 0},          {2, 3, EVP_md5(), 0},
        {9, 4, EVP_sha1(), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type) + " hash " + std::to_string(c.hash));
        std::string out;
        ASSERT_TRUE(cert.SignData(data, static_cast<sig_type_t>(c.type), static_cast<hash_algo_t>(c.hash), out,
                                  false));
        if (c.type >= 2) {
            EXPECT_TRUE(testsupport::verifyRsaPkcs1(a.key.get(), c.md, data, out));
            continue;
        }
        const SignedData sd = readSignedData(out);
        ASSERT_TRUE(sd.parsed);
        EXPECT_EQ(sd.digestNid, c.nid);
        EXPECT_EQ(sd.detached, c.type == 1);
        EXPECT_EQ(sd.content, c.type == 0 ? data : "");
        EXPECT_EQ(sd.certificate, a.certDer());
        EXPECT_TRUE(testsupport::verifyRsaPkcs1(a.key.get(), c.md, data, sd.signature));
    }

    // An attached signature over empty data comes out detached.
    std::string out;
    ASSERT_TRUE(cert.SignData("", SIG_TYPE_ATTACHED, HASH_ALGO_SHA1, out, false));
    EXPECT_TRUE(readSignedData(out).detached);

    // MD2 is not offered: a clean failure, the output untouched.
    out = "untouched";
    EXPECT_FALSE(cert.SignData(data, SIG_TYPE_RAW, HASH_ALGO_MD2, out, false));
    EXPECT_EQ(out, "untouched");
}

TEST_F(KeychainClasses, SignDataWithoutAStoredPrivateKeyFails)
{
    auto a = makeRsaCert(1024);
    ASSERT_TRUE(keychain->ImportCertificate(a.certDer()));
    CMacCertificate cert;
    ASSERT_TRUE(cert.Initialize(a.certDer()));
    std::string out = "untouched";
    EXPECT_FALSE(cert.SignData("data", SIG_TYPE_RAW, HASH_ALGO_SHA1, out, false));
    EXPECT_EQ(out, "untouched");
    EXPECT_FALSE(CMacCertificate().SignData("data", SIG_TYPE_RAW, HASH_ALGO_SHA1, out, false));
}

TEST_F(KeychainClasses, RemoveWithoutPrivateKeyDeletesOnlyTheCertificate)
{
    auto a = makeRsaCert(1024);
    auto other = makeRsaCert(1024);
    ASSERT_TRUE(keychain->ImportCertificate(a.certDer()));
    ASSERT_EQ(store()->AddPrivateKey(other.key.get(), "other"), kc::errSecSuccess);
    CMacCertificate cert;
    ASSERT_TRUE(cert.Initialize(a.certDer()));
    EXPECT_TRUE(cert.Remove());
    EXPECT_EQ(cert.GetHandle(), nullptr);
    EXPECT_EQ(rows("certificates"), 0);
    EXPECT_EQ(rows("keys"), 1);

    // Gone already: fails, and the holder is still emptied.
    ASSERT_TRUE(cert.Initialize(a.certDer()));
    EXPECT_FALSE(cert.Remove());
    EXPECT_EQ(cert.GetHandle(), nullptr);
    EXPECT_FALSE(cert.Remove());
}

TEST_F(KeychainClasses, RemoveWithPrivateKeyDeletesBoth)
{
    auto a = makeRsaCert(1024);
    ASSERT_TRUE(keychain->ImportCertificate(a.certDer()));
    ASSERT_EQ(store()->AddPrivateKey(a.key.get(), "a"), kc::errSecSuccess);
    CMacCertificate cert;
    ASSERT_TRUE(cert.Initialize(a.certDer()));
    EXPECT_TRUE(cert.Remove());
    EXPECT_EQ(rows("certificates"), 0);
    EXPECT_EQ(rows("keys"), 0);
    EXPECT_EQ(cert.GetHandle(), nullptr);
}

} // namespace
