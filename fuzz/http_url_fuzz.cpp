// CHttpUrl::DecodeUrl reads the URL of every request a page sends.
#include "check.h"
#include "service/httpurl.h"

#include <algorithm>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(asText(data, size));
    CHttpUrl url;
    const std::string decoded = url.DecodeUrl(input);
    // Decoding only shrinks, and stops at a zero byte.
    FUZZ_CHECK(decoded.size() <= std::min(input.find('\0'), input.size()));

    // The encoder writes no leading zero ("%A" for a line feed), so only text
    // without bytes below 0x10 comes back whole through it.
    if (std::all_of(input.begin(), input.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x10; })) {
        const std::string encoded = url.EncodeUrl(input);
        FUZZ_CHECK(url.DecodeUrl(encoded) == input);
    }
    return 0;
}
