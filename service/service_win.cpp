#include "service/service_win.h"

#include "ossl/ptr.h"
#include "scheduling/Scheduling.h"
#include "service/HttpRequest.h"
#include "service/ServerFiles.h"
#include "service/SpliceTable.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr char kCipherList[] =
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-SHA384:ECDHE-ECDSA-AES256-SHA384:"
    "ECDHE-RSA-AES256-SHA:ECDHE-ECDSA-AES256-SHA:SRP-DSS-AES-256-CBC-SHA:SRP-RSA-AES-256-CBC-SHA:"
    "DHE-DSS-AES256-GCM-SHA384:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-AES256-SHA256:DHE-DSS-AES256-SHA256:"
    "DHE-RSA-AES256-SHA:DHE-DSS-AES256-SHA:DHE-RSA-CAMELLIA256-SHA:DHE-DSS-CAMELLIA256-SHA:"
    "ECDH-RSA-AES256-GCM-SHA384:ECDH-ECDSA-AES256-GCM-SHA384:ECDH-RSA-AES256-SHA384:ECDH-ECDSA-AES256-SHA384:"
    "ECDH-RSA-AES256-SHA:ECDH-ECDSA-AES256-SHA:AES256-GCM-SHA384:AES256-SHA256:AES256-SHA:CAMELLIA256-SHA:"
    "PSK-AES256-CBC-SHA:ECDHE-RSA-DES-CBC3-SHA:ECDHE-ECDSA-DES-CBC3-SHA:SRP-DSS-3DES-EDE-CBC-SHA:"
    "SRP-RSA-3DES-EDE-CBC-SHA:EDH-RSA-DES-CBC3-SHA:EDH-DSS-DES-CBC3-SHA:ECDH-RSA-DES-CBC3-SHA:"
    "ECDH-ECDSA-DES-CBC3-SHA:DES-CBC3-SHA:PSK-3DES-EDE-CBC-SHA:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-SHA256:ECDHE-ECDSA-AES128-SHA256:ECDHE-RSA-AES128-SHA:"
    "ECDHE-ECDSA-AES128-SHA:SRP-DSS-AES-128-CBC-SHA:SRP-RSA-AES-128-CBC-SHA:DHE-DSS-AES128-GCM-SHA256:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES128-SHA256:DHE-DSS-AES128-SHA256:DHE-RSA-AES128-SHA:"
    "DHE-DSS-AES128-SHA:DHE-RSA-SEED-SHA:DHE-DSS-SEED-SHA:DHE-RSA-CAMELLIA128-SHA:DHE-DSS-CAMELLIA128-SHA:"
    "ECDH-RSA-AES128-GCM-SHA256:ECDH-ECDSA-AES128-GCM-SHA256:ECDH-RSA-AES128-SHA256:ECDH-ECDSA-AES128-SHA256:"
    "ECDH-RSA-AES128-SHA:ECDH-ECDSA-AES128-SHA:AES128-GCM-SHA256:AES128-SHA256:AES128-SHA:SEED-SHA:"
    "CAMELLIA128-SHA:PSK-AES128-CBC-SHA:ECDHE-RSA-RC4-SHA:ECDHE-ECDSA-RC4-SHA:ECDH-RSA-RC4-SHA:"
    "ECDH-ECDSA-RC4-SHA:RC4-SHA:RC4-MD5:PSK-RC4-SHA:EDH-RSA-DES-CBC-SHA:EDH-DSS-DES-CBC-SHA:DES-CBC-SHA:"
    "EXP-EDH-RSA-DES-CBC-SHA:EXP-EDH-DSS-DES-CBC-SHA:EXP-DES-CBC-SHA:EXP-RC2-CBC-MD5:EXP-RC4-MD5";

// Answers any pass-phrase prompt of a PEM read made through the context.
char kDefaultPasswdData[] = "482916";

// Reads grow the buffer by at least this much, up to the request limit.
constexpr std::size_t kReadChunk = 16384;
// Pause after an accept failure such as running out of descriptors.
constexpr int kAcceptPauseMs = 100;
// After a request this large (a long query makes many small blocks), the freed
// blocks are handed back to the system rather than kept in the thread's arena.
constexpr std::size_t kTrimAfterBytes = 256 * 1024;

EVP_PKEY* loadServerKey(const std::string& path, const std::string& pass)
{
    ossl::BioPtr bio(BIO_new_file(path.c_str(), "r"));
    EVP_PKEY* key = nullptr;
    if (bio)
        key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>(pass.c_str()));
    if (key == nullptr)
        std::fprintf(stderr, "unable to load private key: %s\n", path.c_str());
    return key;
}

