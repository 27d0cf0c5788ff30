#include "tests/service/ServiceFixture.h"

#include <gtest/gtest.h>

namespace {

using testsupport::RunningService;
using testsupport::runProgram;

const std::string kVersionRequest = R"({"interfacetype":1,"id":"a","data":{}})";
const std::string kVersionReply = "{\"code\":0,\"data\":\"1.0.0.3\"}\n";

class HalvornCall : public ::testing::Test {
protected:
    RunningService service;

    testsupport::CommandResult call(std::vector<std::string> args)
    {
        args.insert(args.begin(), {testsupport::HalvornCallBinary(), "--port", std::to_string(service.port())});
        return runProgram(args);
    }
};

TEST_F(HalvornCall, PrintsTheReplyOfEveryTransport)
{
    EXPECT_EQ(call({kVersionRequest}).output, kVersionReply);
    EXPECT_EQ(call({"--post", kVersionRequest}).output, kVersionReply);
    for (const char* n : {"1", "2", "7"})
        EXPECT_EQ(call({"--split", n, kVersionRequest}).output, kVersionReply) << n;
    EXPECT_EQ(call({R"({"interfacetype":0,"id":"a","data":{"pcode":9}})"}).output, "{\"code\":-2,\"pid\":9}\n");
}

TEST_F(HalvornCall, RawPrintsTheWholeAnswer)
{
    const auto r = call({"--raw", "--post", kVersionRequest});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAccess-Control-Allow-Origin: *\r\n\r\n"
                        "{\"code\":0,\"data\":\"1.0.0.3\"}");
}

TEST_F(HalvornCall, FailuresAreReportedWithAStatus)
{
    EXPECT_EQ(call({}).status, 2);                                  // usage
    EXPECT_EQ(call({"--post", "--split", "2", "{}"}).status, 2);
    const auto refused = runProgram({testsupport::HalvornCallBinary(), "--port", "1", kVersionRequest});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("no service answers"), std::string::npos);
}

TEST(HalvornCallDefaults, FindsTheServiceOnTheFirstPortThatAnswers)
{
    RunningService service;
    // Ports before the service's answer nothing, or belong to another program.
    if (service.port() != 6186)
        GTEST_SKIP() << "another program holds a port before the service's";
    EXPECT_EQ(runProgram({testsupport::HalvornCallBinary(), kVersionRequest}).output, kVersionReply);
}

} // namespace
