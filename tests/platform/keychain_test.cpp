#include "platform/Keychain.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>
#include <openssl/decoder.h>
#include <openssl/rsa.h>
#include <sqlite3.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using testsupport::makeRsaCert;

namespace {

testsupport::Subject named(const std::string& cn, const std::string& o = {})
{
    testsupport::Subject s;
    s.cn = cn;
    s.o = o;
    return s;
}

struct Unref {
    void operator()(const kc::Object* o) const noexcept { kc::Release(o); }
};
template <typename T>
using Ref = std::unique_ptr<T, Unref>;

Ref<kc::Certificate> certOf(const testsupport::KeyAndCert& kcert)
{
    return Ref<kc::Certificate>(kc::Certificate::CreateWithData(kcert.certDer()));
}

mode_t modeOf(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

long countRows(sqlite3* db, const char* table)
{
    sqlite3_stmt* st = nullptr;
    const std::string sql = std::string("SELECT count(*) FROM ") + table;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
    long n = -1;
    if (sqlite3_step(st) == SQLITE_ROW)
        n = static_cast<long>(sqlite3_column_int64(st, 0));
    sqlite3_finalize(st);
    return n;
}

class KeychainStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_DATA_HOME", dir.str().c_str(), 1);
        store.reset(kc::Keychain::CopyDefault());
        ASSERT_TRUE(store);
    }
    void reopen()
    {
        store.reset();
        store.reset(kc::Keychain::CopyDefault());
        ASSERT_TRUE(store);
    }
    testsupport::TempDir dir;
    Ref<kc::Keychain> store;
};

TEST(KeychainPath, FollowsXdgDataHomeAndFallsBackToHome)
{
    testsupport::TempDir home;
    setenv("HOME", home.str().c_str(), 1);
    setenv("XDG_DATA_HOME", "/srv/data/", 1);
    EXPECT_EQ(kc::Keychain::DefaultPath(), "/srv/data/halvorn/keychain.db");
    for (const char* ignored : {"", "relative/dir"}) {
        setenv("XDG_DATA_HOME", ignored, 1);
        EXPECT_EQ(kc::Keychain::DefaultPath(), home.str() + "/.local/share/halvorn/keychain.db");
    }
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(kc::Keychain::DefaultPath(), home.str() + "/.local/share/halvorn/keychain.db");
}

TEST_F(KeychainStore, FolderAndFilesArePrivate)
{
    const std::string folder = dir.str() + "/halvorn";
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(folder + "/keychain.db"), 0600u);
    // Write once so the WAL files exist, then check them too.
    auto a = makeRsaCert(1024);
    ASSERT_EQ(store->AddCertificate(certOf(a).get()), kc::errSecSuccess);
    EXPECT_EQ(modeOf(folder + "/keychain.db-wal"), 0600u);
    EXPECT_EQ(modeOf(folder + "/keychain.db-shm"), 0600u);

    // A widened folder or file is tightened again when the store opens.
    chmod(folder.c_str(), 0755);
    chmod((folder + "/keychain.db").c_str(), 0644);
    reopen();
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(folder + "/keychain.db"), 0600u);
}

TEST_F(KeychainStore, UsesWriteAheadLogging)
{
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(store->connection(), "PRAGMA journal_mode", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "wal");
    sqlite3_finalize(st);
}

TEST(KeychainCertificate, IsMadeOnlyFromExactlyOneDerCertificate)
{
    auto a = makeRsaCert(1024, named("Alice"), 0x1234);
    const std::string der = a.certDer();
    Ref<kc::Certificate> cert(kc::Certificate::CreateWithData(der));
    ASSERT_TRUE(cert);
    EXPECT_EQ(cert->data(), der);
    std::string cn;
    EXPECT_EQ(cert->CopyCommonName(cn), kc::errSecSuccess);
    EXPECT_EQ(cn, "Alice");
    EXPECT_EQ(cert->serialHex(), "1234");

    const std::string notCerts[] = {"", "hello", der.substr(0, der.size() - 1), der + '\0',
                                    a.certPem()};
    for (const auto& bytes : notCerts)
        EXPECT_EQ(kc::Certificate::CreateWithData(bytes), nullptr) << bytes.size();
}

