// halvorn-load against the real service: what it counts as served must have
// been served, refusals must count as errors, and the idle mode must really
// keep its connections open.

#include "tests/service/ServiceFixture.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testsupport::RunningService;

// The key=value pairs of the report's RESULT line.
std::map<std::string, std::string> resultOf(const std::string& output)
{
    std::map<std::string, std::string> fields;
    const auto at = output.rfind("RESULT ");
    if (at == std::string::npos)
        return fields;
    std::istringstream line(output.substr(at + 7, output.find('\n', at) - at - 7));
    std::string pair;
    while (line >> pair) {
        const auto eq = pair.find('=');
        if (eq != std::string::npos)
            fields[pair.substr(0, eq)] = pair.substr(eq + 1);
    }
    return fields;
}

testsupport::CommandResult load(const RunningService& service, std::vector<std::string> args)
{
    args.insert(args.begin(), HALVORN_LOAD_EXE);
    args.insert(args.begin() + 2, {"--port", std::to_string(service.port()), "--pid", std::to_string(service.pid())});
    return testsupport::runProgram(args);
}

TEST(LoadTool, CountsEveryKindThatNeedsNoKeystoreAsServed)
{
    RunningService service;
    const auto r = load(service, {"run", "--clients", "3", "--requests", "30", "--warmup", "0", "--mix",
                                  "preflight,version,split:2"});
    ASSERT_EQ(r.status, 0) << r.output;
    auto result = resultOf(r.output);
    EXPECT_EQ(result["ok"], "30") << r.output;
    EXPECT_EQ(result["errors"], "0");
    EXPECT_GT(std::stod(result["rps"]), 0);
    EXPECT_GE(std::stod(result["cpu_ms"]), 0) << "the service's CPU time must be readable";
    EXPECT_GT(std::stol(result["hwm_kib"]), 0);
}

TEST(LoadTool, RefusedSignRequestsAreErrorsNotThroughput)
{
    RunningService service;   // its keychain holds no identity, so nothing can be signed
    const auto r = load(service, {"run", "--clients", "2", "--requests", "6", "--warmup", "0", "--mix", "sign"});
    EXPECT_EQ(r.status, 1) << r.output;
    auto result = resultOf(r.output);
    EXPECT_EQ(result["ok"], "0") << r.output;
    EXPECT_EQ(result["errors"], "6");
}

TEST(LoadTool, SignAndCertInfoWithAKeychainIdentityAreServed)
{
    testsupport::TempDir data;   // the keychain store the service will read
    const auto pair = testsupport::makeRsaCert(2048);
    testsupport::writeFile(data.path() / "c.pem", pair.certPem());
    testsupport::writeFile(data.path() / "k.pem", pair.keyPem());
    const auto imported = testsupport::runProgram(
        {HALVORN_KEYCHAIN_EXE, "import", (data.path() / "c.pem").string(), (data.path() / "k.pem").string()},
        {{"XDG_DATA_HOME", data.str()}, {"HOME", data.str()}});
    ASSERT_EQ(imported.status, 0) << imported.output;

    RunningService::Options options;
    options.env = {{"XDG_DATA_HOME", data.str()}};
    RunningService service(options);
    const auto r = load(service, {"run", "--clients", "2", "--requests", "8", "--mix", "sign,certinfo"});
    ASSERT_EQ(r.status, 0) << r.output;
    auto result = resultOf(r.output);
    EXPECT_EQ(result["ok"], "8") << r.output;
    EXPECT_EQ(result["errors"], "0");
}

TEST(LoadTool, IdleConnectionsOutlastTheServersReadTimeout)
{
    RunningService service;
    // The service drops a silent connection after two one-second reads; the
    // hold is longer than that, so only the trickle keeps these open.
    const auto r = load(service, {"idle", "--connections", "5", "--hold-ms", "3000", "--trickle-ms", "300"});
    ASSERT_EQ(r.status, 0) << r.output;
    auto result = resultOf(r.output);
    EXPECT_EQ(result["handshaken"], "5") << r.output;
    EXPECT_EQ(result["dropped"], "0");
    EXPECT_GE(std::stol(result["rss_max_kib"]), std::stol(result["rss_before_kib"]));
}

TEST(LoadTool, ReferenceLoopSignsWithTheGivenKey)
{
    testsupport::TempDir dir;
    const auto pair = testsupport::makeRsaCert(2048);
    testsupport::writeFile(dir.path() / "c.pem", pair.certPem());
    testsupport::writeFile(dir.path() / "k.pem", pair.keyPem());
    const auto r = testsupport::runProgram({HALVORN_LOAD_EXE, "signref", "--cert", (dir.path() / "c.pem").string(),
                                            "--key", (dir.path() / "k.pem").string(), "--seconds", "0.2"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_GT(std::stod(resultOf(r.output)["sign_rate"]), 0);

    const auto wrong = testsupport::runProgram({HALVORN_LOAD_EXE, "signref", "--cert",
                                                (dir.path() / "k.pem").string(), "--key",
                                                (dir.path() / "c.pem").string(), "--seconds", "0.2"});
    EXPECT_EQ(wrong.status, 1) << wrong.output;
}

} // namespace
