#pragma once

// PKCS#10 certificate requests whose key lives elsewhere (on a token): the
// request is built here and signed by a delegate that holds the key.

#include "ossl/ptr.h"

#include <string>

namespace tarnquill::crypto {

class CsrDelegate {
public:
    virtual ~CsrDelegate() = default;
    // The public key to put into the request; null when there is none.
    virtual ossl::EvpPkeyPtr GetEvpKey() = 0;
    // RSA PKCS#1 v1.5 signature of `data` with the digest `digestNid`
    // (NID_md5, NID_sha1, NID_sha256); empty on failure.
    virtual std::string Sign(const std::string& data, int digestNid) = 0;
};

class Csr {
public:
    // Digest selector, numbered as the sign flags decode it.
    enum hash_algo_t : int {
        HASH_MD2 = 1,
        HASH_MD4 = 2,
        HASH_MD5 = 3,
        HASH_SHA1 = 4,
        HASH_SHA1_RSA = 5,
        HASH_SM3 = 6,
        HASH_SHA256 = 7,
    };

    Csr(std::string cn, std::string o, std::string ou, std::string c, std::string e,
        std::string st, std::string l, hash_algo_t hash);

    // Not owned; must outlive every GenCsr call made while it is set.
    void SetDelegate(CsrDelegate* delegate) { m_delegate = delegate; }

    // DER of the signed request, empty when it cannot be built or does not
    // verify with its own public key.
    std::string GenCsr() const;

    // The signature algorithm the request names for a selector:
    // md5WithRSAEncryption for MD5, sha256WithRSAEncryption for SHA-256,
    // sha1WithRSAEncryption for every other value.
    static int SignatureNid(hash_algo_t hash);
    static int DigestNid(hash_algo_t hash);

private:
    std::string m_cn;
    std::string m_o;
    std::string m_ou;
    std::string m_c;
    std::string m_e;
    std::string m_st;
    std::string m_l;
    hash_algo_t m_hash;
    CsrDelegate* m_delegate = nullptr;
};

} // namespace tarnquill::crypto
