#include "scheduling/Scheduling.h"

#include "commands/TQSMLib.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Records every hand-off and runs it in place.
class RecordingMarshaller : public scheduling::IMainThreadMarshaller {
public:
    scheduling::CommandResult performfunction(TQSMLib* lib, const std::string& params) override
    {
        calls.push_back({lib, params});
        return scheduling::perform(lib, params);
    }
    std::vector<std::pair<TQSMLib*, std::string>> calls;
};

class Dispatch : public ::testing::Test {
protected:
    RecordingMarshaller marshaller;
    scheduling::CSessionDispatcher dispatcher{&marshaller};

    std::string reply(const std::string& request, int* rc = nullptr)
    {
        std::string out = "<unchanged>";
        const int r = dispatcher.entry(request, out);
        if (rc != nullptr)
            *rc = r;
        return out;
    }
};

TEST_F(Dispatch, VersionRequestRunsTheCommandAndAnswersTheVersion)
{
    int rc = 7;
    EXPECT_EQ(reply(R"({"interfacetype":1,"id":"a","data":{}})", &rc), R"({"code":0,"data":"1.0.0.3"})");
    EXPECT_EQ(rc, 0);
    ASSERT_NE(dispatcher.findSession("a"), nullptr);
    ASSERT_EQ(marshaller.calls.size(), 1u);
    EXPECT_EQ(marshaller.calls[0].second, "{}\n");
    EXPECT_EQ(dispatcher.findSession("a")->getoutput(), "{\"code\":-2}\n");
}

TEST_F(Dispatch, SessionsAreKeptApartById)
{
    int rc = 0;
    EXPECT_EQ(reply(R"({"interfacetype":0,"id":"a","data":{"pcode":9}})", &rc), R"({"code":-2,"pid":9})");
    EXPECT_EQ(rc, -1);   // the command object's error code
    reply(R"({"interfacetype":0,"id":"a","data":{}})");
    reply(R"({"interfacetype":0,"id":"b","data":{}})");
    ASSERT_EQ(marshaller.calls.size(), 3u);
    EXPECT_EQ(marshaller.calls[0].first, marshaller.calls[1].first);
    EXPECT_NE(marshaller.calls[0].first, marshaller.calls[2].first);
    EXPECT_EQ(dispatcher.sessionCount(), 2u);
}

TEST_F(Dispatch, MissingMembersTakeTheirDefaults)
{
    EXPECT_EQ(reply(R"({"id":"a","data":{"ccode":6}})"), R"({"ccode":6,"code":-2})");   // runs as a command
    EXPECT_EQ(reply(R"({"interfacetype":0})"), R"({"code":-2})");
    ASSERT_EQ(marshaller.calls.size(), 2u);
    EXPECT_EQ(marshaller.calls[1].second, "null\n");
    EXPECT_NE(dispatcher.findSession(""), nullptr);
}

TEST_F(Dispatch, OtherInterfaceTypesAnswerEmptyAndCreateNothing)
{
    int rc = 5;
    EXPECT_EQ(reply(R"({"interfacetype":2,"id":"a"})", &rc), "");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(reply(R"({"interfacetype":-1,"id":"a"})"), "");
    EXPECT_EQ(dispatcher.sessionCount(), 0u);
    EXPECT_TRUE(marshaller.calls.empty());
}

TEST_F(Dispatch, AllowedConversionsOfTheEnvelope)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"({"interfacetype":true,"id":"t"})", R"({"code":0,"data":"1.0.0.3"})"},
        {R"({"interfacetype":false,"id":"t"})", R"({"code":-2})"},
        {R"({"interfacetype":1.9,"id":"t"})", R"({"code":0,"data":"1.0.0.3"})"},
        {R"({"interfacetype":-0.5,"id":"t"})", R"({"code":-2})"},
        {R"({"interfacetype":null,"id":"t"})", R"({"code":-2})"},
    };
    for (const auto& [request, expected] : cases)
        EXPECT_EQ(reply(request), expected) << request;
    reply(R"({"interfacetype":1,"id":true})");
    reply(R"({"interfacetype":1,"id":null})");
    EXPECT_NE(dispatcher.findSession("true"), nullptr);
    EXPECT_NE(dispatcher.findSession(""), nullptr);
}

