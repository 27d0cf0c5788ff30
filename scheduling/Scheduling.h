#pragma once

// Session dispatch: unpacks the outer request {"interfacetype","id","data"},
// finds or creates the session's TQSMLib and has the command run on the main
// thread, one command at a time.

#include <map>
#include <memory>
#include <mutex>
#include <string>

class TQSMLib;

namespace scheduling {

// What a command left in its session: the reply text (ending in the compact
// writer's newline) and the session's error code.
struct CommandResult {
    std::string output;
    int errcode = 0;
};

// Runs commands on the thread that owns the user interface, one at a time for
// all callers together, each call returning once its command has run. The
// host provides the real one; the default runs in place.
class IMainThreadMarshaller {
public:
    virtual ~IMainThreadMarshaller() = default;
    virtual CommandResult performfunction(TQSMLib* lib, const std::string& params) = 0;
};

// The main-thread half of a hand-off: invoke, then keep the reply as the
// session's output, and read both back before another command can change them.
// A missing session gives an empty result; an empty command leaves the
// previous output.
CommandResult perform(TQSMLib* lib, const std::string& params);

class InlineMarshaller final : public IMainThreadMarshaller {
public:
    CommandResult performfunction(TQSMLib* lib, const std::string& params) override
    {
        std::lock_guard lock(m_oneAtATime);
        return perform(lib, params);
    }

private:
    std::mutex m_oneAtATime;
};

class CSessionDispatcher {
public:
    explicit CSessionDispatcher(IMainThreadMarshaller* marshaller = nullptr);
    CSessionDispatcher(const CSessionDispatcher&) = delete;   // sessions belong to one dispatcher
    CSessionDispatcher& operator=(const CSessionDispatcher&) = delete;

    // Must be set before requests arrive; nullptr runs commands in place.
    void setMarshaller(IMainThreadMarshaller* marshaller);

    // Dispatches one request. Text that is not JSON, or JSON of a shape the
    // envelope cannot be read from, leaves `reply` untouched and returns -1.
    int entry(const std::string& request, std::string& reply);

    // The session named `id`, or nullptr; for inspection, under the lock.
    TQSMLib* findSession(const std::string& id);
    std::size_t sessionCount();

private:
    TQSMLib& session(const std::string& id);

    std::mutex mymutex;   // the session map and the marshaller pointer
    std::map<std::string, std::unique_ptr<TQSMLib>> m_sm;
    InlineMarshaller m_inline;
    IMainThreadMarshaller* m_marshaller;
};

// The process-wide dispatcher that the connection threads use.
CSessionDispatcher& processDispatcher();

} // namespace scheduling

// Dispatches one request through the process-wide dispatcher.
int WardlockEntry(const std::string& request, std::string& reply);
