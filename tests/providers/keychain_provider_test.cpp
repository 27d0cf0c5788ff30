// The keychain provider over a private store file (XDG_DATA_HOME in a temp
// folder): registry, listing with filters, selection by index and through the
// chooser, signing with a selection that outlived its listing, import, delete
// and key pair generation.

#include "providers/SMProviderManager.h"

#include "core/CFChooseCertificatesPanel.h"
#include "core/Codepage.h"
#include "core/codec.h"
#include "tests/providers/Checks.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <cstdlib>

using testsupport::KeyAndCert;
using testsupport::makeRsaCert;

namespace {

testsupport::Subject subject(const std::string& cn, const std::string& st = "")
{
    testsupport::Subject s;
    s.cn = cn;
    s.o = "Bank";
    s.st = st;
    return s;
}

// A user who selects `row` (none: selects nothing) and presses `response`.
class ScriptedDialog final : public platform::IChooserDialog {
public:
    ScriptedDialog(std::optional<std::size_t> row, platform::ChooserResponse response)
        : m_row(row), m_response(response)
    {
    }
    platform::ChooserResponse runModal(platform::IChooserTable& table) override
    {
        for (std::size_t i = 0; i < table.numberOfRows(); ++i)
            labels.push_back(table.labelOfRow(i));
        if (m_row)
            table.selectionDidChange(m_row);
        return m_response;
    }
    std::vector<std::string> labels;

private:
    std::optional<std::size_t> m_row;
    platform::ChooserResponse m_response;
};

class NoViewer final : public platform::ICertificateViewer {
public:
    bool show(const std::string&) override { return false; }
};

class KeychainProvider : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_DATA_HOME", data.str().c_str(), 1);
        CodePage::Set(65001);
        alice = makeRsaCert(2048, subject("Alice Smith", "Zhejiang"), 0x0A1B);
        bob = makeRsaCert(2048, subject("Bob"), 2);
        alice2 = makeRsaCert(2048, subject("Alice Smith"), 3);
        store.Attach(kc::Keychain::CopyDefault(), true);
        ASSERT_NE(store.GetHandle(), nullptr);
        add(alice, true);
        add(bob, true);
        add(alice2, false);
        ASSERT_EQ(registry.obtainProvider("keychain", 0, provider), 0);
        ASSERT_NE(provider, nullptr);
    }

    void add(const KeyAndCert& kc, bool withKey)
    {
        CSecurityObjectImpl<SecCertificateRef> cert(kc::Certificate::CreateWithData(kc.certDer()), true);
        const kc::Certificate* c = cert.GetHandle();
        ASSERT_EQ(store.GetHandle()->Import({c}, withKey ? kc.key.get() : nullptr, "key"), kc::errSecSuccess);
    }

    std::vector<std::string> list(const _CERTIFICATE_INFO_& query = {})
    {
        std::vector<std::string> names{"stale"};
        EXPECT_EQ(provider->enumerateCerts(query, names), 0);
        return names;
    }

    std::size_t storedCount()
    {
        std::vector<SecCertificateRef> certs;
        store.GetHandle()->CopyCertificates(certs);
        for (SecCertificateRef c : certs)
            kc::Release(c);
        return certs.size();
    }

    testsupport::TempDir data;
    testsupport::TempDir work;
    CSecurityObjectImpl<SecKeychainRef> store;
    KeyAndCert alice, bob, alice2;
    SMProviderManager registry;
    SMProvider* provider = nullptr;
};

using Names = std::vector<std::string>;

// A query record with the given fields filled.
using Field = std::string _CERTIFICATE_INFO_::*;
_CERTIFICATE_INFO_ query(std::initializer_list<std::pair<Field, std::string>> fields)
{
    _CERTIFICATE_INFO_ q;
    for (const auto& [field, value] : fields)
        q.*field = value;
    return q;
}
constexpr Field kCn = &_CERTIFICATE_INFO_::cn;
constexpr Field kSn = &_CERTIFICATE_INFO_::sn;
constexpr Field kO = &_CERTIFICATE_INFO_::o;
constexpr Field kSt = &_CERTIFICATE_INFO_::st;
constexpr Field kSubject = &_CERTIFICATE_INFO_::subject;

} // namespace

TEST_F(KeychainProvider, RegistryKeepsTheFirstProviderOfAName)
{
    SMProvider* again = nullptr;
    EXPECT_EQ(registry.obtainProvider("keychain", 4, again), 6) << "the type is not compared";
    EXPECT_EQ(again, provider);
    SMProvider* second = nullptr;
    EXPECT_EQ(registry.obtainProvider("any other name", 0, second), 0);
    EXPECT_NE(second, provider);
    EXPECT_EQ(registry.size(), 2u);
    EXPECT_EQ(registry.clearProviders(), 0);
    EXPECT_EQ(registry.size(), 0u);
    EXPECT_EQ(registry.obtainProvider("keychain", 0, again), 0);
}

