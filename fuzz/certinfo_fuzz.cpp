// ReadCertInfoFromDer fills the record of a certificate from a token or an
// import; the listing filters then compare records field by field.
#include "check.h"
#include "core/CertInfo.h"

#include <openssl/err.h>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string der(asText(data, size));
    _CERTIFICATE_INFO_ info;
    FUZZ_CHECK(ReadCertInfoFromDer(&info, der) == 1);

    // A record satisfies a query made of its own fields, whatever their case.
    FUZZ_CHECK(info.match(&info));
    _CERTIFICATE_INFO_ query;
    query.cn = info.cn;
    query.sn = info.sn;
    for (char& c : query.cn)
        c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    FUZZ_CHECK(info.match(&query));

    _CERTIFICATE_INFO_ noName;
    FUZZ_CHECK(ReadCertInfoFromDer(&noName, der, false) == 1);
    FUZZ_CHECK(noName.cn.empty() && noName.sn == info.sn && noName.subject == info.subject);
    ERR_clear_error();
    return 0;
}
