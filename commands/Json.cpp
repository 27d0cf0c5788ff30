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

std::string writeCompact(const Json::Value& value)
{
    Json::FastWriter writer;
    return writer.write(value);
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
