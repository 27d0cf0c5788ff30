// The fifteen handlers on a TQSMLib session over real stores: a private
// keychain file and the software token adapter. Reply shapes are checked as
// exact texts where the page depends on them; signatures are checked by the
// Verify command and by independent tools.

#include "commands/TQSMLib.h"

#include "core/codec.h"
#include "tests/commands/CommandSession.h"
#include "tests/providers/Checks.h"
#include "tests/token/SoftToken.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;
using commandtest::parse;
using commandtest::Stores;
using commandtest::text;
using testsupport::KeyAndCert;

namespace {

testsupport::Subject subject(const std::string& cn, const std::string& st = "")
{
    testsupport::Subject s;
    s.cn = cn;
    s.o = "Bank";
    s.st = st;
    s.c = "CN";
    return s;
}

Json::Value verifyCommand(const std::string& signature, int flags, const std::string& msg)
{
    Json::Value c;
    c["ccode"] = 2;
    c["pid"] = 0;
    c["signed"] = signature;   // already Base64, as the sign reply gave it
    c["flags"] = flags;
    c["msg"] = ICodec::encode(msg);
    return c;
}

class KeychainSession : public Stores {
protected:
    void SetUp() override
    {
        Stores::SetUp();
        addToKeychain(alice);
        addToKeychain(bob);
        ASSERT_EQ(call(lib, R"({"pcode":0,"name":"keychain","type":0})"), "{\"code\":0,\"pcode\":0,\"pid\":0}\n");
    }

    void selectAlice()
    {
        const Json::Value list = run(R"({"pcode":5,"pid":0,"query":{"cn":"Alice Smith"}})");
        ASSERT_EQ(list["certnumber"].asInt(), 1);
        ASSERT_EQ(run(R"({"pcode":6,"pid":0,"type":0,"certid":0})")["code"].asInt(), 0);
    }

    KeyAndCert alice = testsupport::makeRsaCert(2048, subject("Alice Smith", "Zhejiang"), 0x0A1B);
    KeyAndCert bob = testsupport::makeRsaCert(2048, subject("Bob"), 2);
};

} // namespace

TEST_F(KeychainSession, ProvidersGetPidsInOpeningOrder)
{
    const struct {
        const char* command;
        const char* reply;
    } steps[] = {
        {R"({"pcode":0,"name":"keychain","type":0})", R"({"code":6,"pcode":0,"pid":0})"},
        {R"({"pcode":0,"name":"second","type":0})", R"({"code":0,"pcode":0,"pid":1})"},
        {R"({"pcode":0,"name":"libmissing.so","type":4})", R"({"code":2,"pcode":0,"pid":-1})"},
        {R"({"pcode":0,"name":"no-adapter","type":1})", R"({"code":2,"pcode":0,"pid":-1})"},
        {R"({"pcode":0,"name":"../../x","type":1})", R"({"code":2,"pcode":0,"pid":-1})"},
        {R"({"pcode":0,"name":"third","type":0})", R"({"code":0,"pcode":0,"pid":2})"},
        {R"({"pcode":0,"name":"second","type":4})", R"({"code":6,"pcode":0,"pid":1})"},
        {R"({"pcode":0,"type":0})", R"({"code":-2,"pcode":0,"pid":-1})"},
    };
    ::testing::internal::CaptureStdout();   // the PKCS#11 loader's lines
    for (const auto& s : steps)
        EXPECT_EQ(call(lib, s.command), std::string(s.reply) + "\n") << s.command;
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(lib.providerCount(), 3);
    EXPECT_EQ(lib.getProviderByID(3), nullptr);

    // Another session numbers its own providers from 0.
    TQSMLib other;
    EXPECT_EQ(call(other, R"({"pcode":0,"name":"second","type":0})"), "{\"code\":0,\"pcode\":0,\"pid\":0}\n");
    EXPECT_NE(other.getProviderByID(0), lib.getProviderByID(1));
}

