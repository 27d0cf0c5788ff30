// Base64 of request fields and replies: ours against OpenSSL's block codec.
#include "base64/Base64.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <random>
#include <string>

namespace {

std::string randomBytes(std::size_t n)
{
    std::mt19937 gen(42);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen() & 0xFF);
    return s;
}

void Base64Encode_Ours(benchmark::State& state)
{
    const std::string data = randomBytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(Base64::encode64(data));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void Base64Encode_EVP_EncodeBlock(benchmark::State& state)
{
    const std::string data = randomBytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        // Our function returns a string, so this side pays for one too.
        std::string out((data.size() + 2) / 3 * 4 + 1, '\0');
        const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                      reinterpret_cast<const unsigned char*>(data.data()),
                                      static_cast<int>(data.size()));
        out.resize(static_cast<std::size_t>(n));
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void Base64Decode_Ours(benchmark::State& state)
{
    const std::string text = Base64::encode64(randomBytes(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state)
        benchmark::DoNotOptimize(Base64::decode64(text));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void Base64Decode_EVP_DecodeBlock(benchmark::State& state)
{
    const std::string text = Base64::encode64(randomBytes(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        std::string out(text.size() / 4 * 3, '\0');
        const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                      reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()));
        out.resize(static_cast<std::size_t>(n < 0 ? 0 : n));
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// 48 bytes: a digest-sized field; 1 KiB: a signature reply; 64 KiB: a file.
BENCHMARK(Base64Encode_Ours)->Arg(48)->Arg(1024)->Arg(64 * 1024);
BENCHMARK(Base64Encode_EVP_EncodeBlock)->Arg(48)->Arg(1024)->Arg(64 * 1024);
BENCHMARK(Base64Decode_Ours)->Arg(48)->Arg(1024)->Arg(64 * 1024);
BENCHMARK(Base64Decode_EVP_DecodeBlock)->Arg(48)->Arg(1024)->Arg(64 * 1024);

} // namespace
