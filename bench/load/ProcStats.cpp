#include "bench/load/ProcStats.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace hload {

namespace {

// utime and stime are fields 14 and 15 of /proc/<pid>/stat. The command name
// (field 2) may hold spaces, so counting starts after its closing parenthesis.
bool readCpu(pid_t pid, double& seconds)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line))
        return false;
    const auto close = line.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14)
            utime = std::stoull(field);
        else if (n == 15)
            stime = std::stoull(field);
    }
    if (!fields)
        return false;
    seconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    return true;
}

bool readMemory(pid_t pid, long& rss, long& hwm)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    bool seenRss = false;
    bool seenHwm = false;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            rss = std::stol(line.substr(6));
            seenRss = true;
        } else if (line.rfind("VmHWM:", 0) == 0) {
            hwm = std::stol(line.substr(6));
            seenHwm = true;
        }
    }
    return seenRss && seenHwm;
}

} // namespace

ProcSample SampleProcesses(const std::vector<pid_t>& pids)
{
    ProcSample sample;
    sample.ok = !pids.empty();
    for (const pid_t pid : pids) {
        double cpu = 0;
        long rss = 0;
        long hwm = 0;
        try {
            if (!readCpu(pid, cpu) || !readMemory(pid, rss, hwm)) {
                sample.ok = false;
                continue;
            }
        } catch (const std::exception&) {   // a field that is not a number
            sample.ok = false;
            continue;
        }
        sample.cpuSeconds += cpu;
        sample.rssKiB += rss;
        sample.hwmKiB += hwm;
    }
    return sample;
}

} // namespace hload
