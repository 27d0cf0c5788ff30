#include "commands/TQSMLib.h"

#include "commands/HandlerSupport.h"
#include "core/Codepage.h"

#include <cstdio>

// Provider commands: open a key store under a pid, count its keys or tokens,
// choose one of them.

using handler::echo;
using handler::intMember;
using handler::stringMember;

int TQSMLib::getProvider(Json::Value request, std::string& output)
{
    return handler::guarded("getProvider", output, [&] {
        int result = -2;
        std::int32_t pid = -1;
        std::string name;
        std::int32_t type = 0;
        if (stringMember(request, "name", name) && intMember(request, "type", type)) {
            // The code page is the session's from now on, whether or not the
            // store opens.
            std::int32_t codepage = 0;
            if (intMember(request, "codepage", codepage)) {
                m_codePage = codepage;
                CodePage::Set(m_codePage);
            }
            const int before = providerCount();
            SMProvider* provider = nullptr;
            result = m_registry.obtainProvider(name, type, provider);
            if (result == 0) {
                pid = before;
                addProvider(pid, provider);
            } else if (result == 6) {
                for (int i = 0; i < before; ++i) {
                    if (getProviderByID(i) == provider) {
                        pid = i;
                        break;
                    }
                }
            }
        }
        Json::Value reply(Json::objectValue);
        reply["code"] = result;
        echo(reply, request, "pcode");
        reply["pid"] = pid;
        output = jsontext::writeCompact(reply);
        return result;
    });
}

int TQSMLib::getKeyCount(Json::Value request, std::string& output)
{
    return handler::guarded("getKeyCount", output, [&] {
        int result = -2;
        std::int32_t count = 0;
        std::int32_t pid = 0;
        if (intMember(request, "pid", pid)) {
            std::printf("get pid = %d", pid);
            if (SMProvider* provider = getProviderByID(pid))
                result = provider->keyCount(count);
        }
        Json::Value reply(Json::objectValue);
        reply["code"] = result;
        reply["keycount"] = count;
        echo(reply, request, "pcode");
        echo(reply, request, "pid");
        output = jsontext::writeCompact(reply);
        return result;
    });
}

int TQSMLib::selectKey(Json::Value request, std::string& output)
{
    return handler::guarded("selectKey", output, [&] {
        int result = -2;
        std::int32_t pid = 0;
        if (intMember(request, "pid", pid)) {
            std::printf(" get pid = %d", pid);
            std::int32_t index = -1;
            if (!intMember(request, "keyindex", index))
                index = -1;
            if (SMProvider* provider = getProviderByID(pid))
                result = provider->selectKey(index);
        }
        Json::Value reply(Json::objectValue);
        reply["code"] = result;
        echo(reply, request, "pcode");
        echo(reply, request, "pid");
        output = jsontext::writeCompact(reply);
        return result;
    });
}
