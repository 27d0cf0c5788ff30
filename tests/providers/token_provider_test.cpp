// The token adapter provider over the software adapter: where adapters are
// found and which names are refused, token contexts and selection, the
// signing table for RSA and SM2 tokens checked by independent verifiers, the
// adapter's error codes, and a selection that outlives its token list.

#include "providers/SMProviderManager.h"

#include "core/Codepage.h"
#include "core/codec.h"
#include "SM/fp7.h"
#include "tests/providers/Checks.h"
#include "tests/token/SoftToken.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <regex>

namespace fs = std::filesystem;
using testsupport::KeyAndCert;

namespace {

using Names = std::vector<std::string>;

testsupport::Subject named(const std::string& cn)
{
    testsupport::Subject s;
    s.cn = cn;
    return s;
}

// The "alg=" of every SM_sign call in the adapter's log, in order.
std::vector<int> signAlgorithms(const std::string& log)
{
    std::vector<int> algs;
    const std::regex line("SM_sign token=\\S+ alg=(-?[0-9]+)");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it)
        algs.push_back(std::stoi((*it)[1].str()));
    return algs;
}

// The signer's signature value inside SM2 signed data.
std::string sm2EncDigest(const std::string& p7der)
{
    const auto* p = reinterpret_cast<const unsigned char*>(p7der.data());
    ossl::Sm2P7Ptr p7(d2i_SM2_P7(nullptr, &p, static_cast<long>(p7der.size())));
    if (!p7 || p7->d.sign == nullptr || sk_SM2_SIGNER_INFO_num(p7->d.sign->signer_info) != 1)
        return {};
    const ASN1_OCTET_STRING* sig = sk_SM2_SIGNER_INFO_value(p7->d.sign->signer_info, 0)->enc_digest;
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(sig)),
                       static_cast<std::size_t>(ASN1_STRING_length(sig)));
}

// A private installation: HALVORN_ROOT and HOME in temp folders, the
// software adapter's tokens in a third.
class AdapterFolders : public ::testing::Test {
protected:
    void SetUp() override
    {
        CodePage::Set(65001);
        setenv("HALVORN_ROOT", root.str().c_str(), 1);
        setenv("HOME", home.str().c_str(), 1);
        softtoken::useRoot(tokens.path());
        softtoken::useLog(logDir.path() / "calls.log");
    }

    static fs::path folderUnder(const fs::path& top) { return top.string() + kAdapterFolder; }
    fs::path systemFolder() const { return folderUnder(root.path()); }
    fs::path homeFolder() const { return folderUnder(home.path()); }

    static void install(const fs::path& folder, const std::string& file,
                        const std::string& library = softtoken::adapterPath())
    {
        fs::create_directories(folder);
        fs::copy_file(library, folder / file, fs::copy_options::overwrite_existing);
    }

    std::string log() const
    {
        return fs::exists(logDir.path() / "calls.log") ? testsupport::readFile(logDir.path() / "calls.log") : "";
    }

    testsupport::TempDir root, home, tokens, logDir, work;
    SMProviderManager registry;
};

// Token "alice" holds an RSA and an SM2 certificate with their keys; token
// "bob" one RSA certificate.
class TokenProvider : public AdapterFolders {
protected:
    void SetUp() override
    {
        AdapterFolders::SetUp();
        alice.add(rsa);
        alice.add(sm2);
        bob.add(bobCert);
        install(systemFolder(), "soft.dylib");
        ASSERT_EQ(registry.obtainProvider("soft", 1, provider), 0);
        std::int32_t count = 0;
        ASSERT_EQ(provider->keyCount(count), 0);
        ASSERT_EQ(count, 2);
    }

    // Certificate `index` of token 0.
    std::shared_ptr<SMCertificate> select(int index)
    {
        std::shared_ptr<SMCertificate> cert;
        EXPECT_EQ(provider->selectKey(0), 0);
        EXPECT_EQ(provider->selectCert(0, index, cert), 0);
        return cert;
    }

    KeyAndCert rsa = testsupport::makeRsaCert(2048, named("Alice RSA"));
    KeyAndCert sm2 = testsupport::makeSm2Cert(named("Alice SM2"));
    KeyAndCert bobCert = testsupport::makeRsaCert(2048, named("Bob"));
    softtoken::TokenFolder alice{tokens.path(), "alice"};
    softtoken::TokenFolder bob{tokens.path(), "bob"};
    SMProvider* provider = nullptr;
};

const std::string kData = "pay 100 to account 7";

} // namespace

