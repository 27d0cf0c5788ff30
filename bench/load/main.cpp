// halvorn-load: load generator for the service and for the reference server
// it is compared with, plus the reference signing loop.
//
//   halvorn-load run  --port P [--clients N] [--requests R] [--warmup W] [--mix M]
//                     [--pid PID]... [--split-pieces K] [--sign-bytes B]
//                     [--get-path PATH] [--timeout-ms T]
//   halvorn-load idle --port P [--connections K] [--hold-ms H] [--trickle-ms T] [--pid PID]...
//   halvorn-load signref --cert CERT.pem --key KEY.pem [--seconds S] [--sign-bytes B]
//   halvorn-load server-key OUT.pem
//
// Every mode ends its report with one "RESULT key=value ..." line for scripts.

#include "bench/load/Driver.h"
#include "bench/load/SignReference.h"
#include "bench/load/Workload.h"
#include "tools/halvorn-call/HalvornClient.h"

#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace hload;

constexpr char kProgram[] = "halvorn-load";

int usage()
{
    std::fprintf(stderr,
                 "usage: %s run --port P [--clients N] [--requests R] [--warmup W] [--mix KIND[:WEIGHT],...]\n"
                 "                [--pid PID]... [--split-pieces K] [--sign-bytes B] [--get-path PATH]\n"
                 "                [--timeout-ms T]\n"
                 "       %s idle --port P [--connections K] [--hold-ms H] [--trickle-ms T] [--pid PID]...\n"
                 "       %s signref --cert CERT.pem --key KEY.pem [--seconds S] [--sign-bytes B]\n"
                 "       %s server-key OUT.pem\n"
                 "kinds: preflight, version, certinfo, sign, split, get\n",
                 kProgram, kProgram, kProgram, kProgram);
    return 2;
}

bool parseLong(const std::string& text, long lo, long hi, long& out)
{
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

// "--name value" pairs; --pid may repeat.
struct Args {
    std::map<std::string, std::string> values;
    std::vector<pid_t> pids;
    std::vector<std::string> positional;
    bool bad = false;

    long number(const std::string& name, long fallback, long lo, long hi)
    {
        const auto it = values.find(name);
        if (it == values.end())
            return fallback;
        long v = 0;
        if (!parseLong(it->second, lo, hi, v)) {
            std::fprintf(stderr, "%s: --%s must be %ld to %ld\n", kProgram, name.c_str(), lo, hi);
            bad = true;
        }
        return v;
    }
    std::string text(const std::string& name, const std::string& fallback = {}) const
    {
        const auto it = values.find(name);
        return it == values.end() ? fallback : it->second;
    }
};

bool parseArgs(int argc, char** argv, Args& args)
{
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--", 0) != 0) {
            args.positional.push_back(a);
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        if (a == "--pid") {
            long pid = 0;
            if (!parseLong(value, 1, 1L << 30, pid))
                return false;
            args.pids.push_back(static_cast<pid_t>(pid));
        } else {
            args.values[a.substr(2)] = value;
        }
    }
    return true;
}

// Many connections at once need many descriptors.
void raiseDescriptorLimit()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

double mib(long kib)
{
    return static_cast<double>(kib) / 1024.0;
}

// Opens the keychain provider and selects its first certificate in every session.
int prepareSessions(const TlsClient& client, const WorkloadOptions& options)
{
    int ready = 0;
    std::string lastAnswer;
    for (int s = 0; s < options.sessions; ++s) {
        bool ok = true;
        for (const auto& request : SessionSetup(SessionId(options, s))) {
            std::string raw;
            if (client.Exchange(SetupRequest(request), raw) != Outcome::Ok || !hclient::IsSuccess(raw)
                || !ReplyCodeIsZero(hclient::Body(raw))) {
                ok = false;
                lastAnswer = request + " -> " + hclient::Body(raw);
                break;
            }
        }
        ready += ok ? 1 : 0;
    }
    if (ready < options.sessions)
        std::printf("setup: %d of %d sessions have a selected certificate; last refusal: %s\n", ready,
                    options.sessions, lastAnswer.c_str());
    return ready;
}

void printLatency(const char* label, const std::vector<double>& sorted)
{
    std::printf("  %-10s p50 %8.2f  p95 %8.2f  p99 %8.2f  max %8.2f ms\n", label, Percentile(sorted, 50),
                Percentile(sorted, 95), Percentile(sorted, 99), sorted.empty() ? 0.0 : sorted.back());
}