TEST_F(KeychainSession, CodePageChangesEvenWhenTheProviderIsAlreadyOpen)
{
    EXPECT_EQ(call(lib, R"({"pcode":0,"name":"keychain","type":0,"codepage":936})"),
              "{\"code\":6,\"pcode\":0,\"pid\":0}\n");
    EXPECT_EQ(lib.m_codePage, 936);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(run(R"({"pcode":0,"name":"libmissing.so","type":4,"codepage":963})")["code"].asInt(), 2);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(lib.m_codePage, 963) << "stands even when opening fails";
    EXPECT_EQ(run(R"({"pcode":0,"name":"keychain","type":0,"codepage":"0"})")["code"].asInt(), 6);
    EXPECT_EQ(lib.m_codePage, 963) << "a code page that is not an integer is ignored";
}

TEST_F(KeychainSession, EachSessionListsInItsOwnCodePage)
{
    TQSMLib utf16;
    ASSERT_EQ(run(utf16, parse(R"({"pcode":0,"name":"k","type":0,"codepage":0})"))["code"].asInt(), 0);
    const std::string query = R"({"pcode":5,"pid":0,"query":{"cn":"Bob"}})";
    const std::string wide("B\0o\0b\0", 6);
    EXPECT_EQ(parse(call(utf16, query))["certlist"][0]["name"].asString(), wide);
    // The other session's code page must not leak into this one, nor back.
    EXPECT_EQ(run(query)["certlist"][0]["name"].asString(), "Bob");
    EXPECT_EQ(parse(call(utf16, query))["certlist"][0]["name"].asString(), wide);
}

TEST_F(KeychainSession, KeyCountAndSelectKeyPrintTheirLines)
{
    ::testing::internal::CaptureStdout();
    const std::string count = call(lib, R"({"pcode":7,"pid":0})");
    const std::string unknown = call(lib, R"({"pcode":7,"pid":5})");
    const std::string missing = call(lib, R"({"pcode":7})");
    const std::string before = call(lib, R"({"pcode":8,"pid":0})");
    call(lib, R"({"pcode":5,"pid":0,"query":{}})");
    const std::string after = call(lib, R"({"pcode":8,"pid":0,"keyindex":3})");
    const std::string stringPid = call(lib, R"({"pcode":8,"pid":"0"})");
    const std::string printed = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(count, "{\"code\":-2,\"keycount\":1,\"pcode\":7,\"pid\":0}\n") << "the keychain's count, with -2";
    EXPECT_EQ(unknown, "{\"code\":-2,\"keycount\":0,\"pcode\":7,\"pid\":5}\n");
    EXPECT_EQ(missing, "{\"code\":-2,\"keycount\":0,\"pcode\":7,\"pid\":null}\n");
    EXPECT_EQ(before, "{\"code\":-2,\"pcode\":8,\"pid\":0}\n") << "nothing listed yet";
    EXPECT_EQ(after, "{\"code\":0,\"pcode\":8,\"pid\":0}\n");
    EXPECT_EQ(stringPid, "{\"code\":-2,\"pcode\":8,\"pid\":\"0\"}\n") << "echoed as the page sent it";
    EXPECT_EQ(printed, "get pid = 0get pid = 5 get pid = 0 get pid = 0");
}

TEST_F(KeychainSession, ListingFiltersAndNumbers)
{
    EXPECT_EQ(call(lib, R"({"pcode":5,"pid":0,"query":{}})"),
              R"({"certlist":[{"certid":0,"name":"Alice Smith"},{"certid":1,"name":"Bob"}],)"
              R"("certnumber":2,"code":0,"pcode":5,"pid":0})"
              "\n");
    const struct {
        const char* query;
        int count;
    } cases[] = {
        {R"({"cn":"alice smith"})", 1},         // ASCII case ignored
        {R"({"cn":"Alice"})", 0},               // whole string only
        {R"({"cn":5})", 2},                     // not a string: as if absent
        {R"({"st":"Zhejiang"})", 1},
        {R"({"o":"BANK","c":"cn"})", 2},
        {R"({"sn":"0A1B"})", 1},
        {R"({"subject":"CN=Bob,O=Bank,C=CN"})", 1},
        {R"({"unknown":"x"})", 2},
    };
    for (const auto& c : cases) {
        const Json::Value reply = run(std::string(R"({"pcode":5,"pid":0,"query":)") + c.query + "}");
        EXPECT_EQ(reply["code"].asInt(), 0) << c.query;
        EXPECT_EQ(reply["certnumber"].asInt(), c.count) << c.query;
        EXPECT_EQ(reply.isMember("certlist"), c.count > 0) << c.query;
    }
    EXPECT_EQ(call(lib, R"({"pcode":5,"pid":0,"query":{"cn":"nobody"}})"),
              "{\"certnumber\":0,\"code\":0,\"pcode\":5,\"pid\":0}\n");
    EXPECT_EQ(call(lib, R"({"pcode":5,"pid":0,"query":"cn=Bob"})"),
              "{\"certnumber\":0,\"code\":-2,\"pcode\":5,\"pid\":0}\n");
    EXPECT_EQ(call(lib, R"({"pcode":5,"pid":1,"query":{}})"),
              "{\"certnumber\":0,\"code\":-2,\"pcode\":5,\"pid\":1}\n");
}