TEST_F(AdapterFolders, FailedOpenLeavesNoEntryAndRetryFindsTheInstalledLibrary)
{
    SMProvider* provider = nullptr;
    EXPECT_EQ(registry.obtainProvider("soft", 1, provider), 2);
    EXPECT_EQ(provider, nullptr);
    EXPECT_EQ(registry.size(), 0u);
    install(systemFolder(), "soft.dylib");
    ASSERT_EQ(registry.obtainProvider("soft", 1, provider), 0);
    SMProvider* again = nullptr;
    EXPECT_EQ(registry.obtainProvider("soft", 4, again), 6) << "the type is not compared";
    EXPECT_EQ(again, provider);
    EXPECT_NE(log().find("SM_initialize"), std::string::npos) << "the adapter is initialised once loaded";
}

TEST_F(AdapterFolders, HomeFolderIsTheSecondPlace)
{
    install(homeFolder(), "mine.dylib");
    SMProvider* provider = nullptr;
    ASSERT_EQ(registry.obtainProvider("mine", 2, provider), 0);

    // Present in both: the system-wide one (the software adapter, which counts
    // the tokens) wins over the user's (an adapter without a token number).
    install(systemFolder(), "both.dylib");
    install(homeFolder(), "both.dylib", HALVORN_PARTIALADAPTER_PATH);
    ASSERT_EQ(registry.obtainProvider("both", 2, provider), 0);
    std::int32_t count = 99;
    EXPECT_EQ(provider->keyCount(count), 0);
    EXPECT_EQ(count, 0);

    SMProvider* partial = nullptr;
    install(homeFolder(), "partial.dylib", HALVORN_PARTIALADAPTER_PATH);
    ASSERT_EQ(registry.obtainProvider("partial", 2, partial), 0);
    EXPECT_EQ(partial->keyCount(count), 0) << "whatever the adapter reports";
    EXPECT_EQ(count, -1);
}

TEST_F(AdapterFolders, WithoutHomeOnlyTheSystemFolderIsSearched)
{
    install(homeFolder(), "mine.dylib");
    install(systemFolder(), "system.dylib");
    unsetenv("HOME");
    SMProvider* provider = nullptr;
    EXPECT_EQ(registry.obtainProvider("mine", 2, provider), 2);
    EXPECT_EQ(registry.obtainProvider("system", 2, provider), 0);
    setenv("HOME", "", 1);
    EXPECT_EQ(registry.obtainProvider("mine", 3, provider), 2);
}

TEST_F(AdapterFolders, NamesThatCouldLeaveTheFolderAreRefused)
{
    // Each refused name would reach a library if it were taken as given.
    install(systemFolder(), "soft.dylib");
    install(systemFolder(), "soft");                     // the NUL name's cut
    install(systemFolder(), "..soft.dylib");
    install(root.path() / "lib", "outside.dylib");
    const std::string long_name(NAME_MAX, 'a');
    install(systemFolder(), long_name.substr(0, NAME_MAX - 6) + ".dylib");
    const std::string names[] = {
        "",
        "../Penwright/soft",
        "..soft",
        "sub/../soft",
        std::string("soft\0.x", 7),
        "/" + (root.path() / "lib" / "outside").string().substr(1),
        long_name.substr(0, NAME_MAX - 5),
    };
    for (const std::string& name : names) {
        SMProvider* provider = nullptr;
        EXPECT_EQ(registry.obtainProvider(name, 1, provider), 2) << name;
    }
    EXPECT_EQ(registry.size(), 0u);
    EXPECT_EQ(log(), "") << "nothing was loaded or called";
    SMProvider* longest = nullptr;
    EXPECT_EQ(registry.obtainProvider(long_name.substr(0, NAME_MAX - 6), 1, longest), 0)
        << "the longest file name still loads";
}

TEST_F(TokenProvider, TokenContextsListingAndSelection)
{
    const struct {
        int index;
        int result;
        int keyIndex;
    } keys[] = {{-5, -2, 0}, {1, 0, 1}, {2, -2, 1}, {0, 0, 0}};
    for (const auto& k : keys) {
        EXPECT_EQ(provider->selectKey(k.index), k.result) << k.index;
        EXPECT_EQ(provider->keyIndex(), k.keyIndex) << k.index;
    }

    _CERTIFICATE_INFO_ query;
    query.cn = "nobody";
    Names names;
    EXPECT_EQ(provider->enumerateCerts(query, names), 0);
    EXPECT_EQ(names, (Names{"unknown", "unknown"})) << "the query is not used";
    ASSERT_EQ(provider->selectKey(1), 0);
    EXPECT_EQ(provider->enumerateCerts(query, names), 0);
    EXPECT_EQ(names, (Names{"unknown"}));

    std::shared_ptr<SMCertificate> cert;
    ASSERT_EQ(provider->selectCert(5, 0, cert), 0) << "the type is not used";
    _CERTIFICATE_INFO_ info;
    ASSERT_EQ(cert->getCertInfo(info), 0);
    EXPECT_EQ(info.cn, "Bob");
    std::shared_ptr<SMCertificate> kept = cert;
    EXPECT_EQ(provider->selectCert(0, 1, kept), -2) << "outside the token's list";
    EXPECT_EQ(provider->selectCert(0, -1, kept), -2);
    EXPECT_EQ(kept, cert);

    std::string text;
    csr_t csr;
    EXPECT_EQ(provider->verifypin(""), -2);
    EXPECT_EQ(provider->genCSR(csr, text), -1);
    EXPECT_EQ(provider->importCert(ICodec::encode(rsa.certDer()), 0), -1);
    EXPECT_EQ(provider->exportCert(0, text), -1);
    EXPECT_EQ(provider->deleteCert(0), -1);
}

