#pragma once

// The server certificate and its encrypted key: where they live and the pass
// phrase that opens the key. The installer uses these same functions, so the
// files it writes always open here.

#include <string>

// HALVORN_ROOT, when set, is put in front of every fixed path so that tests
// and users without root rights run a private installation.
std::string HalvornRootPath(const std::string& fixedPath);

std::string GetServerCertPath();
std::string GetServerKeyPath();

// The stored Base64 text decrypted under the key text, up to its first zero byte.
std::string ServerKeyPassphrase();
