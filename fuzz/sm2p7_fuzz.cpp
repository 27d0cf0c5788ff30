// SM2 signed data from pages: the ASN.1 module (d2i_SM2_P7 / i2d_SM2_P7), the
// verifier and the signature value conversions.
#include "SM/fp7.h"
#include "check.h"

#include <openssl/err.h>

#include <string>

namespace {

std::string encode(const SM2_P7* p7)
{
    return ossl::toDer(p7, i2d_SM2_P7);
}

ossl::Sm2P7Ptr decode(const std::string& der, bool& whole)
{
    const auto* start = reinterpret_cast<const unsigned char*>(der.data());
    const unsigned char* p = start;
    ossl::Sm2P7Ptr p7(d2i_SM2_P7(nullptr, &p, static_cast<long>(der.size())));
    whole = p == start + der.size();
    return p7;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    initsm2internalnid();
    const std::string input(asText(data, size));

    // What parses writes out again, and that encoding is stable: it parses
    // whole and writes out the same bytes.
    bool whole = false;
    if (const ossl::Sm2P7Ptr p7 = decode(input, whole)) {
        const std::string der = encode(p7.get());
        if (!der.empty()) {
            bool again = false;
            const ossl::Sm2P7Ptr p7b = decode(der, again);
            FUZZ_CHECK(p7b && again);
            FUZZ_CHECK(encode(p7b.get()) == der);
        }
    }

    std::string signer;
    const int verdict = SM2P7Verify(input, std::string(), &signer);
    FUZZ_CHECK(verdict >= -1 && verdict <= 1);
    FUZZ_CHECK((verdict == -1) == !isSM2P7Signed(input));
    FUZZ_CHECK(verdict == 1 || signer.empty());
    for (const std::string& cert : SM2P7Certificates(input))
        FUZZ_CHECK(!cert.empty());

    // Signature values: DER (r, s) and the raw 64-byte form convert both ways.
    const std::string raw = EC_SM2_SIG_der2raw(input);
    if (!raw.empty()) {
        FUZZ_CHECK(raw.size() == 64);
        FUZZ_CHECK(EC_SM2_SIG_der2raw(EC_SM2_SIG_raw2der(raw)) == raw);
    }
    if (size >= 64) {
        const std::string r = input.substr(0, 64);
        const std::string der = EC_SM2_SIG_raw2der(r);
        FUZZ_CHECK(!der.empty());
        FUZZ_CHECK(EC_SM2_SIG_der2raw(der) == r);
    }
    ERR_clear_error();
    return 0;
}