ossl::SslCtxPtr makeContext()
{
    ossl::SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx)
        return ctx;
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_default_passwd_cb_userdata(ctx.get(), kDefaultPasswdData);
    // None of these results is examined: a missing or wrong file leaves the
    // listener up and every handshake fails, which is what the pages see.
    SSL_CTX_use_certificate_file(ctx.get(), GetServerCertPath().c_str(), SSL_FILETYPE_PEM);
    ossl::EvpPkeyPtr key(loadServerKey(GetServerKeyPath(), ServerKeyPassphrase()));
    if (key) {
        SSL_CTX_use_PrivateKey(ctx.get(), key.get());
        SSL_CTX_check_private_key(ctx.get());
    }
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    std::uint32_t seed[100];
    for (auto& s : seed)
        s = static_cast<std::uint32_t>(std::rand());
    RAND_seed(seed, sizeof seed);
    SSL_CTX_set_cipher_list(ctx.get(), kCipherList);
    return ctx;
}

void setTimeout(int fd, int option, int seconds)
{
    timeval tv{};
    tv.tv_sec = seconds;
    setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// The handshake with an overall limit: non-blocking, each wait bounded by the time left.
bool handshake(SSL* ssl, int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHandshakeLimitMs);
    for (;;) {
        ERR_clear_error();
        const int rc = SSL_accept(ssl);
        if (rc == 1)
            break;
        const int err = SSL_get_error(ssl, rc);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{fd, static_cast<short>(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        const int n = poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno != EINTR)
            return false;
    }
    // Back to blocking mode: the handler relies on receive time-outs.
    return fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

void writeAll(SSL* ssl, std::string_view data)
{
    if (!data.empty())
        SSL_write(ssl, data.data(), static_cast<int>(data.size()));
}

void writeGetReply(SSL* ssl, std::string_view reply)
{
    for (std::size_t off = 0; off < reply.size(); off += kGetWriteChunk) {
        const std::size_t n = std::min(kGetWriteChunk, reply.size() - off);
        if (SSL_write(ssl, reply.data() + off, static_cast<int>(n)) <= 0)
            return;
    }
}

int readOnce(SSL* ssl, int fd, char* into, std::size_t room)
{
    setTimeout(fd, SO_RCVTIMEO, kReadTimeoutSeconds);
    ERR_clear_error();
    return SSL_read(ssl, into, static_cast<int>(std::min(room, kReadChunk)));
}

// Reads one request. Empty when the connection ended before a whole head
// arrived. After the head, a POST's announced body is waited for as long as
// bytes keep arriving; what never arrives reads as zero.
std::optional<std::string> readRequest(SSL* ssl, int fd)
{
    std::string buf;
    std::size_t fill = 0;
    std::size_t need = 0;   // 0 until the head is complete
    for (;;) {
        if (need != 0 && fill >= need)
            break;
        const std::size_t room = kRequestBufferSize - 1 - fill;
        if (room == 0)
            break;
        if (buf.size() < fill + std::min(room, kReadChunk))
            buf.resize(std::min(kRequestBufferSize - 1, std::max(fill + kReadChunk, buf.size() * 2)));

        int r = readOnce(ssl, fd, buf.data() + fill, room);
        if (r < 0) {
            const int kind = SSL_get_error(ssl, r);
            char text[256];
            ERR_error_string_n(static_cast<unsigned long>(kind), text, sizeof text);
            std::printf("ssl_read Error: %d, %s\n", kind, text);
            r = kind == SSL_ERROR_WANT_READ ? readOnce(ssl, fd, buf.data() + fill, room) : -1;
        }
        if (r <= 0)
            break;

        const std::size_t from = fill >= 3 ? fill - 3 : 0;
        fill += static_cast<std::size_t>(r);
        if (need == 0) {
            const std::string_view seen(buf.data(), fill);
            const auto blank = seen.find("\r\n\r\n", from);
            if (blank != std::string_view::npos)
                need = std::max(blank + 4, CHttpRequest::ExpectedSize(seen));
        }
    }
    if (need == 0) {
        OPENSSL_cleanse(buf.data(), buf.size());
        return std::nullopt;
    }
    buf.resize(fill);
    return buf;
}

std::string answerGet(const CHttpRequest& request)
{
    const std::string jsoncallback = request.QueryRequestPara("jsoncallback");
    const std::string str = request.QueryRequestPara("str");
    const std::string spliceid = request.QueryRequestPara("spliceid");
    const std::string splicenum = request.QueryRequestPara("splicenum");

    if (!spliceid.empty() && !splicenum.empty() && !SpliceMap().store(spliceid, splicenum, str))
        return std::string(kBadRequestReply);
    if (jsoncallback.empty())
        return std::string(kBadRequestReply);

    std::string text;
    std::optional<std::string> joined;
    if (splicenum == "-1" && (joined = SpliceMap().takeJoined(spliceid)))
        text = CHttpRequest::DecryptStr(*joined);
    else if (!spliceid.empty() || !splicenum.empty())
        text = "splice";   // an intermediate piece: not JSON, so the reply stays empty
    else
        text = str;

    std::string reply;
    WardlockEntry(text, reply);
    std::string out(kSuccessHead);
    out += jsoncallback;
    out += '(';
    out += reply;
    out += ')';
    return out;
}

} // namespace

CSpliceTable& SpliceMap()
{
    static CSpliceTable table;
    return table;
}

int ReadWriteThread(ThreadPara para)
{
    std::size_t requestBytes = 0;
    if (auto received = readRequest(para.ssl, para.fd)) {
        requestBytes = received->size();
        setTimeout(para.fd, SO_SNDTIMEO, kWriteTimeoutSeconds);
        CHttpRequest request;
        request.Attach(*received);
        const std::string method = request.GetRequestMethod();
        if (method == "OPTIONS") {
            writeAll(para.ssl, kPreflightReply);
        } else if (method == "GET") {
            writeGetReply(para.ssl, answerGet(request));
        } else if (method == "POST") {
            const std::string content = request.GetPostContent();
            if (content.empty()) {
                writeAll(para.ssl, kBadRequestReply);
            } else {
                std::string reply;
                WardlockEntry(content, reply);
                writeAll(para.ssl, std::string(kSuccessHead) + reply);
            }
        } else {
            writeAll(para.ssl, kBadRequestReply);
        }
        request.Deattach();
        OPENSSL_cleanse(received->data(), received->size());
    }

    SSL_shutdown(para.ssl);
    SSL_free(para.ssl);
    if (para.server != nullptr)
        para.server->connectionClosing(para.fd);
    close(para.fd);
    if (requestBytes >= kTrimAfterBytes)
        malloc_trim(0);
    return 0;
}

void* ReadWriteThread0(void* arg)
{
    if (arg == nullptr)
        return nullptr;
    std::unique_ptr<ThreadPara> owned(static_cast<ThreadPara*>(arg));
    const ThreadPara para = *owned;
    owned.reset();
    try {
        if (handshake(para.ssl, para.fd)) {
            ReadWriteThread(para);
        } else {
            SSL_free(para.ssl);
            if (para.server != nullptr)
                para.server->connectionClosing(para.fd);
            close(para.fd);
        }
    } catch (...) {
        // Nothing in the handler throws by design; a stray exception must
        // still not take the process down.
        std::fprintf(stderr, "connection handler failed\n");
    }
    // The host buffers the log; what this connection wrote goes out now.
    std::fflush(stdout);
    if (para.server != nullptr)
        para.server->connectionDone();
    return nullptr;
}

CHttpsServer::CHttpsServer()
{
    if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0)
        m_wake[0] = m_wake[1] = -1;
}