TEST(KeychainCertificate, WithoutCommonNameReportsNotFound)
{
    auto a = makeRsaCert(1024, named("", "Org"));
    Ref<kc::Certificate> cert(certOf(a));
    std::string cn = "unchanged";
    EXPECT_EQ(cert->CopyCommonName(cn), kc::errSecItemNotFound);
    EXPECT_EQ(cn, "unchanged");
}

TEST_F(KeychainStore, AddReportsDuplicateAndTrustIsKeptPerCertificate)
{
    auto a = makeRsaCert(1024);
    Ref<kc::Certificate> cert(certOf(a));
    EXPECT_FALSE(store->IsTrusted(cert.get()));
    // Trust may come before the certificate is in the store.
    EXPECT_EQ(store->SetTrustRoot(cert.get()), kc::errSecSuccess);
    EXPECT_EQ(store->AddCertificate(cert.get()), kc::errSecSuccess);
    EXPECT_EQ(store->AddCertificate(cert.get()), kc::errSecDuplicateItem);
    EXPECT_TRUE(store->IsTrusted(cert.get()));

    std::vector<kc::CertificateEntry> entries;
    ASSERT_EQ(store->CopyEntries(entries), kc::errSecSuccess);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].certificate->data(), a.certDer());
    EXPECT_TRUE(entries[0].trusted);
    EXPECT_FALSE(entries[0].hasPrivateKey);
    kc::Release(entries[0].certificate);
}

TEST_F(KeychainStore, IdentityExistsExactlyWhenTheMatchingPrivateKeyIsStored)
{
    auto a = makeRsaCert(1024);
    auto other = makeRsaCert(1024);
    Ref<kc::Certificate> cert(certOf(a));
    ASSERT_EQ(store->AddCertificate(cert.get()), kc::errSecSuccess);

    kc::Identity* id = nullptr;
    EXPECT_EQ(kc::Identity::CreateWithCertificate(nullptr, cert.get(), &id), kc::errSecItemNotFound);
    EXPECT_EQ(id, nullptr);

    ASSERT_EQ(store->AddPrivateKey(other.key.get(), "other"), kc::errSecSuccess);
    EXPECT_EQ(kc::Identity::CreateWithCertificate(nullptr, cert.get(), &id), kc::errSecItemNotFound);

    ASSERT_EQ(store->AddPrivateKey(a.key.get(), "mine"), kc::errSecSuccess);
    EXPECT_EQ(store->AddPrivateKey(a.key.get(), "again"), kc::errSecDuplicateItem);
    // The default search list finds it, and so does the store named directly.
    ASSERT_EQ(kc::Identity::CreateWithCertificate(nullptr, cert.get(), &id), kc::errSecSuccess);
    Ref<kc::Identity> identity(id);
    ASSERT_EQ(kc::Identity::CreateWithCertificate(store.get(), cert.get(), &id), kc::errSecSuccess);
    kc::Release(id);

    kc::Key* key = nullptr;
    kc::Certificate* back = nullptr;
    ASSERT_EQ(identity->CopyPrivateKey(&key), kc::errSecSuccess);
    ASSERT_EQ(identity->CopyCertificate(&back), kc::errSecSuccess);
    Ref<kc::Key> priv(key);
    Ref<kc::Certificate> backRef(back);
    EXPECT_TRUE(priv->isPrivate());
    EXPECT_EQ(priv->label(), "mine");
    EXPECT_EQ(EVP_PKEY_eq(priv->pkey(), a.key.get()), 1);
    EXPECT_EQ(back, cert.get());
}