TEST_F(KeychainSession, SelectionDescribesTheCertificate)
{
    const std::string empty = R"({"c":"","cn":"","e":"","l":"","o":"","ou":"","pub":"","sn":"","st":"","subject":""})";
    EXPECT_EQ(call(lib, R"({"ccode":0,"pid":0})"), "{\"ccode\":0,\"certinfo\":" + empty + ",\"code\":-2,\"pid\":0}\n");

    call(lib, R"({"pcode":5,"pid":0,"query":{}})");
    EXPECT_EQ(call(lib, R"({"pcode":6,"pid":0,"type":0})"), "{\"certid\":null,\"code\":0,\"pcode\":6,\"pid\":0}\n")
        << "certid defaults to 0";
    const Json::Value info = run(R"({"ccode":0,"pid":7})")["certinfo"];   // the pid is only echoed
    EXPECT_EQ(info["cn"].asString(), "Alice Smith");
    EXPECT_EQ(info["o"].asString(), "Bank");
    EXPECT_EQ(info["c"].asString(), "CN");
    EXPECT_EQ(info["st"].asString(), "Zhejiang");
    EXPECT_EQ(info["sn"].asString(), "0A1B");
    EXPECT_EQ(info["subject"].asString(), "CN=Alice Smith,O=Bank,ST=Zhejiang,C=CN");
    EXPECT_EQ(ICodec::decode(info["pub"].asString()), alice.certDer());
    EXPECT_EQ(info.size(), 10u);

    // A certid that is not an integer fails without touching the selection;
    // so does an unknown pid.
    for (const char* bad : {R"({"pcode":6,"pid":0,"type":0,"certid":"1"})", R"({"pcode":6,"pid":0,"type":0,"certid":1.0})",
                            R"({"pcode":6,"pid":9,"type":0,"certid":1})"}) {
        EXPECT_EQ(run(bad)["code"].asInt(), -2) << bad;
        EXPECT_EQ(run(R"({"ccode":0,"pid":0})")["certinfo"]["cn"].asString(), "Alice Smith") << bad;
    }
    // A selection out of range fails and leaves nothing selected.
    EXPECT_EQ(call(lib, R"({"pcode":6,"pid":0,"type":0,"certid":2})"), "{\"certid\":2,\"code\":-2,\"pcode\":6,\"pid\":0}\n");
    EXPECT_EQ(run(R"({"ccode":0,"pid":0})")["code"].asInt(), -2);
    EXPECT_EQ(run(commandtest::signCommand("data", 0x04))["code"].asInt(), -2) << "nothing to sign with";
}

