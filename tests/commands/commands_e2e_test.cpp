// A page's whole session against the running service over TLS, one scenario
// per kind of key store: open, list with a filter, select, describe, sign in
// every form, verify (by the Verify command and by openssl), encrypt and
// decrypt, make a key pair with its request, and manage certificates as the
// kind allows. Requests go as encrypted JSONP GETs, split GETs and POSTs.

#include "core/Certificate.h"
#include "core/codec.h"
#include "providers/SMProvider.h"
#include "tests/commands/CommandSession.h"
#include "tests/pkcs11/SoftHsmToken.h"
#include "tests/providers/Checks.h"
#include "tests/service/ServiceFixture.h"
#include "tests/token/SoftToken.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <filesystem>
#include <optional>

namespace fs = std::filesystem;
using commandtest::parse;
using testsupport::KeyAndCert;
using testsupport::RunningService;

namespace {

// How a request travels.
enum class Via { Get, Split, Post };

class Page {
public:
    Page(const RunningService& service, std::string session) : m_service(service), m_session(std::move(session)) {}

    // The reply text (the service strips the writer's final newline).
    std::string send(const std::string& command, Via via = Via::Get) const
    {
        const std::string outer = R"({"interfacetype":0,"id":")" + m_session + R"(","data":)" + command + "}";
        switch (via) {
        case Via::Post: return m_service.post(outer);
        case Via::Split: return split(outer);
        default: return m_service.call(outer);
        }
    }
    Json::Value operator()(const std::string& command, Via via = Via::Get) const { return parse(send(command, via)); }
    Json::Value operator()(const char* command, Via via = Via::Get) const { return parse(send(command, via)); }
    Json::Value operator()(const Json::Value& command, Via via = Via::Get) const
    {
        return parse(send(commandtest::text(command), via));
    }

    std::string log() const { return m_service.log() + m_service.errors(); }

private:
    // The envelope cut into three pieces, each on its own connection.
    std::string split(const std::string& outer) const
    {
        const std::string envelope = hclient::BuildEnvelope(outer, hclient::MakeRankey());
        const std::string spliceid = hclient::MakeRankey();
        const auto pieces = hclient::SplitText(envelope, 3);
        hclient::Answer answer;
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            const std::string number = i + 1 == pieces.size() ? "-1" : std::to_string(i + 1);
            answer = m_service.exchange({hclient::SpliceGet("cb", spliceid, number, pieces[i])});
        }
        std::string reply;
        return hclient::UnwrapJsonp(answer.raw, "cb", reply) ? reply : "<not jsonp>" + answer.raw;
    }

    const RunningService& m_service;
    std::string m_session;
};

Json::Value verifyCommand(const std::string& signedB64, int flags, const std::string& msg)
{
    Json::Value c;
    c["ccode"] = 2;
    c["pid"] = 0;
    c["signed"] = signedB64;
    c["flags"] = flags;
    if (!msg.empty())
        c["msg"] = ICodec::encode(msg);
    return c;
}

struct SignCase {
    int flags;
    const EVP_MD* md;   // null: SM2
};

// Signs `data` in each form and checks every signature with the Verify
// command, and RSA ones with openssl too.
void signAndVerify(const Page& page, const testsupport::TempDir& work, const std::string& certDer,
                   const std::string& data, const std::vector<SignCase>& cases)
{
    for (const SignCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "flags 0x" << c.flags);
        const int form = c.flags & 0xF0;
        // Long data goes as a split request, as a page must send it.
        const Json::Value reply = page(commandtest::signCommand(data, c.flags), form == 0x10 ? Via::Split : Via::Get);
        ASSERT_EQ(reply["code"].asInt(), 0) << commandtest::text(reply) << page.log();
        const std::string sig = ICodec::decode(reply["signed"].asString());
        std::string message = data;
        if (form == 0x20 && c.md != nullptr) {
            EXPECT_TRUE(providertest::rsaVerifies(certDer, c.md, data, sig));
            message = commandtest::digestInfo(c.md, data);
        } else if (c.md != nullptr) {
            EXPECT_EQ(providertest::cmsVerify(work, sig, form == 0 ? std::nullopt : std::optional(data)), data);
        }
        const Json::Value ok = page(verifyCommand(reply["signed"].asString(), c.flags, form == 0 ? "" : message), Via::Post);
        EXPECT_EQ(commandtest::text(ok), R"({"ccode":2,"code":0,"pid":0,"verify":1})");
        if (form != 0) {
            EXPECT_EQ(page(verifyCommand(reply["signed"].asString(), c.flags, message + "x"))["verify"].asInt(), 0);
        }
    }
}

