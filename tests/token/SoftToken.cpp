#include "tests/token/SoftToken.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace softtoken {

std::string adapterPath() { return HALVORN_SOFTADAPTER_PATH; }

void useRoot(const std::filesystem::path& root) { setenv("HALVORN_SOFTTOKEN_ROOT", root.c_str(), 1); }

void useLog(const std::filesystem::path& file) { setenv("HALVORN_SOFTTOKEN_LOG", file.c_str(), 1); }

TokenFolder::TokenFolder(const std::filesystem::path& root, const std::string& name)
    : m_path(root / name)
{
    std::filesystem::create_directories(m_path);
}

int TokenFolder::add(const testsupport::KeyAndCert& kc, bool withKey)
{
    char stem[16];
    std::snprintf(stem, sizeof stem, "cert%03d", m_count);
    testsupport::writeFile(m_path / (std::string(stem) + ".crt"), kc.certPem());
    if (withKey)
        testsupport::writeFile(m_path / (std::string(stem) + ".key"), kc.keyPem());
    return m_count++;
}

void TokenFolder::setSm2SignatureSize(int bytes)
{
    m_sm2Size = bytes;
    writeSettings();
}

void TokenFolder::failWith(const std::string& exportName, std::int32_t code)
{
    m_failures[exportName] = code;
    writeSettings();
}

void TokenFolder::clearFailures()
{
    m_failures.clear();
    writeSettings();
}

void TokenFolder::writeSettings() const
{
    std::ostringstream conf;
    conf << "sm2_signature_size = " << m_sm2Size << '\n';
    for (const auto& [name, code] : m_failures)
        conf << "fail." << name << " = " << code << '\n';
    testsupport::writeFile(m_path / "token.conf", conf.str());
}

} // namespace softtoken
