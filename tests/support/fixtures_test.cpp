#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

using namespace testsupport;

TEST(Fixtures, GeneratedCertificatesVerifyWithOpenssl)
{
    TempDir dir;
    Subject subject;
    subject.cn = "rsa";
    writeFile(dir.path() / "rsa.pem", makeRsaCert(1024, subject).certPem());
    subject.cn = "sm2";
    writeFile(dir.path() / "sm2.pem", makeSm2Cert(subject).certPem());
    for (const char* name : {"rsa.pem", "sm2.pem"}) {
        const auto r = run("openssl verify -CAfile " + (dir.path() / name).string() + " " +
                           (dir.path() / name).string());
        EXPECT_EQ(r.status, 0) << name << ": " << r.output;
    }
}