// The request in a genCSR reply, checked by openssl; its public key size.
int checkRequest(const testsupport::TempDir& work, const Json::Value& reply)
{
    const std::string pem = reply["csr"].asString();
    EXPECT_EQ(pem.rfind("-----BEGIN CERTIFICATE REQUEST-----\n", 0), 0u);
    EXPECT_TRUE(pem.ends_with("\n-----END CERTIFICATE REQUEST-----"));
    testsupport::writeFile(work.path() / "req.pem", pem + "\n");
    const auto verified = testsupport::run("openssl req -verify -noout -in '" + (work.path() / "req.pem").string() + "' 2>&1");
    EXPECT_EQ(verified.status, 0) << verified.output;
    ossl::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    ossl::X509ReqPtr req(PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr));
    return req ? EVP_PKEY_get_bits(X509_REQ_get0_pubkey(req.get())) : 0;
}

testsupport::Subject named(const std::string& cn)
{
    testsupport::Subject s;
    s.cn = cn;
    s.o = "Bank";
    return s;
}

const std::string kLongData(40000, 'x');
const std::string kData = "pay 100 to account 7";

} // namespace

TEST(CommandsOverTls, KeychainSession)
{
    RunningService service;
    testsupport::TempDir work;
    setenv("XDG_DATA_HOME", (service.root() / "data").c_str(), 1);
    const KeyAndCert alice = testsupport::makeRsaCert(2048, named("Alice Smith"), 7);
    const KeyAndCert bob = testsupport::makeRsaCert(2048, named("Bob"), 8);
    {
        CSecurityObjectImpl<SecKeychainRef> store(kc::Keychain::CopyDefault(), true);
        ASSERT_NE(store.GetHandle(), nullptr);
        for (const KeyAndCert* kc : {&alice, &bob}) {
            CSecurityObjectImpl<SecCertificateRef> cert(kc::Certificate::CreateWithData(kc->certDer()), true);
            const kc::Certificate* c = cert.GetHandle();
            ASSERT_EQ(store.GetHandle()->Import({c}, kc->key.get(), "key"), kc::errSecSuccess);
        }
    }
    const Page page(service, "bank-page");

    EXPECT_EQ(page.send(R"({"pcode":0,"name":"keychain","type":0})"), R"({"code":0,"pcode":0,"pid":0})");
    EXPECT_EQ(page.send(R"({"pcode":0,"name":"keychain","type":0})", Via::Post), R"({"code":6,"pcode":0,"pid":0})");
    EXPECT_EQ(page.send(R"({"pcode":5,"pid":0,"query":{"cn":"alice smith"}})", Via::Post),
              R"({"certlist":[{"certid":0,"name":"Alice Smith"}],"certnumber":1,"code":0,"pcode":5,"pid":0})");
    EXPECT_EQ(page.send(R"({"pcode":6,"pid":0,"type":0,"certid":0})"), R"({"certid":0,"code":0,"pcode":6,"pid":0})");
    const Json::Value info = page(R"({"ccode":0,"pid":0})")["certinfo"];
    EXPECT_EQ(info["cn"].asString(), "Alice Smith");
    EXPECT_EQ(info["sn"].asString(), "07");
    EXPECT_EQ(ICodec::decode(info["pub"].asString()), alice.certDer());

    signAndVerify(page, work, alice.certDer(), kData,
                  {{0x00, EVP_sha1()}, {0x06, EVP_sha256()}, {0x10, EVP_sha1()}, {0x16, EVP_sha256()},
                   {0x20, EVP_sha1()}, {0x26, EVP_sha256()}});
    signAndVerify(page, work, alice.certDer(), kLongData, {{0x16, EVP_sha256()}});
    EXPECT_TRUE(service.waitForLog("output:\n{\"ccode\":1,\"code\":0,\"pid\":0,\"signed\":\""));

    // Text with characters beyond ASCII comes back exactly.
    const std::string plain = "Zahlung \xC3\xBC" "ber 5\xE2\x82\xAC \xE4\xB8\xAD\xE6\x96\x87";
    Json::Value enc;
    enc["ccode"] = 3;
    enc["pid"] = 0;
    enc["plain"] = plain;
    enc["type"] = 0;
    const Json::Value cipher = page(enc, Via::Post);
    ASSERT_EQ(cipher["code"].asInt(), 0);
    const Json::Value back = page(R"({"ccode":4,"pid":0,"type":0,"cipher":")" + cipher["cipher"].asString() + "\"}");
    EXPECT_EQ(back["plain"].asString(), plain);
    EXPECT_EQ(back["code"].asInt(), 0);

    EXPECT_EQ(checkRequest(work, page(R"({"pcode":1,"pid":0,"csrinfo":{"CN":"New Key","O":"Bank"}})")), 2048);
    EXPECT_EQ(page.send(R"({"ccode":5,"pid":0,"pin":"0000"})"), R"({"ccode":5,"code":-1,"pid":0})");

    const KeyAndCert carol = testsupport::makeRsaCert(2048, named("Carol"), 9);
    Json::Value imp;
    imp["pcode"] = 2;
    imp["pid"] = 0;
    imp["format"] = 1;
    imp["data"] = carol.certPem();
    EXPECT_EQ(commandtest::text(page(imp, Via::Split)), R"({"code":0,"pcode":2,"pid":0})");
    const Json::Value all = page(R"({"pcode":5,"pid":0,"query":{}})");
    ASSERT_EQ(all["certnumber"].asInt(), 3);
    EXPECT_EQ(all["certlist"][2]["name"].asString(), "Carol");
    EXPECT_EQ(page.send(R"({"pcode":3,"pid":0,"certid":2})"), R"({"certid":2,"code":-1,"data":"","pcode":3,"pid":0})");
    EXPECT_EQ(page.send(R"({"pcode":4,"pid":0,"certid":2})"), R"({"certid":2,"code":0,"pcode":4,"pid":0})");
    EXPECT_EQ(page(R"({"pcode":5,"pid":0,"query":{}})")["certnumber"].asInt(), 2);

    // Ill-typed members answer -2 and the session goes on.
    EXPECT_EQ(page.send(R"({"pcode":6,"pid":0,"type":0,"certid":"1"})"), R"({"certid":"1","code":-2,"pcode":6,"pid":0})");
    EXPECT_EQ(page.send(R"({"ccode":1,"pid":0,"sign":"ZGF0YQ==","flags":4294967296})", Via::Post),
              R"({"ccode":1,"code":-2,"pid":0,"signed":""})");
    EXPECT_EQ(page.send(R"({"pcode":5,"pid":0.5,"query":{}})"), R"({"certnumber":0,"code":-2,"pcode":5,"pid":0.5})");
    EXPECT_EQ(page(commandtest::signCommand(kData, 0x00))["code"].asInt(), 0);

    // Another page's session numbers its providers on its own.
    EXPECT_EQ(Page(service, "other-page").send(R"({"pcode":0,"name":"keychain","type":0})"),
              R"({"code":0,"pcode":0,"pid":0})");
    EXPECT_TRUE(service.running());
}

