#pragma once

// One owner alias per OpenSSL type, used everywhere instead of hand-written frees.

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace ossl {

template <auto Fn>
struct Deleter {
    template <typename T>
    void operator()(T* p) const noexcept { Fn(p); }
};

using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, Deleter<BN_CTX_free>>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG_free>>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using EvpMdPtr = std::unique_ptr<EVP_MD, Deleter<EVP_MD_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, Deleter<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, Deleter<SSL_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME_free>>;
using X509ReqPtr = std::unique_ptr<X509_REQ, Deleter<X509_REQ_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using Asn1IntegerPtr = std::unique_ptr<ASN1_INTEGER, Deleter<ASN1_INTEGER_free>>;
using Asn1OctetStringPtr = std::unique_ptr<ASN1_OCTET_STRING, Deleter<ASN1_OCTET_STRING_free>>;

// DER of any object with an i2d function: ask for the size, then fetch.
template <typename T, typename I2d>
std::string toDer(T* obj, I2d i2d)
{
    if (obj == nullptr)
        return {};
    const int len = i2d(obj, nullptr);
    if (len <= 0)
        return {};
    std::string out(static_cast<std::size_t>(len), '\0');
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    if (i2d(obj, &p) != len)
        return {};
    return out;
}

} // namespace ossl
