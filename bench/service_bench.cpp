// The request path before dispatch: opening the envelope against a bare
// AES-256-ECB decryption of the same request, and URL decoding against a
// plain copy of the same text.
#include "fuzz/envelope.h"   // pages' envelope, built with OpenSSL alone
#include "service/HttpRequest.h"
#include "service/httpurl.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <string>

namespace {

const std::string kRankey = "k7Qm2ZxR9bT4vN8cW1pL6sY3hD5gF0aJ";

// A request JSON of about `n` bytes: a sign command with its data.
std::string requestOf(std::size_t n)
{
    std::string text = R"({"data":{"ccode":1,"data":")";
    text.append(n > 64 ? n - 64 : 1, 'x');
    text += R"(","pid":0},"id":"bench","interfacetype":0})";
    return text;
}

std::string percentEncoded(const std::string& text)
{
    std::string out;
    for (const unsigned char c : text) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

void EnvelopeDecrypt_Ours(benchmark::State& state)
{
    const std::string request = requestOf(static_cast<std::size_t>(state.range(0)));
    const std::string envelope = fuzzenv::envelopeJson(kRankey, request);
    if (CHttpRequest::DecryptStr(envelope) != request) {
        state.SkipWithError("the envelope does not open");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(CHttpRequest::DecryptStr(envelope));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(request.size()));
}

// The cipher alone: the request's ciphertext decrypted with its key.
void EnvelopeDecrypt_EVP_aes_256_ecb(benchmark::State& state)
{
    const std::string request = requestOf(static_cast<std::size_t>(state.range(0)));
    std::array<std::uint8_t, 32> key{};
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<std::uint8_t>(kRankey[i]) ^ fuzzenv::kMagicC[i];
    const std::string cipher = fuzzenv::aes256Ecb(key.data(), request, true, true);
    for (auto _ : state)
        benchmark::DoNotOptimize(fuzzenv::aes256Ecb(key.data(), cipher, false, true));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(request.size()));
}

void UrlDecode_Ours(benchmark::State& state)
{
    const std::string url =
        "/?str=" + percentEncoded(fuzzenv::envelopeJson(kRankey, requestOf(static_cast<std::size_t>(state.range(0)))));
    CHttpUrl codec;
    for (auto _ : state)
        benchmark::DoNotOptimize(codec.DecodeUrl(url));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(url.size()));
}

// A byte-by-byte copy into a reserved string: the floor for any decoder.
void UrlDecode_CopyLoop(benchmark::State& state)
{
    const std::string url =
        "/?str=" + percentEncoded(fuzzenv::envelopeJson(kRankey, requestOf(static_cast<std::size_t>(state.range(0)))));
    for (auto _ : state) {
        std::string out;
        out.reserve(url.size());
        for (const char c : url)
            out += c;
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(url.size()));
}

// 256 bytes: a listing or version request; 4 KiB: a sign request with data;
// 64 KiB: a large document to sign.
BENCHMARK(EnvelopeDecrypt_Ours)->Arg(256)->Arg(4096)->Arg(64 * 1024);
BENCHMARK(EnvelopeDecrypt_EVP_aes_256_ecb)->Arg(256)->Arg(4096)->Arg(64 * 1024);
BENCHMARK(UrlDecode_Ours)->Arg(256)->Arg(4096);
BENCHMARK(UrlDecode_CopyLoop)->Arg(256)->Arg(4096);

} // namespace
