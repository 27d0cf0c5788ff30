// The spine under many threads at once: the splice table, the dispatch queue
// with the hand-off to a main loop, and the whole listener in this process.
// Built once more with ThreadSanitizer, where these are the cases that show races.

#include "commands/TQSMLib.h"
#include "host/PMTObj.h"
#include "scheduling/Scheduling.h"
#include "service/SpliceTable.h"
#include "service/service_win.h"
#include "tests/service/ServiceFixture.h"
#include "tests/support/MainLoopThread.h"

#include <glib.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <latch>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::MainLoopThread;

const std::string kVersionRequest = R"({"interfacetype":1,"id":"a","data":{}})";
const std::string kVersionReply = R"({"code":0,"data":"1.0.0.3"})";

// Runs job(t) on `count` threads that start together.
void together(int count, const std::function<void(int)>& job)
{
    std::latch go(count);
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t)
        threads.emplace_back([&, t] {
            go.arrive_and_wait();
            job(t);
        });
    for (auto& th : threads)
        th.join();
}

TEST(SpineThreads, SpliceTableKeepsEachRequestsPiecesApart)
{
    CSpliceTable table;
    constexpr int kThreads = 8;
    constexpr int kRounds = 50;
    std::atomic<int> wrong{0};
    std::atomic<bool> done{false};
    // Someone keeps reading the table's figures meanwhile.
    std::thread reader([&] {
        while (!done)
            if (table.entryCount() > CSpliceTable::kMaxEntries || table.chargedBytes() > CSpliceTable::kMaxBytes)
                ++wrong;
    });
    together(kThreads, [&](int t) {
        for (int r = 0; r < kRounds; ++r) {
            const std::string id = "s" + std::to_string(t) + "." + std::to_string(r);
            if (!table.store(id, "2", "b" + id) || !table.store(id, "1", "a" + id) || !table.store(id, "-1", "c"))
                ++wrong;
            // Every thread also adds its own numbers to one request they all share.
            table.store("shared", std::to_string(1 + t * kRounds + r), "x");
            if (table.takeJoined(id) != "a" + id + "b" + id + "c")
                ++wrong;
        }
    });
    done = true;
    reader.join();
    EXPECT_EQ(wrong.load(), 0);
    const auto shared = table.takeJoined("shared");
    ASSERT_TRUE(shared.has_value());
    EXPECT_EQ(*shared, std::string(kThreads * kRounds, 'x'));
    EXPECT_EQ(table.entryCount(), 0u);
    EXPECT_EQ(table.chargedBytes(), 0u);
}

TEST(SpineThreads, DispatchFromManyThreadsRunsEachCommandOnTheMainLoop)
{
    MainLoopThread main;
    PMTObj marshaller(main.context());
    scheduling::CSessionDispatcher dispatcher(&marshaller);
    constexpr int kThreads = 8;
    std::atomic<int> wrong{0};
    together(kThreads, [&](int t) {
        for (int i = 0; i < 30; ++i) {
            std::string reply = "<unchanged>";
            switch (i % 3) {
            case 0:
                dispatcher.entry(R"({"interfacetype":1,"id":"own)" + std::to_string(t) + R"(","data":{}})", reply);
                wrong += reply != kVersionReply;
                break;
            case 1:
                dispatcher.entry(R"({"interfacetype":0,"id":"shared","data":{"pcode":9}})", reply);
                wrong += reply != R"({"code":-2,"pid":9})";
                break;
            default:
                wrong += dispatcher.entry("not json", reply) != -1 || reply != "<unchanged>";
                break;
            }
        }
    });
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(dispatcher.sessionCount(), static_cast<std::size_t>(kThreads + 1));
}

TEST(SpineThreads, StoppingTheHandOffReleasesEveryWaitingRequest)
{
    // A context nobody iterates: hand-offs wait until stop().
    GMainContext* idle = g_main_context_new();
    {
        PMTObj marshaller(idle);
        scheduling::CSessionDispatcher dispatcher(&marshaller);
        std::vector<std::future<std::string>> waiting;
        for (int i = 0; i < 4; ++i)
            waiting.push_back(std::async(std::launch::async, [&] {
                std::string reply;
                dispatcher.entry(kVersionRequest, reply);
                return reply;
            }));
        std::this_thread::sleep_for(200ms);
        for (auto& w : waiting)
            EXPECT_EQ(w.wait_for(0ms), std::future_status::timeout);
        marshaller.stop();
        for (auto& w : waiting) {
            ASSERT_EQ(w.wait_for(5s), std::future_status::ready);
            EXPECT_EQ(w.get(), kVersionReply);
        }
    }
    g_main_context_unref(idle);
}

