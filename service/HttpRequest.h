#pragma once

// Parser of one received HTTP request: request line, the Content-Length
// header, query parameters (with "str" of an ordinary GET decrypted) and the
// POST body. Only the shapes the pages send; nothing else of HTTP.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// A request, head and body, never exceeds this; the last byte always stays zero.
inline constexpr std::size_t kRequestBufferSize = 2097152;

// Decimal text to integer with no validation (unsigned 32-bit arithmetic).
int DecstringToInt(const std::string& text);

class CHttpRequest {
public:
    // Parses `received`. Bytes after it, up to kRequestBufferSize from its start,
    // read as zero, and only the text before the first zero byte counts as head.
    // 0 GET or POST; 1 no blank line; 2 empty first line; 3 no space in the
    // request line; 4 no second space; 5 another method, or a POST without length.
    int Attach(std::string_view received);
    int Deattach();

    std::string QueryRequestPara(const std::string& name) const;
    std::string GetRequestMethod() const { return m_method; }
    std::string GetPostContent() const { return m_postContent; }
    const std::string& GetUrl() const { return m_url; }
    const std::string& GetVersion() const { return m_version; }

    // 0 no "?"; -1 "str" was due for decryption but is not JSON (left as
    // received) or JSON of a shape no envelope has (emptied); 1 otherwise.
    int ParseRequestUrl(const std::string& url);

    // The request JSON in an envelope text, or empty.
    static std::string DecryptStr(const std::string& envelope);

    // How many bytes the request needs in all once its head has arrived: the head
    // plus the announced body of a POST, within kRequestBufferSize - 1. 0 when the
    // head is not complete.
    static std::size_t ExpectedSize(std::string_view received);

private:
    std::string_view m_raw;
    std::size_t m_bodyOffset = 0;
    std::string m_method;
    std::string m_contentLength;
    std::string m_url;
    std::string m_version;
    std::map<std::string, std::string> m_params;
    std::string m_postContent;
};
