#pragma once

// What the kernel says one process has used: CPU time of all its threads
// (live and ended) and resident memory.

#include <sys/types.h>

#include <vector>

namespace hload {

struct ProcSample {
    bool ok = false;          // every pid could be read
    double cpuSeconds = 0;    // utime + stime
    long rssKiB = 0;          // VmRSS now
    long hwmKiB = 0;          // VmHWM: the peak resident set
};

// Summed over `pids` (a server with worker processes is measured as one).
ProcSample SampleProcesses(const std::vector<pid_t>& pids);

} // namespace hload