TEST_F(AdapterFolders, BeforeTheKeyCountThereAreNoTokens)
{
    softtoken::TokenFolder alice{tokens.path(), "alice"};
    alice.add(testsupport::makeRsaCert(1024));
    install(systemFolder(), "soft.dylib");
    SMProvider* provider = nullptr;
    ASSERT_EQ(registry.obtainProvider("soft", 1, provider), 0);
    Names names{"stale"};
    EXPECT_EQ(provider->enumerateCerts({}, names), 0);
    EXPECT_TRUE(names.empty());
    std::shared_ptr<SMCertificate> cert;
    EXPECT_EQ(provider->selectCert(0, 0, cert), -2);
    EXPECT_EQ(provider->selectKey(0), -2);
}

TEST_F(TokenProvider, RsaSignFlagsTable)
{
    const std::shared_ptr<SMCertificate> cert = select(0);
    ASSERT_TRUE(cert);
    const struct {
        int flags;
        int identifier;     // asked of the adapter
        const char* form;   // "attached", "detached", "raw"
        const EVP_MD* md;
    } cases[] = {
        {0x00, 64, "attached", EVP_sha1()},    {0x13, 4, "detached", EVP_md5()},
        {0x16, 672, "detached", EVP_sha256()}, {0x24, 65, "raw", EVP_sha1()},
        {0x32, 64, "attached", EVP_sha1()},    {0x14, 65, "detached", EVP_sha1()},
        {0x826, 672, "raw", EVP_sha256()},     {0x809, 64, "attached", EVP_sha1()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "flags 0x" << c.flags);
        const std::size_t before = signAlgorithms(log()).size();
        std::string out;
        ASSERT_EQ(cert->sign(kData, c.flags, out), 0);
        const std::vector<int> algs = signAlgorithms(log());
        ASSERT_GT(algs.size(), before);
        for (std::size_t i = before; i < algs.size(); ++i)
            EXPECT_EQ(algs[i], c.identifier);   // the length query and the signature
        const std::string form = c.form;
        if (form == "raw") {
            EXPECT_TRUE(providertest::rsaVerifies(rsa.key.get(), c.md, kData, out));
            continue;
        }
        const bool attached = form == "attached";
        EXPECT_TRUE(PKCS7Verify(out, attached ? "" : kData));
        EXPECT_EQ(cert->Verify(out, attached ? 0x00 : 0x10, kData), 0);
        EXPECT_EQ(providertest::cmsVerify(work, out, attached ? std::nullopt : std::optional(kData)), kData);
        EXPECT_EQ(PKCS7Cert(out), (Names{rsa.certDer()}));
    }
}

TEST_F(TokenProvider, AdapterErrorsComeBackAsText)
{
    const std::shared_ptr<SMCertificate> cert = select(0);
    ASSERT_TRUE(cert);
    std::string out;
    // The adapter answers SOFT_E_ALGORITHM (-6): its low 31 bits.
    EXPECT_EQ(cert->sign(kData, 0x01, out), -2) << "MD2 is not offered by the adapter";
    EXPECT_EQ(out, "2147483642");
    EXPECT_EQ(cert->sign(kData, 0x05, out), -2) << "SM3 selector on an RSA certificate";
    EXPECT_EQ(out, "2147483642");

    const struct {
        std::int32_t code;
        std::string text;
    } cases[] = {
        {-5, "2147483643"},
        {INT32_MIN + 5, "5"},
        {INT32_MIN, "0"},
        {-2147483647, "1"},
        {-1000, "2147482648"},
    };
    for (const auto& c : cases) {
        alice.failWith("SM_sign", c.code);
        out = "untouched";
        EXPECT_EQ(cert->sign(kData, 0x10, out), -2) << c.code;
        EXPECT_EQ(out, c.text) << c.code;
    }
    alice.failWith("SM_sign", 0);
    out = "untouched";
    EXPECT_EQ(cert->sign(kData, 0x10, out), -2);
    EXPECT_EQ(out, "untouched") << "a zero result leaves the output alone";
}

