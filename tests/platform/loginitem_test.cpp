#include "platform/LoginItem.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

namespace {

using testsupport::readFile;
using testsupport::TempDir;

TEST(LoginItem, WrittenOnceAndLeftAloneWhileCurrent)
{
    TempDir dir;
    setenv("XDG_CONFIG_HOME", dir.str().c_str(), 1);
    const std::string path = dir.str() + "/autostart/halvorn.desktop";
    EXPECT_EQ(platform::LoginItemPath(), path);

    ASSERT_EQ(platform::RefreshLoginItem("/opt/halvorn/bin/halvorn"), 0);
    const std::string text = readFile(path);
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("Type=Application\n"), std::string::npos);
    EXPECT_NE(text.find("Exec=\"/opt/halvorn/bin/halvorn\"\n"), std::string::npos);

    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    ASSERT_EQ(platform::RefreshLoginItem("/opt/halvorn/bin/halvorn"), 0);
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);   // not rewritten
    EXPECT_EQ(readFile(path), text);

    // A moved executable updates the one entry.
    ASSERT_EQ(platform::RefreshLoginItem("/usr/bin/halvorn"), 0);
    EXPECT_NE(readFile(path).find("Exec=\"/usr/bin/halvorn\"\n"), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path() / "autostart"),
                            std::filesystem::directory_iterator()), 1);
    unsetenv("XDG_CONFIG_HOME");
}

TEST(LoginItem, DefaultsToTheHomeConfigFolder)
{
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(platform::LoginItemPath(), "/home/someone/.config/autostart/halvorn.desktop");
}

TEST(LoginItem, ReservedCharactersInThePathAreEscaped)
{
    EXPECT_NE(platform::LoginItemText("/a b/x\"$`\\%y").find("Exec=\"/a b/x\\\\\"\\\\$\\\\`\\\\\\\\%%y\"\n"),
              std::string::npos);
}

TEST(LoginItem, FailureIsReportedNotFatal)
{
    TempDir dir;
    testsupport::writeFile(dir.path() / "file", "x");
    setenv("XDG_CONFIG_HOME", (dir.str() + "/file").c_str(), 1);   // a file where a folder must go
    EXPECT_EQ(platform::RefreshLoginItem("/usr/bin/halvorn"), -1);
    EXPECT_EQ(platform::RefreshLoginItem(""), -1);
    unsetenv("XDG_CONFIG_HOME");
}

} // namespace
