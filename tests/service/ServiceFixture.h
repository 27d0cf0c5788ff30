#pragma once

// End-to-end fixture: the real `halvorn` executable started in a private
// installation (temp HALVORN_ROOT with server files made by halvorn-install,
// temp HOME and XDG folders), plus the client of tools/halvorn-call to talk to it.
//
// Tests that start it bind the service ports 6186-6190: declare them with
// `LOCK ports` in halvorn_test so that they never run at the same time.
// The port is read from the service's own log line, so a port held by
// another program only moves the service to the next one.

#include "tests/support/fixtures.h"
#include "tools/halvorn-call/HalvornClient.h"

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Paths of the built executables.
std::string HalvornBinary();
std::string HalvornInstallBinary();
std::string HalvornCallBinary();

// Runs a program (no shell) with extra environment, waits, and returns its status and output.
CommandResult runProgram(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& env = {});

class RunningService {
public:
    struct Options {
        bool installServerFiles = true;
        bool waitForPort = true;   // wait until the service logs the port it bound
        std::vector<std::pair<std::string, std::string>> env;   // added to the private ones
    };

    RunningService();
    explicit RunningService(const Options& options);
    ~RunningService();
    RunningService(const RunningService&) = delete;   // a copy would stop the process twice
    RunningService& operator=(const RunningService&) = delete;

    // The port from "建立端口成功:<port>", or 0 when none was logged.
    int port() const;
    pid_t pid() const { return m_pid; }
    bool running() const;
    const std::filesystem::path& root() const { return m_dir.path(); }
    // The installation folder the fixed paths point into.
    std::string serverFolder() const;

    std::string log() const;      // standard output so far
    std::string errors() const;   // standard error so far
    bool waitForLog(const std::string& needle,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) const;

    // SIGTERM and wait; the exit status, or -1 when it had to be killed.
    int stop();

    hclient::ExchangeOptions options() const;
    hclient::Answer exchange(const std::vector<std::string>& writes,
                             std::chrono::milliseconds pause = std::chrono::milliseconds(0)) const;
    // The outer request sent encrypted by JSONP GET (callback "cb"); the reply
    // inside cb(...), or "<not jsonp>" with the raw answer when it is not framed so.
    std::string call(const std::string& outerRequest) const;
    // The outer request as a POST body; the body of the answer, or "<not 200>" and the raw answer.
    std::string post(const std::string& outerRequest) const;

private:
    TempDir m_dir;
    mutable pid_t m_pid = -1;   // -1 once the process has been reaped
    mutable int m_status = -1;
};

} // namespace testsupport
