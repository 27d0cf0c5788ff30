#include "service/RequestAuthenticator.h"
#include "service/ServerFiles.h"
#include "tests/support/fixtures.h"
#include "tools/halvorn-call/HalvornClient.h"

#include "commands/Json.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testsupport::run;
using testsupport::TempDir;
using testsupport::writeFile;

int decrypt(const std::string& rankey, const std::string& datab, const std::string& datac, std::string& plain)
{
    CHttpRequestAuthenticaor auth;
    auth.InitAuthenticaor(rankey, datab, datac);
    const int rc = auth.Decrypt(plain);
    auth.ResetAuthenticaor();
    return rc;
}

Json::Value parse(const std::string& text)
{
    Json::Value v;
    EXPECT_TRUE(jsontext::parseStrict(text, v)) << text;
    return v;
}

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// AES-256-ECB through the openssl command line, independently of our code.
std::string opensslEnc(const TempDir& dir, const std::string& data, const std::string& keyHex, const std::string& flags)
{
    writeFile(dir.path() / "in", data);
    const auto r = run("openssl enc -aes-256-ecb " + flags + " -K " + keyHex + " -in '" + (dir.path() / "in").string()
                       + "' -out '" + (dir.path() / "out").string() + "'");
    EXPECT_EQ(r.status, 0) << r.output;
    return testsupport::readFile(dir.path() / "out");
}

TEST(RequestAuthenticator, EnvelopeMadeByTheOpensslToolDecrypts)
{
    // The shared values written out again, so that a change on one side shows.
    const std::string magicHex = "eeb72465988b2a9b9e0a16c5c665d3a46ab7ab866e963e7407a9c1ee20e1087a";
    const std::string rankey = "K7pQ2xV9mT4wL8zR1cY6bN3hF5jD0sGa";
    const std::string request = R"({"interfacetype":1,"id":"a","data":{}})";
    TempDir dir;

    std::string requestKey;
    for (std::size_t i = 0; i < 32; ++i)
        requestKey += static_cast<char>(rankey[i] ^ std::stoi(magicHex.substr(2 * i, 2), nullptr, 16));
    const std::string datac = opensslEnc(dir, request, hex(requestKey), "");
    const std::string t = opensslEnc(dir, rankey, hex("7E4C19A0D3B6F25E81C7A40D9F3E62B1"), "-d -nopad");
    ASSERT_EQ(t.size(), 32u);
    const std::string checkKey = OpensslHelper::Base64Encode(t).substr(0, 32);
    const std::string datab = opensslEnc(dir, rankey, hex(checkKey), "");

    std::string plain;
    EXPECT_EQ(decrypt(rankey, OpensslHelper::Base64Encode(datab), OpensslHelper::Base64Encode(datac), plain), 0);
    EXPECT_EQ(plain, request);
}

TEST(RequestAuthenticator, RoundTripsRequestsOfEveryLength)
{
    for (const std::size_t n : {0u, 1u, 15u, 16u, 17u, 31u, 32u, 33u, 5000u}) {
        const std::string request(n, 'r');
        const std::string envelope = hclient::BuildEnvelope(request, hclient::MakeRankey());
        EXPECT_EQ(DecryptEnvelope(parse(envelope)), request) << n;
    }
}

TEST(RequestAuthenticator, CheckGuardsTheRankey)
{
    const std::string rankey = "abcdefghijklmnopqrstuvwxyz012345";
    const auto members = parse(hclient::BuildEnvelope("R", rankey));
    const std::string datab = members["datab"].asString();
    const std::string datac = members["datac"].asString();
    std::string plain;

    EXPECT_EQ(decrypt(rankey, datab, datac, plain), 0);
    EXPECT_EQ(plain, "R");

    std::string changed = rankey;
    changed[5] = 'X';
    EXPECT_EQ(decrypt(changed, datab, datac, plain), 2);
    EXPECT_EQ(plain, "");

    EXPECT_EQ(decrypt("", datab, datac, plain), 1);
    EXPECT_EQ(decrypt("", "", "", plain), 1);
    EXPECT_EQ(decrypt(rankey.substr(0, 31), datab, datac, plain), 2);
    EXPECT_EQ(decrypt(rankey, "not base64!", datac, plain), 2);
    EXPECT_EQ(decrypt(rankey, OpensslHelper::Base64Encode(std::string(4112, 'x')), datac, plain), 2);
}

