#include "tools/halvorn-call/HalvornClient.h"

#include "commands/Json.h"
#include "ossl/ptr.h"
#include "service/RequestAuthenticator.h"
#include "service/service_win.h"

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

namespace hclient {

namespace {

std::string encryptPadded(const std::string& data, const std::uint8_t* key)
{
    ossl::EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key, nullptr) != 1)
        return {};
    std::string out(data.size() + 16, '\0');
    int n = 0;
    int tail = 0;
    if (EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &n,
                          reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size())) != 1
        || EVP_EncryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(out.data()) + n, &tail) != 1)
        return {};
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

class Socket {
public:
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket()
    {
        if (m_fd < 0)
            return;
        // Reset rather than close: the service then keeps no TIME_WAIT on its port.
        linger l{1, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(m_fd);
    }
    Socket(const Socket&) = delete;   // a copy would close the socket twice
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

int connectTo(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

std::string MakeRankey()
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char random[32];
    RAND_bytes(random, sizeof random);
    std::string key;
    for (const unsigned char r : random)
        key += alphabet[r % (sizeof alphabet - 1)];
    return key;
}

std::string BuildEnvelope(const std::string& request, const std::string& rankey, const std::string& checkText)
{
    std::string t = CHttpRequestAuthenticaor::aes_decrypt(rankey, kRequestCheckKeyText, 256);
    if (t.size() > 32)
        t.resize(32);
    const std::string checkKey = OpensslHelper::Base64Encode(t);
    std::uint8_t requestKey[32] = {};
    for (std::size_t i = 0; i < 32; ++i)
        requestKey[i] = static_cast<std::uint8_t>(i < rankey.size() ? rankey[i] : 0) ^ magicC[i];

    std::string datab;
    if (checkKey.size() >= 32)
        datab = encryptPadded(checkText.empty() ? rankey : checkText,
                              reinterpret_cast<const std::uint8_t*>(checkKey.data()));
    Json::Value envelope(Json::objectValue);
    envelope["rankey"] = rankey;
    envelope["datab"] = OpensslHelper::Base64Encode(datab);
    envelope["datac"] = OpensslHelper::Base64Encode(encryptPadded(request, requestKey));
    std::string text = jsontext::writeCompact(envelope);
    text.pop_back();
    return text;
}

std::string PercentEncode(const std::string& text)
{
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
            || c == '_' || c == '~') {
            out += ch;
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

std::string GetRequest(const std::string& query)
{
    return "GET /?" + query + " HTTP/1.1\r\nHost: localhost\r\nAccept: */*\r\n\r\n";
}

std::string JsonpGet(const std::string& callback, const std::string& envelope)
{
    return GetRequest("jsoncallback=" + PercentEncode(callback) + "&str=" + PercentEncode(envelope));
}

std::string PostRequest(const std::string& body)
{
    return "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/plain\r\nContent-Length: "
        + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string SpliceGet(const std::string& callback, const std::string& spliceid, const std::string& splicenum,
                      const std::string& piece)
{
    return GetRequest("jsoncallback=" + PercentEncode(callback) + "&spliceid=" + PercentEncode(spliceid)
                      + "&splicenum=" + PercentEncode(splicenum) + "&str=" + PercentEncode(piece));
}

std::vector<std::string> SplitText(const std::string& text, int count)
{
    std::vector<std::string> pieces;
    const std::size_t n = count < 1 ? 1 : static_cast<std::size_t>(count);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t from = text.size() * i / n;
        const std::size_t to = text.size() * (i + 1) / n;
        pieces.push_back(text.substr(from, to - from));
    }
    return pieces;
}

Answer Exchange(const std::vector<std::string>& writes, const ExchangeOptions& options)
{
    Answer answer;
    int fd = -1;
    for (const int port : options.ports) {
        fd = connectTo(port);
        if (fd >= 0) {
            answer.port = port;
            break;
        }
        answer.connectError = errno;
    }
    if (fd < 0)
        return answer;
    Socket sock(fd);
    answer.connected = true;

    timeval tv{};
    tv.tv_sec = static_cast<long>(options.readLimit.count() / 1000);
    tv.tv_usec = static_cast<long>(options.readLimit.count() % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

    ossl::SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx)
        return answer;
    // The service's certificate is self-signed; these clients talk to it on loopback only.
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    ossl::SslPtr ssl(SSL_new(ctx.get()));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1 || SSL_connect(ssl.get()) != 1)
        return answer;
    answer.handshake = true;

    bool first = true;
    for (const auto& w : writes) {
        if (!first && options.pause.count() > 0)
            std::this_thread::sleep_for(options.pause);
        first = false;
        if (!w.empty() && SSL_write(ssl.get(), w.data(), static_cast<int>(w.size())) <= 0)
            break;
    }

    const auto deadline = std::chrono::steady_clock::now() + options.readLimit;
    char buf[16384];
    while (std::chrono::steady_clock::now() < deadline) {
        const int n = SSL_read(ssl.get(), buf, sizeof buf);
        if (n <= 0)
            break;
        answer.raw.append(buf, static_cast<std::size_t>(n));
        answer.reads.push_back(static_cast<std::size_t>(n));
    }
    SSL_shutdown(ssl.get());
    return answer;
}

bool IsSuccess(const std::string& raw)
{
    return raw.compare(0, kSuccessHead.size(), kSuccessHead) == 0;
}

std::string Body(const std::string& raw)
{
    const auto end = raw.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : raw.substr(end + 4);
}

bool UnwrapJsonp(const std::string& raw, const std::string& callback, std::string& reply)
{
    if (!IsSuccess(raw))
        return false;
    const std::string body = raw.substr(kSuccessHead.size());
    if (body.size() < callback.size() + 2 || body.compare(0, callback.size(), callback) != 0
        || body[callback.size()] != '(' || body.back() != ')')
        return false;
    reply = body.substr(callback.size() + 1, body.size() - callback.size() - 2);
    return true;
}

} // namespace hclient
