// Every handler against every required member left out, given a value of
// each wrong JSON type, or given an integer outside 32 bits: each such
// command fails with -2 and a reply of the handler's own shape, changes
// nothing, and the session answers the next good command as before.

#include "commands/TQSMLib.h"

#include "core/codec.h"
#include "tests/commands/CommandSession.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

using commandtest::parse;
using commandtest::Stores;

namespace {

enum class Kind { Int, String, Object };

// Values of the wrong JSON type for each kind, as the page would write them.
const std::vector<std::string>& wrongValues(Kind kind)
{
    static const std::vector<std::string> forInt = {
        R"("1")", "1.5", "1.0", "1e0", "true", "null", "[1]", "{}",
        "2147483648", "-2147483649", "9223372036854775808", "18446744073709551616", "-9223372036854775809",
    };
    static const std::vector<std::string> forString = {"1", "1.5", "true", "null", R"(["a"])", R"({"a":"b"})"};
    static const std::vector<std::string> forObject = {R"("{}")", "1", "[]", "[{}]", "null", "false"};
    switch (kind) {
    case Kind::Int: return forInt;
    case Kind::String: return forString;
    default: return forObject;
    }
}

using Members = std::vector<std::pair<std::string, std::string>>;   // name, JSON literal

std::string compose(const Members& members)
{
    std::string text = "{";
    for (const auto& [name, literal] : members) {
        if (text.size() > 1)
            text += ",";
        text += "\"" + name + "\":" + literal;
    }
    return text + "}";
}

struct Handler {
    const char* name;
    Members good;                        // a command that works in the prepared session
    int goodCode;                        // what it answers (its bad forms answer -2)
    std::vector<std::pair<std::string, Kind>> checked;   // members whose type is checked
    std::set<std::string> reply;         // member names of the reply
    std::vector<std::string> echoes;     // reply members copied from the request
};

class BadInput : public Stores {
protected:
    void SetUp() override
    {
        Stores::SetUp();
        addToKeychain(alice);
        addToKeychain(bob);
        ASSERT_EQ(run(R"({"pcode":0,"name":"keychain","type":0})")["code"].asInt(), 0);
        ASSERT_EQ(run(R"({"pcode":5,"pid":0,"query":{}})")["certnumber"].asInt(), 2);
        ASSERT_EQ(run(R"({"pcode":6,"pid":0,"type":0,"certid":0})")["code"].asInt(), 0);
    }

    // A command whose printed lines (key count, sign) are not wanted here.
    std::string quiet(const std::string& command, int* result = nullptr)
    {
        ::testing::internal::CaptureStdout();
        const std::string reply = call(lib, command, result);
        ::testing::internal::GetCapturedStdout();
        return reply;
    }

    // The good command that must work after every bad one.
    void expectSessionIntact(const std::string& after)
    {
        const Json::Value sig = parse(quiet(R"({"ccode":1,"pid":0,"sign":"ZGF0YQ==","flags":32})"));
        EXPECT_EQ(sig["code"].asInt(), 0) << "after " << after;
        EXPECT_FALSE(sig["signed"].asString().empty()) << "after " << after;
        EXPECT_EQ(run(R"({"ccode":0,"pid":0})")["certinfo"]["cn"].asString(), "Alice Smith") << "after " << after;
        EXPECT_EQ(lib.providerCount(), 1) << "after " << after;
        EXPECT_EQ(keychainCount(), 2u) << "after " << after;
    }

    static testsupport::Subject named(const std::string& cn)
    {
        testsupport::Subject s;
        s.cn = cn;
        return s;
    }
    testsupport::KeyAndCert alice = testsupport::makeRsaCert(2048, named("Alice Smith"), 1);
    testsupport::KeyAndCert bob = testsupport::makeRsaCert(2048, named("Bob"), 2);
};

} // namespace