CHttpsServer::~CHttpsServer()
{
    for (int fd : m_wake)
        if (fd >= 0)
            close(fd);
}

void CHttpsServer::stop()
{
    m_stopping = true;
    if (m_wake[1] >= 0) {
        const char b = 1;
        [[maybe_unused]] const auto n = write(m_wake[1], &b, 1);
    }
    std::lock_guard lock(m_connLock);
    // Blocked reads, writes and handshakes end at once.
    for (int fd : m_connFds)
        shutdown(fd, SHUT_RDWR);
    m_connChanged.notify_all();
}

void CHttpsServer::connectionClosing(int fd)
{
    std::lock_guard lock(m_connLock);
    m_connFds.erase(fd);
}

void CHttpsServer::connectionDone()
{
    std::lock_guard lock(m_connLock);
    --m_active;
    m_connChanged.notify_all();
}

std::size_t CHttpsServer::waitForSlot()
{
    std::unique_lock lock(m_connLock);
    // Further clients wait in the listen backlog meanwhile.
    m_connChanged.wait(lock, [&] { return m_stopping || m_active < kMaxConnections; });
    return m_stopping ? 0 : kMaxConnections - m_active;
}

bool CHttpsServer::startConnection(SSL_CTX* ctx, int fd)
{
    SSL* ssl = ctx != nullptr ? SSL_new(ctx) : nullptr;
    if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
        SSL_free(ssl);
        close(fd);
        return true;   // this connection only
    }
    auto para = std::make_unique<ThreadPara>(ThreadPara{ssl, fd, this});
    std::lock_guard lock(m_connLock);
    const std::uint64_t id = m_nextThreadId++;
    try {
        ThreadPara* record = para.get();
        m_threads.emplace(id, std::thread([this, id, record] {
            ReadWriteThread0(record);
            threadExited(id);
        }));
    } catch (const std::system_error&) {
        SSL_free(ssl);
        close(fd);
        return false;
    }
    para.release();
    m_connFds.insert(fd);
    ++m_active;
    return true;
}