TEST_F(Dispatch, UnreadableRequestsLeaveTheReplyAndFreeTheLock)
{
    const char* cases[] = {
        "", "splice", "not json", "[1]", "{\"a\":", "\"text\"",
        R"({"interfacetype":"0","id":"a"})",
        R"({"interfacetype":[0],"id":"a"})",
        R"({"interfacetype":{},"id":"a"})",
        R"({"interfacetype":2147483648,"id":"a"})",
        R"({"interfacetype":-2147483649,"id":"a"})",
        R"({"interfacetype":3e9,"id":"a"})",
        R"({"interfacetype":1,"id":1})",
        R"({"interfacetype":1,"id":1.5})",
        R"({"interfacetype":1,"id":[]})",
        R"({"interfacetype":1,"id":{}})",
    };
    for (const char* c : cases) {
        int rc = 0;
        EXPECT_EQ(reply(c, &rc), "<unchanged>") << c;
        EXPECT_EQ(rc, -1) << c;
        // A lock left held would hang the next request.
        auto next = std::async(std::launch::async, [&] { return reply(R"({"interfacetype":1,"id":"ok"})"); });
        ASSERT_EQ(next.wait_for(5s), std::future_status::ready) << c;
        EXPECT_EQ(next.get(), R"({"code":0,"data":"1.0.0.3"})") << c;
    }
    EXPECT_EQ(dispatcher.findSession("a"), nullptr);
}

TEST_F(Dispatch, LogShowsEntryCodeAndExitLines)
{
    testing::internal::CaptureStdout();
    reply(R"({"interfacetype":1,"id":"a","data":{}})");
    reply("nope");
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log, "传入请求:{\"interfacetype\":1,\"id\":\"a\",\"data\":{}}\n"
                   "Wardlock Entry code [1].............\n"
                   "传出请求:{\"code\":0,\"data\":\"1.0.0.3\"}\n"
                   "传入请求:nope\n");
}

TEST(SchedulingPerform, MissingSessionOrEmptyCommandKeepsThePreviousOutput)
{
    TQSMLib lib;
    lib.setoutput("previous\n");
    EXPECT_EQ(scheduling::perform(&lib, "").output, "previous\n");
    EXPECT_EQ(lib.getoutput(), "previous\n");
    EXPECT_EQ(scheduling::perform(nullptr, "{}").output, "");
    const auto done = scheduling::perform(&lib, "{\"pcode\":9}");
    EXPECT_EQ(done.output, "{\"code\":-2,\"pid\":9}\n");
    EXPECT_EQ(done.errcode, -1);
    EXPECT_EQ(lib.getoutput(), done.output);
}

// Two requests of one session at once: each must get the reply of its own
// command, not the one the other command left in the session afterwards.
TEST(DispatchInPlace, ConcurrentRequestsOfOneSessionEachGetTheirOwnReply)
{
    scheduling::CSessionDispatcher dispatcher;   // runs commands in place, one at a time
    std::vector<std::future<bool>> clients;
    for (int t = 0; t < 4; ++t)
        clients.push_back(std::async(std::launch::async, [&dispatcher, t] {
            bool ok = true;
            for (int i = 0; i < 200; ++i) {
                const std::string pid = std::to_string(10 + t * 1000 + i);
                std::string out;
                dispatcher.entry(R"({"interfacetype":0,"id":"one","data":{"pcode":)" + pid + "}}", out);
                ok = ok && out == R"({"code":-2,"pid":)" + pid + "}";
            }
            return ok;
        }));
    for (auto& c : clients)
        EXPECT_TRUE(c.get());
}

} // namespace