TEST_F(KeychainProvider, ListingFiltersByTheQueryAndNamesByCommonName)
{
    EXPECT_EQ(list(), (Names{"Alice Smith", "Bob", "Alice Smith"}));
    const struct {
        const char* name;
        _CERTIFICATE_INFO_ query;
        Names expected;
    } cases[] = {
        {"cn ignores ASCII case", query({{kCn, "alice smith"}}), {"Alice Smith", "Alice Smith"}},
        {"cn is whole-string", query({{kCn, "Alice"}}), {}},
        {"sn in hex, any case", query({{kSn, "0a1b"}}), {"Alice Smith"}},
        {"sn without its leading zero", query({{kSn, "a1b"}}), {}},
        {"st from the subject", query({{kSt, "zhejiang"}}), {"Alice Smith"}},
        {"two fields must both agree", query({{kCn, "Bob"}, {kO, "BANK"}}), {"Bob"}},
        {"subject as RFC 2253 text", query({{kSubject, "CN=Bob,O=Bank"}}), {"Bob"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(list(c.query), c.expected) << c.name;
    EXPECT_EQ(provider->certificates().size(), 1u) << "the listing holds the last result";
}

TEST_F(KeychainProvider, NamesFollowTheProcessCodePage)
{
    add(makeRsaCert(1024, subject("张三"), 9), false);
    CodePage::Set(963);
    EXPECT_EQ(list(query({{kCn, "张三"}})), (Names{"\xD5\xC5\xC8\xFD"}));
    CodePage::Set(0);
    EXPECT_EQ(list(query({{kCn, "Bob"}})), (Names{std::string("B\0o\0b\0", 6)}));
    CodePage::Set(65001);
}

TEST_F(KeychainProvider, SelectionByIndexStaysInsideTheListing)
{
    std::shared_ptr<SMCertificate> selected;
    EXPECT_EQ(provider->selectCert(0, 0, selected), -2) << "nothing listed yet";
    EXPECT_EQ(selected, nullptr);
    list();
    ASSERT_EQ(provider->selectCert(0, 1, selected), 0);
    EXPECT_EQ(selected->certificate().toDer(), bob.certDer());
    for (int outside : {3, -1, 1 << 30}) {
        std::shared_ptr<SMCertificate> kept = selected;
        EXPECT_EQ(provider->selectCert(0, outside, kept), -2) << outside;
        EXPECT_EQ(kept, selected) << "a failed selection leaves the out-parameter alone";
    }
}

TEST_F(KeychainProvider, ChooserShowsTheListingAndMapsTheChoiceBack)
{
    std::vector<std::string> shown;
    ScriptedDialog choose1(1, platform::ChooserResponse::Ok);
    NoViewer viewer;
    provider->setChooser([&](const std::vector<std::string>& ders) {
        shown = ders;
        return ChooseCertificates(ders, choose1, viewer);
    });
    std::shared_ptr<SMCertificate> selected;
    EXPECT_EQ(provider->selectCert(1, 0, selected), -2) << "an empty listing shows no chooser";
    EXPECT_TRUE(shown.empty());

    list(query({{kCn, "Alice Smith"}}));
    ASSERT_EQ(provider->selectCert(1, 99, selected), 0) << "certid is not used";
    EXPECT_EQ(shown, (Names{alice.certDer(), alice2.certDer()}));
    EXPECT_EQ(choose1.labels, (Names{"Alice Smith", "Alice Smith"}));
    EXPECT_EQ(selected, provider->certificates()[1]) << "equal names still stand for their own rows";

    ScriptedDialog cancel(0, platform::ChooserResponse::Cancel);
    provider->setChooser([&](const std::vector<std::string>& ders) { return ChooseCertificates(ders, cancel, viewer); });
    std::shared_ptr<SMCertificate> none;
    EXPECT_EQ(provider->selectCert(1, 0, none), -2);
    EXPECT_EQ(none, nullptr);
}

TEST_F(KeychainProvider, SelectedCertificateSignsAfterTheProviderListsAgain)
{
    list();
    std::shared_ptr<SMCertificate> selected;
    ASSERT_EQ(provider->selectCert(0, 0, selected), 0);
    list(query({{kCn, "Bob"}}));
    list(query({{kCn, "nobody"}}));
    ASSERT_TRUE(provider->certificates().empty());

    std::string p7;
    ASSERT_EQ(selected->sign("pay 10", 0x00, p7), 0);
    EXPECT_TRUE(PKCS7Verify(p7, ""));
    EXPECT_EQ(providertest::cmsVerify(work, p7), "pay 10");
    _CERTIFICATE_INFO_ info;
    ASSERT_EQ(selected->getCertInfo(info), 0);
    EXPECT_EQ(info.sn, "0A1B");
}

TEST_F(KeychainProvider, KeyOperationsOfTheKeychainKind)
{
    std::int32_t count = 0;
    EXPECT_EQ(provider->keyCount(count), -2);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(provider->selectKey(0), -2) << "before a listing";
    list();
    EXPECT_EQ(provider->selectKey(7), 0);
    EXPECT_EQ(provider->verifypin("1234"), -2);
    std::string text = "untouched";
    EXPECT_EQ(provider->exportCert(0, text), -1);
    EXPECT_EQ(text, "untouched");
}

TEST_F(KeychainProvider, ImportFormats)
{
    const KeyAndCert c1 = makeRsaCert(1024, subject("Import One"), 11);
    const KeyAndCert c2 = makeRsaCert(1024, subject("Import Two"), 12);
    const KeyAndCert c3 = makeRsaCert(1024, subject("Import Three"), 13);
    const KeyAndCert c4 = makeRsaCert(1024, subject("Import Four"), 14);
    testsupport::writeFile(work.path() / "a.pem", c3.certPem());
    testsupport::writeFile(work.path() / "b.pem", c4.certPem());
    const auto bundle = testsupport::run("openssl crl2pkcs7 -nocrl -outform DER -certfile "
                                         + (work.path() / "a.pem").string() + " -certfile "
                                         + (work.path() / "b.pem").string() + " -out "
                                         + (work.path() / "bundle.p7").string());
    ASSERT_EQ(bundle.status, 0) << bundle.output;
    const std::string p7 = testsupport::readFile(work.path() / "bundle.p7");
    const auto empty = testsupport::run("openssl crl2pkcs7 -nocrl -outform DER -out "
                                        + (work.path() / "empty.p7").string());
    ASSERT_EQ(empty.status, 0) << empty.output;

    const struct {
        const char* name;
        std::string data;
        int format;
        int expected;
    } cases[] = {
        {"Base64 DER", ICodec::encode(c1.certDer()), 0, 0},
        {"the same again", ICodec::encode(c1.certDer()), 0, 0},
        {"PEM", c2.certPem(), 1, 0},
        {"PKCS#7 bundle", ICodec::encode(p7), 2, 0},
        {"PKCS#7 without certificates", ICodec::encode(testsupport::readFile(work.path() / "empty.p7")), 2, 0},
        {"bytes that are not PKCS#7", ICodec::encode(c1.certDer()), 2, -2},
        {"not a certificate", ICodec::encode("garbage"), 0, -2},
        {"unknown format", ICodec::encode(makeRsaCert(1024).certDer()), 3, -2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(provider->importCert(c.data, c.format), c.expected) << c.name;
    EXPECT_EQ(list(query({{kO, "Bank"}})),
              (Names{"Alice Smith", "Bob", "Alice Smith", "Import One", "Import Two", "Import Three", "Import Four"}));
    EXPECT_EQ(storedCount(), 7u) << "the refused ones left nothing behind";
}

TEST_F(KeychainProvider, DeleteShiftsTheListing)
{
    std::shared_ptr<SMCertificate> selected;
    EXPECT_EQ(provider->deleteCert(0), -1) << "nothing listed";
    list();
    ASSERT_EQ(provider->selectCert(0, 1, selected), 0);
    EXPECT_EQ(provider->deleteCert(3), -2);
    EXPECT_EQ(provider->deleteCert(-1), -2);
    ASSERT_EQ(provider->deleteCert(1), 0);
    EXPECT_EQ(provider->certNames(), (Names{"Alice Smith", "Alice Smith"}));
    EXPECT_EQ(provider->certificates()[1]->certificate().toDer(), alice2.certDer());
    EXPECT_EQ(storedCount(), 2u);
    std::vector<SecKeyRef> keys;
    store.GetHandle()->CopyKeysWithLabel("key", keys);
    EXPECT_EQ(keys.size(), 1u) << "Bob's key went with his certificate";
    for (SecKeyRef k : keys)
        kc::Release(k);

    // The session's selection was the deleted certificate: it is kept, empty.
    std::string out;
    EXPECT_FALSE(selected->valid());
    EXPECT_EQ(selected->sign("data", 0, out), -2);
    EXPECT_EQ(list(), (Names{"Alice Smith", "Alice Smith"}));
}

TEST_F(KeychainProvider, GenCsrMakesAKeyPairInTheStore)
{
    csr_t csr;
    csr.keyLabel = "new key";
    csr.keySize = 2048;
    csr.CN = "Carol";
    csr.O = "Bank";
    csr.ST = "Zhejiang";
    std::string request;
    ASSERT_EQ(provider->genCSR(csr, request), 0);
    const auto* p = reinterpret_cast<const unsigned char*>(request.data());
    ossl::X509ReqPtr req(d2i_X509_REQ(nullptr, &p, static_cast<long>(request.size())));
    ASSERT_TRUE(req);
    EXPECT_EQ(X509_REQ_verify(req.get(), X509_REQ_get0_pubkey(req.get())), 1);
    char cn[64] = {};
    X509_NAME_get_text_by_NID(X509_REQ_get_subject_name(req.get()), NID_commonName, cn, sizeof cn);
    EXPECT_STREQ(cn, "Carol");
    std::vector<SecKeyRef> keys;
    store.GetHandle()->CopyKeysWithLabel("new key", keys);
    EXPECT_EQ(keys.size(), 1u);
    for (SecKeyRef k : keys)
        kc::Release(k);
}