TEST_F(TokenProvider, Sm2SignsWithIdentifierZeroWhateverTheSelector)
{
    const std::shared_ptr<SMCertificate> cert = select(1);
    ASSERT_TRUE(cert);
    for (int flags : {0x00, 0x11, 0x03, 0x24, 0x05, 0x16, 0x37}) {
        SCOPED_TRACE(testing::Message() << std::hex << "flags 0x" << flags);
        std::string out;
        ASSERT_EQ(cert->sign(kData, flags, out), 0);
        EXPECT_EQ(signAlgorithms(log()).back(), 0);
        switch (DecodeSignFlags(flags).type) {
        case SIG_TYPE_RAW:
            ASSERT_EQ(out.size(), 64u);
            EXPECT_EQ(cert->Verify(out, 0x20, kData), 0);
            EXPECT_EQ(cert->Verify(out, 0x20, kData + "!"), 3);
            break;
        case SIG_TYPE_DETACHED:
            EXPECT_EQ(SM2P7Verify(out, kData, nullptr), 1);
            EXPECT_TRUE(PKCS7Verify(out, kData));
            EXPECT_FALSE(PKCS7Verify(out, kData + "!"));
            break;
        default:
            EXPECT_EQ(SM2P7Verify(out, "", nullptr), 1);
            EXPECT_EQ(cert->Verify(out, 0x00, ""), 0);
            EXPECT_EQ(sm2EncDigest(out).size(), 64u) << "r || s as the adapter gave it";
            EXPECT_EQ(SM2P7Certificates(out), (Names{sm2.certDer()}));
            break;
        }
    }
}

TEST_F(TokenProvider, Sm2AnswerOf65BytesIsCutAndDerOnRequest)
{
    const std::shared_ptr<SMCertificate> cert = select(1);
    ASSERT_TRUE(cert);
    alice.setSm2SignatureSize(65);
    std::string raw;
    ASSERT_EQ(cert->sign(kData, 0x20, raw), 0);
    ASSERT_EQ(raw.size(), 64u);
    EXPECT_EQ(cert->Verify(raw, 0x20, kData), 0);

    std::string p7;
    ASSERT_EQ(cert->sign(kData, 0x800, p7), 0);
    const std::string packaged = sm2EncDigest(p7);
    ASSERT_FALSE(packaged.empty());
    EXPECT_EQ(packaged[0], '\x30') << "a DER SEQUENCE of r and s";
    EXPECT_EQ(EC_SM2_SIG_der2raw(packaged).size(), 64u);
    EXPECT_EQ(SM2P7Verify(p7, "", nullptr), 1);
    ASSERT_EQ(cert->sign(kData, 0x810, p7), 0);
    EXPECT_EQ(SM2P7Verify(p7, kData, nullptr), 1);
    ASSERT_EQ(cert->sign(kData, 0x820, raw), 0);
    EXPECT_EQ(raw.size(), 64u) << "the raw form stays r || s";
}

TEST_F(TokenProvider, SelectionOutlivesTheTokenList)
{
    std::shared_ptr<SMCertificate> cert = select(0);
    ASSERT_TRUE(cert);
    // A new key count drops the provider's contexts; the selection holds its own.
    std::int32_t count = 0;
    ASSERT_EQ(provider->keyCount(count), 0);
    Names names;
    ASSERT_EQ(provider->enumerateCerts({}, names), 0);
    EXPECT_EQ(log().find("SM_freeTokenCtx token=alice"), std::string::npos);
    std::string out;
    ASSERT_EQ(cert->sign(kData, 0x10, out), 0);
    EXPECT_EQ(providertest::cmsVerify(work, out, kData), kData);

    // Replacing the selection gives its reference back.
    const auto aliceFrees = [this] {
        const std::string text = log();
        std::size_t n = 0;
        for (auto at = text.find("SM_freeTokenCtx token=alice"); at != std::string::npos;
             at = text.find("SM_freeTokenCtx token=alice", at + 1))
            ++n;
        return n;
    };
    cert = select(1);
    EXPECT_EQ(aliceFrees(), 1u);
    ASSERT_EQ(provider->keyCount(count), 0);
    EXPECT_EQ(aliceFrees(), 1u) << "the new selection still holds the newer context";
    cert.reset();
    EXPECT_EQ(aliceFrees(), 2u);
}
