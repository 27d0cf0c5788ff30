// PKCS#7 signed data: our builder around a key store's signature against
// OpenSSL's PKCS7_sign with the key at hand, and a bare RSA-2048 signature for
// scale (a sign request pays for one signature plus the wrapping).
#include "bench/keys.h"
#include "core/OsOpenssl.h"

#include <benchmark/benchmark.h>
#include <openssl/pkcs7.h>

#include <string>

namespace {

// A typical text a bank page asks to sign.
const std::string kContent = std::string(256, 'x') + "|amount=100.00|payee=Test";

void RsaSign2048_EVP_DigestSign(benchmark::State& state)
{
    const bench::Signer& s = bench::rsa2048();
    for (auto _ : state)
        benchmark::DoNotOptimize(bench::signSha256(s.key.get(), kContent));
}

// The wrapping alone: the signature is made once, outside the loop.
void MakePKCS7Signed_Ours(benchmark::State& state)
{
    const bench::Signer& s = bench::rsa2048();
    const std::string content = state.range(0) != 0 ? kContent : std::string();
    const std::string signature = bench::signSha256(s.key.get(), kContent);
    for (auto _ : state)
        benchmark::DoNotOptimize(MakePKCS7Signed(content, s.certDer, signature, NID_sha256));
}

// What a sign request does: the signature, then the wrapping.
void SignThenMakePKCS7Signed_Ours(benchmark::State& state)
{
    const bench::Signer& s = bench::rsa2048();
    for (auto _ : state) {
        const std::string signature = bench::signSha256(s.key.get(), kContent);
        benchmark::DoNotOptimize(MakePKCS7Signed(kContent, s.certDer, signature, NID_sha256));
    }
}

// The same message from OpenSSL: no signed attributes, content embedded.
void PKCS7_sign_OpenSSL(benchmark::State& state)
{
    const bench::Signer& s = bench::rsa2048();
    const int flags = PKCS7_BINARY | PKCS7_NOATTR | PKCS7_NOSMIMECAP;
    for (auto _ : state) {
        ossl::BioPtr in(BIO_new_mem_buf(kContent.data(), static_cast<int>(kContent.size())));
        ossl::Pkcs7Ptr p7(PKCS7_sign(s.cert.get(), s.key.get(), nullptr, in.get(), flags));
        benchmark::DoNotOptimize(ossl::toDer(p7.get(), i2d_PKCS7));
    }
}

// Our builder takes the certificate as DER, as key stores hand it out; this is
// the part of its cost that is OpenSSL reading that certificate.
void X509Parse_d2i_X509(benchmark::State& state)
{
    const bench::Signer& s = bench::rsa2048();
    for (auto _ : state) {
        const auto* p = reinterpret_cast<const unsigned char*>(s.certDer.data());
        ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(s.certDer.size())));
        benchmark::DoNotOptimize(cert.get());
    }
}

BENCHMARK(RsaSign2048_EVP_DigestSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(SignThenMakePKCS7Signed_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(PKCS7_sign_OpenSSL)->Unit(benchmark::kMicrosecond);
// Argument 1: content embedded; 0: detached.
BENCHMARK(MakePKCS7Signed_Ours)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(X509Parse_d2i_X509)->Unit(benchmark::kMicrosecond);

} // namespace
