#include "service/ServerFiles.h"

#include "base64/Base64.h"
#include "service/RequestAuthenticator.h"

#include <cstdlib>

namespace {

constexpr char kServerFolder[] = "/Library/Application Support/Halvorn/";
constexpr char kStoredPassphrase[] = "Qm7Rx2Lp9TfK4wVd8JcN1sHb6YgE3uZa0XoWq5Ci7Mk=";
constexpr char kPassphraseKeyText[] = "3F1D8B27C6A04e9bD5E2A73B19C48D0E";

} // namespace

std::string HalvornRootPath(const std::string& fixedPath)
{
    const char* root = std::getenv("HALVORN_ROOT");
    return root != nullptr ? std::string(root) + fixedPath : fixedPath;
}

std::string GetServerCertPath()
{
    return HalvornRootPath(std::string(kServerFolder) + "server.crt");
}

std::string GetServerKeyPath()
{
    return HalvornRootPath(std::string(kServerFolder) + "server.key");
}

std::string ServerKeyPassphrase()
{
    const std::string encrypted = Base64::decode64(kStoredPassphrase);
    std::string pass = CHttpRequestAuthenticaor::aes_decrypt(encrypted, kPassphraseKeyText, 256);
    const auto zero = pass.find('\0');
    if (zero != std::string::npos)
        pass.resize(zero);
    return pass;
}
