#pragma once

#include <optional>
#include <string>
#include <string_view>

// Byte-string conversions used by the certificate and provider code. Every
// string here is a sequence of bytes with its own length; zero bytes allowed.
class ICodec {
public:
    // Base64, exactly as Base64::encode64 / Base64::decode64.
    static std::string encode(std::string_view data);
    static std::string decode(std::string_view text);

    // Accepts PEM armour or bare Base64: strips the BEGIN line, every END
    // line and all white space, then decodes what is left. Never fails.
    static std::string pemdecode(std::string_view text);

    // One element per code point (at most U+10FFFF); a leading byte-order
    // mark is kept as U+FEFF. Empty when the text is not well-formed UTF-8
    // (truncated or overlong sequences, surrogates, stray continuation bytes).
    static std::optional<std::u32string> utf82unicode(std::string_view utf8);
};

// PEM text of `der` under `label`: 64-character lines separated by "\n",
// no line break after the closing "-----END <label>-----" line.
std::string pemencode(std::string_view der, std::string_view label);