TEST_F(KeychainStore, GeneratedPairIsPermanentAndExportsSpkiAndPkcs1)
{
    std::string access = "bank key";
    kc::Key* pub = nullptr;
    kc::Key* priv = nullptr;
    ASSERT_EQ(store->GenerateKeyPair("bank key", 1280, &access, &pub, &priv), kc::errSecSuccess);
    Ref<kc::Key> pubRef(pub), privRef(priv);
    EXPECT_FALSE(pub->isPrivate());
    EXPECT_TRUE(priv->isPrivate());
    EXPECT_EQ(priv->sizeInBits(), 1280);

    std::string spki, pkcs1;
    ASSERT_EQ(pub->Export(spki), kc::errSecSuccess);
    ASSERT_EQ(priv->Export(pkcs1), kc::errSecSuccess);
    const auto* p = reinterpret_cast<const unsigned char*>(spki.data());
    ossl::EvpPkeyPtr fromSpki(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
    ASSERT_TRUE(fromSpki);
    p = reinterpret_cast<const unsigned char*>(pkcs1.data());
    // Decoded strictly as the type-specific (PKCS#1) structure, not PKCS#8.
    EVP_PKEY* decoded = nullptr;
    std::unique_ptr<OSSL_DECODER_CTX, ossl::Deleter<OSSL_DECODER_CTX_free>> dctx(
        OSSL_DECODER_CTX_new_for_pkey(&decoded, "DER", "type-specific", "RSA", EVP_PKEY_KEYPAIR,
                                      nullptr, nullptr));
    size_t left = pkcs1.size();
    ASSERT_EQ(OSSL_DECODER_from_data(dctx.get(), &p, &left), 1) << "not a PKCS#1 RSAPrivateKey";
    ossl::EvpPkeyPtr fromPkcs1(decoded);
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(EVP_PKEY_get_bits(fromPkcs1.get()), 1280);
    EXPECT_EQ(EVP_PKEY_eq(fromSpki.get(), fromPkcs1.get()), 1);

    // The public half cannot act as the private one.
    std::string sig;
    EXPECT_EQ(pub->Sign(kc::SignAlgorithm::SHA256WithRSA, "x", sig), kc::errSecInvalidKey);

    // It survives reopening, under its label, with its access descriptor.
    pubRef.reset();
    privRef.reset();
    reopen();
    std::vector<kc::Key*> keys;
    ASSERT_EQ(store->CopyKeysWithLabel("bank key", keys), kc::errSecSuccess);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0]->sizeInBits(), 1280);
    kc::Release(keys[0]);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(store->connection(), "SELECT access FROM keys", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "bank key");
    sqlite3_finalize(st);
}

TEST_F(KeychainStore, GenerationRejectsUnusableSizes)
{
    kc::Key* pub = nullptr;
    kc::Key* priv = nullptr;
    for (int bits : {0, 512, 1023, 20000})
        EXPECT_EQ(store->GenerateKeyPair("x", bits, nullptr, &pub, &priv), kc::errSecParam) << bits;
    EXPECT_EQ(countRows(store->connection(), "keys"), 0);
}

TEST_F(KeychainStore, SignEncryptDecryptInteroperateWithOpenssl)
{
    auto a = makeRsaCert(1024);
    Ref<kc::Certificate> cert(certOf(a));
    ASSERT_EQ(store->AddPrivateKey(a.key.get(), "k"), kc::errSecSuccess);
    kc::Key* raw = nullptr;
    ASSERT_EQ(store->CopyPrivateKeyForCertificate(cert.get(), &raw), kc::errSecSuccess);
    Ref<kc::Key> priv(raw);
    ASSERT_EQ(cert->CopyPublicKey(&raw), kc::errSecSuccess);
    Ref<kc::Key> pub(raw);
    EXPECT_FALSE(pub->isPrivate());

    const std::string data = "payment order 42";
    const struct {
        kc::SignAlgorithm alg;
        const EVP_MD* md;
    } cases[] = {{kc::SignAlgorithm::MD5WithRSA, EVP_md5()},
                 {kc::SignAlgorithm::SHA1WithRSA, EVP_sha1()},
                 {kc::SignAlgorithm::SHA256WithRSA, EVP_sha256()}};
    for (const auto& c : cases) {
        std::string sig;
        ASSERT_EQ(priv->Sign(c.alg, data, sig), kc::errSecSuccess);
        EXPECT_TRUE(testsupport::verifyRsaPkcs1(a.key.get(), c.md, data, sig));
        EXPECT_FALSE(testsupport::verifyRsaPkcs1(a.key.get(), c.md, data + ".", sig));
    }
    std::string sig = "untouched";
    EXPECT_NE(priv->Sign(kc::SignAlgorithm::MD2WithRSA, data, sig), kc::errSecSuccess);
    EXPECT_EQ(sig, "untouched");

    // Store encrypts, OpenSSL decrypts with PKCS#1 v1.5.
    std::string cipher;
    ASSERT_EQ(pub->Encrypt(data, cipher), kc::errSecSuccess);
    {
        ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(a.key.get(), nullptr));
        ASSERT_EQ(EVP_PKEY_decrypt_init(ctx.get()), 1);
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
        std::string plain(256, '\0');
        size_t len = plain.size();
        ASSERT_EQ(EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()), &len,
                                   reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size()), 1);
        EXPECT_EQ(plain.substr(0, len), data);
    }
    // OpenSSL encrypts, the store decrypts.
    {
        ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(a.key.get(), nullptr));
        ASSERT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
        std::string c(256, '\0');
        size_t len = c.size();
        ASSERT_EQ(EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char*>(c.data()), &len,
                                   reinterpret_cast<const unsigned char*>(data.data()), data.size()), 1);
        c.resize(len);
        std::string plain;
        ASSERT_EQ(priv->Decrypt(c, plain), kc::errSecSuccess);
        EXPECT_EQ(plain, data);
        c[5] ^= 1;
        EXPECT_NE(priv->Decrypt(c, plain), kc::errSecSuccess);
    }
    std::string plain;
    EXPECT_EQ(pub->Decrypt(cipher, plain), kc::errSecInvalidKey);
    // Too long for one RSA block: fails, nothing half-done.
    EXPECT_NE(pub->Encrypt(std::string(200, 'x'), cipher), kc::errSecSuccess);
}