TEST_F(KeychainSession, SignaturesVerifyByTheCommandAndByOpenssl)
{
    selectAlice();
    const std::string data = "pay 100 to account 7";
    const struct {
        int flags;
        const char* form;
        const EVP_MD* md;
    } cases[] = {
        {0x00, "attached", EVP_sha1()}, {0x06, "attached", EVP_sha256()}, {0x14, "detached", EVP_sha1()},
        {0x16, "detached", EVP_sha256()}, {0x20, "raw", EVP_sha1()}, {0x26, "raw", EVP_sha256()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "flags 0x" << c.flags);
        ::testing::internal::CaptureStdout();
        const std::string reply = call(lib, commandtest::text(commandtest::signCommand(data, c.flags)));
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "output:\n" + reply + "\n");
        const Json::Value signedReply = parse(reply);
        ASSERT_EQ(signedReply["code"].asInt(), 0);
        EXPECT_EQ(signedReply.getMemberNames(), (std::vector<std::string>{"ccode", "code", "pid", "signed"}));
        const std::string b64 = signedReply["signed"].asString();
        const std::string sig = ICodec::decode(b64);
        const std::string form = c.form;
        // A raw RSA signature is checked against what was signed: the DigestInfo.
        const std::string message = form == "raw" ? commandtest::digestInfo(c.md, data) : data;
        if (form == "raw") {
            EXPECT_TRUE(providertest::rsaVerifies(alice.certDer(), c.md, data, sig));
        } else {
            const bool attached = form == "attached";
            EXPECT_EQ(providertest::cmsVerify(work, sig, attached ? std::nullopt : std::optional(data)), data);
        }
        const Json::Value ok = run(verifyCommand(b64, c.flags, message));
        EXPECT_EQ(ok["code"].asInt(), 0);
        EXPECT_EQ(ok["verify"].asInt(), 1);
        if (form != "attached") {
            const Json::Value bad = run(verifyCommand(b64, c.flags, message + "!"));
            EXPECT_EQ(text(bad), R"({"ccode":2,"code":3,"pid":0,"verify":0})");
        }
    }
}

TEST_F(KeychainSession, EncryptDecryptKeepsTheBytes)
{
    selectAlice();
    const std::string utf8 = "caf\xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80 \x01 end";
    Json::Value enc;
    enc["ccode"] = 3;
    enc["pid"] = 0;
    enc["plain"] = utf8;
    enc["type"] = 0;
    const Json::Value cipher = run(enc);
    ASSERT_EQ(cipher["code"].asInt(), 0);
    EXPECT_FALSE(cipher["cipher"].asString().empty());
    const std::string decryptCommand = R"({"ccode":4,"pid":0,"type":0,"cipher":")" + cipher["cipher"].asString() + "\"}";
    const std::string reply = call(lib, decryptCommand);
    EXPECT_EQ(parse(reply)["plain"].asString(), utf8);
    EXPECT_EQ(parse(reply)["code"].asInt(), 0);

    // Bytes that are not UTF-8 cannot travel in a JSON string; each becomes
    // U+FFFD and the bytes around it arrive intact.
    const std::string latin1 = "caf\xE9 au lait \x80\xFF!";
    const std::string raw = R"({"ccode":3,"pid":0,"type":0,"plain":")" + latin1 + "\"}";
    const Json::Value latinCipher = parse(call(lib, raw));
    ASSERT_EQ(latinCipher["code"].asInt(), 0);
    const Json::Value latinPlain = run(R"({"ccode":4,"pid":0,"type":0,"cipher":")" + latinCipher["cipher"].asString() + "\"}");
    EXPECT_EQ(latinPlain["plain"].asString(), "caf\xEF\xBF\xBD au lait \xEF\xBF\xBD\xEF\xBF\xBD!");

    EXPECT_EQ(call(lib, R"({"ccode":4,"pid":0,"type":0,"cipher":"AAAA"})"), "{\"ccode\":4,\"code\":5,\"pid\":0,\"plain\":\"\"}\n");
}

TEST_F(KeychainSession, SetPinIsRefusedByTheCertificate)
{
    EXPECT_EQ(call(lib, R"({"ccode":5,"pid":0,"pin":"1234"})"), "{\"ccode\":5,\"code\":-2,\"pid\":0}\n");
    selectAlice();
    EXPECT_EQ(call(lib, R"({"ccode":5,"pid":0,"pin":"1234"})"), "{\"ccode\":5,\"code\":-1,\"pid\":0}\n");
    EXPECT_EQ(call(lib, R"({"ccode":5,"pid":0,"pin":1234})"), "{\"ccode\":5,\"code\":-2,\"pid\":0}\n");
}

