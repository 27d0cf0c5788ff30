#include "commands/TQSMLib.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    std::string command;
    std::string reply;
};

TEST(TQSMLib, EnvelopeEchoesTheCodesThatWereRead)
{
    const Case cases[] = {
        {"", "{\"code\":-2}\n"},
        {"not json", "{\"code\":-2}\n"},
        {"{}", "{\"code\":-2}\n"},
        {"null", "{\"code\":-2}\n"},
        {"[1,2]", "{\"code\":-2}\n"},                        // an array has no members
        {R"({"pcode":9})", "{\"code\":-2,\"pid\":9}\n"},
        {R"({"pcode":-1})", "{\"code\":-2}\n"},                // -1 is never echoed
        {R"({"pcode":-7})", "{\"code\":-2,\"pid\":-7}\n"},
        {R"({"ccode":6})", "{\"ccode\":6,\"code\":-2}\n"},
        {R"({"pcode":"0"})", "{\"code\":-2}\n"},               // a string is not an integer
        {R"({"pcode":1.0})", "{\"code\":-2}\n"},               // nor is a number with a fraction
        {R"({"pcode":1e0})", "{\"code\":-2}\n"},
        {R"({"pcode":true})", "{\"code\":-2}\n"},
        {R"({"pcode":2147483648})", "{\"code\":-2}\n"},        // outside 32 bits: ill-typed
        {R"({"pcode":-2147483649})", "{\"code\":-2}\n"},
        {R"({"pcode":18446744073709551616})", "{\"code\":-2}\n"},
        {R"({"ccode":-2147483648})", "{\"ccode\":-2147483648,\"code\":-2}\n"},
        {R"({"pcode":9,"ccode":6})", "{\"ccode\":6,\"code\":-2,\"pid\":9}\n"},
        {R"({"pcode":9} trailing)", "{\"code\":-2,\"pid\":9}\n"},   // the reader's own leniency
    };
    for (const auto& c : cases) {
        TQSMLib lib;
        std::string out = "stale";
        EXPECT_EQ(lib.invoke(c.command, out), -2) << c.command;
        EXPECT_EQ(out, c.reply) << c.command;
    }
}

TEST(TQSMLib, StartsWithItsDocumentedState)
{
    TQSMLib lib;
    EXPECT_EQ(lib.m_codePage, 65001);
    EXPECT_TRUE(lib.m_signCache.empty());
    EXPECT_EQ(lib.selectedCertificate(), nullptr);
    EXPECT_EQ(lib.getoutput(), "");
    EXPECT_EQ(lib.geterrcode(), -1);
    lib.setoutput("x\n");
    EXPECT_EQ(lib.getoutput(), "x\n");
}

TEST(TQSMLib, PidsAreNeverReassignedOrAddedByLookup)
{
    TQSMLib lib;
    // The bookkeeping only names providers; any distinct addresses serve here.
    int a = 0, b = 0, c = 0;
    auto* pa = reinterpret_cast<SMProvider*>(&a);
    auto* pb = reinterpret_cast<SMProvider*>(&b);
    auto* pc = reinterpret_cast<SMProvider*>(&c);
    lib.addProvider(0, pa);
    lib.addProvider(1, pb);
    lib.addProvider(0, pc);   // taken: nothing changes
    EXPECT_EQ(lib.getProviderByID(0), pa);
    EXPECT_EQ(lib.getProviderByID(1), pb);
    EXPECT_EQ(lib.getProviderByID(5), nullptr);
    EXPECT_EQ(lib.getProviderByID(-1), nullptr);
    EXPECT_EQ(lib.providerCount(), 2);
    lib.addProvider(lib.providerCount(), pc);
    EXPECT_EQ(lib.getProviderByID(2), pc);
}

} // namespace
