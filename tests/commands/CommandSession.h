#pragma once

// A TQSMLib session over real stores for handler tests: a private keychain
// file (XDG_DATA_HOME), a private installation folder (HALVORN_ROOT, HOME)
// for token adapters, and helpers to run commands and read replies.

#include "commands/TQSMLib.h"
#include "core/Certificate.h"
#include "core/Codepage.h"
#include "core/codec.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace commandtest {

// Parses a reply; a null value when it is not JSON.
inline Json::Value parse(const std::string& reply)
{
    Json::Value v;
    if (!jsontext::parseStrict(reply, v))
        return Json::Value();
    return v;
}

// A sign command for the keychain provider (pid 0); tokenid only when given.
inline Json::Value signCommand(const std::string& data, int flags, const std::string& tokenid = {})
{
    Json::Value c;
    c["ccode"] = 1;
    c["pid"] = 0;
    c["sign"] = ICodec::encode(data);
    c["flags"] = flags;
    if (!tokenid.empty())
        c["tokenid"] = tokenid;
    return c;
}

// The DER DigestInfo of `data` under `md`: what a raw RSA signature signs.
inline std::string digestInfo(const EVP_MD* md, const std::string& data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, md, nullptr);
    const bool sha256 = EVP_MD_get_type(md) == NID_sha256;
    const std::string prefix = sha256 ? std::string("\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20", 19)
                                      : std::string("\x30\x21\x30\x09\x06\x05\x2b\x0e\x03\x02\x1a\x05\x00\x04\x14", 15);
    return prefix + std::string(reinterpret_cast<const char*>(digest), length);
}

// Builds a command text from a JSON value.
inline std::string text(const Json::Value& command)
{
    std::string t = jsontext::writeCompact(command);
    t.pop_back();
    return t;
}

class Stores : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_DATA_HOME", (root.path() / "data").c_str(), 1);
        setenv("HALVORN_ROOT", root.str().c_str(), 1);
        setenv("HOME", (root.path() / "home").c_str(), 1);
        CodePage::Set(65001);
        store.Attach(kc::Keychain::CopyDefault(), true);
        ASSERT_NE(store.GetHandle(), nullptr);
    }

    // Puts a certificate (and its key unless withKey is false) in the keychain.
    void addToKeychain(const testsupport::KeyAndCert& kc, bool withKey = true)
    {
        CSecurityObjectImpl<SecCertificateRef> cert(kc::Certificate::CreateWithData(kc.certDer()), true);
        const kc::Certificate* c = cert.GetHandle();
        ASSERT_EQ(store.GetHandle()->Import({c}, withKey ? kc.key.get() : nullptr, "key"), kc::errSecSuccess);
    }

    std::size_t keychainCount()
    {
        std::vector<SecCertificateRef> certs;
        store.GetHandle()->CopyCertificates(certs);
        for (SecCertificateRef c : certs)
            kc::Release(c);
        return certs.size();
    }

    // The reply text of one command in session `lib`.
    static std::string call(TQSMLib& lib, const std::string& command, int* result = nullptr)
    {
        std::string out;
        const int rc = lib.invoke(command, out);
        if (result != nullptr)
            *result = rc;
        return out;
    }
    static Json::Value run(TQSMLib& lib, const Json::Value& command)
    {
        return parse(call(lib, text(command)));
    }
    Json::Value run(const Json::Value& command) { return run(lib, command); }
    Json::Value run(const std::string& command) { return parse(call(lib, command)); }
    Json::Value run(const char* command) { return run(std::string(command)); }

    testsupport::TempDir root;
    testsupport::TempDir work;
    CSecurityObjectImpl<SecKeychainRef> store;
    TQSMLib lib;
};

} // namespace commandtest
