#include "base64/Base64.h"

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int64_t, 256> makeTable()
{
    std::array<std::int64_t, 256> t{};
    for (auto& v : t)
        v = -1;
    for (std::size_t i = 0; i < kAlphabet.size(); ++i)
        t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int64_t>(i);
    return t;
}

} // namespace

const std::string Base64::alphabet64{kAlphabet};
const char Base64::pad = '=';
const std::int64_t Base64::np = -1;
const std::array<std::int64_t, 256> Base64::table64 = makeTable();

std::string Base64::encode64(std::string_view data)
{
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < data.size(); i += 3) {
        const unsigned b0 = static_cast<unsigned char>(data[i]);
        const bool has1 = i + 1 < data.size();
        const bool has2 = i + 2 < data.size();
        const unsigned b1 = has1 ? static_cast<unsigned char>(data[i + 1]) : 0;
        const unsigned b2 = has2 ? static_cast<unsigned char>(data[i + 2]) : 0;
        out += kAlphabet[b0 >> 2];
        out += kAlphabet[((b0 << 4) & 0x30) | (b1 >> 4)];
        out += has1 ? kAlphabet[((b1 << 2) & 0x3C) | (b2 >> 6)] : pad;
        out += has2 ? kAlphabet[b2 & 0x3F] : pad;
    }
    return out;
}

std::string Base64::decode64(std::string_view text)
{
    const auto v = [&](std::size_t i) -> unsigned {
        if (i >= text.size())
            return 0xFF;
        return static_cast<unsigned>(table64[static_cast<unsigned char>(text[i])]) & 0xFF;
    };

    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const unsigned c0 = v(i), c1 = v(i + 1);
        out += static_cast<char>(((c0 << 2) | ((c1 >> 4) & 0x03)) & 0xFF);

        if (i + 2 < text.size()) {
            if (text[i + 2] == pad)
                break;
            const unsigned c2 = v(i + 2);
            out += static_cast<char>(((c1 << 4) | ((c2 >> 2) & 0x0F)) & 0xFF);

            if (i + 3 < text.size()) {
                if (text[i + 3] == pad)
                    break;
                out += static_cast<char>(((c2 << 6) | v(i + 3)) & 0xFF);
            }
        }
    }
    return out;
}
