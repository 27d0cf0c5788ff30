#pragma once

// A throwaway SoftHSM2 token for tests that drive a real PKCS#11 module.
// The token, its configuration and the module link live in one fresh temp
// folder laid out as a private installation (see make-softhsm-token.sh):
//
//   testsupport::SoftHsmToken token(2);   // two RSA-2048 key pairs with certificates
//   token.activate();                     // SOFTHSM2_CONF and HALVORN_ROOT, before C_Initialize
//   Pkcs11Dll dll; dll.Load(SoftHsmToken::kModuleName);
//
// Make a new one per test: the module reads its configuration at C_Initialize,
// so finalise the module before the next token is activated.

#include "tests/support/fixtures.h"

#include <string>

namespace testsupport {

class SoftHsmToken {
public:
    static constexpr char kModuleName[] = "libsofthsm2.so";
    static constexpr char kLabel[] = "halvorn";
    // The fixed user PIN: 0x01 0x08 then the digits "59036174".
    static const std::string& userPin();
    static std::string scriptPath();

    // Runs the script; throws std::runtime_error with its output when it fails.
    explicit SoftHsmToken(int keyPairs = 1);

    void activate() const;
    std::string root() const { return m_dir.str(); }
    std::string config() const;
    int keyPairs() const { return m_keyPairs; }
    // Files of key pair n (1-based), as put on the token.
    std::string certDer(int n) const;
    std::string keyPem(int n) const;
    // CKA_ID of key pair n and of its certificate.
    static std::string id(int n);

private:
    TempDir m_dir;
    int m_keyPairs;
};

} // namespace testsupport
