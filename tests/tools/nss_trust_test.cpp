// halvorn-install --trust-nss / --untrust-nss against real NSS databases, checked
// with NSS's own certutil: the entry is the server certificate, NSS accepts it as an
// SSL server, it is replaced rather than doubled, and removing it leaves the user's
// other certificates alone.

#include "tests/service/ServiceFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::run;
using testsupport::runProgram;
using testsupport::TempDir;

constexpr char kNickname[] = "Halvorn local service";

std::string quoted(const std::string& s)
{
    return "'" + s + "'";
}

std::string withoutSpace(std::string s)
{
    s.erase(std::remove_if(s.begin(), s.end(), [](unsigned char c) { return std::isspace(c); }), s.end());
    return s;
}

class NssTrust : public ::testing::Test {
protected:
    TempDir dir;
    fs::path root = dir.path() / "root";
    fs::path home = dir.path() / "home";

    void SetUp() override { fs::create_directories(home); }

    testsupport::CommandResult install(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv{testsupport::HalvornInstallBinary()};
        argv.insert(argv.end(), args.begin(), args.end());
        return runProgram(argv, {{"HALVORN_ROOT", root.string()}, {"HOME", home.string()}});
    }

    std::string serverCert() const
    {
        return readFile(root / "Library/Application Support/Halvorn/server.crt");
    }

    static std::string sql(const fs::path& db) { return quoted("sql:" + db.string()); }

    // Every PEM certificate stored under our nickname, concatenated.
    static std::string entries(const fs::path& db)
    {
        return run("certutil -L -d " + sql(db) + " -n " + quoted(kNickname) + " -a").output;
    }

    static int count(const fs::path& db)
    {
        const std::string pem = entries(db);
        int n = 0;
        for (auto at = pem.find("BEGIN CERTIFICATE"); at != std::string::npos; at = pem.find("BEGIN CERTIFICATE", at + 1))
            ++n;
        return n;
    }

    // NSS's own verdict on the entry as an SSL server certificate.
    static bool validServer(const fs::path& db)
    {
        const auto r = run("certutil -V -u V -d " + sql(db) + " -n " + quoted(kNickname));
        return r.status == 0 && r.output.find("certificate is valid") != std::string::npos;
    }

    static void makeDatabase(const fs::path& db)
    {
        fs::create_directories(db);
        ASSERT_EQ(run("certutil -N --empty-password -d " + sql(db)).status, 0);
    }
};

TEST_F(NssTrust, TrustsTheServerCertificateAndTakesItBack)
{
    const fs::path db = dir.path() / "nssdb";   // missing: made on the way
    auto r = install({"--trust-nss", db.string()});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(withoutSpace(entries(db)), withoutSpace(serverCert()));
    EXPECT_TRUE(validServer(db));
    EXPECT_NE(run("certutil -L -d " + sql(db)).output.find("P,,"), std::string::npos);

    // Again, and with the "sql:" form of the name: still one entry.
    r = install({"--trust-nss", "sql:" + db.string()});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(count(db), 1);

    r = install({"--untrust-nss", db.string()});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(count(db), 0);
    EXPECT_FALSE(validServer(db));
    // Nothing left to remove, or no database at all, is not a failure.
    EXPECT_EQ(install({"--untrust-nss", db.string()}).status, 0);
    EXPECT_EQ(install({"--untrust-nss", (dir.path() / "none").string()}).status, 0);
    EXPECT_FALSE(fs::exists(dir.path() / "none"));
}

TEST_F(NssTrust, ACertificateMadeAgainReplacesTheOneTrustedBefore)
{
    const fs::path db = dir.path() / "nssdb";
    ASSERT_EQ(install({"--trust-nss", db.string()}).status, 0);
    const std::string first = serverCert();
    fs::remove(root / "Library/Application Support/Halvorn/server.key");   // the installer makes both again
    const auto r = install({"--trust-nss", db.string()});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_NE(serverCert(), first);
    EXPECT_EQ(count(db), 1);
    EXPECT_EQ(withoutSpace(entries(db)), withoutSpace(serverCert()));
    EXPECT_TRUE(validServer(db));
}

TEST_F(NssTrust, DefaultsToTheSharedDatabaseAndFirefoxProfiles)
{
    const fs::path shared = home / ".pki/nssdb";
    const fs::path profile = home / ".mozilla/firefox/ab12.default-release";
    const fs::path bare = home / ".mozilla/firefox/cd34.unused";   // a profile folder without a database
    makeDatabase(profile);
    fs::create_directories(bare);
    // A certificate of the user's own that must survive both directions.
    const fs::path own = dir.path() / "bank.pem";
    testsupport::Subject bank;
    bank.cn = "My Bank Root";
    testsupport::writeFile(own, testsupport::makeRsaCert(2048, bank).certPem());
    ASSERT_EQ(run("certutil -A -d " + sql(profile) + " -n 'my bank' -t 'C,,' -i " + quoted(own.string())).status, 0);

    auto r = install({"--trust-nss"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(validServer(shared));
    EXPECT_TRUE(validServer(profile));
    EXPECT_FALSE(fs::exists(bare / "cert9.db"));
    EXPECT_EQ((fs::status(shared).permissions() & fs::perms::all), fs::perms::owner_all);

    r = install({"--untrust-nss"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(count(shared), 0);
    EXPECT_EQ(count(profile), 0);
    EXPECT_EQ(run("certutil -L -d " + sql(profile) + " -n 'my bank'").status, 0);
}

TEST_F(NssTrust, RefusesWrongArguments)
{
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--trust-nss", "a", "b"}, {"--trust"}, {"a"}, {"--untrust-nss", "a", "b"}}) {
        const auto r = install(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_NE(r.output.find("usage:"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(root));   // nothing was installed
}

} // namespace
