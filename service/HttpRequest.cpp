#include "service/HttpRequest.h"

#include "commands/Json.h"
#include "service/RequestAuthenticator.h"
#include "service/httpurl.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::string_view kBlankLine = "\r\n\r\n";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kContentLength = "Content-Length: ";

struct Head {
    int status = 1;
    std::size_t bodyOffset = 0;
    std::string method;
    std::string url;
    std::string version;
    std::string contentLength;
};

Head parseHead(std::string_view received)
{
    Head h;
    const std::string_view text = received.substr(0, std::min(received.find('\0'), received.size()));
    const auto blank = text.find(kBlankLine);
    if (blank == std::string_view::npos)
        return h;
    h.bodyOffset = blank + kBlankLine.size();

    std::string_view firstLine;
    bool first = true;
    std::size_t pos = 0;
    for (;;) {
        const auto end = text.find(kLineEnd, pos);
        if (end == std::string_view::npos)
            break;
        const std::string_view line = text.substr(pos, end - pos);
        if (first) {
            firstLine = line;
            first = false;
        }
        if (line.empty())
            break;
        if (const auto at = line.find(kContentLength); at != std::string_view::npos)
            h.contentLength = std::string(line.substr(at + kContentLength.size()));
        pos = end + kLineEnd.size();
    }

    if (firstLine.empty()) {
        h.status = 2;
        return h;
    }
    const auto sp1 = firstLine.find(' ');
    if (sp1 == std::string_view::npos) {
        h.status = 3;
        return h;
    }
    const auto sp2 = firstLine.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos) {
        h.status = 4;
        return h;
    }
    h.method = std::string(firstLine.substr(0, sp1));
    h.url = std::string(firstLine.substr(sp1 + 1, sp2 - sp1 - 1));
    h.version = std::string(firstLine.substr(sp2 + 1));
    h.status = 0;
    return h;
}

// Announced body bytes of a POST, cut to what fits in the buffer after the head.
std::size_t postBodyLength(const Head& h)
{
    if (h.status != 0 || h.method != "POST" || h.contentLength.empty())
        return 0;
    const int n = DecstringToInt(h.contentLength);
    if (n <= 0)
        return 0;
    return std::min<std::size_t>(static_cast<std::size_t>(n), kRequestBufferSize - h.bodyOffset);
}

} // namespace

int DecstringToInt(const std::string& text)
{
    std::uint32_t value = 0;
    for (const char c : text)
        value = value * 10u + static_cast<std::uint32_t>(static_cast<unsigned char>(c) - '0');
    return static_cast<int>(value);
}

int CHttpRequest::Attach(std::string_view received)
{
    m_raw = received.substr(0, std::min(received.size(), kRequestBufferSize - 1));
    Head h = parseHead(m_raw);
    if (h.status == 1)
        return 1;
    m_bodyOffset = h.bodyOffset;
    m_contentLength = h.contentLength;
    if (h.status != 0)
        return h.status;
    m_method = h.method;
    m_url = h.url;
    m_version = h.version;

    if (m_method == "POST") {
        if (m_contentLength.empty())
            return 5;
        const std::size_t n = postBodyLength(h);
        // Bytes not received read as zero, as in a zero-filled receive buffer.
        m_postContent.assign(n, '\0');
        if (m_bodyOffset < m_raw.size()) {
            const std::size_t have = std::min(n, m_raw.size() - m_bodyOffset);
            std::memcpy(m_postContent.data(), m_raw.data() + m_bodyOffset, have);
        }
        return 0;
    }
    if (m_method == "GET") {
        ParseRequestUrl(m_url);
        return 0;
    }
    return 5;
}

int CHttpRequest::Deattach()
{
    m_raw = {};
    m_bodyOffset = 0;
    m_params.clear();
    return 0;
}

std::string CHttpRequest::QueryRequestPara(const std::string& name) const
{
    const auto it = m_params.find(name);
    return it == m_params.end() ? std::string() : it->second;
}

int CHttpRequest::ParseRequestUrl(const std::string& url)
{
    CHttpUrl codec;
    // Split after decoding: encoded "&", "=" and "?" count like plain ones.
    const std::string decoded = codec.DecodeUrl(url);
    const auto q = decoded.find('?');
    if (q == std::string::npos)
        return 0;

    std::size_t pos = q + 1;
    for (;;) {
        const auto amp = decoded.find('&', pos);
        const std::string param = decoded.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
        const auto eq = param.find('=');
        if (eq == std::string::npos)
            break;
        m_params[param.substr(0, eq)] = param.substr(eq + 1);
        if (amp == std::string::npos)
            break;
        pos = amp + 1;
    }

    if (!QueryRequestPara("spliceid").empty() || !QueryRequestPara("splicenum").empty())
        return 1;   // pieces are decrypted only once they are joined

    Json::Value root;
    if (!jsontext::parseStrict(QueryRequestPara("str"), root))
        return -1;   // left as received: the dispatcher refuses it in turn
    std::string rankey, datab, datac;
    if (!ReadEnvelopeMembers(root, rankey, datab, datac)) {
        // JSON that is no readable envelope must not reach the dispatcher
        // itself, where an object would run as a request.
        m_params["str"].clear();
        return -1;
    }
    m_params["str"] = DecryptEnvelope(root);
    return 1;
}

std::string CHttpRequest::DecryptStr(const std::string& envelope)
{
    Json::Value root;
    if (!jsontext::parseStrict(envelope, root))
        return {};
    return DecryptEnvelope(root);
}

std::size_t CHttpRequest::ExpectedSize(std::string_view received)
{
    const Head h = parseHead(received);
    if (h.status == 1)
        return 0;
    return std::min(h.bodyOffset + postBodyLength(h), kRequestBufferSize - 1);
}
