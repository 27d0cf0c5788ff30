#include "bench/keys.h"

#include <openssl/rsa.h>

#include <cstdio>
#include <cstdlib>

namespace bench {

namespace {

Signer makeRsa2048()
{
    Signer s;
    s.key.reset(EVP_RSA_gen(2048));
    s.cert.reset(X509_new());
    X509* x = s.cert.get();
    bool ok = s.key && x && X509_set_version(x, 2) == 1
        && ASN1_INTEGER_set(X509_get_serialNumber(x), 1) == 1
        && X509_gmtime_adj(X509_getm_notBefore(x), -3600) != nullptr
        && X509_gmtime_adj(X509_getm_notAfter(x), 24L * 3600) != nullptr
        && X509_set_pubkey(x, s.key.get()) == 1;
    if (ok) {
        X509_NAME* name = X509_get_subject_name(x);
        ok = X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                        reinterpret_cast<const unsigned char*>("Bench Signer"), -1, -1, 0) == 1
            && X509_set_issuer_name(x, name) == 1 && X509_sign(x, s.key.get(), EVP_sha256()) > 0;
    }
    if (ok)
        s.certDer = ossl::toDer(x, i2d_X509);
    if (s.certDer.empty()) {
        // Nothing to measure without a signer; say so rather than time failures.
        std::fprintf(stderr, "bench: cannot make the RSA-2048 signer\n");
        std::exit(1);
    }
    return s;
}

} // namespace

const Signer& rsa2048()
{
    static const Signer signer = makeRsa2048();
    return signer;
}

std::string signSha256(EVP_PKEY* key, const std::string& data)
{
    ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    std::size_t len = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1
        || EVP_DigestSign(ctx.get(), nullptr, &len, reinterpret_cast<const unsigned char*>(data.data()),
                          data.size()) != 1)
        return {};
    std::string sig(len, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1)
        return {};
    sig.resize(len);
    return sig;
}

} // namespace bench