TEST_F(BadInput, EveryHandlerRefusesMissingAndIllTypedMembers)
{
    const std::string attached = parse(quiet(R"({"ccode":1,"pid":0,"sign":"ZGF0YQ==","flags":0})"))["signed"].asString();
    const std::string cipher = run(R"({"ccode":3,"pid":0,"plain":"hello","type":0})")["cipher"].asString();
    const std::string aliceB64 = "\"" + ICodec::encode(alice.certDer()) + "\"";
    ASSERT_FALSE(attached.empty());
    ASSERT_FALSE(cipher.empty());

    const Kind I = Kind::Int, S = Kind::String, O = Kind::Object;
    const Handler handlers[] = {
        {"getProvider", {{"pcode", "0"}, {"name", R"("keychain")"}, {"type", "0"}}, 6,
         {{"name", S}, {"type", I}}, {"code", "pcode", "pid"}, {"pcode"}},
        {"genCSR", {{"pcode", "1"}, {"pid", "0"}, {"csrinfo", R"({"CN":"new"})"}}, 0,
         {{"pid", I}, {"csrinfo", O}}, {"code", "csr", "pcode", "pid"}, {"pcode", "pid"}},
        {"impCert", {{"pcode", "2"}, {"pid", "0"}, {"data", aliceB64}, {"format", "0"}}, 0,
         {{"pid", I}, {"data", S}, {"format", I}}, {"code", "pcode", "pid"}, {"pcode", "pid"}},
        {"expCert", {{"pcode", "3"}, {"pid", "0"}, {"certid", "0"}}, -1,
         {{"pid", I}, {"certid", I}}, {"certid", "code", "data", "pcode", "pid"}, {"certid", "pcode", "pid"}},
        {"deleteCert", {{"pcode", "4"}, {"pid", "0"}, {"certid", "1"}}, 0,
         {{"pid", I}, {"certid", I}}, {"certid", "code", "pcode", "pid"}, {"certid", "pcode", "pid"}},
        {"getCertList", {{"pcode", "5"}, {"pid", "0"}, {"query", "{}"}}, 0,
         {{"pid", I}, {"query", O}}, {"certnumber", "code", "pcode", "pid"}, {"pcode", "pid"}},
        {"selectCert", {{"pcode", "6"}, {"pid", "0"}, {"type", "0"}, {"certid", "0"}}, 0,
         {{"pid", I}, {"type", I}, {"certid", I}}, {"certid", "code", "pcode", "pid"}, {"certid", "pcode", "pid"}},
        {"getKeyCount", {{"pcode", "7"}, {"pid", "0"}}, -2,
         {{"pid", I}}, {"code", "keycount", "pcode", "pid"}, {"pcode", "pid"}},
        {"selectKey", {{"pcode", "8"}, {"pid", "0"}}, 0,
         {{"pid", I}}, {"code", "pcode", "pid"}, {"pcode", "pid"}},
        {"getCertInfo", {{"ccode", "0"}, {"pid", "0"}}, 0,
         {{"pid", I}}, {"ccode", "certinfo", "code", "pid"}, {"ccode", "pid"}},
        {"sign", {{"ccode", "1"}, {"pid", "0"}, {"sign", R"("ZGF0YQ==")"}, {"flags", "32"}}, 0,
         {{"pid", I}, {"sign", S}, {"flags", I}}, {"ccode", "code", "pid", "signed"}, {"ccode", "pid"}},
        {"Verify", {{"ccode", "2"}, {"pid", "0"}, {"signed", "\"" + attached + "\""}, {"flags", "0"}}, 0,
         {{"pid", I}, {"signed", S}, {"flags", I}}, {"ccode", "code", "pid", "verify"}, {"ccode", "pid"}},
        {"encrypt", {{"ccode", "3"}, {"pid", "0"}, {"plain", R"("hello")"}, {"type", "0"}}, 0,
         {{"pid", I}, {"plain", S}, {"type", I}}, {"ccode", "cipher", "code", "pid"}, {"ccode", "pid"}},
        {"decrypt", {{"ccode", "4"}, {"pid", "0"}, {"cipher", "\"" + cipher + "\""}, {"type", "0"}}, 0,
         {{"pid", I}, {"cipher", S}, {"type", I}}, {"ccode", "code", "pid", "plain"}, {"ccode", "pid"}},
        {"setPin", {{"ccode", "5"}, {"pid", "0"}, {"pin", R"("1234")"}}, -1,
         {{"pid", I}, {"pin", S}}, {"ccode", "code", "pid"}, {"ccode", "pid"}},
    };

    for (const Handler& h : handlers) {
        SCOPED_TRACE(h.name);
        // The good form first, so that -2 below means the input was refused.
        // deleteCert's good form would remove a certificate: it runs last.
        if (std::string(h.name) != "deleteCert") {
            const Json::Value good = parse(quiet(compose(h.good)));
            EXPECT_EQ(good["code"].asInt(), h.goodCode) << compose(h.good);
            if (std::string(h.name) == "getKeyCount") {
                EXPECT_EQ(good["keycount"].asInt(), 1);
            }
        }

        for (const auto& [member, kind] : h.checked) {
            std::vector<std::string> variants = wrongValues(kind);
            // "certid" of selectCert may be left out (it means 0); every
            // other checked member is required.
            const bool optional = std::string(h.name) == "selectCert" && member == "certid";
            if (!optional)
                variants.insert(variants.begin(), std::string());   // the member left out
            for (const std::string& value : variants) {
                Members members;
                for (const auto& m : h.good) {
                    if (m.first != member)
                        members.push_back(m);
                    else if (!value.empty())
                        members.emplace_back(m.first, value);
                }
                const std::string command = compose(members);
                int result = 0;
                const std::string replyText = quiet(command, &result);
                const Json::Value reply = parse(replyText);
                EXPECT_EQ(result, -2) << command;
                EXPECT_EQ(reply["code"].asInt(), -2) << command << " -> " << replyText;
                const auto names = reply.getMemberNames();
                EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), h.reply) << command << " -> " << replyText;
                const Json::Value request = parse(command);
                for (const std::string& e : h.echoes)
                    EXPECT_EQ(reply[e], request[e]) << e << " echoed: " << command << " -> " << replyText;
                if (reply.isMember("keycount")) {
                    EXPECT_EQ(reply["keycount"].asInt(), 0) << command;
                }
                if (std::string(h.name) == "getProvider") {
                    EXPECT_EQ(reply["pid"].asInt(), -1) << command;
                }
                expectSessionIntact(command);
            }
        }
    }
    // The good deleteCert, after all its refused forms.
    EXPECT_EQ(run(R"({"pcode":4,"pid":0,"certid":1})")["code"].asInt(), 0);
    EXPECT_EQ(keychainCount(), 1u);
}

TEST_F(BadInput, RequestsThatAreNotCommandObjects)
{
    const char* commands[] = {
        R"([{"pcode":0,"name":"x","type":0}])",   // an array root has no members
        R"({"pcode":0,"name":"x","type":0)",      // cut short
        R"({"pcode":0,"name":"x","type":0,})",    // not strict JSON
        R"(/*c*/{"pcode":0,"name":"x","type":0})",
        R"("pcode")",
        "",
    };
    for (const char* c : commands) {
        int result = 0;
        const std::string reply = call(lib, c, &result);
        EXPECT_EQ(result, -2) << c;
        EXPECT_EQ(reply, "{\"code\":-2}\n") << c;
        expectSessionIntact(c);
    }
}
