#include "tests/service/ServiceFixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <cstdio>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {

namespace {

constexpr char kPortLine[] = "建立端口成功:";

std::vector<std::string> mergedEnvironment(const std::vector<std::pair<std::string, std::string>>& extra)
{
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string kv = *e;
        const auto eq = kv.find('=');
        if (eq != std::string::npos)
            env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : extra)
        env[k] = v;
    std::vector<std::string> out;
    for (const auto& [k, v] : env)
        out.push_back(k + "=" + v);
    return out;
}

// fork and exec rather than posix_spawn: the child asks to be ended when the
// test dies, so a crashed test leaves no service behind.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& env,
            const std::string& outPath, const std::string& errPath)
{
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::vector<std::string> merged = mergedEnvironment(env);
    std::vector<char*> envp;
    for (const auto& e : merged)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    const bool sameFile = outPath == errPath;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(errno));
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int err = sameFile ? out : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (in < 0 || out < 0 || err < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0
            || dup2(err, STDERR_FILENO) < 0)
            _exit(127);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

int exitStatus(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::pair<std::string, std::string>> privateEnvironment(const std::filesystem::path& root)
{
    return {
        {"HALVORN_ROOT", root.string()},
        {"HOME", (root / "home").string()},
        {"XDG_CONFIG_HOME", (root / "config").string()},
        {"XDG_DATA_HOME", (root / "data").string()},
    };
}

bool listening(int port)
{
    char local[16];
    std::snprintf(local, sizeof local, ":%04X", port);
    std::istringstream table(readFile("/proc/net/tcp"));
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, localAddress, remoteAddress, state;
        fields >> slot >> localAddress >> remoteAddress >> state;
        if (state == "0A" && localAddress.size() > 5 && localAddress.substr(localAddress.size() - 5) == local)
            return true;
    }
    return false;
}

bool waitForListening(int port)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!listening(port)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace

std::string HalvornBinary() { return HALVORN_EXE; }
std::string HalvornInstallBinary() { return HALVORN_INSTALL_EXE; }
std::string HalvornCallBinary() { return HALVORN_CALL_EXE; }

CommandResult runProgram(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& env)
{
    TempDir tmp;
    const std::string out = (tmp.path() / "out").string();
    const pid_t pid = spawn(argv, env, out, out);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return {exitStatus(status), readFile(out)};
}

RunningService::RunningService()
    : RunningService(Options{})
{
}

RunningService::RunningService(const Options& options)
{
    auto env = privateEnvironment(root());
    std::filesystem::create_directories(root() / "home");
    for (const auto& kv : options.env)
        env.push_back(kv);
    if (options.installServerFiles) {
        const CommandResult installed = runProgram({HalvornInstallBinary()}, env);
        if (installed.status != 0)
            throw std::runtime_error("halvorn-install failed: " + installed.output);
    }
    m_pid = spawn({HalvornBinary()}, env, (root() / "stdout.log").string(), (root() / "stderr.log").string());
    if (!options.waitForPort)
        return;
    std::string failure;
    if (!waitForLog(kPortLine))
        failure = "the service logged no port:\n" + log() + errors();
    else if (!waitForLog(std::string(kPortLine) + std::to_string(port()) + "\n"))
        failure = "the port line is incomplete:\n" + log();
    // The line comes between bind and listen: wait for the listening state too,
    // without a probe connection the service would see.
    else if (!waitForListening(port()))
        failure = "the service does not listen on its port";
    if (!failure.empty()) {
        stop();   // no destructor runs for a constructor that throws
        throw std::runtime_error(failure);
    }
}

RunningService::~RunningService()
{
    stop();
}

std::string RunningService::serverFolder() const
{
    return (root() / "Library/Application Support/Halvorn").string();
}

int RunningService::port() const
{
    const std::string text = log();
    const auto at = text.find(kPortLine);
    if (at == std::string::npos)
        return 0;
    return std::atoi(text.c_str() + at + std::strlen(kPortLine));
}

bool RunningService::running() const
{
    if (m_pid <= 0)
        return false;
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == 0)
        return true;
    m_status = exitStatus(status);
    m_pid = -1;
    return false;
}

std::string RunningService::log() const
{
    return readFile(root() / "stdout.log");
}

std::string RunningService::errors() const
{
    return readFile(root() / "stderr.log");
}

bool RunningService::waitForLog(const std::string& needle, std::chrono::milliseconds limit) const
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (log().find(needle) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return log().find(needle) != std::string::npos;
}

int RunningService::stop()
{
    if (m_pid <= 0)
        return m_status;
    kill(m_pid, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        const pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid || r < 0) {
            m_status = r == m_pid ? exitStatus(status) : -1;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            m_status = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_pid = -1;
    return m_status;
}

hclient::ExchangeOptions RunningService::options() const
{
    hclient::ExchangeOptions o;
    o.ports = {port()};
    return o;
}

hclient::Answer RunningService::exchange(const std::vector<std::string>& writes,
                                         std::chrono::milliseconds pause) const
{
    auto o = options();
    o.pause = pause;
    return hclient::Exchange(writes, o);
}

std::string RunningService::call(const std::string& outerRequest) const
{
    const auto answer = exchange({hclient::JsonpGet("cb", hclient::BuildEnvelope(outerRequest, hclient::MakeRankey()))});
    std::string reply;
    if (!hclient::UnwrapJsonp(answer.raw, "cb", reply))
        return std::string("<not jsonp") + (answer.connected ? "" : ", no connection: " + std::string(std::strerror(answer.connectError)))
            + (answer.handshake ? "" : ", no handshake") + ">" + answer.raw;
    return reply;
}

std::string RunningService::post(const std::string& outerRequest) const
{
    const auto answer = exchange({hclient::PostRequest(outerRequest)});
    if (!hclient::IsSuccess(answer.raw))
        return std::string("<not 200") + (answer.connected ? "" : ", no connection: " + std::string(std::strerror(answer.connectError)))
            + (answer.handshake ? "" : ", no handshake") + ">" + answer.raw;
    return hclient::Body(answer.raw);
}

} // namespace testsupport
