#include "service/httpurl.h"

#include <algorithm>
#include <cstdio>

namespace {

bool isUpperHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

int hexValue(char c)
{
    return c <= '9' ? c - '0' : c - 'A' + 10;
}

bool isSafe(unsigned char c)
{
    return c == ' ' || c == '*' || c == '-' || c == '.' || c == '_' || (c >= '0' && c <= '9')
        || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

} // namespace

std::string CHttpUrl::EncodeUrl(const std::string& text)
{
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == 0)
            break;
        if (c == ' ') {
            out += '+';
        } else if (isSafe(c)) {
            out += ch;
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%X", c);
            out += buf;
        }
    }
    return out;
}

std::string CHttpUrl::DecodeUrl(const std::string& text)
{
    const std::size_t n = std::min(text.find('\0'), text.size());
    std::string out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 < n && isUpperHex(text[i + 1]) && isUpperHex(text[i + 2])) {
                out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
                i += 2;
            } else if (i + 1 == n) {
                out += c;   // a "%" that ends the text stays
            }
            continue;
        }
        out += c == '+' ? ' ' : c;
    }
    return out;
}
