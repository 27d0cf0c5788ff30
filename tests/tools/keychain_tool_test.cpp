#include "platform/Keychain.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

using testsupport::makeRsaCert;
using testsupport::readFile;
using testsupport::run;
using testsupport::writeFile;

namespace {

const std::string kTool = HALVORN_BINARY_DIR "/tools/halvorn-keychain/halvorn-keychain";

testsupport::Subject named(const std::string& cn)
{
    testsupport::Subject s;
    s.cn = cn;
    return s;
}

class KeychainTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        user = makeRsaCert(2048, named("Zhang San"), 0x5A17);
        ca = makeRsaCert(2048, named("Bank Root CA"), 1);
        writeFile(path("user.pem"), user.certPem());
        writeFile(path("user.key"), user.keyPem());
        writeFile(path("ca.pem"), ca.certPem());
        writeFile(path("password"), "s3cret pass\n");
        auto made = run("openssl pkcs12 -export -in " + path("user.pem") + " -inkey " + path("user.key")
                        + " -certfile " + path("ca.pem") + " -passout 'pass:s3cret pass' -out "
                        + path("bank.p12"));
        ASSERT_EQ(made.status, 0) << made.output;
    }

    std::string path(const std::string& name) const { return dir.str() + "/" + name; }
    testsupport::CommandResult tool(const std::string& args)
    {
        return run("XDG_DATA_HOME=" + dir.str() + "/data " + kTool + " " + args);
    }
    // Rows of the store, counted independently of the tool.
    long rows(const char* table)
    {
        sqlite3* db = nullptr;
        const std::string file = dir.str() + "/data/halvorn/keychain.db";
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            return -1;
        }
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, (std::string("SELECT count(*) FROM ") + table).c_str(), -1, &st, nullptr);
        long n = -1;
        if (sqlite3_step(st) == SQLITE_ROW)
            n = static_cast<long>(sqlite3_column_int64(st, 0));
        sqlite3_finalize(st);
        sqlite3_close(db);
        return n;
    }

    testsupport::TempDir dir;
    testsupport::KeyAndCert user;
    testsupport::KeyAndCert ca;
};

TEST_F(KeychainTool, Pkcs12ImportsListsExportsAndDeletes)
{
    auto imported = tool("import " + path("bank.p12") + " --password-file " + path("password"));
    ASSERT_EQ(imported.status, 0) << imported.output;
    EXPECT_EQ(rows("certificates"), 2);
    EXPECT_EQ(rows("keys"), 1);

    auto list = tool("list");
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_EQ(list.output,
              "INDEX\tCOMMON NAME\tSERIAL\tPRIVATE KEY\tTRUSTED\n"
              "1\tZhang San\t5A17\tyes\tno\n"
              "2\tBank Root CA\t01\tno\tno\n");

    auto pem = tool("export 1");
    ASSERT_EQ(pem.status, 0);
    EXPECT_EQ(pem.output, user.certPem());
    ASSERT_EQ(run("XDG_DATA_HOME=" + dir.str() + "/data " + kTool + " export 2 --der > " + path("out.der")).status, 0);
    EXPECT_EQ(readFile(path("out.der")), ca.certDer());

    auto del = tool("delete 1");
    ASSERT_EQ(del.status, 0) << del.output;
    EXPECT_EQ(del.output, "deleted Zhang San and its private key\n");
    EXPECT_EQ(rows("certificates"), 1);
    EXPECT_EQ(rows("keys"), 0);
    EXPECT_EQ(tool("list").output,
              "INDEX\tCOMMON NAME\tSERIAL\tPRIVATE KEY\tTRUSTED\n"
              "1\tBank Root CA\t01\tno\tno\n");
}

TEST_F(KeychainTool, PasswordFromStandardInput)
{
    auto imported = run("printf 's3cret pass' | XDG_DATA_HOME=" + dir.str() + "/data " + kTool + " import "
                        + path("bank.p12") + " --password-file -");
    ASSERT_EQ(imported.status, 0) << imported.output;
    EXPECT_EQ(rows("keys"), 1);
}

TEST_F(KeychainTool, WrongPasswordIsAClearErrorAndChangesNothing)
{
    ASSERT_EQ(tool("import " + path("ca.pem")).status, 0);
    const std::string before = tool("list").output;
    writeFile(path("wrong"), "not it\n");
    auto r = tool("import " + path("bank.p12") + " --password-file " + path("wrong"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("wrong password"), std::string::npos) << r.output;
    EXPECT_EQ(tool("list").output, before);
    EXPECT_EQ(rows("certificates"), 1);
    EXPECT_EQ(rows("keys"), 0);
}

TEST_F(KeychainTool, WithoutATerminalOrPasswordFileItSaysSo)
{
    auto r = run("XDG_DATA_HOME=" + dir.str() + "/data setsid -w " + kTool + " import " + path("bank.p12")
                 + " < /dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("--password-file"), std::string::npos) << r.output;
    EXPECT_EQ(rows("keys"), -1);  // the store was not even created
}

TEST_F(KeychainTool, FilesThatAreNotWhatTheyClaimAreRefused)
{
    auto other = makeRsaCert(1024, named("Other"), 2);
    writeFile(path("other.key"), other.keyPem());
    writeFile(path("junk.p12"), std::string("\x30\x82\x01\x00junk", 8));
    const struct {
        std::string args;
        std::string message;
    } cases[] = {
        {"import " + path("user.key"), "is not a certificate"},
        {"import " + path("junk.p12") + " --password-file " + path("password"), "is not a certificate"},
        {"import " + path("user.pem") + " " + path("user.pem"), "is not a PEM private key"},
        {"import " + path("user.pem") + " " + path("other.key"), "does not belong to the certificate"},
        {"import " + path("missing.pem"), "cannot read"},
        {"export 1", "no certificate with index 1"},
        {"delete 0", "no certificate with index 0"},
    };
    for (const auto& c : cases) {
        auto r = tool(c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
    }
    EXPECT_EQ(tool("frobnicate").status, 2);
    EXPECT_EQ(tool("list").output, "INDEX\tCOMMON NAME\tSERIAL\tPRIVATE KEY\tTRUSTED\n");
}

TEST_F(KeychainTool, PemCertificateWithAndWithoutItsKey)
{
    ASSERT_EQ(tool("import " + path("ca.pem")).status, 0);
    auto r = tool("import " + path("user.pem") + " " + path("user.key"));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(tool("list").output,
              "INDEX\tCOMMON NAME\tSERIAL\tPRIVATE KEY\tTRUSTED\n"
              "1\tBank Root CA\t01\tno\tno\n"
              "2\tZhang San\t5A17\tyes\tno\n");
    // The key was stored as the store's own: the certificate has an identity.
    setenv("XDG_DATA_HOME", (dir.str() + "/data").c_str(), 1);
    kc::Certificate* cert = kc::Certificate::CreateWithData(user.certDer());
    kc::Identity* id = nullptr;
    EXPECT_EQ(kc::Identity::CreateWithCertificate(nullptr, cert, &id), kc::errSecSuccess);
    kc::Release(id);
    kc::Release(cert);
}

} // namespace
