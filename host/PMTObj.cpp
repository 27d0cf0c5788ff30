#include "host/PMTObj.h"

#include "commands/TQSMLib.h"

#include <glib.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

namespace {

struct Job {
    std::function<void()> work;
    std::mutex lock;
    std::condition_variable cv;
    bool done = false;
    bool ran = false;

    void finish(bool hasRun)
    {
        {
            std::lock_guard l(lock);
            done = true;
            ran = hasRun;
        }
        cv.notify_all();
    }
};

} // namespace

// The jobs waiting for the main loop. The loop may still be preparing the
// source while the marshaller goes away, so the source keeps its own reference.
struct PMTObj::Queue {
    std::mutex lock;
    bool stopped = false;
    std::deque<std::shared_ptr<Job>> jobs;

    bool hasWork()
    {
        std::lock_guard l(lock);
        return !stopped && !jobs.empty();
    }

    void runNext()
    {
        std::shared_ptr<Job> job;
        {
            std::lock_guard l(lock);
            if (stopped || jobs.empty())
                return;
            job = std::move(jobs.front());
            jobs.pop_front();
        }
        try {
            job->work();
        } catch (...) {
            std::fprintf(stderr, "command failed on the main thread\n");
        }
        job->finish(true);
    }
};

namespace {

// One source for the whole queue, dispatched one job per main-loop iteration.
// While a job runs GLib does not dispatch this source again, so a modal
// dialog's nested loop cannot start the next command inside the current one,
// as it would with a source per job.
struct QueueSource {
    GSource base;
    std::shared_ptr<PMTObj::Queue>* queue;   // GLib allocates the struct: a plain pointer, freed in finalize
};

gboolean queuePrepare(GSource* s, gint* timeout)
{
    *timeout = -1;
    return (*reinterpret_cast<QueueSource*>(s)->queue)->hasWork();
}

gboolean queueCheck(GSource* s)
{
    return (*reinterpret_cast<QueueSource*>(s)->queue)->hasWork();
}

gboolean queueDispatch(GSource* s, GSourceFunc, gpointer)
{
    (*reinterpret_cast<QueueSource*>(s)->queue)->runNext();
    return G_SOURCE_CONTINUE;
}

void queueFinalize(GSource* s)
{
    delete reinterpret_cast<QueueSource*>(s)->queue;
}

GSourceFuncs queueFuncs = {queuePrepare, queueCheck, queueDispatch, queueFinalize, nullptr, nullptr};

} // namespace

PMTObj::PMTObj(GMainContext* context)
    : m_source(g_source_new(&queueFuncs, sizeof(QueueSource)))
    , m_queue(std::make_shared<Queue>())
{
    reinterpret_cast<QueueSource*>(m_source)->queue = new std::shared_ptr<Queue>(m_queue);
    g_source_set_priority(m_source, G_PRIORITY_DEFAULT);
    g_source_attach(m_source, context != nullptr ? context : g_main_context_default());
}

PMTObj::~PMTObj()
{
    stop();
    g_source_destroy(m_source);
    g_source_unref(m_source);
}

bool PMTObj::runOnMain(std::function<void()> work)
{
    auto job = std::make_shared<Job>();
    job->work = std::move(work);
    {
        std::lock_guard lock(m_queue->lock);
        if (m_queue->stopped)
            return false;
        m_queue->jobs.push_back(job);
    }
    g_main_context_wakeup(g_source_get_context(m_source));

    std::unique_lock lock(job->lock);
    job->cv.wait(lock, [&] { return job->done; });
    return job->ran;
}

scheduling::CommandResult PMTObj::performfunction(TQSMLib* lib, const std::string& params)
{
    scheduling::CommandResult result;
    runOnMain([&] {
        libobj = lib;
        result = _perform(params);
    });
    return result;
}

scheduling::CommandResult PMTObj::_perform(const std::string& params)
{
    return scheduling::perform(libobj, params);
}

void PMTObj::stop()
{
    std::deque<std::shared_ptr<Job>> waiting;
    {
        std::lock_guard lock(m_queue->lock);
        m_queue->stopped = true;
        waiting.swap(m_queue->jobs);
    }
    for (auto& job : waiting)
        job->finish(false);
}
