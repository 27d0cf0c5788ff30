#include "commands/TQSMLib.h"

#include "commands/HandlerSupport.h"
#include "core/OsFunctions.h"
#include "core/codec.h"

// Key pair and certificate request: the provider makes both, the reply
// carries the request in PEM armour.

using handler::echo;
using handler::intMember;
using handler::member;
using handler::stringMember;

namespace {

// A page that names no key size gets the size the key stores use by default,
// never whatever an unset field would say.
constexpr std::int32_t kDefaultKeySize = 2048;

csr_t csrFromInfo(const Json::Value& info)
{
    csr_t csr;
    csr.keySize = kDefaultKeySize;
    // A member of the wrong type counts as absent.
    stringMember(info, "keyLabel", csr.keyLabel);
    intMember(info, "keySize", csr.keySize);
    intMember(info, "keySerial", csr.keySerial);
    intMember(info, "notAfter", csr.notAfter);
    stringMember(info, "CN", csr.CN);
    stringMember(info, "O", csr.O);
    stringMember(info, "OU", csr.OU);
    stringMember(info, "C", csr.C);
    stringMember(info, "E", csr.E);
    stringMember(info, "ST", csr.ST);
    stringMember(info, "L", csr.L);
    intMember(info, "hash", csr.hash);
    return csr;
}

} // namespace

int TQSMLib::genCSR(Json::Value request, std::string& output)
{
    return handler::guarded("genCSR", output, [&] {
        int result = -2;
        std::string der;
        std::int32_t pid = 0;
        const Json::Value& info = member(request, "csrinfo");
        if (intMember(request, "pid", pid) && info.isObject()) {
            if (SMProvider* provider = getProviderByID(pid))
                result = provider->genCSR(csrFromInfo(info), der);
        }
        if (result != 0)
            der.clear();
        Json::Value reply(Json::objectValue);
        reply["code"] = result;
        reply["csr"] = pemencode(der, "CERTIFICATE REQUEST");
        echo(reply, request, "pcode");
        echo(reply, request, "pid");
        output = jsontext::writeCompact(reply);
        return result;
    });
}
