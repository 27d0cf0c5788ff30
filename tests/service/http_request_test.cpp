#include "service/HttpRequest.h"
#include "tools/halvorn-call/HalvornClient.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ParseCase {
    const char* name;
    std::string text;
    int status;
    std::string method;
};

TEST(HttpRequest, AttachReportsHowFarTheHeadParsed)
{
    const ParseCase cases[] = {
        {"get", "GET /?a=1 HTTP/1.1\r\nHost: x\r\n\r\n", 0, "GET"},
        {"post", "POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}", 0, "POST"},
        {"no blank line", "GET / HTTP/1.1\r\nHost: x\r\n", 1, ""},
        {"empty first line", "\r\n\r\n", 2, ""},
        {"no space", "GET\r\n\r\n", 3, ""},
        {"one space", "GET /\r\n\r\n", 4, ""},
        {"options", "OPTIONS / HTTP/1.1\r\n\r\n", 5, "OPTIONS"},
        {"lower-case get", "get / HTTP/1.1\r\n\r\n", 5, "get"},
        {"post without length", "POST / HTTP/1.1\r\n\r\n{}", 5, "POST"},
        {"post with lower-case header", "POST / HTTP/1.1\r\ncontent-length: 2\r\n\r\n{}", 5, "POST"},
        {"zero byte before the blank line", std::string("GET / HTTP/1.1\r\nX: \0\r\n\r\n", 24), 1, ""},
    };
    for (const auto& c : cases) {
        CHttpRequest r;
        EXPECT_EQ(r.Attach(c.text), c.status) << c.name;
        EXPECT_EQ(r.GetRequestMethod(), c.method) << c.name;
    }
}

TEST(HttpRequest, RequestLineSplitsIntoMethodUrlAndVersion)
{
    CHttpRequest r;
    ASSERT_EQ(r.Attach("GET /?jsoncallback=cb&str=%7B%7D HTTP/1.1\r\n\r\n"), 0);
    EXPECT_EQ(r.GetRequestMethod(), "GET");
    EXPECT_EQ(r.GetUrl(), "/?jsoncallback=cb&str=%7B%7D");
    EXPECT_EQ(r.GetVersion(), "HTTP/1.1");
    EXPECT_EQ(r.QueryRequestPara("jsoncallback"), "cb");
    EXPECT_EQ(r.QueryRequestPara("str"), "");   // {} is JSON but decrypts to nothing
}

struct QueryCase {
    std::string url;
    std::map<std::string, std::string> expected;   // name -> value ("<absent>" for none)
};

TEST(HttpRequest, QueryParametersFollowTheDecodedUrl)
{
    const QueryCase cases[] = {
        {"/?a=1&b&c=3", {{"a", "1"}, {"b", "<absent>"}, {"c", "<absent>"}}},
        {"/?a=1&a=2", {{"a", "2"}}},
        {"/?a=x+y&b=%2B", {{"a", "x y"}, {"b", "+"}}},
        {"/?a=1%26b%3D2", {{"a", "1"}, {"b", "2"}}},   // encoded & and = split like plain ones
        {"/?a=b=c", {{"a", "b=c"}}},
        {"/path", {{"a", "<absent>"}}},
        {"/%3Fa=1", {{"a", "1"}}},
        {"/?spliceid=s&splicenum=1&str={\"x\":1}", {{"str", "{\"x\":1}"}}},   // pieces stay as sent
        {"/?splicenum=2&str=abc", {{"str", "abc"}}},
        {"/?str=not-json", {{"str", "not-json"}}},
        {"/?str=[1,2]", {{"str", ""}}},                         // JSON but no envelope: emptied
        {"/?str={\"rankey\":5,\"datab\":\"\",\"datac\":\"\"}", {{"str", ""}}},
        {"/?str={\"rankey\":\"k\",\"datab\":[],\"datac\":\"\"}", {{"str", ""}}},
        {"/?str={\"rankey\":\"k\",\"datab\":\"\",\"datac\":{}}", {{"str", ""}}},
        {"/?str={\"rankey\":null,\"datab\":true}", {{"str", ""}}},  // readable, fails to decrypt
    };
    for (const auto& c : cases) {
        CHttpRequest r;
        ASSERT_EQ(r.Attach("GET " + c.url + " HTTP/1.1\r\n\r\n"), 0) << c.url;
        for (const auto& [name, value] : c.expected) {
            if (value == "<absent>")
                EXPECT_EQ(r.QueryRequestPara(name), "") << c.url << " " << name;
            else
                EXPECT_EQ(r.QueryRequestPara(name), value) << c.url << " " << name;
        }
    }
}

