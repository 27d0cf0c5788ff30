#pragma once

// The machine's own signing speed: attached PKCS#7 signed data (SHA-256, RSA,
// no authenticated attributes, the signer's certificate included) made with
// OpenSSL's PKCS7_sign in a loop on one thread, the same message shape the
// service returns for a sign request.

#include <cstddef>
#include <string>

namespace hload {

struct SignRate {
    bool ok = false;
    long count = 0;
    double seconds = 0;      // wall time
    double cpuSeconds = 0;   // the signing thread's own CPU time
    std::size_t messageBytes = 0;   // DER size of one message
    std::string error;
};

SignRate SignLoop(const std::string& certPemPath, const std::string& keyPemPath, std::size_t dataBytes,
                  double seconds);

// Writes the service's server key, opened with its pass phrase, as an
// unencrypted PEM file (mode 0600) so that a reference server can load the
// same key. False when the key cannot be read or the file written.
bool ExportServerKey(const std::string& outPath, std::string& error);

} // namespace hload