TEST(RequestAuthenticator, CheckTextMayContinueAfterTheRankey)
{
    const std::string rankey = hclient::MakeRankey();
    const auto env = parse(hclient::BuildEnvelope("R", rankey, rankey + " and more"));
    EXPECT_EQ(DecryptEnvelope(env), "R");
}

TEST(RequestAuthenticator, LongRankeyShapesKeysWithItsFirst32BytesButIsCheckedWhole)
{
    const std::string rankey = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";   // 40 characters
    const auto env = parse(hclient::BuildEnvelope("R", rankey));
    EXPECT_EQ(DecryptEnvelope(env), "R");

    std::string plain;
    std::string tailChanged = rankey;
    tailChanged[38] = 'x';
    EXPECT_EQ(decrypt(tailChanged, env["datab"].asString(), env["datac"].asString(), plain), 2);
}

TEST(RequestAuthenticator, WrongShapedEnvelopesGiveNoRequest)
{
    const char* cases[] = {
        "[]",
        R"({"rankey":1,"datab":"","datac":""})",
        R"({"rankey":"k","datab":[1],"datac":""})",
        R"({"rankey":"k","datab":"","datac":{"a":1}})",
        R"({"rankey":1.5})",
    };
    for (const char* c : cases)
        EXPECT_EQ(DecryptEnvelope(parse(c)), "") << c;
}

TEST(RequestAuthenticator, Base64DecodeDropsPaddingAndRefusesGarbage)
{
    EXPECT_EQ(OpensslHelper::Base64Decode("QQ=="), "A");
    EXPECT_EQ(OpensslHelper::Base64Decode("QUI="), "AB");
    EXPECT_EQ(OpensslHelper::Base64Decode("QUJD"), "ABC");
    EXPECT_EQ(OpensslHelper::Base64Decode(""), "");
    EXPECT_EQ(OpensslHelper::Base64Decode("QQ"), "");
    EXPECT_EQ(OpensslHelper::Base64Decode("Q!=="), "");
    EXPECT_EQ(OpensslHelper::Base64Encode("ABC"), "QUJD");
}

TEST(RequestAuthenticator, DecryptAesEcbCountsOnlyWholeWellPaddedBlocks)
{
    std::uint8_t key[32] = {1, 2, 3};
    // Two blocks whose last one is not padded: the final step writes nothing.
    const std::string raw = OpensslHelper::AesEncrypt(std::string(32, 'a'), key, 256);
    std::uint8_t out[64] = {};
    EXPECT_EQ(decryptAesECB(reinterpret_cast<const std::uint8_t*>(raw.data()), 32, key, nullptr, out), 16);
    EXPECT_EQ(decryptAesECB(reinterpret_cast<const std::uint8_t*>(raw.data()), 20, key, nullptr, out), 16);
    EXPECT_EQ(decryptAesECB(reinterpret_cast<const std::uint8_t*>(raw.data()), 0, key, nullptr, out), 0);
}

TEST(RequestAuthenticator, AesDecryptExtendsWithZerosToWholeBlocks)
{
    const char* key = "0123456789abcdef0123456789abcdef";
    const std::string data = "seventeen bytes!!";
    std::string extended = data;
    extended.resize(32, '\0');
    EXPECT_EQ(CHttpRequestAuthenticaor::aes_decrypt(data, key, 256), CHttpRequestAuthenticaor::aes_decrypt(extended, key, 256));
    EXPECT_EQ(CHttpRequestAuthenticaor::aes_decrypt(data, key, 256).size(), 32u);
    EXPECT_EQ(CHttpRequestAuthenticaor::aes_decrypt("", key, 256), "");
}

TEST(ServerFiles, PathsAndPassphrase)
{
    unsetenv("HALVORN_ROOT");
    EXPECT_EQ(GetServerCertPath(), "/Library/Application Support/Halvorn/server.crt");
    EXPECT_EQ(GetServerKeyPath(), "/Library/Application Support/Halvorn/server.key");
    setenv("HALVORN_ROOT", "/tmp/r", 1);
    EXPECT_EQ(GetServerKeyPath(), "/tmp/r/Library/Application Support/Halvorn/server.key");
    unsetenv("HALVORN_ROOT");

    const std::string pass = ServerKeyPassphrase();
    EXPECT_FALSE(pass.empty());
    EXPECT_EQ(pass.find('\0'), std::string::npos);
}

} // namespace