TEST_F(KeychainStore, DeleteRemovesCertificateKeyAndTrust)
{
    auto a = makeRsaCert(1024);
    Ref<kc::Certificate> cert(certOf(a));
    ASSERT_EQ(store->SetTrustRoot(cert.get()), kc::errSecSuccess);
    ASSERT_EQ(store->Import({cert.get()}, a.key.get(), "a"), kc::errSecSuccess);

    kc::Key* raw = nullptr;
    ASSERT_EQ(store->CopyPrivateKeyForCertificate(cert.get(), &raw), kc::errSecSuccess);
    Ref<kc::Key> key(raw);
    EXPECT_EQ(store->DeleteCertificate(cert.get()), kc::errSecSuccess);
    EXPECT_EQ(store->DeleteCertificate(cert.get()), kc::errSecItemNotFound);
    EXPECT_FALSE(store->IsTrusted(cert.get()));
    EXPECT_EQ(store->DeleteKey(key.get()), kc::errSecSuccess);
    EXPECT_EQ(store->DeleteKey(key.get()), kc::errSecItemNotFound);
    EXPECT_EQ(countRows(store->connection(), "certificates"), 0);
    EXPECT_EQ(countRows(store->connection(), "keys"), 0);
    EXPECT_EQ(countRows(store->connection(), "trust"), 0);
}

TEST_F(KeychainStore, DeletingWithKeyKeepsAKeyThatAnotherCertificateUses)
{
    auto a = makeRsaCert(1024, named("old"), 1);
    // A renewal: same key, new certificate.
    testsupport::KeyAndCert renewed;
    renewed.key.reset(EVP_PKEY_dup(a.key.get()));
    {
        auto tmp = makeRsaCert(1024, named("new"), 2);
        ossl::X509Ptr x(X509_dup(tmp.cert.get()));
        X509_set_pubkey(x.get(), a.key.get());
        X509_sign(x.get(), a.key.get(), EVP_sha256());
        renewed.cert = std::move(x);
    }
    Ref<kc::Certificate> oldCert(certOf(a)), newCert(certOf(renewed));
    ASSERT_EQ(store->Import({oldCert.get(), newCert.get()}, a.key.get(), "a"), kc::errSecSuccess);

    bool keyDeleted = true;
    EXPECT_EQ(store->DeleteCertificateAndKey(oldCert.get(), &keyDeleted), kc::errSecSuccess);
    EXPECT_FALSE(keyDeleted);
    EXPECT_EQ(countRows(store->connection(), "keys"), 1);
    EXPECT_EQ(store->DeleteCertificateAndKey(newCert.get(), &keyDeleted), kc::errSecSuccess);
    EXPECT_TRUE(keyDeleted);
    EXPECT_EQ(countRows(store->connection(), "keys"), 0);
    EXPECT_EQ(store->DeleteCertificateAndKey(newCert.get(), &keyDeleted), kc::errSecItemNotFound);
}