TEST_F(KeychainSession, ImportExportAndDelete)
{
    const KeyAndCert carol = testsupport::makeRsaCert(2048, subject("Carol"), 3);
    const KeyAndCert dave = testsupport::makeRsaCert(2048, subject("Dave"), 4);
    Json::Value imp;
    imp["pcode"] = 2;
    imp["pid"] = 0;
    imp["format"] = 0;
    imp["data"] = ICodec::encode(carol.certDer());
    EXPECT_EQ(text(run(imp)), R"({"code":0,"pcode":2,"pid":0})");
    imp["format"] = 1;
    imp["data"] = dave.certPem();
    EXPECT_EQ(run(imp)["code"].asInt(), 0);
    imp["format"] = 3;
    EXPECT_EQ(run(imp)["code"].asInt(), -2);
    EXPECT_EQ(keychainCount(), 4u);

    EXPECT_EQ(run(R"({"pcode":5,"pid":0,"query":{}})")["certnumber"].asInt(), 4);
    EXPECT_EQ(call(lib, R"({"pcode":3,"pid":0,"certid":0})"),
              "{\"certid\":0,\"code\":-1,\"data\":\"\",\"pcode\":3,\"pid\":0}\n");

    EXPECT_EQ(call(lib, R"({"pcode":4,"pid":0,"certid":1})"), "{\"certid\":1,\"code\":0,\"pcode\":4,\"pid\":0}\n");
    EXPECT_EQ(keychainCount(), 3u);
    const Json::Value after = run(R"({"pcode":5,"pid":0,"query":{}})");
    ASSERT_EQ(after["certnumber"].asInt(), 3);
    EXPECT_EQ(after["certlist"][1]["name"].asString(), "Carol") << "later entries move down";
    EXPECT_EQ(run(R"({"pcode":4,"pid":0,"certid":3})")["code"].asInt(), -2);
    EXPECT_EQ(run(R"({"pcode":4,"pid":0,"certid":-1})")["code"].asInt(), -2);
    EXPECT_EQ(keychainCount(), 3u);
}