namespace {

} // namespace

TEST(CommandsOverTls, Pkcs11Session)
{
    const testsupport::SoftHsmToken token(2);
    RunningService::Options options;
    options.env = {{"SOFTHSM2_CONF", token.config()}};
    RunningService service(options);
    // The service finds modules in its own installation's library folder.
    const fs::path lib = service.root() / "usr/local/lib";
    fs::create_directories(lib);
    fs::create_symlink(fs::read_symlink(fs::path(token.root()) / "usr/local/lib" / testsupport::SoftHsmToken::kModuleName),
                       lib / testsupport::SoftHsmToken::kModuleName);
    testsupport::TempDir work;
    const Page page(service, "token-page");

    EXPECT_EQ(page.send(R"({"pcode":0,"name":"libsofthsm2.so","type":4})"), R"({"code":0,"pcode":0,"pid":0})");
    EXPECT_EQ(page.send(R"({"pcode":0,"name":"libmissing.so","type":4})"), R"({"code":2,"pcode":0,"pid":-1})");
    EXPECT_EQ(page.send(R"({"pcode":7,"pid":0})"), R"({"code":-1,"keycount":0,"pcode":7,"pid":0})");
    EXPECT_EQ(page.send(R"({"pcode":8,"pid":0,"keyindex":0})"), R"({"code":-1,"pcode":8,"pid":0})");
    // The two lines have no line end of their own.
    EXPECT_TRUE(service.waitForLog("get pid = 0传出请求:"));
    EXPECT_TRUE(service.waitForLog(" get pid = 0传出请求:"));

    const Json::Value list = page(R"({"pcode":5,"pid":0,"query":{"cn":"Token User 2"}})", Via::Post);
    EXPECT_EQ(commandtest::text(list),
              R"({"certlist":[{"certid":0,"name":"Token User 2"}],"certnumber":1,"code":0,"pcode":5,"pid":0})");
    // Logged in but nothing selected: no signature, so no success either.
    EXPECT_EQ(page.send(R"({"ccode":1,"pid":0,"sign":"ZGF0YQ==","flags":0,"tokenid":"t"})"),
              R"({"ccode":1,"code":-2,"pid":0,"signed":""})");
    EXPECT_EQ(page.send(R"({"pcode":6,"pid":0,"type":0,"certid":0})"), R"({"certid":0,"code":0,"pcode":6,"pid":0})");
    EXPECT_EQ(page(R"({"ccode":0,"pid":0})")["certinfo"]["cn"].asString(), "Token User 2");
    EXPECT_EQ(page(R"({"ccode":1,"pid":0,"sign":"ZGF0YQ==","flags":0,"tokenid":"t"})")["code"].asInt(), 0)
        << "the failed command was not kept";

    const std::string certDer = token.certDer(2);
    signAndVerify(page, work, certDer, kData,
                  {{0x00, EVP_sha1()}, {0x16, EVP_sha256()}, {0x10, EVP_sha1()}, {0x20, EVP_sha1()}, {0x26, EVP_sha256()}});

    Json::Value enc;
    enc["ccode"] = 3;
    enc["pid"] = 0;
    enc["plain"] = "secret \xC3\xA9t\xC3\xA9";
    enc["type"] = 0;
    const Json::Value cipher = page(enc);
    ASSERT_EQ(cipher["code"].asInt(), 0);
    EXPECT_EQ(page(R"({"ccode":4,"pid":0,"type":0,"cipher":")" + cipher["cipher"].asString() + "\"}", Via::Post)["plain"].asString(),
              "secret \xC3\xA9t\xC3\xA9");

    // Export: Base64 of the Base64 of the DER.
    const Json::Value exported = page(R"({"pcode":3,"pid":0,"certid":0})");
    ASSERT_EQ(exported["code"].asInt(), 0);
    EXPECT_EQ(ICodec::decode(ICodec::decode(exported["data"].asString())), certDer);
    EXPECT_EQ(page.send(R"({"pcode":3,"pid":0,"certid":1})"), R"({"certid":1,"code":-2,"data":"","pcode":3,"pid":0})");
    EXPECT_EQ(page.send(R"({"pcode":4,"pid":0,"certid":0})"), R"({"certid":0,"code":-1,"pcode":4,"pid":0})");

    // A key pair on the token, its request, and the certificate issued for it.
    const Json::Value csr = page(R"({"pcode":1,"pid":0,"csrinfo":{"CN":"Generated","O":"Bank","keySize":1024}})");
    ASSERT_EQ(csr["code"].asInt(), 0);
    EXPECT_EQ(checkRequest(work, csr), 2048) << "the token makes 2048-bit keys";
    Json::Value imp;
    imp["pcode"] = 2;
    imp["pid"] = 0;
    imp["format"] = 0;
    imp["data"] = ICodec::encode(testsupport::issueForRequest(ICodec::pemdecode(csr["csr"].asString())));
    EXPECT_EQ(commandtest::text(page(imp, Via::Split)), R"({"code":0,"pcode":2,"pid":0})");
    const Json::Value generated = page(R"({"pcode":5,"pid":0,"query":{"cn":"Generated"}})");
    ASSERT_EQ(generated["certnumber"].asInt(), 1);
    ASSERT_EQ(page(R"({"pcode":6,"pid":0,"type":0,"certid":0})")["code"].asInt(), 0);
    const Json::Value sig = page(commandtest::signCommand(kData, 0x00));
    ASSERT_EQ(sig["code"].asInt(), 0) << service.log();
    EXPECT_EQ(providertest::cmsVerify(work, ICodec::decode(sig["signed"].asString())), kData);
    EXPECT_TRUE(service.running());
}

