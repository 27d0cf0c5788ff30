#include "bench/load/Driver.h"

#include "ossl/ptr.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace hload {

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point from)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

// Closing with a reset: neither side keeps the connection in TIME_WAIT, so a
// long run does not run out of ports.
class Socket {
public:
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket() { reset(); }
    Socket(const Socket&) = delete;   // a copy would close the socket twice
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Socket& operator=(Socket&& other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    int fd() const { return m_fd; }
    void reset() noexcept
    {
        if (m_fd < 0)
            return;
        linger l{1, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

sockaddr_in loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

void setLimit(int fd, int option, std::chrono::milliseconds limit)
{
    timeval tv{};
    tv.tv_sec = static_cast<long>(limit.count() / 1000);
    tv.tv_usec = static_cast<long>(limit.count() % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

bool timedOut()
{
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

struct ThreadResult {
    std::size_t ok = 0;
    std::array<std::size_t, kOutcomeCount> outcomes{};
    std::array<KindResult, kKindCount> kinds{};
    std::string firstFailure;
};

} // namespace

const char* OutcomeName(Outcome outcome)
{
    static constexpr const char* names[kOutcomeCount] = {"ok", "connect", "handshake", "io", "reply"};
    return names[static_cast<std::size_t>(outcome)];
}

TlsClient::TlsClient(int port, std::chrono::milliseconds ioLimit)
    : m_ctx(SSL_CTX_new(TLS_client_method()))
    , m_port(port)
    , m_ioLimit(ioLimit)
{
    if (m_ctx == nullptr)
        return;
    SSL_CTX_set_verify(m_ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_session_cache_mode(m_ctx, SSL_SESS_CACHE_OFF);
}

TlsClient::~TlsClient()
{
    SSL_CTX_free(m_ctx);
}

Outcome TlsClient::Exchange(const std::string& request, std::string& raw) const
{
    raw.clear();
    Socket sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.fd() < 0)
        return Outcome::Connect;
    setLimit(sock.fd(), SO_RCVTIMEO, m_ioLimit);
    setLimit(sock.fd(), SO_SNDTIMEO, m_ioLimit);
    const int one = 1;
    setsockopt(sock.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const sockaddr_in addr = loopback(m_port);
    if (connect(sock.fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return Outcome::Connect;

    ossl::SslPtr ssl(SSL_new(m_ctx));
    if (!ssl || SSL_set_fd(ssl.get(), sock.fd()) != 1)
        return Outcome::Handshake;
    ERR_clear_error();
    if (SSL_connect(ssl.get()) != 1) {
        ERR_clear_error();
        return Outcome::Handshake;
    }
    if (SSL_write(ssl.get(), request.data(), static_cast<int>(request.size())) <= 0) {
        ERR_clear_error();
        return Outcome::Io;
    }
    char buf[16384];
    for (;;) {
        errno = 0;
        const int n = SSL_read(ssl.get(), buf, sizeof buf);
        if (n > 0) {
            raw.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        const int err = SSL_get_error(ssl.get(), n);
        const bool stalled = (err == SSL_ERROR_SYSCALL || err == SSL_ERROR_WANT_READ) && timedOut();
        ERR_clear_error();
        if (stalled)
            return Outcome::Io;
        break;   // close notify, or the server just closed: the answer is complete
    }
    return Outcome::Ok;
}

double Percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

RunResult RunJobs(const TlsClient& client, const std::vector<Job>& jobs, int clients,
                  const std::vector<pid_t>& pids)
{
    std::atomic<std::size_t> next{0};
    std::vector<ThreadResult> perThread(static_cast<std::size_t>(clients));
    std::mutex startLock;
    std::condition_variable startSignal;
    bool started = false;

    auto worker = [&](ThreadResult& mine) {
        {
            std::unique_lock lock(startLock);
            startSignal.wait(lock, [&] { return started; });
        }
        std::string raw;
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= jobs.size())
                break;
            const Job& job = jobs[i];
            const auto begin = Clock::now();
            Outcome outcome = Outcome::Ok;
            for (std::size_t p = 0; p < job.pieces.size() && outcome == Outcome::Ok; ++p) {
                outcome = client.Exchange(job.pieces[p], raw);
                if (outcome == Outcome::Ok && !AnswerIsGood(job, p, raw))
                    outcome = Outcome::Reply;
            }
            const double ms = msSince(begin);
            KindResult& kind = mine.kinds[static_cast<std::size_t>(job.kind)];
            ++mine.outcomes[static_cast<std::size_t>(outcome)];
            if (outcome == Outcome::Ok) {
                ++mine.ok;
                ++kind.ok;
                kind.latencyMs.push_back(ms);
            } else {
                ++kind.failed;
                if (mine.firstFailure.empty())
                    mine.firstFailure = std::string(KindName(job.kind)) + ", " + OutcomeName(outcome) + ": "
                        + raw.substr(0, 300);
            }
        }
    };

    std::vector<std::thread> threads;
    threads.reserve(perThread.size());
    for (auto& r : perThread)
        threads.emplace_back(worker, std::ref(r));

    RunResult result;
    result.before = SampleProcesses(pids);
    const auto begin = Clock::now();
    {
        std::lock_guard lock(startLock);
        started = true;
    }
    startSignal.notify_all();
    for (auto& t : threads)
        t.join();
    result.seconds = msSince(begin) / 1000.0;
    result.after = SampleProcesses(pids);

    for (auto& r : perThread) {
        result.ok += r.ok;
        for (std::size_t o = 0; o < kOutcomeCount; ++o)
            result.outcomes[o] += r.outcomes[o];
        for (std::size_t k = 0; k < kKindCount; ++k) {
            auto& into = result.kinds[k];
            into.ok += r.kinds[k].ok;
            into.failed += r.kinds[k].failed;
            into.latencyMs.insert(into.latencyMs.end(), r.kinds[k].latencyMs.begin(), r.kinds[k].latencyMs.end());
            result.latencyMs.insert(result.latencyMs.end(), r.kinds[k].latencyMs.begin(),
                                    r.kinds[k].latencyMs.end());
        }
        if (result.firstFailure.empty())
            result.firstFailure = r.firstFailure;
    }
    std::sort(result.latencyMs.begin(), result.latencyMs.end());
    for (auto& k : result.kinds)
        std::sort(k.latencyMs.begin(), k.latencyMs.end());
    return result;
}

namespace {

enum class IdleState { Connecting, Handshaking, Open, Closed };

struct IdleConn {
    Socket sock{-1};
    ossl::SslPtr ssl;
    IdleState state = IdleState::Closed;
    short events = 0;
    std::size_t sent = 0;
};

// An unfinished request head: it never reaches the blank line.
char headByte(std::size_t n)
{
    static constexpr char prefix[] = "GET /?jsoncallback=cb&pad=";
    return n < sizeof prefix - 1 ? prefix[n] : 'x';
}

// Advances a handshake; false once it has failed.
bool stepHandshake(IdleConn& c)
{
    ERR_clear_error();
    const int rc = SSL_do_handshake(c.ssl.get());
    if (rc == 1) {
        c.state = IdleState::Open;
        c.events = POLLIN;
        return true;
    }
    const int err = SSL_get_error(c.ssl.get(), rc);
    ERR_clear_error();
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
        c.events = err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        return true;
    }
    return false;
}

void closeConn(IdleConn& c)
{
    c.ssl.reset();
    c.sock.reset();
    c.state = IdleState::Closed;
    c.events = 0;
}

// One pass of poll over every live connection; returns how many changed state.
int pumpIdle(std::vector<IdleConn>& conns, SSL_CTX* ctx, int waitMs, int& dropped)
{
    std::vector<pollfd> fds;
    std::vector<std::size_t> index;
    for (std::size_t i = 0; i < conns.size(); ++i) {
        if (conns[i].state == IdleState::Closed)
            continue;
        fds.push_back({conns[i].sock.fd(), conns[i].events, 0});
        index.push_back(i);
    }
    if (fds.empty())
        return 0;
    if (poll(fds.data(), fds.size(), waitMs) <= 0)
        return 0;
    int changed = 0;
    for (std::size_t f = 0; f < fds.size(); ++f) {
        if (fds[f].revents == 0)
            continue;
        IdleConn& c = conns[index[f]];
        switch (c.state) {
        case IdleState::Connecting: {
            int error = 0;
            socklen_t len = sizeof error;
            getsockopt(c.sock.fd(), SOL_SOCKET, SO_ERROR, &error, &len);
            if (error != 0) {
                closeConn(c);
                break;
            }
            c.ssl.reset(SSL_new(ctx));
            if (!c.ssl || SSL_set_fd(c.ssl.get(), c.sock.fd()) != 1) {
                closeConn(c);
                break;
            }
            SSL_set_connect_state(c.ssl.get());
            c.state = IdleState::Handshaking;
            if (!stepHandshake(c))
                closeConn(c);
            break;
        }
        case IdleState::Handshaking:
            if (!stepHandshake(c))
                closeConn(c);
            else if (c.state == IdleState::Open)
                ++changed;
            break;
        case IdleState::Open: {
            // Session tickets may still arrive; anything else means the server is closing.
            char buf[4096];
            ERR_clear_error();
            const int n = SSL_read(c.ssl.get(), buf, sizeof buf);
            const int err = n > 0 ? SSL_ERROR_NONE : SSL_get_error(c.ssl.get(), n);
            ERR_clear_error();
            if (n <= 0 && err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
                closeConn(c);
                ++dropped;
            }
            break;
        }
        case IdleState::Closed:
            break;
        }
    }
    return changed;
}

} // namespace

IdleResult HoldIdle(const TlsClient& client, const IdleOptions& options, const std::vector<pid_t>& pids)
{
    IdleResult result;
    result.before = SampleProcesses(pids);
    auto sampleMax = [&] {
        const ProcSample s = SampleProcesses(pids);
        result.maxRssKiB = std::max(result.maxRssKiB, s.rssKiB);
    };

    std::vector<IdleConn> conns(static_cast<std::size_t>(options.connections));
    const sockaddr_in addr = loopback(client.port());
    for (auto& c : conns) {
        c.sock = Socket(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (c.sock.fd() < 0)
            continue;
        const int rc = connect(c.sock.fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        if (rc != 0 && errno != EINPROGRESS) {
            c.sock.reset();
            continue;
        }
        c.state = IdleState::Connecting;
        c.events = POLLOUT;
        ++result.opened;
    }

    // Handshakes go on until every connection is through or none has got
    // through for a while; the hold starts then. Open connections are
    // trickled to from their first moment, or the server would drop the
    // early ones while later ones are still shaking hands.
    const auto begin = Clock::now();
    auto lastProgress = begin;
    std::optional<Clock::time_point> holdEnd;
    auto nextTrickle = begin;
    int dropped = 0;
    while (!holdEnd || Clock::now() < *holdEnd) {
        if (options.trickle.count() > 0 && Clock::now() >= nextTrickle) {
            for (auto& c : conns) {
                if (c.state != IdleState::Open)
                    continue;
                const char b = headByte(c.sent);
                ERR_clear_error();
                if (SSL_write(c.ssl.get(), &b, 1) == 1)
                    ++c.sent;
                ERR_clear_error();
            }
            nextTrickle = Clock::now() + options.trickle;
        }
        if (pumpIdle(conns, client.context(), 50, dropped) > 0)
            lastProgress = Clock::now();
        sampleMax();
        if (!holdEnd) {
            const bool pending = std::any_of(conns.begin(), conns.end(), [](const IdleConn& c) {
                return c.state == IdleState::Connecting || c.state == IdleState::Handshaking;
            });
            if (!pending || Clock::now() - lastProgress > options.settle) {
                result.handshakeSeconds = std::chrono::duration<double>(lastProgress - begin).count();
                holdEnd = Clock::now() + options.hold;
            }
        }
    }
    result.after = SampleProcesses(pids);
    result.maxRssKiB = std::max(result.maxRssKiB, result.after.rssKiB);
    result.dropped = dropped;
    for (const auto& c : conns) {
        if (c.state == IdleState::Open)
            ++result.handshaken;
        else if (c.state == IdleState::Connecting || c.state == IdleState::Handshaking)
            ++result.waiting;
    }
    result.handshaken += dropped;
    return result;
}

} // namespace hload
