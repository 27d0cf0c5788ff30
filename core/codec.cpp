#include "core/codec.h"

#include "base64/Base64.h"

std::string ICodec::encode(std::string_view data) { return Base64::encode64(data); }

std::string ICodec::decode(std::string_view text) { return Base64::decode64(text); }

namespace {

bool isPemSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

std::string ICodec::pemdecode(std::string_view text)
{
    std::string t(text);

    // The BEGIN line goes once, then every END line in turn. A marker whose
    // closing dashes are not on its own line stops the stripping.
    std::size_t p = t.find("-----BEGIN ");
    while (p != std::string::npos) {
        const std::size_t q = t.find("-----", p + 10);
        const std::size_t r = t.find('\n', p + 10);
        if (q == std::string::npos || (r != std::string::npos && q >= r))
            break;
        t.erase(p, q + 5 - p);
        p = t.find("-----END ");
    }

    std::erase_if(t, isPemSpace);
    while (!t.empty() && (isPemSpace(t.back()) || t.back() == '-'))
        t.pop_back();
    return Base64::decode64(t);
}

std::optional<std::u32string> ICodec::utf82unicode(std::string_view utf8)
{
    std::u32string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto b0 = static_cast<unsigned char>(utf8[i]);
        if (b0 < 0x80) {
            out.push_back(b0);
            ++i;
            continue;
        }
        std::size_t extra;
        char32_t cp;
        char32_t minimum;
        if ((b0 & 0xE0) == 0xC0) {
            extra = 1; cp = b0 & 0x1F; minimum = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            extra = 2; cp = b0 & 0x0F; minimum = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            extra = 3; cp = b0 & 0x07; minimum = 0x10000;
        } else {
            return std::nullopt;   // continuation byte or 0xF8..0xFF as a lead
        }
        if (utf8.size() - i <= extra)
            return std::nullopt;   // truncated sequence
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto b = static_cast<unsigned char>(utf8[i + k]);
            if ((b & 0xC0) != 0x80)
                return std::nullopt;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return std::nullopt;   // overlong, out of range, or a surrogate
        out.push_back(cp);
        i += extra + 1;
    }
    return out;
}

std::string pemencode(std::string_view der, std::string_view label)
{
    std::string body = Base64::encode64(der);
    const std::size_t n = body.size();
    // From the end backwards, so each position counts in the unbroken text;
    // a body of a multiple of 64 characters thus also gets a final "\n".
    for (std::size_t k = n / 64; k >= 1; --k)
        body.insert(64 * k, 1, '\n');

    std::string out;
    out.reserve(body.size() + 2 * label.size() + 32);
    out.append("-----BEGIN ").append(label).append("-----\n").append(body);
    if (out.back() != '\n')
        out.push_back('\n');
    out.append("-----END ").append(label).append("-----");
    return out;
}