TEST_F(KeychainSession, CertificateRequestInPemArmour)
{
    const Json::Value reply = run(R"({"pcode":1,"pid":0,"csrinfo":{"CN":"New Key","O":"Bank","hash":"4"}})");
    ASSERT_EQ(reply["code"].asInt(), 0);
    EXPECT_EQ(reply.getMemberNames(), (std::vector<std::string>{"code", "csr", "pcode", "pid"}));
    const std::string pem = reply["csr"].asString();
    EXPECT_EQ(pem.rfind("-----BEGIN CERTIFICATE REQUEST-----\n", 0), 0u);
    EXPECT_TRUE(pem.ends_with("\n-----END CERTIFICATE REQUEST-----"));
    testsupport::writeFile(work.path() / "req.pem", pem + "\n");
    const auto verified = testsupport::run("openssl req -verify -noout -in '" + (work.path() / "req.pem").string() + "' 2>&1");
    EXPECT_EQ(verified.status, 0) << verified.output;

    ossl::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    ossl::X509ReqPtr req(PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(req);
    EXPECT_EQ(EVP_PKEY_get_bits(X509_REQ_get0_pubkey(req.get())), 2048) << "no keySize: 2048 bits";

    const Json::Value small = run(R"({"pcode":1,"pid":0,"csrinfo":{"CN":"Small","keySize":1024}})");
    ASSERT_EQ(small["code"].asInt(), 0);
    const std::string smallPem = small["csr"].asString();
    ossl::BioPtr smallBio(BIO_new_mem_buf(smallPem.data(), static_cast<int>(smallPem.size())));
    ossl::X509ReqPtr smallReq(PEM_read_bio_X509_REQ(smallBio.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(smallReq);
    EXPECT_EQ(EVP_PKEY_get_bits(X509_REQ_get0_pubkey(smallReq.get())), 1024);

    const std::string emptyArmour = "-----BEGIN CERTIFICATE REQUEST-----\\n-----END CERTIFICATE REQUEST-----";
    EXPECT_EQ(call(lib, R"({"pcode":1,"pid":3,"csrinfo":{"CN":"x"}})"),
              "{\"code\":-2,\"csr\":\"" + emptyArmour + "\",\"pcode\":1,\"pid\":3}\n");
}

namespace {

// Token "alice" of the software adapter with an SM2 and an RSA certificate,
// opened in the session as provider 0 with token 0 selected and listed.
class AdapterSession : public Stores {
protected:
    void SetUp() override
    {
        Stores::SetUp();
        softtoken::useRoot(tokens.path());
        softtoken::useLog(logDir.path() / "calls.log");
        alice.add(sm2);
        alice.add(rsa);
        const fs::path folder = root.str() + kAdapterFolder;
        fs::create_directories(folder);
        fs::copy_file(softtoken::adapterPath(), folder / "soft.dylib");
        ASSERT_EQ(call(lib, R"({"pcode":0,"name":"soft","type":1})"), "{\"code\":0,\"pcode\":0,\"pid\":0}\n");
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(call(lib, R"({"pcode":7,"pid":0})"), "{\"code\":0,\"keycount\":1,\"pcode\":7,\"pid\":0}\n");
        EXPECT_EQ(call(lib, R"({"pcode":8,"pid":0,"keyindex":0})"), "{\"code\":0,\"pcode\":8,\"pid\":0}\n");
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(call(lib, R"({"pcode":5,"pid":0,"query":{"cn":"ignored"}})"),
                  R"({"certlist":[{"certid":0,"name":"unknown"},{"certid":1,"name":"unknown"}],)"
                  R"("certnumber":2,"code":0,"pcode":5,"pid":0})"
                  "\n");
    }

    void select(int certid)
    {
        ASSERT_EQ(run(R"({"pcode":6,"pid":0,"type":0,"certid":)" + std::to_string(certid) + "}")["code"].asInt(), 0);
    }

    std::size_t signCalls() const
    {
        const fs::path file = logDir.path() / "calls.log";
        if (!fs::exists(file))
            return 0;
        const std::string log = testsupport::readFile(file);
        std::size_t n = 0;
        for (std::size_t at = log.find("SM_sign "); at != std::string::npos; at = log.find("SM_sign ", at + 1))
            ++n;
        return n;
    }

    // Signs quietly; the reply.
    Json::Value sign(const Json::Value& command)
    {
        ::testing::internal::CaptureStdout();
        const Json::Value reply = run(command);
        ::testing::internal::GetCapturedStdout();
        return reply;
    }

    testsupport::TempDir tokens, logDir;
    KeyAndCert sm2 = testsupport::makeSm2Cert(subject("Alice SM2"));
    KeyAndCert rsa = testsupport::makeRsaCert(2048, subject("Alice RSA"));
    softtoken::TokenFolder alice{tokens.path(), "alice"};
};

} // namespace

TEST_F(AdapterSession, Sm2SignaturesVerifyThroughTheCommand)
{
    select(0);
    EXPECT_EQ(run(R"({"ccode":0,"pid":0})")["certinfo"]["cn"].asString(), "Alice SM2");
    const std::string data = "transfer 5";
    for (int flags : {0x06, 0x16, 0x26, 0x806}) {
        SCOPED_TRACE(testing::Message() << std::hex << "flags 0x" << flags);
        const Json::Value reply = sign(commandtest::signCommand(data, flags));
        ASSERT_EQ(reply["code"].asInt(), 0);
        const int form = flags & 0xF0;
        EXPECT_EQ(run(verifyCommand(reply["signed"].asString(), form, form == 0 ? "" : data))["verify"].asInt(), 1);
        if (form != 0) {
            EXPECT_EQ(run(verifyCommand(reply["signed"].asString(), form, "other"))["code"].asInt(), 3);
        }
    }
    EXPECT_EQ(run(R"({"pcode":1,"pid":0,"csrinfo":{"CN":"x"}})")["csr"].asString(),
              "-----BEGIN CERTIFICATE REQUEST-----\n-----END CERTIFICATE REQUEST-----");
    EXPECT_EQ(run(R"({"pcode":1,"pid":0,"csrinfo":{"CN":"x"}})")["code"].asInt(), -1);
    EXPECT_EQ(run(R"({"pcode":2,"pid":0,"data":"","format":0})")["code"].asInt(), -1);
    EXPECT_EQ(run(R"({"pcode":3,"pid":0,"certid":0})")["code"].asInt(), -1);
    EXPECT_EQ(run(R"({"pcode":4,"pid":0,"certid":0})")["code"].asInt(), -1);
}

TEST_F(AdapterSession, RetryWithTheSameTokenIdGetsTheSameSignature)
{
    select(0);   // SM2: every signature is new, so a repeat shows the cache answered
    const Json::Value first = sign(commandtest::signCommand("order 1", 0x26, "t1"));
    ASSERT_EQ(first["code"].asInt(), 0);
    const std::size_t calls = signCalls();
    EXPECT_EQ(sign(commandtest::signCommand("order 1", 0x26, "t1")), first);
    EXPECT_EQ(signCalls(), calls) << "a retry signs nothing";

    // Other data, other flags or no token id: signed afresh.
    const Json::Value other = sign(commandtest::signCommand("order 2", 0x26, "t1"));
    ASSERT_EQ(other["code"].asInt(), 0);
    EXPECT_NE(other["signed"], first["signed"]);
    EXPECT_EQ(run(verifyCommand(other["signed"].asString(), 0x20, "order 2"))["verify"].asInt(), 1);
    EXPECT_EQ(run(verifyCommand(other["signed"].asString(), 0x20, "order 1"))["verify"].asInt(), 0);
    // The entry now belongs to "order 2": "order 1" is signed again.
    EXPECT_NE(sign(commandtest::signCommand("order 1", 0x26, "t1"))["signed"], first["signed"]);
    const Json::Value detached = sign(commandtest::signCommand("order 1", 0x16, "t1"));
    EXPECT_EQ(run(verifyCommand(detached["signed"].asString(), 0x10, "order 1"))["verify"].asInt(), 1);

    const Json::Value a = sign(commandtest::signCommand("order 3", 0x26));
    const Json::Value b = sign(commandtest::signCommand("order 3", 0x26));
    EXPECT_NE(a["signed"], b["signed"]) << "without a token id nothing is kept";
    EXPECT_EQ(lib.m_signCache.size(), 1u);

    // Another certificate selected: not a retry of the first one's signature.
    ASSERT_EQ(sign(commandtest::signCommand("order 4", 0x24, "t4"))["code"].asInt(), 0);
    select(1);
    const Json::Value rsaSig = sign(commandtest::signCommand("order 4", 0x24, "t4"));
    ASSERT_EQ(rsaSig["code"].asInt(), 0);
    EXPECT_TRUE(providertest::rsaVerifies(rsa.certDer(), EVP_sha1(), "order 4", ICodec::decode(rsaSig["signed"].asString())));
}

TEST_F(AdapterSession, FailedSignatureIsNotKept)
{
    // No certificate selected yet: the command fails...
    EXPECT_EQ(text(sign(commandtest::signCommand("order", 0x26, "t2"))), R"({"ccode":1,"code":-2,"pid":0,"signed":""})");
    EXPECT_TRUE(lib.m_signCache.empty());
    select(0);
    // ...and its retry once a certificate is selected signs.
    const Json::Value retry = sign(commandtest::signCommand("order", 0x26, "t2"));
    ASSERT_EQ(retry["code"].asInt(), 0);
    EXPECT_EQ(run(verifyCommand(retry["signed"].asString(), 0x20, "order"))["verify"].asInt(), 1);

    // The adapter refuses: its error text comes back with -2, and the next
    // retry asks the adapter again.
    alice.failWith("SM_sign", -5);
    const Json::Value refused = sign(commandtest::signCommand("order 9", 0x26, "t3"));
    EXPECT_EQ(refused["code"].asInt(), -2);
    EXPECT_EQ(ICodec::decode(refused["signed"].asString()), "2147483643");
    alice.clearFailures();
    EXPECT_EQ(sign(commandtest::signCommand("order 9", 0x26, "t3"))["code"].asInt(), 0);
}

TEST(SignCache, KeepsTheNewest256AndAnswersOnlyExactRetries)
{
    SignCache cache;
    const auto cert = std::make_shared<SMCertificate>();
    for (int i = 0; i < 300; ++i)
        cache.store(SignCache::makeKey("t" + std::to_string(i), "data", 1, 65001, cert), "sig" + std::to_string(i));
    EXPECT_EQ(cache.size(), SignCache::kMaxEntries);
    EXPECT_EQ(cache.find(SignCache::makeKey("t43", "data", 1, 65001, cert)), nullptr) << "the oldest went";
    const std::string* kept = cache.find(SignCache::makeKey("t44", "data", 1, 65001, cert));
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(*kept, "sig44");

    const auto other = std::make_shared<SMCertificate>();
    EXPECT_EQ(cache.find(SignCache::makeKey("t299", "datA", 1, 65001, cert)), nullptr);
    EXPECT_EQ(cache.find(SignCache::makeKey("t299", "data", 2, 65001, cert)), nullptr);
    EXPECT_EQ(cache.find(SignCache::makeKey("t299", "data", 1, 0, cert)), nullptr);
    EXPECT_EQ(cache.find(SignCache::makeKey("t299", "data", 1, 65001, other)), nullptr);
    EXPECT_EQ(cache.find(SignCache::makeKey("t299", "data", 1, 65001, nullptr)), nullptr);

    // Storing again under a token id replaces the entry and makes it the newest.
    cache.store(SignCache::makeKey("t44", "new", 1, 65001, cert), "again");
    EXPECT_EQ(cache.size(), SignCache::kMaxEntries);
    EXPECT_EQ(*cache.find(SignCache::makeKey("t44", "new", 1, 65001, cert)), "again");
    EXPECT_EQ(cache.find(SignCache::makeKey("t44", "data", 1, 65001, cert)), nullptr);
    cache.store(SignCache::makeKey("fresh", "x", 1, 65001, cert), "x");
    EXPECT_NE(cache.find(SignCache::makeKey("t44", "new", 1, 65001, cert)), nullptr);
    EXPECT_EQ(cache.find(SignCache::makeKey("t45", "data", 1, 65001, cert)), nullptr);
}

TEST(SignCache, HoldsAtMostItsByteBoundOfSignatures)
{
    SignCache cache;
    const auto cert = std::make_shared<SMCertificate>();
    const std::string big(SignCache::kMaxBytes / 4 + 1, 's');
    for (int i = 0; i < 4; ++i)
        cache.store(SignCache::makeKey("b" + std::to_string(i), "data", 1, 65001, cert), big);
    EXPECT_EQ(cache.size(), 3u) << "the fourth pushed the oldest out";
    EXPECT_LE(cache.bytes(), SignCache::kMaxBytes);
    EXPECT_EQ(cache.find(SignCache::makeKey("b0", "data", 1, 65001, cert)), nullptr);
    EXPECT_NE(cache.find(SignCache::makeKey("b3", "data", 1, 65001, cert)), nullptr);

    // One signature beyond the bound is not kept at all; the others stay.
    cache.store(SignCache::makeKey("huge", "data", 1, 65001, cert), std::string(SignCache::kMaxBytes + 1, 'h'));
    EXPECT_EQ(cache.find(SignCache::makeKey("huge", "data", 1, 65001, cert)), nullptr);
    EXPECT_EQ(cache.size(), 3u);

    cache.erase("b3");
    EXPECT_EQ(cache.bytes(), 2 * big.size());
}

TEST(WriteCompact, IllFormedBytesBecomeReplacementCharacters)
{
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain ascii", "plain ascii"},
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        {"caf\xE9 au", "caf\xEF\xBF\xBD au"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},             // overlong
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},   // a surrogate
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},   // above U+10FFFF
        {"end\xE4\xB8", "end\xEF\xBF\xBD\xEF\xBF\xBD"},       // cut short
    };
    for (const auto& c : cases) {
        EXPECT_EQ(jsontext::toWellFormedUtf8(c.in), c.out);
        Json::Value v;
        v["k"] = c.in;
        v["list"].append(c.in);
        const Json::Value back = parse(jsontext::writeCompact(v));
        EXPECT_EQ(back["k"].asString(), c.out);
        EXPECT_EQ(back["list"][0].asString(), c.out);
    }
}
