#pragma once

// Drives a TLS server the way pages do: a new connection (TCP connect and a
// full handshake) for every request, N clients at once; or holds K
// connections open and idle.

#include "bench/load/ProcStats.h"
#include "bench/load/Workload.h"

#include <openssl/types.h>

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace hload {

enum class Outcome { Ok, Connect, Handshake, Io, Reply };
inline constexpr std::size_t kOutcomeCount = 5;
const char* OutcomeName(Outcome outcome);

// One client context shared by every connection: no certificate check (the
// servers under test are self-signed, on loopback) and no session resumption,
// so each connection pays a full handshake as a page's first request does.
class TlsClient {
public:
    TlsClient(int port, std::chrono::milliseconds ioLimit);
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;   // owns the context
    TlsClient& operator=(const TlsClient&) = delete;

    bool ok() const { return m_ctx != nullptr; }
    int port() const { return m_port; }
    SSL_CTX* context() const { return m_ctx; }

    // Connects, shakes hands, writes `request`, reads until the server
    // closes; `raw` is everything read.
    Outcome Exchange(const std::string& request, std::string& raw) const;

private:
    SSL_CTX* m_ctx = nullptr;
    int m_port;
    std::chrono::milliseconds m_ioLimit;
};

struct KindResult {
    std::size_t ok = 0;
    std::size_t failed = 0;
    std::vector<double> latencyMs;   // of the requests that succeeded
};

struct RunResult {
    double seconds = 0;
    std::size_t ok = 0;
    std::array<std::size_t, kOutcomeCount> outcomes{};
    std::vector<double> latencyMs;
    std::array<KindResult, kKindCount> kinds{};
    std::string firstFailure;   // the answer of the first failed request, for the report
    ProcSample before;
    ProcSample after;
};

// Runs `jobs` with `clients` threads taking the next job in turn; a job's
// latency runs from the first connect to the end of its last answer.
RunResult RunJobs(const TlsClient& client, const std::vector<Job>& jobs, int clients,
                  const std::vector<pid_t>& pids);

struct IdleOptions {
    int connections = 500;
    std::chrono::milliseconds hold{10000};
    // A byte of an unfinished request head every so often keeps a connection
    // from being dropped as silent; zero sends nothing after the handshake.
    std::chrono::milliseconds trickle{500};
    std::chrono::milliseconds settle{3000};   // handshaking ends after this long without progress
};

struct IdleResult {
    int opened = 0;        // TCP connections made
    int handshaken = 0;    // of which completed the TLS handshake
    int dropped = 0;       // handshaken ones the server closed during the hold
    int waiting = 0;       // never got a handshake (still queued at the server)
    double handshakeSeconds = 0;
    ProcSample before;     // before the first connection
    long maxRssKiB = 0;    // highest resident set sampled while holding
    ProcSample after;      // at the end of the hold, connections still open
};

IdleResult HoldIdle(const TlsClient& client, const IdleOptions& options, const std::vector<pid_t>& pids);

// Latency percentile by nearest rank; `sorted` ascending.
double Percentile(const std::vector<double>& sorted, double p);

} // namespace hload
