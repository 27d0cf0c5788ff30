#pragma once

// The TLS listener and the connection handler: one request per connection,
// answered as an OPTIONS pre-flight, a JSONP GET (plain or split into pieces)
// or a POST, then closed.

#include <openssl/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <map>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

class CSpliceTable;

inline constexpr std::string_view kPreflightReply =
    "HTTP/1.1 200 OK \r\nAccess-Control-Allow-Origin: * \r\nAccess-Control-Allow-Methods: GET, POST, PUT \r\n"
    "Content-Type: text/html; charset=utf-8 \r\nContent-Encoding: gzip \r\nContent-Length: 0 \r\n"
    "Keep-Alive: timeout=2, max=100 \r\nConnection: Keep-Alive \r\nContent-Type: text/plain \r\n\r\n";
inline constexpr std::string_view kSuccessHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
inline constexpr std::string_view kBadRequestReply = "HTTP/1.1 400 Bad Request\r\n\r\n";

// Pages' JSONP replies can be large; they go out in writes of this size.
inline constexpr std::size_t kGetWriteChunk = 15000;
inline constexpr int kFirstPort = 6186;
inline constexpr int kPortCount = 5;
// Clients past the connection limit, and bursts the accept loop has not yet
// taken, wait in this queue. When it is full the kernel drops new clients,
// which retry only a second later (then three): a short queue turns a burst of
// a few dozen page requests into stalls of seconds.
inline constexpr int kListenBacklog = 512;
// A client that connects and stalls is dropped after this; nobody else waits for it.
inline constexpr int kHandshakeLimitMs = 10000;
inline constexpr int kReadTimeoutSeconds = 1;
// A client that stops reading our reply is dropped after this.
inline constexpr int kWriteTimeoutSeconds = 10;
inline constexpr std::size_t kMaxConnections = 256;

class CHttpsServer;

struct ThreadPara {
    SSL* ssl = nullptr;
    int fd = -1;
    CHttpsServer* server = nullptr;
};

// The split requests waiting for their final piece, shared by all connections.
CSpliceTable& SpliceMap();

class CHttpServer {};

class CHttpsServer : public CHttpServer {
public:
    CHttpsServer();
    virtual ~CHttpsServer();
    CHttpsServer(const CHttpsServer&) = delete;   // connection threads point at this object
    CHttpsServer& operator=(const CHttpsServer&) = delete;

    // Sets up TLS, binds `port` on every IPv4 address and serves until stop().
    // -2 no socket, -3 bind failed, -4 listen failed; 0 once stopped.
    // The backlog argument is not used: the listen backlog is kListenBacklog.
    virtual int InitHttpServer(int backlog, int port);

    // From any thread: stop accepting, cut open connections, and let
    // InitHttpServer return once every connection thread has finished.
    void stop();

    // Bookkeeping of connection threads (called by ReadWriteThread0).
    void connectionClosing(int fd);
    void connectionDone();

private:
    // Free connection slots, waiting for one; 0 once stopping.
    std::size_t waitForSlot();
    // Hands an accepted socket to a connection thread of its own; false when
    // no thread could be started (the socket is closed then).
    bool startConnection(SSL_CTX* ctx, int fd);
    void pace();
    void threadExited(std::uint64_t id);
    void joinExited();

    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_stopping{false};
    std::mutex m_connLock;
    std::condition_variable m_connChanged;
    std::set<int> m_connFds;
    std::size_t m_active = 0;
    // Connection threads are joined, not detached, so that each one has wholly
    // ended (its TLS library state released too) before the server goes away.
    std::map<std::uint64_t, std::thread> m_threads;
    std::vector<std::uint64_t> m_exited;
    std::uint64_t m_nextThreadId = 0;
};

// Connection thread entry: handshake (within kHandshakeLimitMs), then
// ReadWriteThread; owns and frees the record, the SSL object and the socket.
void* ReadWriteThread0(void* arg);
// Serves one request on a connection whose handshake is done, then closes it.
int ReadWriteThread(ThreadPara para);

// The service thread: tries ports 6186 to 6190 in order and serves on the first it can bind.
class CServiceThread {
public:
    CServiceThread() = default;
    ~CServiceThread();
    CServiceThread(const CServiceThread&) = delete;   // owns a running thread
    CServiceThread& operator=(const CServiceThread&) = delete;

    void start();
    // Stops serving and waits for the thread and its connections to end.
    void stop();

private:
    void OCServiceWorkerThread();

    std::thread m_thread;
    std::mutex m_lock;
    CHttpsServer* m_server = nullptr;
    bool m_stopping = false;
};