TEST_F(KeychainStore, FailedImportLeavesNothingBehind)
{
    auto a = makeRsaCert(1024);
    auto b = makeRsaCert(1024);
    Ref<kc::Certificate> ca(certOf(a)), cb(certOf(b));
    // Make the key write fail after the certificates were written.
    ASSERT_EQ(sqlite3_exec(store->connection(),
                           "CREATE TRIGGER no_keys BEFORE INSERT ON keys "
                           "BEGIN SELECT RAISE(ABORT, 'refused'); END;",
                           nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(store->Import({ca.get(), cb.get()}, a.key.get(), "a"), kc::errSecIO);
    EXPECT_EQ(countRows(store->connection(), "certificates"), 0);
    EXPECT_EQ(countRows(store->connection(), "keys"), 0);

    // A key that is not RSA is refused before anything is written.
    auto sm2 = testsupport::makeSm2Cert();
    Ref<kc::Certificate> csm2(certOf(sm2));
    EXPECT_EQ(store->Import({csm2.get()}, sm2.key.get(), "sm2"), kc::errSecInvalidKey);
    EXPECT_EQ(countRows(store->connection(), "certificates"), 0);
}

// A child imports and deletes pairs in a loop and is killed at a random
// moment; every reopened store must pass SQLite's check and hold each
// certificate together with its key, never one without the other.
TEST_F(KeychainStore, SurvivesAKillInTheMiddleOfImports)
{
    constexpr int kPairs = 12;
    std::vector<testsupport::KeyAndCert> pairs;
    for (int i = 0; i < kPairs; ++i)
        pairs.push_back(makeRsaCert(1024, named("pair " + std::to_string(i)), i + 1));
    std::mt19937 rng(12345);
    store.reset();

    for (int round = 0; round < 4; ++round) {
        int progress[2];
        ASSERT_EQ(pipe(progress), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(progress[0]);
            kc::Keychain* s = kc::Keychain::CopyDefault();
            if (s == nullptr)
                _exit(2);
            for (long i = 0;; ++i) {
                auto& p = pairs[static_cast<std::size_t>(i % kPairs)];
                kc::Certificate* c = kc::Certificate::CreateWithData(p.certDer());
                s->Import({c}, p.key.get(), "loop");
                kc::Release(c);
                auto& q = pairs[static_cast<std::size_t>((i + kPairs / 2) % kPairs)];
                c = kc::Certificate::CreateWithData(q.certDer());
                s->DeleteCertificateAndKey(c);
                kc::Release(c);
                if (i == 3)
                    (void)!write(progress[1], "x", 1);
            }
        }
        close(progress[1]);
        char c;
        ASSERT_EQ(read(progress[0], &c, 1), 1);
        close(progress[0]);
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 40));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));

        Ref<kc::Keychain> s(kc::Keychain::CopyDefault());
        ASSERT_TRUE(s);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(s->connection(), "PRAGMA integrity_check", -1, &st, nullptr);
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
        EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
        sqlite3_finalize(st);

        std::vector<kc::CertificateEntry> entries;
        ASSERT_EQ(s->CopyEntries(entries), kc::errSecSuccess);
        EXPECT_EQ(countRows(s->connection(), "keys"), static_cast<long>(entries.size()));
        for (auto& e : entries) {
            EXPECT_TRUE(e.hasPrivateKey);
            kc::Release(e.certificate);
        }
    }
}

TEST(KeychainObject, CountsRetainsAndReleases)
{
    auto a = makeRsaCert(1024);
    kc::Certificate* cert = kc::Certificate::CreateWithData(a.certDer());
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(cert->retainCount(), 1);
    EXPECT_EQ(kc::Retain(cert), cert);
    EXPECT_EQ(cert->retainCount(), 2);
    kc::Release(cert);
    EXPECT_EQ(cert->retainCount(), 1);
    kc::Release(cert);  // deleted here; ASan reports a leak or double free otherwise
    kc::Release(static_cast<kc::Object*>(nullptr));
}

