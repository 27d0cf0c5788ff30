#pragma once

// Builds request envelopes {"rankey","datab","datac"} the way pages do, with
// OpenSSL directly: the service's decryption is checked against it, and the
// seed corpora carry such envelopes.

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace fuzzenv {

inline constexpr char kCheckKeyText[] = "7E4C19A0D3B6F25E81C7A40D9F3E62B1";
inline constexpr std::array<std::uint8_t, 32> kMagicC = {
    0xee, 0xb7, 0x24, 0x65, 0x98, 0x8b, 0x2a, 0x9b, 0x9e, 0x0a, 0x16, 0xc5, 0xc6, 0x65, 0xd3, 0xa4,
    0x6a, 0xb7, 0xab, 0x86, 0x6e, 0x96, 0x3e, 0x74, 0x07, 0xa9, 0xc1, 0xee, 0x20, 0xe1, 0x08, 0x7a,
};

inline std::string aes256Ecb(const std::uint8_t* key, const std::string& in, bool encrypt, bool pad)
{
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    std::string out(in.size() + 32, '\0');
    int n = 0;
    int tail = 0;
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key, nullptr, encrypt) != 1
        || EVP_CIPHER_CTX_set_padding(ctx.get(), pad ? 1 : 0) != 1
        || EVP_CipherUpdate(ctx.get(), o, &n, reinterpret_cast<const unsigned char*>(in.data()),
                            static_cast<int>(in.size())) != 1
        || EVP_CipherFinal_ex(ctx.get(), o + n, &tail) != 1)
        return {};
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

inline std::string base64(const std::string& bytes)
{
    std::string out((bytes.size() + 2) / 3 * 4 + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

// `rankey`: 32 to 4095 letters and digits. Empty when it is not.
inline std::string envelopeJson(const std::string& rankey, const std::string& request)
{
    if (rankey.size() < 32 || rankey.size() > 4095)
        return {};
    const auto* head = reinterpret_cast<const std::uint8_t*>(kCheckKeyText);
    const std::string t = aes256Ecb(head, rankey.substr(0, 32), false, false);
    const std::string checkKey = base64(t).substr(0, 32);
    std::array<std::uint8_t, 32> requestKey{};
    for (std::size_t i = 0; i < 32; ++i)
        requestKey[i] = static_cast<std::uint8_t>(rankey[i]) ^ kMagicC[i];
    const std::string datab =
        aes256Ecb(reinterpret_cast<const std::uint8_t*>(checkKey.data()), rankey, true, true);
    const std::string datac = aes256Ecb(requestKey.data(), request, true, true);
    if (t.size() != 32 || datab.empty() || datac.empty())
        return {};
    return R"({"datab":")" + base64(datab) + R"(","datac":")" + base64(datac) + R"(","rankey":")"
        + rankey + "\"}";
}

} // namespace fuzzenv