void CHttpsServer::pace()
{
    pollfd p{m_wake[0], POLLIN, 0};
    poll(&p, m_wake[0] >= 0 ? 1 : 0, kAcceptPauseMs);
}

int CHttpsServer::InitHttpServer(int /*backlog*/, int port)
{
    if (m_stopping)
        return 0;
    // Writing to a peer that has gone must fail, not raise SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);

    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    const ossl::SslCtxPtr ctx = makeContext();

    // Non-blocking, so that the accept loop can empty the queue.
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (s < 0)
        return -2;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    // The service closes every connection first, so its port keeps TIME_WAIT
    // entries for a minute; without this a restarted service would move to the
    // next port, and after a few restarts find none. A port another program
    // listens on is still refused.
    const int reuse = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    if (bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(s);
        return -3;
    }
    std::printf("建立端口成功:%d\n", port);
    std::fflush(stdout);
    if (listen(s, kListenBacklog) != 0) {
        close(s);
        return -4;
    }

    std::vector<int> accepted;
    while (const std::size_t room = waitForSlot()) {
        pollfd p[2] = {{s, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (poll(p, m_wake[0] >= 0 ? 2 : 1, -1) < 0) {
            if (errno != EINTR)
                pace();
            continue;
        }
        if (m_stopping)
            break;
        if ((p[0].revents & POLLIN) == 0)
            continue;
        // Take every connection the kernel holds before starting any thread,
        // so that a burst of clients leaves the listen queue at once.
        bool failed = false;
        accepted.clear();
        while (accepted.size() < room) {
            const int fd = accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                accepted.push_back(fd);
                continue;
            }
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            failed = errno != EAGAIN && errno != EWOULDBLOCK;
            break;
        }
        for (const int fd : accepted)
            failed |= !startConnection(ctx.get(), fd);
        if (failed)
            pace();
        joinExited();
    }
    close(s);

    // Connection threads point at this object: wait until the last has gone.
    {
        std::unique_lock lock(m_connLock);
        m_connChanged.wait(lock, [&] { return m_active == 0; });
    }
    std::map<std::uint64_t, std::thread> threads;
    {
        std::lock_guard lock(m_connLock);
        threads.swap(m_threads);
        m_exited.clear();
    }
    for (auto& [id, t] : threads)
        t.join();
    return 0;
}

void CHttpsServer::threadExited(std::uint64_t id)
{
    std::lock_guard lock(m_connLock);
    m_exited.push_back(id);
}

void CHttpsServer::joinExited()
{
    std::vector<std::thread> done;
    {
        std::lock_guard lock(m_connLock);
        for (const auto id : m_exited) {
            const auto it = m_threads.find(id);
            if (it != m_threads.end()) {
                done.push_back(std::move(it->second));
                m_threads.erase(it);
            }
        }
        m_exited.clear();
    }
    for (auto& t : done)
        t.join();
}

CServiceThread::~CServiceThread()
{
    stop();
}

void CServiceThread::start()
{
    m_thread = std::thread([this] { OCServiceWorkerThread(); });
}

void CServiceThread::stop()
{
    {
        std::lock_guard lock(m_lock);
        m_stopping = true;
        if (m_server != nullptr)
            m_server->stop();
    }
    if (m_thread.joinable())
        m_thread.join();
}

void CServiceThread::OCServiceWorkerThread()
{
    for (int i = 0; i < kPortCount; ++i) {
        CHttpsServer server;
        {
            std::lock_guard lock(m_lock);
            if (m_stopping)
                return;
            m_server = &server;
        }
        const int rc = server.InitHttpServer(3, kFirstPort + i);
        {
            std::lock_guard lock(m_lock);
            m_server = nullptr;
        }
        if (rc == 0)
            return;
    }
}
