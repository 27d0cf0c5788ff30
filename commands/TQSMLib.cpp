#include "commands/TQSMLib.h"

#include "core/Codepage.h"

#include <cstdio>
#include <exception>

const TQSMLib::Handler TQSMLib::pcodeTable[kPcodeCount] = {
    &TQSMLib::getProvider, &TQSMLib::genCSR,      &TQSMLib::impCert,
    &TQSMLib::expCert,     &TQSMLib::deleteCert,  &TQSMLib::getCertList,
    &TQSMLib::selectCert,  &TQSMLib::getKeyCount, &TQSMLib::selectKey,
};

const TQSMLib::Handler TQSMLib::ccodeTable[kCcodeCount] = {
    &TQSMLib::getCertInfo, &TQSMLib::sign,    &TQSMLib::Verify,
    &TQSMLib::encrypt,     &TQSMLib::decrypt, &TQSMLib::setPin,
};

namespace {

// Handlers report failure through their result; anything thrown from a
// handler (a JsonCpp conversion of a wrong-typed member) is a failed command.
int runHandler(TQSMLib& lib, TQSMLib::Handler handler, const Json::Value& request,
               std::string& output)
{
    // The process code page serves whichever session runs now: text this
    // command translates (data to sign or verify, listing names) follows its
    // own session, never the one that ran last.
    CodePage::Set(lib.m_codePage);
    try {
        return (lib.*handler)(request, output);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "command failed: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "command failed\n");
    }
    output.clear();
    return -2;
}

} // namespace

int TQSMLib::invoke(const std::string& command, std::string& output)
{
    output.clear();
    int result = -2;
    std::int32_t p = -1;
    std::int32_t c = -1;
    bool pcodeRead = false;
    bool ccodeRead = false;

    Json::Value root;
    // A root that is an array has no members: nothing is dispatched.
    if (!command.empty() && jsontext::parseStrict(command, root) && root.isObject()) {
        if (jsontext::asInt32(root["pcode"], p)) {
            pcodeRead = true;
            if (static_cast<std::uint32_t>(p) < kPcodeCount)
                result = runHandler(*this, pcodeTable[p], root, output);
        }
        if (jsontext::asInt32(root["ccode"], c)) {
            ccodeRead = true;
            if (static_cast<std::uint32_t>(c) < kCcodeCount)
                result = runHandler(*this, ccodeTable[c], root, output);
        }
    }

    if (output.empty()) {
        Json::Value envelope(Json::objectValue);
        envelope["code"] = result;
        if (pcodeRead && p != -1)
            envelope["pid"] = p;
        if (ccodeRead && c != -1)
            envelope["ccode"] = c;
        output = jsontext::writeCompact(envelope);
    }
    return result;
}

void TQSMLib::addProvider(int pid, SMProvider* provider)
{
    m_providers.emplace(pid, provider);   // a taken pid keeps its provider
}

SMProvider* TQSMLib::getProviderByID(int pid) const
{
    const auto it = m_providers.find(pid);
    return it == m_providers.end() ? nullptr : it->second;
}