int runMode(Args& args)
{
    const long port = args.number("port", 0, 1, 65535);
    const long clients = args.number("clients", 8, 1, 4096);
    const long requests = args.number("requests", 2000, 1, 10000000);
    const long warmup = args.number("warmup", 2 * clients, 0, 10000000);
    const long timeoutMs = args.number("timeout-ms", 30000, 100, 3600000);
    WorkloadOptions options;
    options.splitPieces = static_cast<int>(args.number("split-pieces", 3, 1, 1000));
    options.signBytes = static_cast<std::size_t>(args.number("sign-bytes", 100, 1, 1 << 20));
    options.getPath = args.text("get-path", "/");
    options.sessions = static_cast<int>(clients);
    options.runTag = hclient::MakeRankey().substr(0, 10);
    std::vector<MixEntry> mix;
    std::string error;
    if (args.bad || port == 0) {
        std::fprintf(stderr, "%s: run needs --port\n", kProgram);
        return usage();
    }
    if (!ParseMix(args.text("mix", "sign"), mix, error)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return usage();
    }

    TlsClient client(static_cast<int>(port), std::chrono::milliseconds(timeoutMs));
    if (!client.ok()) {
        std::fprintf(stderr, "%s: no TLS client context\n", kProgram);
        return 1;
    }
    bool needsSession = false;
    std::string mixText;
    for (const auto& m : mix) {
        needsSession = needsSession || m.kind == Kind::Sign || m.kind == Kind::CertInfo;
        if (!mixText.empty())
            mixText += ',';
        mixText += KindName(m.kind);
        mixText += ':';
        mixText += std::to_string(m.weight);
    }
    if (needsSession)
        prepareSessions(client, options);

    const auto warm = BuildJobs(mix, 0, static_cast<std::size_t>(warmup), options);
    const auto jobs = BuildJobs(mix, static_cast<std::size_t>(warmup), static_cast<std::size_t>(requests), options);
    if (!warm.empty())
        RunJobs(client, warm, static_cast<int>(clients), {});
    const RunResult r = RunJobs(client, jobs, static_cast<int>(clients), args.pids);

    const std::size_t errors = jobs.size() - r.ok;
    const double rps = r.seconds > 0 ? static_cast<double>(r.ok) / r.seconds : 0;
    const bool measured = !args.pids.empty() && r.before.ok && r.after.ok;
    const double cpuMs = measured && r.ok > 0 ? (r.after.cpuSeconds - r.before.cpuSeconds) * 1000.0 / static_cast<double>(r.ok) : -1;
    const double cpuShare = measured && r.seconds > 0 ? (r.after.cpuSeconds - r.before.cpuSeconds) / r.seconds : -1;

    std::printf("%s: port %ld, %ld clients, %zu requests (mix %s), a new TLS connection per request\n", kProgram, port,
                clients, jobs.size(), mixText.c_str());
    std::printf("  served %zu in %.2f s: %.1f requests/s\n", r.ok, r.seconds, rps);
    std::printf("  errors %zu (connect %zu, handshake %zu, io %zu, reply %zu)\n", errors,
                r.outcomes[static_cast<std::size_t>(Outcome::Connect)],
                r.outcomes[static_cast<std::size_t>(Outcome::Handshake)], r.outcomes[static_cast<std::size_t>(Outcome::Io)],
                r.outcomes[static_cast<std::size_t>(Outcome::Reply)]);
    if (!r.firstFailure.empty())
        std::printf("  first failure: %s\n", r.firstFailure.c_str());
    printLatency("all", r.latencyMs);
    for (std::size_t k = 0; k < kKindCount; ++k) {
        if (r.kinds[k].ok + r.kinds[k].failed > 0 && mix.size() > 1)
            printLatency(KindName(static_cast<Kind>(k)), r.kinds[k].latencyMs);
    }
    if (measured)
        std::printf("  server cpu %.3f ms per request (%.2f cores busy), peak resident %.1f MiB (VmHWM)\n", cpuMs,
                    cpuShare, mib(r.after.hwmKiB));
    std::printf("RESULT rps=%.2f ok=%zu errors=%zu p50=%.3f p95=%.3f p99=%.3f cpu_ms=%.4f cores_busy=%.3f "
                "hwm_kib=%ld seconds=%.3f\n",
                rps, r.ok, errors, Percentile(r.latencyMs, 50), Percentile(r.latencyMs, 95),
                Percentile(r.latencyMs, 99), cpuMs, cpuShare, measured ? r.after.hwmKiB : -1L, r.seconds);
    return errors == 0 ? 0 : 1;
}

