#pragma once

// Decryption of the request envelope {"rankey","datab","datac"} (AES-256-ECB,
// Base64) into the request JSON, and the AES routine that also recovers the
// server key's pass phrase. The key text and magicC are shared with the pages.

#include <array>
#include <cstdint>
#include <string>

namespace Json { class Value; }

// AES-256 key (its 32 character codes) that transforms rankey into the check key.
inline constexpr char kRequestCheckKeyText[] = "7E4C19A0D3B6F25E81C7A40D9F3E62B1";
// Combined byte by byte with rankey to form the key of "datac".
extern const std::array<std::uint8_t, 32> magicC;

// Limits of the decryption areas: the check and the request text.
inline constexpr std::size_t kCheckAreaSize = 4096;
inline constexpr std::size_t kRequestAreaSize = 2097152;

class OpensslHelper {
public:
    // Each 16-byte block on its own; no padding removed. `data` must be a multiple of 16 long.
    static std::string AesDecrypt(const std::string& data, const std::uint8_t* key, int bits);
    static std::string AesEncrypt(const std::string& data, const std::uint8_t* key, int bits);
    // Standard alphabet, "=" padding. Text that is not Base64 gives no bytes.
    static std::string Base64Decode(const std::string& text);
    static std::string Base64Encode(const std::string& bytes);
};

// AES-256-ECB with PKCS#7 padding; returns the bytes written to `out`. When
// the last block's padding is wrong or the input is not whole blocks, only the
// blocks before it are counted. `out` needs room for `len` bytes.
int decryptAesECB(const std::uint8_t* in, int len, const std::uint8_t* key, const std::uint8_t* iv,
                  std::uint8_t* out);

class CHttpRequestAuthenticaor {
public:
    void InitAuthenticaor(const std::string& rankey, const std::string& datab, const std::string& datac);
    // 0 decrypted into `plain`; 1 rankey empty; 2 the check failed. `plain` is empty unless 0.
    int Decrypt(std::string& plain) const;
    void ResetAuthenticaor();

    // The data extended with zeros to whole blocks, decrypted block by block
    // under the first 32 bytes of `keyText`.
    static std::string aes_decrypt(const std::string& data, const char* keyText, int bits);

private:
    std::string m_rankey;
    std::string m_datab;
    std::string m_datac;
    std::string m_checkKeyText;
    std::array<std::uint8_t, 32> m_requestKey{};
};

// Reads "rankey", "datab" and "datac" of a parsed envelope as texts. Missing or
// null members read as empty, booleans as "true"/"false"; false when the root is
// not an object or a member is a number, an array or an object.
bool ReadEnvelopeMembers(const Json::Value& root, std::string& rankey, std::string& datab,
                         std::string& datac);

// The request JSON carried by a parsed envelope, or empty when it cannot be read or decrypted.
std::string DecryptEnvelope(const Json::Value& root);
