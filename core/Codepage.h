#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The process code page: the byte form into which user text (data to sign or
// verify, certificate names of a listing) is translated before use.
//   0 or less  UTF-16 little-endian, low 16 bits of each code point
//   963        GB2312, at most 4095 bytes
//   other      UTF-8, unchanged (936 included)
// One process-wide value, set and read only by commands on the main thread.
class CodePage {
public:
    static std::int32_t g_nCodePage;   // 65001 at start-up

    static void Set(int codepage);
    // Empty when the text cannot be translated: not well-formed UTF-8 for
    // UTF-16, or no GB2312 mapping / more than 4095 bytes for GB2312.
    static std::string GetTranslate(std::string_view utf8);
};

// Converts with iconv after clearing all `outlen` bytes of `outbuf`. Returns
// the number of bytes written, or -1 when the converter cannot be opened or
// the conversion stops early (unmapped character, incomplete sequence, or
// output that does not fit).
int code_convert(const char* from_charset, const char* to_charset,
                 const char* inbuf, std::size_t inlen, char* outbuf, std::size_t outlen);

// code_convert from "utf-8" to "gb2312".
int u2g(const char* inbuf, std::size_t inlen, char* outbuf, std::size_t outlen);
