#pragma once

// A key and certificate made once per run for the signing benchmarks.

#include "ossl/ptr.h"

#include <string>

namespace bench {

struct Signer {
    ossl::EvpPkeyPtr key;
    ossl::X509Ptr cert;
    std::string certDer;
};

// Self-signed RSA-2048 (SHA-256) signer, made on first use.
const Signer& rsa2048();

// RSA PKCS#1 v1.5 signature with SHA-256 over `data`; empty on failure.
std::string signSha256(EVP_PKEY* key, const std::string& data);

} // namespace bench
