// The real service over TLS: framing, reply texts, split requests, the
// envelope, refusals of wrong-shaped input, and the listener's robustness.

#include "service/service_win.h"
#include "tests/service/ServiceFixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using hclient::Answer;
using testsupport::RunningService;

const std::string kHead(kSuccessHead);
const std::string kBad(kBadRequestReply);
const std::string kVersionRequest = R"({"interfacetype":1,"id":"a","data":{}})";
const std::string kVersionReply = R"({"code":0,"data":"1.0.0.3"})";

std::string jsonp(const std::string& callback, const std::string& reply)
{
    return kHead + callback + "(" + reply + ")";
}

std::string envelopeOf(const std::string& request)
{
    return hclient::BuildEnvelope(request, hclient::MakeRankey());
}

class ServiceTest : public ::testing::Test {
protected:
    RunningService service;

    Answer send(const std::string& text) { return service.exchange({text}); }

    // The service must still answer a good request at once.
    void expectStillServing()
    {
        EXPECT_EQ(service.call(kVersionRequest), kVersionReply);
    }
};

TEST_F(ServiceTest, PreflightGetsTheFixedReplyAndTheConnectionCloses)
{
    const Answer a = send("OPTIONS /anything HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(a.raw.size(), 271u);
    EXPECT_EQ(a.raw, std::string(kPreflightReply));
}

TEST_F(ServiceTest, MalformedRequestsGetBadRequest)
{
    const std::string plainGet = hclient::GetRequest("str=" + hclient::PercentEncode(envelopeOf(kVersionRequest)));
    const char* cases[] = {
        "PUT / HTTP/1.1\r\n\r\n",
        "DELETE / HTTP/1.1\r\n\r\n",
        "HEAD / HTTP/1.1\r\n\r\n",
        "get /?jsoncallback=cb HTTP/1.1\r\n\r\n",
        "GARBAGE\r\n\r\n",
        "GET /\r\n\r\n",
        "\r\n\r\n",
        "POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
        "POST / HTTP/1.1\r\n\r\n{\"id\":\"a\"}",
        "POST / HTTP/1.1\r\ncontent-length: 10\r\n\r\n{\"id\":\"a\"}",
    };
    for (const char* c : cases)
        EXPECT_EQ(send(c).raw, kBad) << c;
    EXPECT_EQ(send(plainGet).raw, kBad) << "GET without jsoncallback";
    expectStillServing();
}

TEST_F(ServiceTest, JsonpGetIsFramedAsACallback)
{
    const Answer a = send(hclient::JsonpGet("my.cb_1", envelopeOf(kVersionRequest)));
    EXPECT_EQ(a.raw, jsonp("my.cb_1", kVersionReply));
    // A plain request JSON in place of an envelope decrypts to nothing.
    EXPECT_EQ(send(hclient::JsonpGet("cb", kVersionRequest)).raw, jsonp("cb", ""));
}

TEST_F(ServiceTest, PostGetsTheBareReply)
{
    EXPECT_EQ(send(hclient::PostRequest(kVersionRequest)).raw, kHead + kVersionReply);
    EXPECT_EQ(send(hclient::PostRequest("not json")).raw, kHead);
}

TEST_F(ServiceTest, PostBodyArrivingAfterTheHeadIsWaitedFor)
{
    const std::string post = hclient::PostRequest(kVersionRequest);
    const auto split = post.find("\r\n\r\n") + 4;
    const Answer a = service.exchange({post.substr(0, split), post.substr(split)}, 300ms);
    EXPECT_EQ(a.raw, kHead + kVersionReply);
    // Body in several small writes.
    const Answer b = service.exchange({post.substr(0, split), post.substr(split, 5), post.substr(split + 5)}, 100ms);
    EXPECT_EQ(b.raw, kHead + kVersionReply);
}

TEST_F(ServiceTest, HeadCompletedByASingleByteIsAnswered)
{
    const std::string get = hclient::JsonpGet("cb", envelopeOf(kVersionRequest));
    const Answer a = service.exchange({get.substr(0, get.size() - 1), get.substr(get.size() - 1)}, 300ms);
    EXPECT_EQ(a.raw, jsonp("cb", kVersionReply));
}

TEST_F(ServiceTest, EnvelopesOfShortRequestsDecryptExactly)
{
    // Requests of 0, 15, 16 and 17 bytes: the log shows exactly what was decrypted.
    for (const std::string& request : {std::string(), std::string(R"({"id":"abcdef"})"),
                                      std::string(R"({"id":"abcdefg"})"), std::string(R"({"id":"abcdefgh"})")}) {
        const Answer a = send(hclient::JsonpGet("cb", envelopeOf(request)));
        EXPECT_EQ(a.raw, jsonp("cb", request.empty() ? "" : R"({"code":-2})")) << request.size();
        EXPECT_TRUE(service.waitForLog("传入请求:" + request + "\n")) << request.size();
    }
}

TEST_F(ServiceTest, SplitRequestJoinsPiecesInNumberOrder)
{
    const std::string env = envelopeOf(kVersionRequest);
    const auto pieces = hclient::SplitText(env, 3);
    EXPECT_EQ(send(hclient::SpliceGet("cb", "s1", "1", pieces[0])).raw, jsonp("cb", ""));
    EXPECT_EQ(send(hclient::SpliceGet("cb", "s1", "2", pieces[1])).raw, jsonp("cb", ""));
    EXPECT_EQ(send(hclient::SpliceGet("cb", "s1", "-1", pieces[2])).raw, jsonp("cb", kVersionReply));
    // The id is free again: a single final piece is a whole request.
    EXPECT_EQ(send(hclient::SpliceGet("cb", "s1", "-1", env)).raw, jsonp("cb", kVersionReply));
}

TEST_F(ServiceTest, FinalPieceGoesFirstAfterLargeNumbers)
{
    const auto pieces = hclient::SplitText(envelopeOf(kVersionRequest), 3);
    // Numbers 10 and 20 sort after the final piece's 3, so it must carry the start.
    EXPECT_EQ(send(hclient::SpliceGet("cb", "s2", "10", pieces[1])).raw, jsonp("cb", ""));
    EXPECT_EQ(send(hclient::SpliceGet("cb", "s2", "20", pieces[2])).raw, jsonp("cb", ""));
    EXPECT_EQ(send(hclient::SpliceGet("cb", "s2", "-1", pieces[0])).raw, jsonp("cb", kVersionReply));
}

TEST_F(ServiceTest, PieceWithoutCallbackIsStoredAndRefused)
{
    const auto pieces = hclient::SplitText(envelopeOf(kVersionRequest), 2);
    const std::string noCallback = hclient::GetRequest("spliceid=s3&splicenum=1&str=" + hclient::PercentEncode(pieces[0]));
    EXPECT_EQ(send(noCallback).raw, kBad);
    EXPECT_EQ(send(hclient::SpliceGet("cb", "s3", "-1", pieces[1])).raw, jsonp("cb", kVersionReply));
}

TEST_F(ServiceTest, LongRepliesGoOutIn15000ByteWrites)
{
    // The callback name sizes the reply: head + name + "()" (the request is not JSON).
    const auto sendSized = [&](std::size_t total) {
        const std::string cb(total - kHead.size() - 2, 'c');
        return send(hclient::GetRequest("jsoncallback=" + cb + "&str=x"));
    };
    const Answer exact = sendSized(15000);
    EXPECT_EQ(exact.raw.size(), 15000u);
    EXPECT_EQ(exact.reads, (std::vector<std::size_t>{15000}));
    EXPECT_EQ(sendSized(15001).reads, (std::vector<std::size_t>{15000, 1}));
    EXPECT_EQ(sendSized(30000).reads, (std::vector<std::size_t>{15000, 15000}));
}

TEST_F(ServiceTest, WrongShapedOuterRequestsAreRefusedAndTheLockIsFreed)
{
    const char* cases[] = {
        "[1,2]",
        R"({"interfacetype":"1","id":"a","data":{}})",
        R"({"interfacetype":[1],"id":"a","data":{}})",
        R"({"interfacetype":{},"id":"a","data":{}})",
        R"({"interfacetype":2147483648,"id":"a","data":{}})",
        R"({"interfacetype":-2147483649,"id":"a","data":{}})",
        R"({"interfacetype":1e12,"id":"a","data":{}})",
        R"({"interfacetype":1,"id":5,"data":{}})",
        R"({"interfacetype":1,"id":["a"],"data":{}})",
        R"({"interfacetype":1,"id":{"a":1},"data":{}})",
        "not json",
    };
    for (const char* c : cases) {
        EXPECT_EQ(service.post(c), "") << c;
        EXPECT_EQ(service.call(c), "") << c;
        EXPECT_EQ(service.post(kVersionRequest), kVersionReply) << "after " << c;
    }
}

TEST_F(ServiceTest, ConversionsTheEnvelopeAllowsStillWork)
{
    EXPECT_EQ(service.post(R"({"interfacetype":true,"id":"a","data":{}})"), kVersionReply);
    EXPECT_EQ(service.post(R"({"interfacetype":1.9,"id":null,"data":{}})"), kVersionReply);
    EXPECT_EQ(service.post(R"({"interfacetype":1,"id":false})"), kVersionReply);
    EXPECT_EQ(service.post(R"({"id":"a","data":{"pcode":9}})"), R"({"code":-2,"pid":9})");
    EXPECT_EQ(service.post(R"({"interfacetype":2,"id":"a","data":{}})"), "");
}

TEST_F(ServiceTest, WrongShapedCommandsGetTheMinusTwoEnvelope)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"([1])", R"({"code":-2})"},
        {R"({"pcode":"0"})", R"({"code":-2})"},
        {R"({"pcode":1.0})", R"({"code":-2})"},
        {R"({"pcode":4294967296})", R"({"code":-2})"},
        {R"({"pcode":2147483648,"ccode":-9999999999})", R"({"code":-2})"},
        {R"({"pcode":-5})", R"({"code":-2,"pid":-5})"},
        {R"({"pcode":-1,"ccode":6})", R"({"ccode":6,"code":-2})"},
        {R"("text")", R"({"code":-2})"},
    };
    for (const auto& [data, reply] : cases) {
        EXPECT_EQ(service.post(std::string(R"({"interfacetype":0,"id":"w","data":)") + data + "}"), reply) << data;
        expectStillServing();
    }
}

