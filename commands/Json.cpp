#include "commands/Json.h"

#include <limits>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace jsontext {

bool parseStrict(std::string_view text, Json::Value& root)
{
    try {
        Json::Reader reader(Json::Features::strictMode());
        return reader.parse(text.data(), text.data() + text.size(), root, false);
    } catch (const std::exception&) {
        // Deep nesting and similar limits surface as exceptions; they are parse failures.
        return false;
    }
}

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";   // U+FFFD in UTF-8

bool inRange(unsigned char c, unsigned char lo, unsigned char hi)
{
    return c >= lo && c <= hi;
}

// Length of the well-formed UTF-8 sequence at text[i], or 0 when it is not one.
std::size_t sequenceLength(std::string_view text, std::size_t i)
{
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const std::size_t left = text.size() - i;
    const unsigned char b = at(0);
    if (b < 0x80)
        return 1;
    if (inRange(b, 0xC2, 0xDF))
        return left >= 2 && inRange(at(1), 0x80, 0xBF) ? 2 : 0;
    if (inRange(b, 0xE0, 0xEF)) {
        const unsigned char lo = b == 0xE0 ? 0xA0 : 0x80;
        const unsigned char hi = b == 0xED ? 0x9F : 0xBF;   // no surrogates
        return left >= 3 && inRange(at(1), lo, hi) && inRange(at(2), 0x80, 0xBF) ? 3 : 0;
    }
    if (inRange(b, 0xF0, 0xF4)) {
        const unsigned char lo = b == 0xF0 ? 0x90 : 0x80;
        const unsigned char hi = b == 0xF4 ? 0x8F : 0xBF;   // at most U+10FFFF
        return left >= 4 && inRange(at(1), lo, hi) && inRange(at(2), 0x80, 0xBF)
                       && inRange(at(3), 0x80, 0xBF)
                   ? 4
                   : 0;
    }
    return 0;
}

bool wellFormed(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = sequenceLength(text, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

bool allWellFormed(const Json::Value& value)
{
    if (value.isString()) {
        const char* begin = nullptr;
        const char* end = nullptr;
        value.getString(&begin, &end);
        return begin == nullptr || wellFormed(std::string_view(begin, static_cast<std::size_t>(end - begin)));
    }
    if (value.isObject()) {
        for (auto it = value.begin(); it != value.end(); ++it)
            if (!wellFormed(it.name()) || !allWellFormed(*it))
                return false;
        return true;
    }
    if (value.isArray()) {
        for (const Json::Value& v : value)
            if (!allWellFormed(v))
                return false;
    }
    return true;
}

Json::Value withWellFormedStrings(const Json::Value& value)
{
    if (value.isString())
        return toWellFormedUtf8(value.asString());
    if (value.isObject()) {
        Json::Value out(Json::objectValue);
        for (auto it = value.begin(); it != value.end(); ++it)
            out[toWellFormedUtf8(it.name())] = withWellFormedStrings(*it);
        return out;
    }
    if (value.isArray()) {
        Json::Value out(Json::arrayValue);
        for (const Json::Value& v : value)
            out.append(withWellFormedStrings(v));
        return out;
    }
    return value;
}

} // namespace

std::string toWellFormedUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = sequenceLength(bytes, i);
        if (n == 0) {
            out += kReplacement;
            ++i;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string writeCompact(const Json::Value& value)
{
    Json::FastWriter writer;
    // The writer reads every string as UTF-8 and, at an ill-formed byte,
    // swallows the bytes after it (an "\xE9" eats the two that follow). Such
    // bytes become U+FFFD first, so the rest of the text arrives intact.
    if (allWellFormed(value))
        return writer.write(value);
    return writer.write(withWellFormedStrings(value));
}

bool asInt32(const Json::Value& value, std::int32_t& out)
{
    constexpr auto lo = std::numeric_limits<std::int32_t>::min();
    constexpr auto hi = std::numeric_limits<std::int32_t>::max();
    if (value.type() == Json::intValue) {
        const Json::Int64 v = value.asInt64();
        if (v < lo || v > hi)
            return false;
        out = static_cast<std::int32_t>(v);
        return true;
    }
    if (value.type() == Json::uintValue) {
        const Json::UInt64 v = value.asUInt64();
        if (v > static_cast<Json::UInt64>(hi))
            return false;
        out = static_cast<std::int32_t>(v);
        return true;
    }
    return false;
}

} // namespace jsontext

#pragma GCC diagnostic pop
