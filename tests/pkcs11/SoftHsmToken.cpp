#include "tests/pkcs11/SoftHsmToken.h"

#include <cstdlib>
#include <stdexcept>

namespace testsupport {

const std::string& SoftHsmToken::userPin()
{
    static const std::string pin = std::string("\x01\x08", 2) + "59036174";
    return pin;
}

std::string SoftHsmToken::scriptPath()
{
    return HALVORN_SOFTHSM_TOKEN_SCRIPT;
}

SoftHsmToken::SoftHsmToken(int keyPairs) : m_keyPairs(keyPairs)
{
    const CommandResult made =
        run("'" + scriptPath() + "' '" + m_dir.str() + "' " + std::to_string(keyPairs));
    if (made.status != 0)
        throw std::runtime_error("make-softhsm-token.sh failed: " + made.output);
}

void SoftHsmToken::activate() const
{
    setenv("SOFTHSM2_CONF", config().c_str(), 1);
    setenv("HALVORN_ROOT", root().c_str(), 1);
}

std::string SoftHsmToken::config() const
{
    return (m_dir.path() / "softhsm2.conf").string();
}

std::string SoftHsmToken::certDer(int n) const
{
    return readFile(m_dir.path() / "keys" / (std::to_string(n) + ".cert.der"));
}

std::string SoftHsmToken::keyPem(int n) const
{
    return readFile(m_dir.path() / "keys" / (std::to_string(n) + ".key.pem"));
}

std::string SoftHsmToken::id(int n)
{
    return std::string(1, static_cast<char>(n));
}

} // namespace testsupport
