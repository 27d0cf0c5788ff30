// CHttpRequest::Attach parses every request a connection receives: the head,
// a POST body of announced length, and the parameters of a GET (decrypting
// the envelope in "str").
#include "check.h"
#include "service/HttpRequest.h"

#include <openssl/err.h>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = asText(data, size);
    // The connection asks this first to know how much to read; never more
    // than the buffer.
    const std::size_t expected = CHttpRequest::ExpectedSize(input);
    FUZZ_CHECK(expected < kRequestBufferSize);

    CHttpRequest request;
    const int rc = request.Attach(input);
    FUZZ_CHECK(rc >= 0 && rc <= 5);
    if (rc == 0) {
        FUZZ_CHECK(request.GetRequestMethod() == "GET" || request.GetRequestMethod() == "POST");
        FUZZ_CHECK(request.GetPostContent().size() < kRequestBufferSize);
        FUZZ_CHECK(expected > 0 && expected <= kRequestBufferSize - 1);
    }
    (void)request.QueryRequestPara("str");
    (void)request.QueryRequestPara("spliceid");
    request.Deattach();
    FUZZ_CHECK(request.QueryRequestPara("str").empty());
    ERR_clear_error();
    return 0;
}