// The port of 6186-6190 that a socket of this process listens on; 0 when none.
int ownListeningPort()
{
    std::set<std::string> inodes;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string target = std::filesystem::read_symlink(it->path(), ec).string();
        if (target.rfind("socket:[", 0) == 0)
            inodes.insert(target.substr(8, target.size() - 9));
    }
    std::istringstream table(testsupport::readFile("/proc/net/tcp"));
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream f(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        f >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        const int port = static_cast<int>(std::strtol(local.substr(local.find(':') + 1).c_str(), nullptr, 16));
        if (state == "0A" && inodes.count(inode) != 0 && port >= kFirstPort && port < kFirstPort + kPortCount)
            return port;
    }
    return 0;
}

// The listener, its connection threads, the splice table and the dispatcher
// with its hand-off, all in this process.
class InProcessService : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("HALVORN_ROOT", m_root.str().c_str(), 1);
        const auto installed = testsupport::runProgram({testsupport::HalvornInstallBinary()},
                                                       {{"HALVORN_ROOT", m_root.str()}});
        ASSERT_EQ(installed.status, 0) << installed.output;
        scheduling::processDispatcher().setMarshaller(&m_marshaller);
        m_service.start();
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while ((m_port = ownListeningPort()) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        ASSERT_NE(m_port, 0) << "the listener did not come up";
    }
    void TearDown() override
    {
        m_marshaller.stop();
        m_service.stop();
        scheduling::processDispatcher().setMarshaller(nullptr);
        unsetenv("HALVORN_ROOT");
    }

    hclient::Answer send(const std::string& request) const
    {
        hclient::ExchangeOptions o;
        o.ports = {m_port};
        return hclient::Exchange({request}, o);
    }

    testsupport::TempDir m_root;
    MainLoopThread m_main;
    PMTObj m_marshaller{m_main.context()};
    CServiceThread m_service;
    int m_port = 0;
};

TEST_F(InProcessService, ConcurrentClientsOfEveryKindAreServed)
{
    const std::string head(kSuccessHead);
    std::atomic<int> wrong{0};
    together(12, [&](int t) {
        const std::string session = "c" + std::to_string(t);
        const std::string request = R"({"interfacetype":1,"id":")" + session + R"(","data":{}})";
        for (int i = 0; i < 6; ++i) {
            switch (i) {
            case 0:
                wrong += send(hclient::JsonpGet("cb", hclient::BuildEnvelope(request, hclient::MakeRankey()))).raw
                    != head + "cb(" + kVersionReply + ")";
                break;
            case 1:
                wrong += send(hclient::PostRequest(request)).raw != head + kVersionReply;
                break;
            case 2: {
                const auto pieces = hclient::SplitText(hclient::BuildEnvelope(request, hclient::MakeRankey()), 3);
                const std::string id = "split-" + session;
                wrong += send(hclient::SpliceGet("cb", id, "1", pieces[0])).raw != head + "cb()";
                wrong += send(hclient::SpliceGet("cb", id, "2", pieces[1])).raw != head + "cb()";
                wrong += send(hclient::SpliceGet("cb", id, "-1", pieces[2])).raw != head + "cb(" + kVersionReply + ")";
                break;
            }
            case 3:
                wrong += send("OPTIONS / HTTP/1.1\r\n\r\n").raw != std::string(kPreflightReply);
                break;
            case 4: {
                const int fd = testsupport::connectLoopback(m_port);
                wrong += fd < 0;
                if (fd >= 0)
                    testsupport::resetClose(fd);
                break;
            }
            default:
                wrong += send("GET / HTTP/1.1\r\n\r\n").raw != std::string(kBadRequestReply);
                break;
            }
        }
    });
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(InProcessService, StopEndsStalledAndBusyConnections)
{
    std::vector<int> stalled;
    for (int i = 0; i < 20; ++i) {
        const int fd = testsupport::connectLoopback(m_port);
        ASSERT_GE(fd, 0);
        stalled.push_back(fd);
    }
    // Requests in flight while the service stops: each gets its answer or nothing, and none hangs.
    std::vector<std::future<hclient::Answer>> busy;
    for (int i = 0; i < 8; ++i)
        busy.push_back(std::async(std::launch::async, [&] { return send(hclient::PostRequest(kVersionRequest)); }));
    std::this_thread::sleep_for(50ms);
    const auto start = std::chrono::steady_clock::now();
    m_marshaller.stop();
    m_service.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    for (auto& b : busy) {
        ASSERT_EQ(b.wait_for(10s), std::future_status::ready);
        const std::string raw = b.get().raw;
        EXPECT_TRUE(raw.empty() || raw == std::string(kSuccessHead) + kVersionReply) << raw;
    }
    for (const int fd : stalled)
        testsupport::resetClose(fd);
}

} // namespace
