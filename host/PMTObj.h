#pragma once

// Hands a session's command to the main loop and waits until it has run there:
// commands may open a modal dialog, which must live on the main thread.

#include "scheduling/Scheduling.h"

#include <memory>
#include <mutex>
#include <string>

typedef struct _GMainContext GMainContext;

class PMTObj final : public scheduling::IMainThreadMarshaller {
public:
    // `context` is the context the main loop iterates (nullptr: the default one).
    explicit PMTObj(GMainContext* context = nullptr);
    PMTObj(const PMTObj&) = delete;              // queued jobs point at this object
    PMTObj& operator=(const PMTObj&) = delete;
    ~PMTObj() override;

    // Queues the command on the main context and blocks until it has run, or
    // until stop(): then it returns without running it.
    void performfunction(TQSMLib* lib, const std::string& params) override;

    // Once the main loop no longer runs: every waiting and later hand-off returns at once.
    void stop();

private:
    struct Job;
    void _perform(const std::string& params);

    GMainContext* m_context;
    TQSMLib* libobj = nullptr;
    std::mutex m_lock;
    bool m_stopped = false;
    std::shared_ptr<Job> m_waiting;   // the one job in flight (dispatch is serialised by the caller)
};