int idleMode(Args& args)
{
    const long port = args.number("port", 0, 1, 65535);
    IdleOptions options;
    options.connections = static_cast<int>(args.number("connections", 500, 1, 100000));
    options.hold = std::chrono::milliseconds(args.number("hold-ms", 10000, 0, 3600000));
    options.trickle = std::chrono::milliseconds(args.number("trickle-ms", 500, 0, 60000));
    if (args.bad || port == 0) {
        std::fprintf(stderr, "%s: idle needs --port\n", kProgram);
        return usage();
    }
    TlsClient client(static_cast<int>(port), std::chrono::milliseconds(30000));
    if (!client.ok())
        return 1;
    const IdleResult r = HoldIdle(client, options, args.pids);
    const bool measured = !args.pids.empty() && r.before.ok && r.after.ok;
    std::printf("%s: port %ld, %d connections opened, %d handshaken in %.2f s, %d dropped by the server, "
                "%d still waiting for a handshake; held %.1f s (%s)\n",
                kProgram, port, r.opened, r.handshaken, r.handshakeSeconds, r.dropped, r.waiting,
                static_cast<double>(options.hold.count()) / 1000.0,
                options.trickle.count() > 0 ? "a byte of an unfinished head every trickle" : "silent");
    if (measured)
        std::printf("  server resident %.1f MiB before, %.1f MiB at most while held, %.1f MiB peak (VmHWM)\n",
                    mib(r.before.rssKiB), mib(r.maxRssKiB), mib(r.after.hwmKiB));
    std::printf("RESULT opened=%d handshaken=%d dropped=%d waiting=%d rss_before_kib=%ld rss_max_kib=%ld "
                "hwm_kib=%ld\n",
                r.opened, r.handshaken, r.dropped, r.waiting, measured ? r.before.rssKiB : -1L,
                measured ? r.maxRssKiB : -1L, measured ? r.after.hwmKiB : -1L);
    return 0;
}

int signrefMode(Args& args)
{
    const std::string cert = args.text("cert");
    const std::string key = args.text("key");
    const long bytes = args.number("sign-bytes", 100, 1, 1 << 20);
    const std::string secondsText = args.text("seconds", "3");
    char* end = nullptr;
    const double seconds = std::strtod(secondsText.c_str(), &end);
    if (args.bad || cert.empty() || key.empty() || *end != '\0' || !(seconds > 0) || seconds > 3600)
        return usage();
    const SignRate r = SignLoop(cert, key, static_cast<std::size_t>(bytes), seconds);
    if (!r.ok) {
        std::fprintf(stderr, "%s: %s\n", kProgram, r.error.c_str());
        return 1;
    }
    const double rate = static_cast<double>(r.count) / r.seconds;
    const double cpuMs = r.cpuSeconds * 1000.0 / static_cast<double>(r.count);
    std::printf("%s: %ld PKCS#7 signatures (%ld data bytes, %zu-byte messages) in %.2f s on one thread: "
                "%.1f per second, %.3f ms each (%.3f ms of CPU)\n",
                kProgram, r.count, bytes, r.messageBytes, r.seconds, rate, 1000.0 / rate, cpuMs);
    std::printf("RESULT sign_rate=%.2f sign_ms=%.4f sign_cpu_ms=%.4f count=%ld\n", rate, 1000.0 / rate, cpuMs,
                r.count);
    return 0;
}

int serverKeyMode(Args& args)
{
    if (args.positional.size() != 1)
        return usage();
    std::string error;
    if (!ExportServerKey(args.positional[0], error)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usage();
    Args args;
    if (!parseArgs(argc, argv, args))
        return usage();
    raiseDescriptorLimit();
    const std::string mode = argv[1];
    if (mode == "run")
        return runMode(args);
    if (mode == "idle")
        return idleMode(args);
    if (mode == "signref")
        return signrefMode(args);
    if (mode == "server-key")
        return serverKeyMode(args);
    return usage();
}