TEST(HttpRequest, StrOfAnOrdinaryGetIsDecrypted)
{
    const std::string request = R"({"interfacetype":1,"id":"a","data":{}})";
    const std::string envelope = hclient::BuildEnvelope(request, hclient::MakeRankey());
    CHttpRequest r;
    ASSERT_EQ(r.Attach(hclient::JsonpGet("cb", envelope)), 0);
    EXPECT_EQ(r.QueryRequestPara("str"), request);

    CHttpRequest piece;
    ASSERT_EQ(piece.Attach(hclient::SpliceGet("cb", "s", "-1", envelope)), 0);
    EXPECT_EQ(piece.QueryRequestPara("str"), envelope);
    EXPECT_EQ(CHttpRequest::DecryptStr(envelope), request);
    EXPECT_EQ(CHttpRequest::DecryptStr("[]"), "");
    EXPECT_EQ(CHttpRequest::DecryptStr("x"), "");
}

TEST(HttpRequest, PostContentIsTheAnnouncedLengthZeroFilled)
{
    struct Case {
        std::string text;
        std::string content;
    };
    const Case cases[] = {
        {"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "hello"},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nhello", "hel"},
        {"POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nhi", std::string("hi\0\0", 4)},   // not received yet
        {"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\nhi", ""},
        {"POST / HTTP/1.1\r\nContent-Length: -3\r\n\r\nhi", ""},
        {"POST / HTTP/1.1\r\nX: 1\r\nContent-Length: 9\r\nContent-Length: 2\r\n\r\nhello", "he"},   // the later line wins
        {"POST / HTTP/1.1\r\nX-Content-Length: 2\r\n\r\nhello", "he"},   // found anywhere in a line
    };
    for (const auto& c : cases) {
        CHttpRequest r;
        ASSERT_EQ(r.Attach(c.text), 0) << c.text;
        EXPECT_EQ(r.GetPostContent(), c.content) << c.text;
    }
}

TEST(HttpRequest, PostContentNeverPassesTheBufferEnd)
{
    const std::string head = "POST / HTTP/1.1\r\nContent-Length: 4000000\r\n\r\n";
    CHttpRequest r;
    ASSERT_EQ(r.Attach(head + "{}"), 0);
    EXPECT_EQ(r.GetPostContent().size(), kRequestBufferSize - head.size());
    EXPECT_EQ(r.GetPostContent().substr(0, 2), "{}");
    EXPECT_EQ(CHttpRequest::ExpectedSize(head), kRequestBufferSize - 1);
}

TEST(HttpRequest, ExpectedSizeCoversTheHeadAndAnnouncedBody)
{
    EXPECT_EQ(CHttpRequest::ExpectedSize("GET / HTTP/1.1\r\n"), 0u);
    EXPECT_EQ(CHttpRequest::ExpectedSize("GET / HTTP/1.1\r\n\r\n"), 18u);
    EXPECT_EQ(CHttpRequest::ExpectedSize("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n"), 49u);
    EXPECT_EQ(CHttpRequest::ExpectedSize("POST / HTTP/1.1\r\n\r\n"), 19u);
}

TEST(HttpRequest, DecstringToIntHasNoChecks)
{
    EXPECT_EQ(DecstringToInt("42"), 42);
    EXPECT_EQ(DecstringToInt(""), 0);
    EXPECT_EQ(DecstringToInt("4294967295"), -1);   // unsigned arithmetic, taken as signed
    EXPECT_EQ(DecstringToInt("1a"), 10 + ('a' - '0'));
}

TEST(HttpRequest, DeattachForgetsParametersButKeepsTheMethod)
{
    CHttpRequest r;
    ASSERT_EQ(r.Attach("GET /?a=1 HTTP/1.1\r\n\r\n"), 0);
    EXPECT_EQ(r.Deattach(), 0);
    EXPECT_EQ(r.QueryRequestPara("a"), "");
    EXPECT_EQ(r.GetRequestMethod(), "GET");
}

} // namespace
