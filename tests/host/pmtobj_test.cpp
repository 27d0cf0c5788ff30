#include "host/PMTObj.h"

#include "commands/TQSMLib.h"

#include <glib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A context iterated by a loop on a thread of its own stands in for the main thread.
class MainLoopThread {
public:
    MainLoopThread()
        : m_context(g_main_context_new()), m_loop(g_main_loop_new(m_context, FALSE))
    {
        m_thread = std::thread([this] {
            g_main_context_push_thread_default(m_context);
            m_id = std::this_thread::get_id();
            g_main_loop_run(m_loop);
            g_main_context_pop_thread_default(m_context);
        });
        while (!g_main_loop_is_running(m_loop))
            std::this_thread::sleep_for(1ms);
    }
    ~MainLoopThread()
    {
        g_main_loop_quit(m_loop);
        m_thread.join();
        g_main_loop_unref(m_loop);
        g_main_context_unref(m_context);
    }
    MainLoopThread(const MainLoopThread&) = delete;   // owns a running thread
    MainLoopThread& operator=(const MainLoopThread&) = delete;

    GMainContext* context() const { return m_context; }

private:
    GMainContext* m_context;
    GMainLoop* m_loop;
    std::thread m_thread;
    std::thread::id m_id;
};

TEST(PMTObj, RunsTheCommandOnTheLoopAndWaitsForIt)
{
    MainLoopThread main;
    PMTObj marshaller(main.context());
    TQSMLib lib;
    // Codes outside the tables: each reply is the envelope that names the code.
    for (int i = 9; i < 29; ++i) {
        lib.setoutput("");
        marshaller.performfunction(&lib, "{\"pcode\":" + std::to_string(i) + "}\n");
        // The reply is there as soon as the call returns.
        EXPECT_EQ(lib.getoutput(), "{\"code\":-2,\"pid\":" + std::to_string(i) + "}\n");
    }
}

TEST(PMTObj, WaitsUntilTheLoopRunsAndStopReleasesTheCaller)
{
    // The default context with no loop running it, as before the main loop
    // starts: the command must wait for the loop, not run on the caller's thread.
    PMTObj marshaller;
    TQSMLib lib;
    lib.setoutput("before\n");
    auto call = std::async(std::launch::async, [&] { marshaller.performfunction(&lib, "{}\n"); });
    EXPECT_EQ(call.wait_for(300ms), std::future_status::timeout);
    EXPECT_EQ(lib.getoutput(), "before\n");
    marshaller.stop();
    ASSERT_EQ(call.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(lib.getoutput(), "before\n");
    // After stop, hand-offs return at once without running.
    marshaller.performfunction(&lib, "{}\n");
    EXPECT_EQ(lib.getoutput(), "before\n");
}

} // namespace
