#include "host/PMTObj.h"

#include "commands/TQSMLib.h"

#include <glib.h>

#include <condition_variable>
#include <cstdio>
#include <memory>

struct PMTObj::Job {
    PMTObj* owner = nullptr;
    std::string params;
    std::mutex lock;
    std::condition_variable cv;
    bool done = false;
};

PMTObj::PMTObj(GMainContext* context)
    : m_context(context != nullptr ? g_main_context_ref(context) : g_main_context_ref(g_main_context_default()))
{
}

PMTObj::~PMTObj()
{
    stop();
    g_main_context_unref(m_context);
}

void PMTObj::_perform(const std::string& params)
{
    scheduling::perform(libobj, params);
}

void PMTObj::performfunction(TQSMLib* lib, const std::string& params)
{
    auto job = std::make_shared<Job>();
    job->owner = this;
    job->params = params;
    {
        std::lock_guard lock(m_lock);
        if (m_stopped)
            return;
        libobj = lib;
        m_waiting = job;
    }

    // An idle source rather than g_main_context_invoke, which runs the work on
    // the calling thread whenever no loop owns the context (before the loop
    // starts, for one). The source keeps the job alive until it has run or is dropped.
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            auto& j = **static_cast<std::shared_ptr<Job>*>(data);
            try {
                bool run;
                {
                    std::lock_guard lock(j.owner->m_lock);
                    run = !j.owner->m_stopped;
                }
                if (run)
                    j.owner->_perform(j.params);
            } catch (...) {
                std::fprintf(stderr, "command failed on the main thread\n");
            }
            {
                std::lock_guard lock(j.lock);
                j.done = true;
            }
            j.cv.notify_all();
            return G_SOURCE_REMOVE;
        },
        new std::shared_ptr<Job>(job), [](gpointer data) { delete static_cast<std::shared_ptr<Job>*>(data); });
    g_source_attach(source, m_context);
    g_source_unref(source);

    {
        std::unique_lock lock(job->lock);
        job->cv.wait(lock, [&] { return job->done; });
    }
    std::lock_guard lock(m_lock);
    m_waiting = nullptr;
}

void PMTObj::stop()
{
    std::shared_ptr<Job> waiting;
    {
        std::lock_guard lock(m_lock);
        m_stopped = true;
        waiting = m_waiting;
    }
    if (waiting != nullptr) {
        {
            std::lock_guard lock(waiting->lock);
            waiting->done = true;
        }
        waiting->cv.notify_all();
    }
}
