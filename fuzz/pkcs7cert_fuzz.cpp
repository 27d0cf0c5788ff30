// PKCS7Cert lists the certificates of a bundle a page hands in for import.
#include "check.h"
#include "core/OsOpenssl.h"

#include <openssl/err.h>
#include <openssl/x509.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string> certs = PKCS7Cert(asText(data, size));
    // Each one must be a certificate on its own, ready for import.
    for (const std::string& der : certs) {
        FUZZ_CHECK(!der.empty());
        Openssl::CX509 cert;
        FUZZ_CHECK(cert.FromDER(der));
        FUZZ_CHECK(cert.toDER() == der);
    }
    ERR_clear_error();
    return 0;
}
