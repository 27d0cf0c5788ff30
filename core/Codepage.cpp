#include "core/Codepage.h"

#include "core/codec.h"

#include <array>
#include <climits>
#include <cstring>
#include <iconv.h>

std::int32_t CodePage::g_nCodePage = 65001;

namespace {

constexpr int kGb2312 = 963;
// The GB2312 form is built in a fixed buffer; longer results are refused.
constexpr std::size_t kGbBufferSize = 4096;
constexpr std::size_t kGbLimit = kGbBufferSize - 1;

struct Iconv {
    iconv_t cd;
    Iconv(const char* to, const char* from) : cd(iconv_open(to, from)) {}
    ~Iconv()
    {
        if (ok())
            iconv_close(cd);
    }
    Iconv(const Iconv&) = delete;   // a copy would close the converter twice
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
};

std::string toUtf16Le(std::string_view utf8)
{
    const auto points = ICodec::utf82unicode(utf8);
    if (!points)
        return {};
    std::string out;
    out.reserve(points->size() * 2);
    for (const char32_t cp : *points) {
        // No surrogate pairs: only the low 16 bits of each code point.
        out.push_back(static_cast<char>(cp & 0xFF));
        out.push_back(static_cast<char>((cp >> 8) & 0xFF));
    }
    return out;
}

} // namespace

void CodePage::Set(int codepage) { g_nCodePage = codepage; }

std::string CodePage::GetTranslate(std::string_view utf8)
{
    const int cp = g_nCodePage;
    if (cp <= 0)
        return toUtf16Le(utf8);
    if (cp != kGb2312)
        return std::string(utf8);   // 65001 and every other value: UTF-8 as it is

    std::array<char, kGbBufferSize> buffer{};
    const int n = u2g(utf8.data(), utf8.size(), buffer.data(), kGbLimit);
    if (n <= 0)
        return {};
    return std::string(buffer.data(), static_cast<std::size_t>(n));
}

int code_convert(const char* from_charset, const char* to_charset,
                 const char* inbuf, std::size_t inlen, char* outbuf, std::size_t outlen)
{
    if (outbuf != nullptr && outlen > 0)
        std::memset(outbuf, 0, outlen);
    if (from_charset == nullptr || to_charset == nullptr || outbuf == nullptr
        || (inbuf == nullptr && inlen > 0) || outlen > static_cast<std::size_t>(INT_MAX))
        return -1;

    Iconv conv(to_charset, from_charset);
    if (!conv.ok())
        return -1;

    // iconv takes non-const pointers but does not write through the input.
    char* in = const_cast<char*>(inbuf);
    std::size_t inleft = inlen;
    char* out = outbuf;
    std::size_t outleft = outlen;
    if (inleft > 0 && iconv(conv.cd, &in, &inleft, &out, &outleft) == static_cast<std::size_t>(-1))
        return -1;
    if (iconv(conv.cd, nullptr, nullptr, &out, &outleft) == static_cast<std::size_t>(-1))
        return -1;   // the shift sequence that ends a stateful form did not fit
    return static_cast<int>(outlen - outleft);
}

int u2g(const char* inbuf, std::size_t inlen, char* outbuf, std::size_t outlen)
{
    return code_convert("utf-8", "gb2312", inbuf, inlen, outbuf, outlen);
}
