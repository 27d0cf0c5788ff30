#include "tools/halvorn-install/NssTrust.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr char kSqlPrefix[] = "sql:";
// Far more entries of one nickname than a database ever gathers; the bound
// only keeps a database that refuses deletion from looping for ever.
constexpr int kMaxStaleEntries = 32;

enum class Output { Shown, Hidden };

// Runs certutil with the user's terminal (a database with a password asks
// for it there); -1 when it cannot be started or does not exit normally.
int certutil(std::vector<std::string> args, Output output = Output::Shown)
{
    args.insert(args.begin(), "certutil");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output == Output::Hidden) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    } else {
        // Our own messages and certutil's go to standard error in their order.
        posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    }
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "certutil", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string sql(const std::string& folder)
{
    return kSqlPrefix + folder;
}

bool hasDatabase(const std::string& folder)
{
    std::error_code ec;
    return fs::exists(fs::path(folder) / "cert9.db", ec);
}

bool hasOurEntry(const std::string& folder)
{
    return certutil({"-L", "-d", sql(folder), "-n", kNssNickname}, Output::Hidden) == 0;
}

int removeOurEntries(const std::string& folder)
{
    for (int i = 0; i < kMaxStaleEntries && hasOurEntry(folder); ++i) {
        if (certutil({"-D", "-d", sql(folder), "-n", kNssNickname}) != 0) {
            std::fprintf(stderr, "halvorn-install: cannot remove \"%s\" from %s\n", kNssNickname, folder.c_str());
            return 1;
        }
    }
    if (hasOurEntry(folder)) {
        std::fprintf(stderr, "halvorn-install: \"%s\" stays in %s\n", kNssNickname, folder.c_str());
        return 1;
    }
    return 0;
}

int createDatabase(const std::string& folder)
{
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!ec)
        fs::permissions(folder, fs::perms::owner_all, ec);
    if (ec) {
        std::fprintf(stderr, "halvorn-install: cannot create %s: %s\n", folder.c_str(), ec.message().c_str());
        return 1;
    }
    if (certutil({"-N", "-d", sql(folder), "--empty-password"}) != 0 || !hasDatabase(folder)) {
        std::fprintf(stderr, "halvorn-install: cannot create an NSS database in %s\n", folder.c_str());
        return 1;
    }
    return 0;
}

void addProfiles(const fs::path& profilesFolder, std::vector<std::string>& out)
{
    std::error_code ec;
    std::vector<std::string> found;
    for (fs::directory_iterator it(profilesFolder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_directory(ec) && hasDatabase(it->path().string()))
            found.push_back(it->path().string());
    }
    std::sort(found.begin(), found.end());
    out.insert(out.end(), found.begin(), found.end());
}

} // namespace

std::vector<std::string> DefaultNssDatabases(const std::string& home)
{
    const fs::path h(home);
    std::vector<std::string> out{(h / ".pki/nssdb").string()};
    addProfiles(h / ".mozilla/firefox", out);
    addProfiles(h / "snap/firefox/common/.mozilla/firefox", out);
    return out;
}

std::string NssFolder(const std::string& database)
{
    const std::size_t n = std::strlen(kSqlPrefix);
    return database.compare(0, n, kSqlPrefix) == 0 ? database.substr(n) : database;
}

bool CertutilAvailable()
{
    return certutil({"-H"}, Output::Hidden) >= 0;
}

int TrustInNss(const std::string& folder, const std::string& certPath, bool createMissing)
{
    if (!hasDatabase(folder)) {
        if (!createMissing)
            return 0;
        if (createDatabase(folder) != 0)
            return 1;
    }
    // A certificate made again by the installer replaces the one trusted before.
    if (removeOurEntries(folder) != 0)
        return 1;
    if (certutil({"-A", "-d", sql(folder), "-n", kNssNickname, "-t", "P,,", "-i", certPath}) != 0
        || !hasOurEntry(folder)) {
        std::fprintf(stderr, "halvorn-install: cannot add the server certificate to %s\n", folder.c_str());
        return 1;
    }
    std::printf("halvorn-install: %s now trusts the server certificate as \"%s\"\n", folder.c_str(), kNssNickname);
    return 0;
}

int UntrustInNss(const std::string& folder)
{
    if (!hasDatabase(folder) || !hasOurEntry(folder))
        return 0;
    if (removeOurEntries(folder) != 0)
        return 1;
    std::printf("halvorn-install: removed \"%s\" from %s\n", kNssNickname, folder.c_str());
    return 0;
}
