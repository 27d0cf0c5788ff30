#pragma once

#include <functional>

namespace platform {

// True on the process's first thread, the one that runs the main loop.
bool onMainThread();

// Runs `work` on the main thread and returns when it has run: at once when
// called there, otherwise queued on the default GLib main context, which the
// main thread must be running.
void runOnMainThread(const std::function<void()>& work);

} // namespace platform
