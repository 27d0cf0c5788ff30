#include "commands/TQSMLib.h"

#include "commands/HandlerSupport.h"
#include "core/codec.h"

#include <vector>

// Certificate store commands: list through a filter, select, import, export
// and delete the certificates of one provider.

using handler::echo;
using handler::intMember;
using handler::member;
using handler::stringMember;

namespace {

// The query members a page may filter on; each fills the record's field of
// the same name when it is a string.
struct QueryField {
    const char* name;
    std::string _CERTIFICATE_INFO_::*field;
};
constexpr QueryField kQueryFields[] = {
    {"subject", &_CERTIFICATE_INFO_::subject}, {"sn", &_CERTIFICATE_INFO_::sn},
    {"cn", &_CERTIFICATE_INFO_::cn},           {"c", &_CERTIFICATE_INFO_::c},
    {"e", &_CERTIFICATE_INFO_::e},             {"o", &_CERTIFICATE_INFO_::o},
    {"ou", &_CERTIFICATE_INFO_::ou},           {"st", &_CERTIFICATE_INFO_::st},
    {"l", &_CERTIFICATE_INFO_::l},
};

Json::Value storeReply(int result, const Json::Value& request)
{
    Json::Value reply(Json::objectValue);
    reply["code"] = result;
    echo(reply, request, "pcode");
    echo(reply, request, "pid");
    return reply;
}

} // namespace

int TQSMLib::getCertList(Json::Value request, std::string& output)
{
    return handler::guarded("getCertList", output, [&] {
        int result = -2;
        std::vector<std::string> names;
        std::int32_t pid = 0;
        const Json::Value& query = member(request, "query");
        if (intMember(request, "pid", pid) && query.isObject()) {
            if (SMProvider* provider = getProviderByID(pid)) {
                _CERTIFICATE_INFO_ record;
                for (const QueryField& f : kQueryFields)
                    stringMember(query, f.name, record.*f.field);
                result = provider->enumerateCerts(record, names);
            }
        }
        Json::Value reply = storeReply(result, request);
        reply["certnumber"] = static_cast<Json::UInt64>(names.size());
        for (std::size_t i = 0; i < names.size(); ++i) {
            Json::Value entry(Json::objectValue);
            entry["certid"] = static_cast<Json::UInt64>(i);
            entry["name"] = names[i];
            reply["certlist"].append(entry);
        }
        output = jsontext::writeCompact(reply);
        return result;
    });
}

int TQSMLib::selectCert(Json::Value request, std::string& output)
{
    return handler::guarded("selectCert", output, [&] {
        int result = -2;
        std::int32_t pid = 0;
        std::int32_t type = 0;
        // "certid" may be left out (0); present, even as null, it must be an integer.
        std::int32_t certid = 0;
        const bool certidUsable = !request.isMember("certid") || intMember(request, "certid", certid);
        if (intMember(request, "pid", pid) && intMember(request, "type", type) && certidUsable) {
            if (SMProvider* provider = getProviderByID(pid)) {
                // A failed selection leaves nothing selected.
                m_certificate.reset();
                result = provider->selectCert(type, certid, m_certificate);
            }
        }
        Json::Value reply = storeReply(result, request);
        echo(reply, request, "certid");
        output = jsontext::writeCompact(reply);
        return result;
    });
}

int TQSMLib::impCert(Json::Value request, std::string& output)
{
    return handler::guarded("impCert", output, [&] {
        int result = -2;
        std::int32_t pid = 0;
        std::string data;
        std::int32_t format = 0;
        if (intMember(request, "pid", pid) && stringMember(request, "data", data)
            && intMember(request, "format", format)) {
            if (SMProvider* provider = getProviderByID(pid))
                result = provider->importCert(data, format);
        }
        output = jsontext::writeCompact(storeReply(result, request));
        return result;
    });
}

int TQSMLib::expCert(Json::Value request, std::string& output)
{
    return handler::guarded("expCert", output, [&] {
        int result = -2;
        std::string text;
        std::int32_t pid = 0;
        std::int32_t certid = 0;
        if (intMember(request, "pid", pid) && intMember(request, "certid", certid)) {
            if (SMProvider* provider = getProviderByID(pid))
                result = provider->exportCert(certid, text);
        }
        if (result != 0)
            text.clear();
        Json::Value reply = storeReply(result, request);
        echo(reply, request, "certid");
        // The provider's text is already the certificate's Base64; pages
        // decode twice.
        reply["data"] = ICodec::encode(text);
        output = jsontext::writeCompact(reply);
        return result;
    });
}

int TQSMLib::deleteCert(Json::Value request, std::string& output)
{
    return handler::guarded("deleteCert", output, [&] {
        int result = -2;
        std::int32_t pid = 0;
        std::int32_t certid = 0;
        if (intMember(request, "pid", pid) && intMember(request, "certid", certid)) {
            if (SMProvider* provider = getProviderByID(pid))
                result = provider->deleteCert(certid);
        }
        Json::Value reply = storeReply(result, request);
        echo(reply, request, "certid");
        output = jsontext::writeCompact(reply);
        return result;
    });
}
