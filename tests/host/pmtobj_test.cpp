#include "host/PMTObj.h"

#include "commands/TQSMLib.h"
#include "tests/support/MainLoopThread.h"

#include <glib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::MainLoopThread;

TEST(PMTObj, RunsTheCommandOnTheLoopAndWaitsForIt)
{
    MainLoopThread main;
    PMTObj marshaller(main.context());
    TQSMLib lib;
    // Codes outside the tables: each reply is the envelope that names the code.
    for (int i = 9; i < 29; ++i) {
        lib.setoutput("");
        const auto done = marshaller.performfunction(&lib, "{\"pcode\":" + std::to_string(i) + "}\n");
        // The reply is there as soon as the call returns.
        EXPECT_EQ(done.output, "{\"code\":-2,\"pid\":" + std::to_string(i) + "}\n");
        EXPECT_EQ(lib.getoutput(), done.output);
    }
}

TEST(PMTObj, JobsFromManyThreadsRunOneAtATimeOnTheLoop)
{
    MainLoopThread main;
    PMTObj marshaller(main.context());
    std::atomic<int> inside{0}, overlaps{0}, elsewhere{0}, ran{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 8; ++t)
        callers.emplace_back([&] {
            for (int i = 0; i < 50; ++i)
                marshaller.runOnMain([&] {
                    overlaps += inside++ != 0;
                    elsewhere += std::this_thread::get_id() != main.id();
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                    ++ran;
                    --inside;
                });
        });
    for (auto& c : callers)
        c.join();
    EXPECT_EQ(ran.load(), 400);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(elsewhere.load(), 0);
}

// A modal dialog runs a nested main loop inside its command. Commands queued
// meanwhile must wait for it to end, not run inside it.
TEST(PMTObj, NestedLoopInsideACommandDoesNotStartTheNextOne)
{
    MainLoopThread main;
    PMTObj marshaller(main.context());
    std::atomic<bool> secondRan{false}, secondRanInside{false};
    std::future<bool> second;
    const bool firstRan = marshaller.runOnMain([&] {
        second = std::async(std::launch::async, [&] { return marshaller.runOnMain([&] { secondRan = true; }); });
        // Let the second job reach the queue, iterating the loop as a dialog would.
        const auto until = std::chrono::steady_clock::now() + 300ms;
        while (std::chrono::steady_clock::now() < until)
            g_main_context_iteration(main.context(), FALSE);
        secondRanInside = secondRan.load();
    });
    EXPECT_TRUE(firstRan);
    EXPECT_FALSE(secondRanInside.load());
    ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(second.get());
    EXPECT_TRUE(secondRan.load());
}

TEST(PMTObj, WaitsUntilTheLoopRunsAndStopReleasesTheCaller)
{
    // The default context with no loop running it, as before the main loop
    // starts: the command must wait for the loop, not run on the caller's thread.
    PMTObj marshaller;
    TQSMLib lib;
    lib.setoutput("before\n");
    std::vector<std::future<scheduling::CommandResult>> calls;
    for (int i = 0; i < 3; ++i)
        calls.push_back(std::async(std::launch::async, [&] { return marshaller.performfunction(&lib, "{}\n"); }));
    std::this_thread::sleep_for(300ms);
    for (auto& call : calls)
        EXPECT_EQ(call.wait_for(0ms), std::future_status::timeout);
    EXPECT_EQ(lib.getoutput(), "before\n");
    marshaller.stop();
    for (auto& call : calls) {
        ASSERT_EQ(call.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(call.get().output, "");
    }
    EXPECT_EQ(lib.getoutput(), "before\n");
    // After stop, hand-offs return at once without running.
    EXPECT_EQ(marshaller.performfunction(&lib, "{}\n").output, "");
    EXPECT_FALSE(marshaller.runOnMain([] {}));
    EXPECT_EQ(lib.getoutput(), "before\n");
}

} // namespace
