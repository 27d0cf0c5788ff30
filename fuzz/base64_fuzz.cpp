// Base64::decode64 takes text straight from pages; it must take any bytes.
#include "base64/Base64.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = asText(data, size);

    // Four characters give at most three bytes; decoding stops early, never late.
    const std::string decoded = Base64::decode64(input);
    FUZZ_CHECK(decoded.size() <= (size + 3) / 4 * 3);

    // Encoding is exact: every byte string comes back, in 4-character groups
    // of the alphabet and padding only.
    const std::string encoded = Base64::encode64(input);
    FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
    FUZZ_CHECK(encoded.find_first_not_of(Base64::alphabet64 + Base64::pad) == std::string::npos);
    FUZZ_CHECK(Base64::decode64(encoded) == input);
    return 0;
}
