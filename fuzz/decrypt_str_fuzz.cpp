// CHttpRequest::DecryptStr opens the envelope {"rankey","datab","datac"} of
// every request: JSON, Base64 and AES under keys the page chose.
#include "check.h"
#include "envelope.h"
#include "service/HttpRequest.h"

#include <openssl/err.h>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(asText(data, size));
    (void)CHttpRequest::DecryptStr(input);

    // Round trip: an envelope built as pages build it opens to its request.
    // First byte: rankey length 32 to 95; then its letters; the rest is the request.
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    if (size >= 1) {
        const std::size_t keyLength = 32 + data[0] % 64;
        std::string rankey;
        for (std::size_t i = 0; i < keyLength; ++i)
            rankey += kLetters[(1 + i < size ? data[1 + i] : i) % (sizeof kLetters - 1)];
        const std::string plain = 1 + keyLength < size ? input.substr(1 + keyLength) : std::string();
        const std::string envelope = fuzzenv::envelopeJson(rankey, plain);
        FUZZ_CHECK(!envelope.empty());
        FUZZ_CHECK(CHttpRequest::DecryptStr(envelope) == plain);
    }
    ERR_clear_error();
    return 0;
}
