#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// Standard-alphabet Base64 with '=' padding and no line breaks.
// The decoder does not validate: bytes outside the alphabet decode as 0xFF and
// the first '=' in the third or fourth place of a group ends the output. Pages
// and stored data rely on exactly these results, so keep them.
class Base64 {
public:
    static const std::string alphabet64;
    static const char pad;
    static const std::int64_t np;
    static const std::array<std::int64_t, 256> table64;

    static std::string encode64(std::string_view data);
    static std::string decode64(std::string_view text);
};
