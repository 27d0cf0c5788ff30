#pragma once

// Shared test fixtures: throwaway folders, keys and certificates made at run
// time (nothing with an expiry date is committed), and a shell runner.

#include "ossl/ptr.h"

#include <filesystem>
#include <string>

namespace testsupport {

// A fresh folder under the system temp dir, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;            // a copy would remove the folder twice
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::string str() const { return m_path.string(); }

private:
    std::filesystem::path m_path;
};

struct KeyAndCert {
    ossl::EvpPkeyPtr key;
    ossl::X509Ptr cert;
    std::string certDer() const;
    std::string certPem() const;
    std::string keyPem() const;   // unencrypted PKCS#8
};

// Subject fields of a generated certificate; empty fields are left out.
struct Subject {
    std::string cn = "Test User";
    std::string o;
    std::string ou;
    std::string c;
    std::string st;
    std::string l;
    std::string email;
};

// Self-signed RSA certificate (SHA-256), valid from one day ago for a year.
KeyAndCert makeRsaCert(int bits = 2048, const Subject& subject = {}, long serial = 1);
// Self-signed SM2 certificate signed with SM3 and the default SM2 user ID.
KeyAndCert makeSm2Cert(const Subject& subject = {}, long serial = 1);

struct CommandResult {
    int status = -1;      // exit status, or -1 when it did not exit normally
    std::string output;   // standard output and standard error together
};
CommandResult run(const std::string& shellCommand);

// A certificate (DER) for the public key and subject of a DER certificate
// request, issued by a throwaway key for an hour; empty when it is no request.
std::string issueForRequest(const std::string& requestDer);

// RSA PKCS#1 v1.5 verification of `signature` over `data` with digest `md`.
bool verifyRsaPkcs1(EVP_PKEY* publicKey, const EVP_MD* md, const std::string& data, const std::string& signature);

// A TCP connection to 127.0.0.1:port, or -1. A receiveBuffer above 0 is set
// as SO_RCVBUF before connecting (a small one makes the peer's writes block).
int connectLoopback(int port, int receiveBuffer = 0);
// Closes with a reset, as a client that vanishes does (no TIME_WAIT stays behind).
void resetClose(int fd);

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);

} // namespace testsupport
