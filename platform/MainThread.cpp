#include "platform/MainThread.h"

#include <glib.h>

#include <condition_variable>
#include <mutex>
#include <unistd.h>

namespace platform {

bool onMainThread() { return gettid() == getpid(); }

namespace {

struct Job {
    const std::function<void()>* work;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
};

gboolean runJob(gpointer data)
{
    auto* job = static_cast<Job*>(data);
    try {
        (*job->work)();
    } catch (...) {
    }
    std::lock_guard<std::mutex> lock(job->mutex);
    job->finished = true;
    job->done.notify_one();
    return G_SOURCE_REMOVE;
}

} // namespace

void runOnMainThread(const std::function<void()>& work)
{
    if (onMainThread()) {
        work();
        return;
    }
    Job job;
    job.work = &work;
    // An idle source, not g_main_context_invoke: that one runs the work on
    // the calling thread whenever the main thread is not inside its loop.
    GSource* source = g_idle_source_new();
    g_source_set_callback(source, runJob, &job, nullptr);
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
    std::unique_lock<std::mutex> lock(job.mutex);
    job.done.wait(lock, [&] { return job.finished; });
}

} // namespace platform
