#include "service/RequestAuthenticator.h"

#include "commands/Json.h"
#include "ossl/ptr.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <vector>

const std::array<std::uint8_t, 32> magicC = {
    0xee, 0xb7, 0x24, 0x65, 0x98, 0x8b, 0x2a, 0x9b, 0x9e, 0x0a, 0x16, 0xc5, 0xc6, 0x65, 0xd3, 0xa4,
    0x6a, 0xb7, 0xab, 0x86, 0x6e, 0x96, 0x3e, 0x74, 0x07, 0xa9, 0xc1, 0xee, 0x20, 0xe1, 0x08, 0x7a,
};

namespace {

const EVP_CIPHER* ecbCipher(int bits)
{
    switch (bits) {
    case 128: return EVP_aes_128_ecb();
    case 192: return EVP_aes_192_ecb();
    default: return EVP_aes_256_ecb();
    }
}

// Raw block transform in either direction; whole blocks only, no padding.
std::string aesBlocks(const std::string& data, const std::uint8_t* key, int bits, bool encrypt)
{
    if (data.empty() || data.size() % 16 != 0)
        return {};
    ossl::EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex(ctx.get(), ecbCipher(bits), nullptr, key, nullptr, encrypt ? 1 : 0) != 1)
        return {};
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    std::string out(data.size() + 16, '\0');
    int n = 0;
    int tail = 0;
    if (EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &n,
                         reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size())) != 1
        || EVP_CipherFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(out.data()) + n, &tail) != 1)
        return {};
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

bool readText(const Json::Value& v, std::string& out)
{
    switch (v.type()) {
    case Json::nullValue: out.clear(); return true;
    case Json::booleanValue: out = v.asBool() ? "true" : "false"; return true;
    case Json::stringValue: out = v.asString(); return true;
    default: return false;
    }
}

} // namespace

std::string OpensslHelper::AesDecrypt(const std::string& data, const std::uint8_t* key, int bits)
{
    return aesBlocks(data, key, bits, false);
}

std::string OpensslHelper::AesEncrypt(const std::string& data, const std::uint8_t* key, int bits)
{
    return aesBlocks(data, key, bits, true);
}

std::string OpensslHelper::Base64Decode(const std::string& text)
{
    if (text.empty() || text.size() % 4 != 0 || text.size() > static_cast<std::size_t>(INT32_MAX))
        return {};
    std::string out(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0)
        return {};
    out.resize(static_cast<std::size_t>(n));
    // The block decoder writes the padding as zero bytes; one goes per "=".
    for (auto it = text.rbegin(); it != text.rend() && *it == '=' && !out.empty(); ++it)
        out.pop_back();
    return out;
}

std::string OpensslHelper::Base64Encode(const std::string& bytes)
{
    std::string out((bytes.size() + 2) / 3 * 4 + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

int decryptAesECB(const std::uint8_t* in, int len, const std::uint8_t* key, const std::uint8_t* iv,
                  std::uint8_t* out)
{
    if (len <= 0)
        return 0;
    ossl::EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key, iv) != 1)
        return 0;
    int n = 0;
    if (EVP_DecryptUpdate(ctx.get(), out, &n, in, len) != 1)
        return 0;
    int tail = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), out + n, &tail) != 1)
        tail = 0;
    return n + tail;
}

std::string CHttpRequestAuthenticaor::aes_decrypt(const std::string& data, const char* keyText, int bits)
{
    std::uint8_t key[32] = {};
    std::memcpy(key, keyText, std::min<std::size_t>(std::strlen(keyText), sizeof key));
    std::string extended = data;
    extended.resize((data.size() + 15) / 16 * 16, '\0');
    return OpensslHelper::AesDecrypt(extended, key, bits);
}

void CHttpRequestAuthenticaor::InitAuthenticaor(const std::string& rankey, const std::string& datab,
                                                const std::string& datac)
{
    m_rankey = rankey;
    m_datab = OpensslHelper::Base64Decode(datab);
    m_datac = OpensslHelper::Base64Decode(datac);
    m_requestKey.fill(0);
    m_checkKeyText.clear();
    // A rankey shorter than the key cannot pass the check; Decrypt refuses it
    // before either derived key is used.
    if (rankey.size() < 32)
        return;
    for (std::size_t i = 0; i < 32; ++i)
        m_requestKey[i] = static_cast<std::uint8_t>(rankey[i]) ^ magicC[i];
    std::string t = aes_decrypt(rankey, kRequestCheckKeyText, 256);
    if (t.size() > 32)
        t.resize(32);
    m_checkKeyText = OpensslHelper::Base64Encode(t);
}

int CHttpRequestAuthenticaor::Decrypt(std::string& plain) const
{
    plain.clear();
    if (m_rankey.empty())
        return 1;
    if (m_rankey.size() < 32 || m_rankey.size() > kCheckAreaSize || m_checkKeyText.size() < 32
        || m_datab.size() > kCheckAreaSize || m_datac.size() > kRequestAreaSize)
        return 2;

    std::vector<std::uint8_t> check(kCheckAreaSize + 16, 0);
    decryptAesECB(reinterpret_cast<const std::uint8_t*>(m_datab.data()), static_cast<int>(m_datab.size()),
                  reinterpret_cast<const std::uint8_t*>(m_checkKeyText.data()), nullptr, check.data());
    if (std::memcmp(check.data(), m_rankey.data(), m_rankey.size()) != 0)
        return 2;

    std::string out(m_datac.size() + 16, '\0');
    const int n = decryptAesECB(reinterpret_cast<const std::uint8_t*>(m_datac.data()),
                                static_cast<int>(m_datac.size()), m_requestKey.data(), nullptr,
                                reinterpret_cast<std::uint8_t*>(out.data()));
    out.resize(static_cast<std::size_t>(n));
    plain = std::move(out);
    return 0;
}

void CHttpRequestAuthenticaor::ResetAuthenticaor()
{
    m_rankey.clear();
    m_datab.clear();
    m_datac.clear();
}

bool ReadEnvelopeMembers(const Json::Value& root, std::string& rankey, std::string& datab,
                         std::string& datac)
{
    return root.isObject() && readText(root["rankey"], rankey) && readText(root["datab"], datab)
        && readText(root["datac"], datac);
}

std::string DecryptEnvelope(const Json::Value& root)
{
    std::string rankey, datab, datac;
    if (!ReadEnvelopeMembers(root, rankey, datab, datac))
        return {};
    CHttpRequestAuthenticaor auth;
    auth.InitAuthenticaor(rankey, datab, datac);
    std::string plain;
    const int rc = auth.Decrypt(plain);
    auth.ResetAuthenticaor();
    return rc == 0 ? plain : std::string();
}
