#include "host/Host.h"

#include "host/PMTObj.h"
#include "platform/LoginItem.h"
#include "scheduling/Scheduling.h"
#include "service/service_win.h"

#include <glib-unix.h>
#include <glib.h>

#include <malloc.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

namespace {

std::string executablePath()
{
    std::string buf(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buf.size())
        return {};
    buf.resize(static_cast<std::size_t>(n));
    return buf;
}

// Requests, replies and split-request pieces run to megabytes. Blocks from
// this size up get mappings of their own, so that freeing them gives the
// memory back at once instead of leaving it in a connection thread's arena.
constexpr int kOwnMappingBytes = 128 * 1024;

constexpr std::size_t kLogBufferBytes = 64 * 1024;

gboolean quitLoop(gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_CONTINUE;
}

struct LoopFree {
    void operator()(GMainLoop* l) const noexcept { g_main_loop_unref(l); }
};

} // namespace

int RunHost()
{
    // A request writes half a dozen log lines; they go out together when its
    // connection ends (see ReadWriteThread0) rather than a write each.
    std::setvbuf(stdout, nullptr, _IOFBF, kLogBufferBytes);
    // A fixed threshold also keeps the allocator from raising it after the first large block.
    mallopt(M_MMAP_THRESHOLD, kOwnMappingBytes);

    platform::RefreshLoginItem(executablePath());   // a failure here changes nothing else

    std::unique_ptr<GMainLoop, LoopFree> loop(g_main_loop_new(nullptr, FALSE));
    const guint intSource = g_unix_signal_add(SIGINT, quitLoop, loop.get());
    const guint termSource = g_unix_signal_add(SIGTERM, quitLoop, loop.get());

    PMTObj marshaller;
    scheduling::processDispatcher().setMarshaller(&marshaller);

    CServiceThread service;
    service.start();

    g_main_loop_run(loop.get());

    // Hand-offs can no longer run: release their callers, then end the
    // connections and the listener before the sessions go away.
    marshaller.stop();
    service.stop();
    scheduling::processDispatcher().setMarshaller(nullptr);
    g_source_remove(intSource);
    g_source_remove(termSource);
    std::fflush(stdout);
    return 0;
}
