// ICodec::pemdecode reads PEM or bare Base64 from requests and never fails.
#include "check.h"
#include "core/codec.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = asText(data, size);
    (void)ICodec::pemdecode(input);

    // Round trip: the first byte picks a label of letters, digits and spaces
    // (what a PEM label holds), the rest is the DER.
    if (size == 0)
        return 0;
    static constexpr std::string_view kLabels[] = {
        "CERTIFICATE", "PKCS7", "X", "ENCRYPTED PRIVATE KEY", "CERTIFICATE REQUEST", "A B", "0",
    };
    const std::string_view label = kLabels[data[0] % std::size(kLabels)];
    const std::string_view der = input.substr(1);
    const std::string pem = pemencode(der, label);
    FUZZ_CHECK(ICodec::pemdecode(pem) == der);

    // The bare body, with or without its line breaks, reads the same.
    const std::string body = ICodec::encode(der);
    FUZZ_CHECK(ICodec::pemdecode(body) == der);
    return 0;
}
