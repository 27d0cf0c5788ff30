#pragma once

// JsonCpp with the strict reader and compact writer that requests and replies
// are defined by. The classic Reader/FastWriter API is deprecated upstream but
// is what fixes the exact texts (member order, trailing newline, leniencies),
// so its warnings are silenced here and nowhere else.

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <json/json.h>
#pragma GCC diagnostic pop

#include <cstdint>
#include <string>
#include <string_view>

namespace jsontext {

// Strict mode: no comments, the root must be an object or an array. Text after
// the root is still accepted; that is the library's rule and clients rely on it.
bool parseStrict(std::string_view text, Json::Value& root);

// Compact text: no white space, members in name order, one final newline.
// Strings are written as UTF-8 (non-ASCII as \uXXXX escapes); a byte that
// is not part of well-formed UTF-8 is written as U+FFFD.
std::string writeCompact(const Json::Value& value);

// `bytes` with every byte that is not part of a well-formed UTF-8 sequence
// replaced by U+FFFD; well-formed text comes back unchanged.
std::string toWellFormedUtf8(std::string_view bytes);

// True when the value was written as an integer (no fraction, no exponent)
// that fits in 32 signed bits; anything else is ill-typed for a command.
bool asInt32(const Json::Value& value, std::int32_t& out);

} // namespace jsontext
