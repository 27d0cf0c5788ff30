#include "tests/providers/Checks.h"

#include "ossl/ptr.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace providertest {

std::string cmsVerify(const testsupport::TempDir& dir, const std::string& p7,
                      const std::optional<std::string>& content)
{
    const auto sig = dir.path() / "sig.p7";
    const auto out = dir.path() / "out.bin";
    testsupport::writeFile(sig, p7);
    std::string cmd = "openssl cms -verify -binary -noverify -inform DER -in " + sig.string() + " -out "
        + out.string();
    if (content) {
        testsupport::writeFile(dir.path() / "content.bin", *content);
        cmd += " -content " + (dir.path() / "content.bin").string();
    }
    if (testsupport::run(cmd).status != 0)
        return "<failed>";
    return testsupport::readFile(out);
}

bool rsaVerifies(EVP_PKEY* key, const EVP_MD* md, const std::string& data, const std::string& sig)
{
    ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    return key != nullptr && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1
        && EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size())
        == 1;
}

bool rsaVerifies(const std::string& certDer, const EVP_MD* md, const std::string& data,
                 const std::string& sig)
{
    const auto* p = reinterpret_cast<const unsigned char*>(certDer.data());
    ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(certDer.size())));
    return cert && rsaVerifies(X509_get0_pubkey(cert.get()), md, data, sig);
}

} // namespace providertest
