#pragma once

// Hands sessions' commands to the main loop and waits until each has run
// there: commands may open a modal dialog, which must live on the main thread.

#include "scheduling/Scheduling.h"

#include <functional>
#include <memory>
#include <string>

typedef struct _GMainContext GMainContext;
typedef struct _GSource GSource;

class PMTObj final : public scheduling::IMainThreadMarshaller {
public:
    // `context` is the context the main loop iterates (nullptr: the default one).
    explicit PMTObj(GMainContext* context = nullptr);
    PMTObj(const PMTObj&) = delete;              // callers wait on its queue
    PMTObj& operator=(const PMTObj&) = delete;
    ~PMTObj() override;

    // Queues the command behind those already waiting and blocks until the
    // main loop has run it, or until stop() takes it off the queue: then it
    // returns an empty result without running it.
    scheduling::CommandResult performfunction(TQSMLib* lib, const std::string& params) override;

    // The same for any piece of work; false when it did not run.
    bool runOnMain(std::function<void()> work);

    // Once the main loop no longer runs: every waiting and later hand-off
    // returns at once. A job already running finishes first.
    void stop();

    struct Queue;   // the jobs waiting for the main loop (PMTObj.cpp)

private:
    // The main-thread half: runs the command in the session named by libobj.
    scheduling::CommandResult _perform(const std::string& params);

    GSource* m_source;                 // owns the queue together with this object
    std::shared_ptr<Queue> m_queue;
    TQSMLib* libobj = nullptr;         // the session of the command running now; main thread only
};
