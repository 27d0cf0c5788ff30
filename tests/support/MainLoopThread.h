#pragma once

// A GLib main loop on a thread of its own: stands in for the service's main
// thread in tests of the hand-off.

#include <glib.h>

#include <chrono>
#include <thread>

namespace testsupport {

class MainLoopThread {
public:
    MainLoopThread() : m_context(g_main_context_new()), m_loop(g_main_loop_new(m_context, FALSE))
    {
        m_thread = std::thread([this] {
            g_main_context_push_thread_default(m_context);
            m_id = std::this_thread::get_id();
            g_main_loop_run(m_loop);
            g_main_context_pop_thread_default(m_context);
        });
        // The loop marks itself running with an atomic store, after m_id is set.
        while (!g_main_loop_is_running(m_loop))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
    std::thread::id id() const { return m_id; }

private:
    GMainContext* m_context;
    GMainLoop* m_loop;
    std::thread m_thread;
    std::thread::id m_id;
};

} // namespace testsupport
