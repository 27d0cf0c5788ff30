// PKCS7Verify checks a signed message a page sends, RSA PKCS#7 or SM2 signed
// data, against content the page also sends.
#include "check.h"
#include "core/OsOpenssl.h"

#include <openssl/err.h>

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // First byte: how many of the last bytes are the detached content; the
    // seeds sign "hello" (5 bytes) both attached and detached.
    if (size == 0)
        return 0;
    const std::size_t contentLength = std::min<std::size_t>(data[0], size - 1);
    const std::string_view rest = asText(data + 1, size - 1);
    const std::string_view message = rest.substr(0, rest.size() - contentLength);
    const std::string_view content = rest.substr(rest.size() - contentLength);

    (void)PKCS7Verify(message, content);
    ERR_clear_error();
    return 0;
}