TEST_F(ServiceTest, EncryptedEnvelopesOfTheWrongShapeAreRefused)
{
    const char* cases[] = {
        "[]",
        R"({"rankey":7,"datab":"","datac":""})",
        R"({"rankey":"k","datab":[],"datac":""})",
        R"({"rankey":"k","datab":"","datac":{}})",
    };
    for (const char* c : cases) {
        EXPECT_EQ(send(hclient::JsonpGet("cb", c)).raw, jsonp("cb", "")) << c;
        EXPECT_EQ(send(hclient::SpliceGet("cb", "bad", "-1", c)).raw, jsonp("cb", "")) << c;
        expectStillServing();
    }
}

TEST_F(ServiceTest, LogShowsEachRequestOnItsWay)
{
    EXPECT_EQ(service.post(kVersionRequest), kVersionReply);
    EXPECT_TRUE(service.waitForLog("传入请求:" + kVersionRequest + "\nWardlock Entry code [1].............\n传出请求:"
                                   + kVersionReply + "\n"));
    EXPECT_EQ(service.post("nope"), "");
    EXPECT_TRUE(service.waitForLog("传入请求:nope\n"));
    const std::string log = service.log();
    EXPECT_EQ(log.find("Wardlock", log.find("传入请求:nope")), std::string::npos);
    // Exactly one port line.
    const auto first = log.find("建立端口成功:");
    EXPECT_EQ(log.find("建立端口成功:", first + 1), std::string::npos);
}

