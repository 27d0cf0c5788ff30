#include "bench/load/SignReference.h"

#include "bench/load/Workload.h"
#include "ossl/ptr.h"
#include "service/ServerFiles.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>

namespace hload {

namespace {

std::string lastError()
{
    char text[256] = "unknown error";
    if (const unsigned long e = ERR_get_error(); e != 0)
        ERR_error_string_n(e, text, sizeof text);
    return text;
}

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

} // namespace

SignRate SignLoop(const std::string& certPemPath, const std::string& keyPemPath, std::size_t dataBytes,
                  double seconds)
{
    SignRate rate;
    ossl::BioPtr certBio(BIO_new_file(certPemPath.c_str(), "r"));
    ossl::X509Ptr cert(certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr);
    ossl::BioPtr keyBio(BIO_new_file(keyPemPath.c_str(), "r"));
    ossl::EvpPkeyPtr key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!cert || !key) {
        rate.error = "cannot read the certificate or key: " + lastError();
        return rate;
    }

    const std::string data = SignData(dataBytes);
    constexpr int flags = PKCS7_BINARY | PKCS7_NOATTR | PKCS7_NOSMIMECAP;
    const double cpuBegin = threadCpuSeconds();
    const auto begin = std::chrono::steady_clock::now();
    const auto end = begin + std::chrono::duration<double>(seconds);
    for (;;) {
        ossl::BioPtr in(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
        ossl::Pkcs7Ptr p7(in ? PKCS7_sign(cert.get(), key.get(), nullptr, in.get(), flags) : nullptr);
        const std::string der = ossl::toDer(p7.get(), i2d_PKCS7);
        if (der.empty()) {
            rate.error = "PKCS7_sign failed: " + lastError();
            return rate;
        }
        rate.messageBytes = der.size();
        ++rate.count;
        if (std::chrono::steady_clock::now() >= end)
            break;
    }
    rate.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    rate.cpuSeconds = threadCpuSeconds() - cpuBegin;
    rate.ok = true;
    return rate;
}

bool ExportServerKey(const std::string& outPath, std::string& error)
{
    const std::string pass = ServerKeyPassphrase();
    ossl::BioPtr in(BIO_new_file(GetServerKeyPath().c_str(), "r"));
    ossl::EvpPkeyPtr key(in ? PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, const_cast<char*>(pass.c_str()))
                            : nullptr);
    if (!key) {
        error = "cannot open " + GetServerKeyPath() + ": " + lastError();
        return false;
    }
    const int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create " + outPath;
        return false;
    }
    FILE* f = fdopen(fd, "w");
    if (f == nullptr) {
        close(fd);
        error = "cannot create " + outPath;
        return false;
    }
    const bool written = PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (std::fclose(f) != 0 || !written) {
        error = "cannot write " + outPath;
        return false;
    }
    return true;
}

} // namespace hload
