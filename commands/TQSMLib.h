#pragma once

// The command object of one session: parses a command JSON, runs the
// management command named by "pcode" and the certificate command named by
// "ccode", and keeps what the page builds up across requests.

#include "commands/Json.h"
#include "commands/SignCache.h"
#include "providers/SMProviderManager.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class TQSMLib {
public:
    TQSMLib() = default;
    TQSMLib(const TQSMLib&) = delete;            // a copy would share providers it does not own
    TQSMLib& operator=(const TQSMLib&) = delete;

    // Runs one command; `output` receives the reply JSON (compact, newline at the end).
    // Returns the result of the last handler that ran, or -2.
    int invoke(const std::string& command, std::string& output);

    void setoutput(const std::string& text) { m_output = text; }
    std::string getoutput() const { return m_output; }
    int geterrcode() const { return m_errcode; }

    // pid bookkeeping: pids are 0, 1, 2, ... in the order providers are first
    // opened. The registry owns the providers; these entries only name them.
    void addProvider(int pid, SMProvider* provider);
    SMProvider* getProviderByID(int pid) const;
    int providerCount() const { return static_cast<int>(m_providers.size()); }
    // The selected certificate, or null.
    const std::shared_ptr<SMCertificate>& selectedCertificate() const { return m_certificate; }

    // A handler gets a private copy of the parsed command and writes its reply.
    using Handler = int (TQSMLib::*)(Json::Value request, std::string& output);
    static constexpr int kPcodeCount = 9;
    static constexpr int kCcodeCount = 6;
    static const Handler pcodeTable[kPcodeCount];
    static const Handler ccodeTable[kCcodeCount];

    // Management commands ("pcode" 0 to 8).
    int getProvider(Json::Value request, std::string& output);
    int genCSR(Json::Value request, std::string& output);
    int impCert(Json::Value request, std::string& output);
    int expCert(Json::Value request, std::string& output);
    int deleteCert(Json::Value request, std::string& output);
    int getCertList(Json::Value request, std::string& output);
    int selectCert(Json::Value request, std::string& output);
    int getKeyCount(Json::Value request, std::string& output);
    int selectKey(Json::Value request, std::string& output);

    // Certificate commands ("ccode" 0 to 5).
    int getCertInfo(Json::Value request, std::string& output);
    int sign(Json::Value request, std::string& output);
    int Verify(Json::Value request, std::string& output);
    int encrypt(Json::Value request, std::string& output);
    int decrypt(Json::Value request, std::string& output);
    int setPin(Json::Value request, std::string& output);

    std::int32_t m_codePage = 65001;   // made the process code page before each command runs
    SignCache m_signCache;             // successful signatures by token id, for retries

private:
    std::map<int, SMProvider*> m_providers;
    SMProviderManager m_registry;      // owns every provider named in m_providers
    // The certificate the certificate commands act on. Shared with the
    // provider's listing so that a new listing cannot destroy it under us.
    // Declared after the registry: it is released before its provider.
    std::shared_ptr<SMCertificate> m_certificate;
    std::string m_output;
    int m_errcode = -1;                                // no command changes it
};