TEST_F(KeychainStore, DefaultStoreStaysOpenForItsPathAndFollowsChanges)
{
    // The same path hands back the open store.
    Ref<kc::Keychain> again(kc::Keychain::CopyDefault());
    EXPECT_EQ(again.get(), store.get());

    // Another XDG_DATA_HOME is another store.
    testsupport::TempDir other;
    setenv("XDG_DATA_HOME", other.str().c_str(), 1);
    Ref<kc::Keychain> moved(kc::Keychain::CopyDefault());
    ASSERT_TRUE(moved);
    EXPECT_NE(moved.get(), store.get());
    EXPECT_EQ(moved->path(), other.str() + "/halvorn/keychain.db");
    moved.reset();

    // A store file replaced behind our back is opened afresh, and the new
    // file gets its schema.
    setenv("XDG_DATA_HOME", dir.str().c_str(), 1);
    const std::string file = dir.str() + "/halvorn/keychain.db";
    ASSERT_EQ(::rename(file.c_str(), (file + ".old").c_str()), 0);
    Ref<kc::Keychain> fresh(kc::Keychain::CopyDefault());
    ASSERT_TRUE(fresh);
    EXPECT_NE(fresh.get(), store.get());
    auto a = makeRsaCert(1024);
    EXPECT_EQ(fresh->AddCertificate(certOf(a).get()), kc::errSecSuccess);
    struct stat st {};
    EXPECT_EQ(stat(file.c_str(), &st), 0);
}

TEST_F(KeychainStore, KeptPrivateKeyIsNotHandedOutOnceDeleted)
{
    auto a = makeRsaCert(1024);
    Ref<kc::Certificate> cert(certOf(a));
    ASSERT_EQ(store->Import({cert.get()}, a.key.get(), "mine"), kc::errSecSuccess);

    kc::Key* raw = nullptr;
    ASSERT_EQ(store->CopyPrivateKeyForCertificate(cert.get(), &raw), kc::errSecSuccess);
    Ref<kc::Key> first(raw);
    ASSERT_EQ(store->CopyPrivateKeyForCertificate(cert.get(), &raw), kc::errSecSuccess);
    Ref<kc::Key> second(raw);
    EXPECT_EQ(second->pkey(), first->pkey());  // decoded once
    std::string sig;
    EXPECT_EQ(second->Sign(kc::SignAlgorithm::SHA256WithRSA, "data", sig), kc::errSecSuccess);

    // Deleted through another connection, as another process would.
    {
        Ref<kc::Keychain> elsewhere(kc::Keychain::Open(store->path()));
        ASSERT_TRUE(elsewhere);
        ASSERT_NE(elsewhere.get(), store.get());
        ASSERT_EQ(elsewhere->DeleteKey(first.get()), kc::errSecSuccess);
    }
    EXPECT_EQ(store->CopyPrivateKeyForCertificate(cert.get(), &raw), kc::errSecItemNotFound);
    kc::Identity* id = nullptr;
    EXPECT_EQ(kc::Identity::CreateWithCertificate(nullptr, cert.get(), &id), kc::errSecItemNotFound);

    // Stored again, it is found again; deleted here, it is gone at once.
    ASSERT_EQ(store->AddPrivateKey(a.key.get(), "back"), kc::errSecSuccess);
    ASSERT_EQ(store->CopyPrivateKeyForCertificate(cert.get(), &raw), kc::errSecSuccess);
    Ref<kc::Key> third(raw);
    EXPECT_EQ(third->label(), "back");
    EXPECT_EQ(EVP_PKEY_eq(third->pkey(), a.key.get()), 1);
    bool keyDeleted = false;
    ASSERT_EQ(store->DeleteCertificateAndKey(cert.get(), &keyDeleted), kc::errSecSuccess);
    EXPECT_TRUE(keyDeleted);
    EXPECT_EQ(store->CopyPrivateKeyForCertificate(cert.get(), &raw), kc::errSecItemNotFound);
}

} // namespace
