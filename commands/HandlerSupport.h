#pragma once

// Helpers every command handler uses: typed reads of request members, the
// echo of request members in replies, and the firewall that turns a JSON
// library exception into a failed command.

#include "commands/Json.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace handler {

// The member `name` of the request, or null when absent. Never inserts.
inline const Json::Value& member(const Json::Value& object, const char* name)
{
    static const Json::Value null;
    return object.isObject() ? object[name] : null;
}

// An integer member: a JSON integer (no fraction, no exponent) that fits in
// 32 signed bits. Anything else, absent included, is false.
inline bool intMember(const Json::Value& object, const char* name, std::int32_t& out)
{
    return jsontext::asInt32(member(object, name), out);
}

inline bool stringMember(const Json::Value& object, const char* name, std::string& out)
{
    const Json::Value& v = member(object, name);
    if (!v.isString())
        return false;
    out = v.asString();
    return true;
}

// Copies the request's member into the reply unchanged (null when absent).
inline void echo(Json::Value& reply, const Json::Value& request, const char* name)
{
    reply[name] = member(request, name);
}

// Runs a handler body. The body checks every member's type before reading
// it, so nothing should throw; if the library still does, the command fails
// with -2 and the dispatcher writes the -2 envelope instead of a half reply.
template <typename Body>
int guarded(const char* command, std::string& output, Body&& body)
{
    try {
        return body();
    } catch (const Json::Exception& e) {
        std::fprintf(stderr, "%s: %s\n", command, e.what());
    }
    output.clear();
    return -2;
}

} // namespace handler