TEST(CommandsOverTls, TokenAdapterSession)
{
    testsupport::TempDir tokens;
    const KeyAndCert sm2 = testsupport::makeSm2Cert(named("Alice SM2"));
    const KeyAndCert rsa = testsupport::makeRsaCert(2048, named("Alice RSA"));
    softtoken::TokenFolder alice(tokens.path(), "alice");
    alice.add(sm2);
    alice.add(rsa);
    RunningService::Options options;
    options.env = {{"HALVORN_SOFTTOKEN_ROOT", tokens.str()}};
    RunningService service(options);
    const fs::path folder = service.root().string() + kAdapterFolder;
    fs::create_directories(folder);
    fs::copy_file(softtoken::adapterPath(), folder / "soft.dylib");
    testsupport::TempDir work;
    const Page page(service, "sm-page");

    EXPECT_EQ(page.send(R"({"pcode":0,"name":"soft","type":1})"), R"({"code":0,"pcode":0,"pid":0})");
    EXPECT_EQ(page.send(R"({"pcode":0,"name":"missing","type":1})"), R"({"code":2,"pcode":0,"pid":-1})");
    EXPECT_EQ(page.send(R"({"pcode":0,"name":"soft","type":1})", Via::Post), R"({"code":6,"pcode":0,"pid":0})");
    EXPECT_EQ(page.send(R"({"pcode":7,"pid":0})"), R"({"code":0,"keycount":1,"pcode":7,"pid":0})");
    EXPECT_EQ(page.send(R"({"pcode":8,"pid":0})"), R"({"code":-2,"pcode":8,"pid":0})") << "no index: token 0, and -2";
    EXPECT_EQ(page.send(R"({"pcode":8,"pid":0,"keyindex":0})"), R"({"code":0,"pcode":8,"pid":0})");
    EXPECT_EQ(page.send(R"({"pcode":5,"pid":0,"query":{"cn":"whatever"}})"),
              R"({"certlist":[{"certid":0,"name":"unknown"},{"certid":1,"name":"unknown"}],"certnumber":2,"code":0,"pcode":5,"pid":0})");

    ASSERT_EQ(page(R"({"pcode":6,"pid":0,"type":0,"certid":0})")["code"].asInt(), 0);
    EXPECT_EQ(page(R"({"ccode":0,"pid":0})")["certinfo"]["cn"].asString(), "Alice SM2");
    signAndVerify(page, work, sm2.certDer(), kData, {{0x06, nullptr}, {0x16, nullptr}, {0x26, nullptr}, {0x806, nullptr}});

    // A retry with the same token id gets the same (randomised) SM2 signature;
    // new data under that token id is signed afresh.
    const Json::Value first = page(commandtest::signCommand("order 1", 0x26, "tx-1"));
    ASSERT_EQ(first["code"].asInt(), 0);
    EXPECT_EQ(page(commandtest::signCommand("order 1", 0x26, "tx-1"), Via::Post), first);
    const Json::Value second = page(commandtest::signCommand("order 2", 0x26, "tx-1"));
    EXPECT_NE(second["signed"], first["signed"]);
    EXPECT_EQ(page(verifyCommand(second["signed"].asString(), 0x20, "order 2"))["verify"].asInt(), 1);

    ASSERT_EQ(page(R"({"pcode":6,"pid":0,"type":0,"certid":1})")["code"].asInt(), 0);
    EXPECT_EQ(page(R"({"ccode":0,"pid":0})")["certinfo"]["cn"].asString(), "Alice RSA");
    signAndVerify(page, work, rsa.certDer(), kData, {{0x00, EVP_sha1()}, {0x16, EVP_sha256()}, {0x26, EVP_sha256()}});

    EXPECT_EQ(page.send(R"({"pcode":1,"pid":0,"csrinfo":{"CN":"x"}})"),
              R"({"code":-1,"csr":"-----BEGIN CERTIFICATE REQUEST-----\n-----END CERTIFICATE REQUEST-----","pcode":1,"pid":0})");
    EXPECT_EQ(page.send(R"({"pcode":2,"pid":0,"data":"AAAA","format":0})"), R"({"code":-1,"pcode":2,"pid":0})");
    EXPECT_EQ(page.send(R"({"pcode":3,"pid":0,"certid":0})"), R"({"certid":0,"code":-1,"data":"","pcode":3,"pid":0})");
    EXPECT_EQ(page.send(R"({"pcode":4,"pid":0,"certid":0})"), R"({"certid":0,"code":-1,"pcode":4,"pid":0})");
    EXPECT_EQ(page.send(R"({"ccode":4,"pid":0,"cipher":"AAAA","type":0})"), R"({"ccode":4,"code":5,"pid":0,"plain":""})");
    EXPECT_TRUE(service.running());
}
