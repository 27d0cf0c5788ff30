#pragma once

// Lays out tokens for the software adapter (token/softadapter/softadapter.h)
// in a test. Typical use:
//
//   testsupport::TempDir root;
//   softtoken::useRoot(root.path());               // HALVORN_SOFTTOKEN_ROOT
//   softtoken::TokenFolder alice(root.path(), "alice");
//   alice.add(testsupport::makeRsaCert());         // certificate 0, with key
//   alice.add(testsupport::makeSm2Cert(), false);  // certificate 1, no key
//   alice.setSm2SignatureSize(65);
//   alice.failWith("SM_sign", -5);
//   ISMToken token; token.Load(softtoken::adapterPath());
//
// Link halvorn_softtoken; it also makes sure the adapter library is built.

#include "tests/support/fixtures.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace softtoken {

// Full path of the built software adapter library.
std::string adapterPath();

// Points the adapter of this process at `root` (sets HALVORN_SOFTTOKEN_ROOT).
void useRoot(const std::filesystem::path& root);

// Sends the adapter's call log of this process to `file` (HALVORN_SOFTTOKEN_LOG).
void useLog(const std::filesystem::path& file);

// One token: the folder root/name with certificates, keys and settings.
class TokenFolder {
public:
    TokenFolder(const std::filesystem::path& root, const std::string& name);

    // Adds a certificate as the token's next one and, unless withKey is
    // false, its private key; returns its index on the token.
    int add(const testsupport::KeyAndCert& kc, bool withKey = true);
    // 64 (r || s, the default) or 65 (one trailing byte more).
    void setSm2SignatureSize(int bytes);
    // Makes the export return `code` instead of working.
    void failWith(const std::string& exportName, std::int32_t code);
    void clearFailures();

    const std::filesystem::path& path() const { return m_path; }

private:
    void writeSettings() const;

    std::filesystem::path m_path;
    int m_count = 0;
    int m_sm2Size = 64;
    std::map<std::string, std::int32_t> m_failures;
};

} // namespace softtoken
