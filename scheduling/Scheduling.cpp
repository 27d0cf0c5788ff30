#include "scheduling/Scheduling.h"

#include "commands/Json.h"
#include "commands/TQSMLib.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace scheduling {

namespace {

// The library converts these members for us except where it cannot: such
// envelopes are refused like text that is not JSON.
bool readInterfaceType(const Json::Value& v, int& out)
{
    constexpr double lo = std::numeric_limits<std::int32_t>::min();
    constexpr double hi = std::numeric_limits<std::int32_t>::max();
    switch (v.type()) {
    case Json::nullValue:
        out = 0;
        return true;
    case Json::booleanValue:
        out = v.asBool() ? 1 : 0;
        return true;
    case Json::intValue:
    case Json::uintValue:
        return jsontext::asInt32(v, out);
    case Json::realValue: {
        const double d = std::trunc(v.asDouble());
        if (!(d >= lo && d <= hi))
            return false;
        out = static_cast<int>(d);
        return true;
    }
    default:
        return false;
    }
}

bool readId(const Json::Value& v, std::string& out)
{
    switch (v.type()) {
    case Json::nullValue:
        out.clear();
        return true;
    case Json::booleanValue:
        out = v.asBool() ? "true" : "false";
        return true;
    case Json::stringValue:
        out = v.asString();
        return true;
    default:
        return false;
    }
}

const std::string& versionReply()
{
    static const std::string text = [] {
        Json::Value v(Json::objectValue);
        v["code"] = 0;
        v["data"] = "1.0.0.3";
        return jsontext::writeCompact(v);
    }();
    return text;
}

} // namespace

CommandResult perform(TQSMLib* lib, const std::string& params)
{
    if (lib == nullptr)
        return {};
    if (!params.empty()) {
        std::string reply;
        lib->invoke(params, reply);
        lib->setoutput(reply);
    }
    return {lib->getoutput(), lib->geterrcode()};
}

CSessionDispatcher::CSessionDispatcher(IMainThreadMarshaller* marshaller)
    : m_marshaller(marshaller != nullptr ? marshaller : &m_inline)
{
}

void CSessionDispatcher::setMarshaller(IMainThreadMarshaller* marshaller)
{
    std::lock_guard lock(mymutex);
    m_marshaller = marshaller != nullptr ? marshaller : &m_inline;
}

TQSMLib& CSessionDispatcher::session(const std::string& id)
{
    auto& slot = m_sm[id];
    if (!slot)
        slot = std::make_unique<TQSMLib>();
    return *slot;
}

TQSMLib* CSessionDispatcher::findSession(const std::string& id)
{
    std::lock_guard lock(mymutex);
    const auto it = m_sm.find(id);
    return it == m_sm.end() ? nullptr : it->second.get();
}

std::size_t CSessionDispatcher::sessionCount()
{
    std::lock_guard lock(mymutex);
    return m_sm.size();
}

int CSessionDispatcher::entry(const std::string& request, std::string& reply)
{
    std::printf("传入请求:%s\n", request.c_str());

    // The envelope is read before any shared state is touched, so a bad one
    // holds nobody up.
    Json::Value root;
    if (!jsontext::parseStrict(request, root) || !root.isObject())
        return -1;
    int interfacetype = 0;
    std::string id;
    if (!readInterfaceType(root["interfacetype"], interfacetype) || !readId(root["id"], id))
        return -1;
    const std::string command = jsontext::writeCompact(root["data"]);

    std::printf("Wardlock Entry code [%d].............\n", interfacetype);

    std::string result;
    int errcode = 0;
    if (interfacetype == 0 || interfacetype == 1) {
        TQSMLib* lib;
        IMainThreadMarshaller* marshaller;
        {
            std::lock_guard lock(mymutex);
            lib = &session(id);
            marshaller = m_marshaller;
        }
        // The marshaller runs one command at a time, in the order they come.
        // Waiting outside the session lock lets the next request queue up
        // while this one runs, so the main thread goes from one command
        // straight to the next.
        CommandResult done = marshaller->performfunction(lib, command);
        if (interfacetype == 0) {
            result = std::move(done.output);
            errcode = done.errcode;
        } else {
            // The command runs; its output is not used.
            result = versionReply();
        }
    }

    // Drop the writer's final newline.
    if (!result.empty())
        result.pop_back();
    reply = result;

    std::printf("传出请求:%s\n", reply.c_str());
    return errcode;
}

CSessionDispatcher& processDispatcher()
{
    // Lives until the process ends, as the sessions in it do.
    static CSessionDispatcher dispatcher;
    return dispatcher;
}

} // namespace scheduling

int WardlockEntry(const std::string& request, std::string& reply)
{
    return scheduling::processDispatcher().entry(request, reply);
}
