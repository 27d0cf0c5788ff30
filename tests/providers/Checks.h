#pragma once

// Independent checks of what the providers produce: the openssl command-line
// tool for PKCS#7, and plain EVP verification for raw signatures.

#include "tests/support/fixtures.h"

#include <openssl/types.h>

#include <optional>
#include <string>

namespace providertest {

// What `openssl cms -verify -binary -noverify` recovers from DER signed data:
// the embedded content, or `content` for a detached message; "<failed>" when
// the tool rejects the message.
std::string cmsVerify(const testsupport::TempDir& dir, const std::string& p7,
                      const std::optional<std::string>& content = std::nullopt);

// PKCS#1 v1.5 over `data` with digest `md`.
bool rsaVerifies(EVP_PKEY* key, const EVP_MD* md, const std::string& data, const std::string& sig);
bool rsaVerifies(const std::string& certDer, const EVP_MD* md, const std::string& data,
                 const std::string& sig);

} // namespace providertest