TEST_F(ServiceTest, ClientClosingBeforeItsHandshakeHarmsNobody)
{
    for (int i = 0; i < 3; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(service.port()));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        if (i == 1) {
            ASSERT_EQ(write(fd, "\x16\x03\x01", 3), 3);   // half a TLS record, then gone
        }
        close(fd);
    }
    expectStillServing();
}

TEST_F(ServiceTest, StalledHandshakeDoesNotDelayOthers)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(service.port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    const auto start = std::chrono::steady_clock::now();
    expectStillServing();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

TEST_F(ServiceTest, IdleClientIsClosedWithoutReply)
{
    // Handshake done, no request: two one-second reads, then the service closes.
    const auto start = std::chrono::steady_clock::now();
    const Answer a = service.exchange({});
    EXPECT_TRUE(a.handshake);
    EXPECT_EQ(a.raw, "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    expectStillServing();
}

TEST_F(ServiceTest, ManyConcurrentClientsAreAllServed)
{
    std::vector<std::future<std::string>> replies;
    for (int i = 0; i < 16; ++i)
        replies.push_back(std::async(std::launch::async, [&, i] {
            return service.post(R"({"interfacetype":1,"id":"c)" + std::to_string(i) + R"(","data":{}})");
        }));
    for (auto& r : replies)
        EXPECT_EQ(r.get(), kVersionReply);
}

int threadCount(pid_t pid)
{
    const std::string status = testsupport::readFile("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find("Threads:");
    return at == std::string::npos ? -1 : std::atoi(status.c_str() + at + 8);
}

TEST_F(ServiceTest, ConnectionsBeyondTheLimitWaitForAFreeSlot)
{
    // Each accepted connection has a thread of its own: open them one by one
    // until the service holds the limit, all stalled in their handshakes.
    const int base = threadCount(service.pid());
    std::vector<int> stalled;
    for (std::size_t i = 0; i < kMaxConnections; ++i) {
        const int fd = testsupport::connectLoopback(service.port());
        ASSERT_GE(fd, 0);
        stalled.push_back(fd);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (threadCount(service.pid()) < base + static_cast<int>(i) + 1) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "connection " << i << " not accepted";
            std::this_thread::sleep_for(1ms);
        }
    }
    auto late = std::async(std::launch::async, [&] { return service.post(kVersionRequest); });
    ASSERT_EQ(late.wait_for(1500ms), std::future_status::timeout) << late.get();
    testsupport::resetClose(stalled.back());   // one slot frees at once
    stalled.pop_back();
    ASSERT_EQ(late.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(late.get(), kVersionReply);
    for (const int fd : stalled)
        testsupport::resetClose(fd);
}

TEST_F(ServiceTest, TermSignalEndsTheProcessCleanly)
{
    expectStillServing();
    EXPECT_EQ(service.stop(), 0) << service.errors();
}

// Holds a port the way another program would, without keeping the service off
// a port that only has connections waiting out their close.
class PortHolder {
public:
    explicit PortHolder(int port)
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        m_held = bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(m_fd, 1) == 0;
    }
    ~PortHolder() { close(m_fd); }
    bool held() const { return m_held; }
    PortHolder(const PortHolder&) = delete;   // a copy would close the socket twice
    PortHolder& operator=(const PortHolder&) = delete;

private:
    int m_fd = -1;
    bool m_held = false;
};

// True when a listener without address reuse (as the service binds) could take the port now.
bool bindable(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// Holds every port of [first, last]; other programs on this machine may hold
// one for a moment, so this keeps trying for a while. Empty when it could not.
std::vector<std::unique_ptr<PortHolder>> holdPorts(int first, int last)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        std::vector<std::unique_ptr<PortHolder>> held;
        bool all = true;
        for (int port = first; port <= last; ++port) {
            held.push_back(std::make_unique<PortHolder>(port));
            all = all && held.back()->held();
        }
        if (all)
            return held;
        if (std::chrono::steady_clock::now() > deadline)
            return {};
        std::this_thread::sleep_for(100ms);
    }
}

TEST(ServicePorts, TakenPortsMoveTheServiceToTheNextFreeOne)
{
    const auto held = holdPorts(6186, 6189);
    if (held.empty())
        GTEST_SKIP() << "another program keeps one of the ports 6186-6189";
    if (!bindable(6190))
        GTEST_SKIP() << "port 6190 is in use by another program";
    RunningService service;
    EXPECT_EQ(service.port(), 6190);
    EXPECT_EQ(service.call(kVersionRequest), kVersionReply);
}

TEST(ServicePorts, WithEveryPortTakenTheProcessKeepsRunning)
{
    const auto held = holdPorts(6186, 6190);
    if (held.empty())
        GTEST_SKIP() << "another program keeps one of the ports 6186-6190";
    RunningService::Options options;
    options.waitForPort = false;
    RunningService service(options);
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(service.running());
    EXPECT_EQ(service.port(), 0);
    EXPECT_EQ(service.stop(), 0) << service.errors();
}

// Sends one whole TLS record holding an empty ClientHello and waits until the
// service hangs up. Every byte sent is read, so the service closes with a FIN,
// first, and its side of the connection lingers in TIME_WAIT.
void connectionClosedByService(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    const char junk[] = "\x16\x03\x01\x00\x04\x01\x00\x00\x00";
    ASSERT_GT(send(s, junk, sizeof junk - 1, MSG_NOSIGNAL), 0);
    char buf[256];
    while (recv(s, buf, sizeof buf, 0) > 0) {
    }
    close(s);
}

TEST(ServicePorts, RestartAfterServedConnectionsBindsTheSamePort)
{
    int port = 0;
    {
        RunningService first;
        port = first.port();
        ASSERT_NE(port, 0);
        for (int i = 0; i < 5; ++i)
            connectionClosedByService(port);
        EXPECT_EQ(first.stop(), 0) << first.errors();
    }
    // Connections the service closed must not push a restarted service (after
    // a crash, or a login) to the next port or, after a few restarts, off all of them.
    RunningService second;
    EXPECT_EQ(second.port(), port);
    EXPECT_EQ(second.call(kVersionRequest), kVersionReply);
}

TEST(ServiceFiles, WithoutServerFilesEveryHandshakeFails)
{
    RunningService::Options options;
    options.installServerFiles = false;
    RunningService service(options);
    const Answer a = service.exchange({hclient::PostRequest(kVersionRequest)});
    EXPECT_TRUE(a.connected);
    EXPECT_FALSE(a.handshake);
    EXPECT_TRUE(service.running());
    EXPECT_NE(service.errors().find("unable to load private key: " + service.serverFolder() + "/server.key\n"),
              std::string::npos);
}

} // namespace
